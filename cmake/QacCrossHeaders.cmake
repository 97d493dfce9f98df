# FFmpeg and SDL2 headers for the Windows cross build, taken from the host's development packages
# (nothing links those libraries, so their headers are all the build needs). The host's include
# folders also hold its C library, which must not shadow the target's: each library's header tree
# is put alone into one folder of the build, and SDL's host configuration is replaced by the
# target's.
set(QAC_HOST_FFMPEG_INCLUDE "" CACHE PATH "Host folder holding libavcodec/, libavutil/, ...")
set(QAC_HOST_SDL2_INCLUDE "" CACHE PATH "Host folder holding SDL.h")
if(NOT QAC_HOST_FFMPEG_INCLUDE)
    file(GLOB _found /usr/include/libavcodec/avcodec.h /usr/include/*/libavcodec/avcodec.h)
    if(NOT _found)
        message(FATAL_ERROR "FFmpeg headers not found: install them with scripts/setup windows")
    endif()
    list(GET _found 0 _found)
    cmake_path(GET _found PARENT_PATH _found)
    cmake_path(GET _found PARENT_PATH QAC_HOST_FFMPEG_INCLUDE)
endif()
if(NOT QAC_HOST_SDL2_INCLUDE)
    set(QAC_HOST_SDL2_INCLUDE /usr/include/SDL2)
endif()
if(NOT EXISTS ${QAC_HOST_SDL2_INCLUDE}/SDL.h)
    message(FATAL_ERROR "SDL2 headers not found in ${QAC_HOST_SDL2_INCLUDE}")
endif()

set(QAC_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${QAC_CROSS_INCLUDE})
foreach(lib avcodec avdevice avfilter avformat avutil swresample swscale)
    if(NOT EXISTS ${QAC_HOST_FFMPEG_INCLUDE}/lib${lib})
        message(FATAL_ERROR "lib${lib} headers not found in ${QAC_HOST_FFMPEG_INCLUDE}")
    endif()
    file(CREATE_LINK ${QAC_HOST_FFMPEG_INCLUDE}/lib${lib} ${QAC_CROSS_INCLUDE}/lib${lib} SYMBOLIC)
endforeach()
# Copied, not linked: SDL's headers include each other by their own folder.
file(COPY ${QAC_HOST_SDL2_INCLUDE}/ DESTINATION ${QAC_CROSS_INCLUDE}/SDL2 FILES_MATCHING
     PATTERN "*.h" PATTERN "SDL_config.h" EXCLUDE PATTERN "_real_SDL_config.h" EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/SDL_config.h ${QAC_CROSS_INCLUDE}/SDL2/SDL_config.h
               COPYONLY)

set(FFMPEG_HEADERS_INCLUDE_DIRS ${QAC_CROSS_INCLUDE})
set(SDL2_HEADERS_INCLUDE_DIRS ${QAC_CROSS_INCLUDE} ${QAC_CROSS_INCLUDE}/SDL2)
