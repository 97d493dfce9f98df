# The Debian 12 package (make deb): the installed tree under /usr. Depends names the libraries
# the loader binds by name at run time (never linked, so shlibdeps cannot see them); shlibdeps
# adds what the program links.
set(QAC_DEB_DEPENDS)
# FFmpeg: the libraries of the encoder's and the player's sets, packaged per major version.
foreach(lib avcodec avformat avutil swresample swscale avfilter)
    string(REGEX MATCH "^[0-9]+" major "${FFMPEG_HEADERS_lib${lib}_VERSION}")
    if(NOT major)
        message(FATAL_ERROR "No major version of lib${lib} for the package's dependencies")
    endif()
    list(APPEND QAC_DEB_DEPENDS lib${lib}${major})
endforeach()
list(APPEND QAC_DEB_DEPENDS libsdl2-2.0-0)
# What shlibdeps finds the program linking (the package test checks for them): Qt's Widgets
# stack, whose libqt6gui6 also holds the xcb and offscreen platform plugins, and libcurl.
set(QAC_DEB_LINKED libqt6core6 libqt6gui6 libqt6widgets6 libcurl4 libc6 libstdc++6)
if(TARGET Qt6::DBus)
    list(APPEND QAC_DEB_LINKED libqt6dbus6)
endif()
list(JOIN QAC_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quendral-audio-converter)
set(CPACK_PACKAGE_VENDOR Quendral)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quendral <support@quendral.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch audio converter")
set(CPACK_PACKAGE_DESCRIPTION
    "Converts lists of audio files, or the sound of video files, to MP3, AAC, FLAC, ALAC, Ogg\n\
Vorbis, Opus, WavPack, WAV, AIFF and more; trims a file while listening, previews it, joins\n\
files into one, brings outputs to one loudness (EBU R128) or writes ReplayGain tags, and\n\
converts from the command line without a window.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quendral.example/audio-converter/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Wayland sessions run it natively with the Wayland platform plugin, else through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
include(CPack)
