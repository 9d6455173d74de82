# tst_programclosing runs the installer with --close-programs.
if(TARGET tst_programclosing)
    add_dependencies(tst_programclosing upgrade_install)
    target_compile_definitions(tst_programclosing PRIVATE
        UPGRADE_INSTALL="$<TARGET_FILE:upgrade_install>")
endif()
# On Windows the program that ends when asked is close_window.exe, a window
# that ends on WM_CLOSE.
if(WIN32)
    add_executable(close_window wine/close_window.cpp)
    set_target_properties(close_window PROPERTIES AUTOMOC OFF
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests/wine")
    target_link_options(close_window PRIVATE -municode -static)
    if(TARGET tst_programclosing)
        add_dependencies(tst_programclosing close_window test_sh)
        target_compile_definitions(tst_programclosing PRIVATE
            CLOSE_WINDOW="$<TARGET_FILE:close_window>")
        # Its window needs an X display under wine.
        if(CMAKE_CROSSCOMPILING_EMULATOR)
            set_target_properties(tst_programclosing PROPERTIES
                CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run-x)
        endif()
    endif()
endif()
