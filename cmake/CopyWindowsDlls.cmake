# Install-time part of cmake/WindowsDistribution.cmake.
#
#   upgrade_copy_windows_dlls(<folder> <dll-folder> <objdump>)
#
# Copies into <folder> every DLL from <dll-folder> that a program or DLL in
# <folder> (or a plugin one level below it) imports, directly or through
# another such DLL. Imports not found there are left alone: they are Windows'
# own (scripts/package-windows checks that every import resolves). With
# `cmake --install --strip` their debug information is stripped too.
function(upgrade_copy_windows_dlls folder dll_folder objdump)
    file(GLOB available RELATIVE "${dll_folder}" "${dll_folder}/*.dll")
    foreach(name IN LISTS available)
        string(TOLOWER "${name}" key)
        set("available_${key}" "${name}")
    endforeach()
    file(GLOB queue "${folder}/*.exe" "${folder}/*.dll" "${folder}/*/*.dll")
    while(queue)
        list(POP_FRONT queue binary)
        execute_process(COMMAND "${objdump}" -p "${binary}"
            RESULT_VARIABLE result OUTPUT_VARIABLE headers ERROR_VARIABLE errors)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "${objdump} can't read ${binary}: ${errors}")
        endif()
        string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
        foreach(import IN LISTS imports)
            string(REGEX REPLACE "^DLL Name: (.+[^ \r])[ \r]*$" "\\1" import "${import}")
            string(TOLOWER "${import}" key)
            set(name "${available_${key}}")
            if(name AND NOT EXISTS "${folder}/${name}")
                message(STATUS "Installing: ${folder}/${name}")
                file(COPY "${dll_folder}/${name}" DESTINATION "${folder}")
                if(CMAKE_INSTALL_DO_STRIP AND UPGRADE_STRIP)
                    execute_process(COMMAND "${UPGRADE_STRIP}" --strip-debug "${folder}/${name}")
                endif()
                list(APPEND queue "${folder}/${name}")
            endif()
        endforeach()
    endwhile()
endfunction()
