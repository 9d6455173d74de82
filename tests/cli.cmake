# tst_unattended runs the installer itself, as an administrator's tool would.
if(TARGET tst_unattended)
    add_dependencies(tst_unattended upgrade_install)
    target_compile_definitions(tst_unattended PRIVATE
        UPGRADE_INSTALL="$<TARGET_FILE:upgrade_install>")
    # and tests the console's progress lines in itself
    target_link_libraries(tst_unattended PRIVATE upgrade_cli)
endif()
