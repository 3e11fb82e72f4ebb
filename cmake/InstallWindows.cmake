# Installing and packaging the Windows build.
#
# The install prefix is the program folder itself: the wizard, sv6.exe and sv6admin.exe
# (which the wizard starts from its own folder), the request tool and the manual (which Help
# looks for beside the wizard), the Qt and MinGW runtime DLLs they load (Windows looks for a
# program's DLLs in its folder first), Qt's plugins in the folders Qt looks for beside the
# program (platforms/, styles/), and the licence texts.
#
#   cmake --install build/windows --prefix X       lays out the program folder X
#   cd build/windows && cpack -G NSIS               SVCorblexAppGen-<version>-win64.exe
#   cd build/windows && cpack -G ZIP                SVCorblexAppGen-<version>-win64.zip
#
# tests/installer/ installs the installer under Wine and starts the installed wizard.

set(svc_programs SVCorblexAppGen sv6 sv6admin svcorblex-request)
install(TARGETS ${svc_programs} RUNTIME DESTINATION .)
install(FILES "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/SVCorblexAppGen.pdf" DESTINATION .)

# The platform plugin that shows windows, the style that draws the controls as Windows
# does, and the SQLite driver that sv6.exe keeps its history with. Images are PNG only (the
# viewers' screenshots), which Qt Gui reads and writes itself; nothing uses TLS, JPEG or GIF.
# sv6.exe prints through Qt PrintSupport, whose Windows printing is in its DLL (no plugin);
# it has no trends there (Qt for MinGW has no Qt Charts).
find_package(Qt6 REQUIRED COMPONENTS Sql)
set(svc_qt_plugins Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin
    Qt6::QSQLiteDriverPlugin)
set(svc_plugin_files "")
foreach(plugin IN LISTS svc_qt_plugins)
    get_target_property(type ${plugin} QT_PLUGIN_TYPE)
    get_target_property(location ${plugin} LOCATION)
    if(NOT type OR NOT EXISTS "${location}")
        message(FATAL_ERROR "Qt for MinGW has no ${plugin} (looked in ${SVC_QT_MINGW})")
    endif()
    install(FILES "${location}" DESTINATION "${type}")
    get_filename_component(name "${location}" NAME)
    list(APPEND svc_plugin_files "${type}/${name}")
endforeach()

# The DLLs: Qt's in its bin folder, the compiler's own (libstdc++, libgcc_s) and the POSIX
# thread library's where the compiler finds them. Which of them are needed is read off the
# installed programs and plugins at install time (cmake/WindowsRuntime.cmake).
set(svc_dll_folders "${SVC_QT_MINGW}/bin")
foreach(dll IN ITEMS libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" "-print-file-name=${dll}"
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    get_filename_component(folder "${path}" DIRECTORY)
    get_filename_component(folder "${folder}" REALPATH)
    list(APPEND svc_dll_folders "${folder}")
endforeach()
set(svc_program_files "")
foreach(program IN LISTS svc_programs)
    list(APPEND svc_program_files "$<TARGET_FILE_NAME:${program}>")
endforeach()
install(CODE "
    set(SVC_RT_FOLDER \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(SVC_RT_PROGRAMS \"${svc_program_files}\")
    set(SVC_RT_PLUGINS \"${svc_plugin_files}\")
    set(SVC_RT_SEARCH \"${svc_dll_folders}\")
    set(SVC_RT_OBJDUMP \"${CMAKE_OBJDUMP}\")
    set(SVC_RT_STRIP \"${CMAKE_STRIP}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/WindowsRuntime.cmake\")")

# Licences: the project's, Qt's (with the note on how these Qt DLLs were built from Debian's
# source), and the MinGW runtime's where Debian keeps them.
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(DIRECTORY "${SVC_QT_MINGW}/LICENSES/" DESTINATION licenses/Qt
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
if(EXISTS "${SVC_QT_MINGW}/BUILD.md")
    install(FILES "${SVC_QT_MINGW}/BUILD.md" DESTINATION licenses/Qt RENAME BUILD.txt
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
set(SVC_MINGW_RUNTIME_NOTICES
    "/usr/share/doc/mingw-w64-x86-64-dev/copyright;/usr/share/doc/gcc-mingw-w64-base/copyright"
    CACHE STRING "Copyright notices of libwinpthread and of libstdc++ and libgcc_s, shipped with them")
foreach(notice IN LISTS SVC_MINGW_RUNTIME_NOTICES)
    if(EXISTS "${notice}")
        get_filename_component(package "${notice}" DIRECTORY)
        get_filename_component(package "${package}" NAME)
        install(FILES "${notice}" DESTINATION licenses/MinGW RENAME "${package}.txt")
    else()
        message(WARNING "The MinGW runtime's notice ${notice} does not exist; not shipped")
    endif()
endforeach()

# The installer (NSIS) and the zip of the same folder.
set(CPACK_GENERATOR "NSIS;ZIP")
set(CPACK_PACKAGE_NAME "SVCorblexAppGen")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "SV Corblex Tools Team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "wizard that generates Solvane log-sheet applications from an SV Corblex hub")
set(CPACK_PACKAGE_FILE_NAME "SVCorblexAppGen-${PROJECT_VERSION}-win64")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# Program Files\SV Corblex Application Generator; the registry key has no version, so that
# a newer installer finds the older installation and removes it first.
set(CPACK_PACKAGE_INSTALL_DIRECTORY "SV Corblex Application Generator")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "SVCorblexAppGen")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer for the 64-bit programs: it sees the 64-bit Program Files and registry
# as they are, and runs where 32-bit Windows programs cannot (Wine without wine32).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_PACKAGE_NAME "SV Corblex Application Generator")
set(CPACK_NSIS_DISPLAY_NAME "SV Corblex Application Generator ${PROJECT_VERSION}")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_INSTALLED_ICON_NAME "SVCorblexAppGen.exe")
# Start menu: the wizard and its manual (the uninstaller's entry comes with NSIS).
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_PACKAGE_EXECUTABLES "SVCorblexAppGen" "SV Corblex Application Generator")
set(CPACK_NSIS_MENU_LINKS "SVCorblexAppGen.pdf" "SV Corblex Application Generator Manual")
include(CPack)
