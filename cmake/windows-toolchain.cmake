# Cross-building for Windows (x86_64) on Debian: the MinGW-w64 compiler (Debian's
# g++-mingw-w64-x86-64-posix) and Qt for MinGW, a Qt cross-built from Debian's own source
# (the folder qt6-mingw beside the project's checkout; see its BUILD.md). Qt's host tools (moc,
# rcc, uic) are Debian's own (qt6-base-dev-tools). Programs built this way run under Wine.
#
# The Qt folder: -DSVC_QT_MINGW=..., else the environment variable SVC_QT_MINGW, else
# ../shared/qt6-mingw beside the source folder, else /work/shared/qt6-mingw.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT SVC_QT_MINGW)
    if(DEFINED ENV{SVC_QT_MINGW})
        set(SVC_QT_MINGW "$ENV{SVC_QT_MINGW}")
    else()
        foreach(candidate IN ITEMS "${CMAKE_CURRENT_LIST_DIR}/../../shared/qt6-mingw"
                                   "/work/shared/qt6-mingw")
            if(EXISTS "${candidate}/lib/cmake/Qt6/Qt6Config.cmake")
                get_filename_component(SVC_QT_MINGW "${candidate}" ABSOLUTE)
                break()
            endif()
        endforeach()
    endif()
endif()
if(NOT EXISTS "${SVC_QT_MINGW}/lib/cmake/Qt6/Qt6Config.cmake")
    message(FATAL_ERROR "No Qt for MinGW found; give its folder with -DSVC_QT_MINGW=...")
endif()
set(SVC_QT_MINGW "${SVC_QT_MINGW}" CACHE PATH "Qt for MinGW (x86_64)")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${SVC_QT_MINGW}")
set(CMAKE_PREFIX_PATH "${SVC_QT_MINGW}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# Test programs and build-time tools run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run;${SVC_QT_MINGW}")
