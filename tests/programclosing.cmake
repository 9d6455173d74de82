# tst_programclosing runs the installer with --close-programs.
if(TARGET tst_programclosing)
    add_dependencies(tst_programclosing upgrade_install)
    target_compile_definitions(tst_programclosing PRIVATE
        UPGRADE_INSTALL="$<TARGET_FILE:upgrade_install>")
endif()
