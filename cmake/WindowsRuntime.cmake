# Run at install time by cmake/InstallWindows.cmake: copies beside the installed programs
# every DLL that they and their Qt plugins load, found in the Qt and MinGW folders, and the
# DLLs those load in turn. A program on Windows finds its DLLs in its own folder first, so
# the folder needs nothing from outside but Windows's own DLLs.
#
# Set by the caller:
#   SVC_RT_FOLDER    the program folder (the install prefix, with DESTDIR in front)
#   SVC_RT_PROGRAMS  the installed programs, relative to the folder (CMake strips them)
#   SVC_RT_PLUGINS   the installed Qt plugins, relative to the folder
#   SVC_RT_SEARCH    the folders that hold the DLLs to ship (Qt's bin, the compiler's)
#   SVC_RT_OBJDUMP   MinGW's objdump, which lists a file's imports
#   SVC_RT_STRIP     MinGW's strip, used when installing stripped (CMAKE_INSTALL_DO_STRIP)
#
# file(GET_RUNTIME_DEPENDENCIES) is no help here: it lowers the case of the DLL names before
# looking for them, which finds nothing on a Linux file system (Qt6Core.dll).

# Install scripts run with no policies set; include() keeps this setting to this file.
cmake_policy(VERSION 3.25)

# Every DLL that the search folders hold, by its name in lower case (Windows compares DLL
# names without case); the first folder that has a name wins.
set(svc_dll_names "")
set(svc_dll_paths "")
foreach(folder IN LISTS SVC_RT_SEARCH)
    file(GLOB candidates LIST_DIRECTORIES false "${folder}/*.dll")
    foreach(candidate IN LISTS candidates)
        get_filename_component(name "${candidate}" NAME)
        string(TOLOWER "${name}" name)
        if(NOT name IN_LIST svc_dll_names)
            list(APPEND svc_dll_names "${name}")
            list(APPEND svc_dll_paths "${candidate}")
        endif()
    endforeach()
endforeach()

# Follow the imports from the programs and plugins through the DLLs found.
set(queue "")
foreach(file IN LISTS SVC_RT_PROGRAMS SVC_RT_PLUGINS)
    list(APPEND queue "${SVC_RT_FOLDER}/${file}")
endforeach()
set(seen "")
set(shipped "")
set(windows_own "")
while(queue)
    list(POP_FRONT queue file)
    execute_process(COMMAND "${SVC_RT_OBJDUMP}" -p "${file}"
                    OUTPUT_VARIABLE dump ERROR_VARIABLE error RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "Cannot read the imports of ${file}: ${error}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
    foreach(import IN LISTS imports)
        string(REGEX REPLACE "^DLL Name: " "" name "${import}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" name)
        if(name IN_LIST seen)
            continue()
        endif()
        list(APPEND seen "${name}")
        list(FIND svc_dll_names "${name}" index)
        if(index EQUAL -1)
            list(APPEND windows_own "${name}")
        else()
            list(GET svc_dll_paths ${index} path)
            list(APPEND shipped "${path}")
            list(APPEND queue "${path}")
        endif()
    endforeach()
endwhile()

# What the folders do not hold is taken to be Windows's own (kernel32.dll, api-ms-win-...).
# A Qt or MinGW name among them means a DLL that would be missing on the user's computer.
list(SORT windows_own)
foreach(name IN LISTS windows_own)
    if(name MATCHES "^(qt|lib)")
        message(FATAL_ERROR "${name} is needed but none of these folders holds it: ${SVC_RT_SEARCH}")
    endif()
endforeach()
message(STATUS "Left to Windows: ${windows_own}")

list(SORT shipped)
file(INSTALL ${shipped} DESTINATION "${SVC_RT_FOLDER}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)

# Qt's and MinGW's DLLs come with their debugging information, most of their size.
if(CMAKE_INSTALL_DO_STRIP)
    set(to_strip "${SVC_RT_PLUGINS}")
    foreach(path IN LISTS shipped)
        get_filename_component(name "${path}" NAME)
        list(APPEND to_strip "${name}")
    endforeach()
    foreach(file IN LISTS to_strip)
        execute_process(COMMAND "${SVC_RT_STRIP}" "${SVC_RT_FOLDER}/${file}"
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "Cannot strip ${SVC_RT_FOLDER}/${file}")
        endif()
    endforeach()
endif()
