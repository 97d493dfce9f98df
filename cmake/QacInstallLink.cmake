# Install step: QAC_LINK_DIR/<name of QAC_LINK_TARGET> becomes a symbolic link to QAC_LINK_TARGET,
# relative between the two, so the installed tree can move (DESTDIR, package staging, prefix).
# Both may be relative to CMAKE_INSTALL_PREFIX or absolute.
foreach(var QAC_LINK_DIR QAC_LINK_TARGET)
    if(NOT IS_ABSOLUTE "${${var}}")
        set(${var} "${CMAKE_INSTALL_PREFIX}/${${var}}")
    endif()
endforeach()
get_filename_component(qac_link_name "${QAC_LINK_TARGET}" NAME)
file(RELATIVE_PATH qac_link_value "${QAC_LINK_DIR}" "${QAC_LINK_TARGET}")
set(qac_link "$ENV{DESTDIR}${QAC_LINK_DIR}/${qac_link_name}")
message(STATUS "Installing: ${qac_link} -> ${qac_link_value}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${QAC_LINK_DIR}")
file(REMOVE "${qac_link}")
file(CREATE_LINK "${qac_link_value}" "${qac_link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${QAC_LINK_DIR}/${qac_link_name}")
