# tst_transaction runs whole upgrades with the suite's real database helper,
# and the recovery after an upgrade stopped at each of its changes.
if(TARGET tst_transaction AND TARGET upgrade_install_helper)
    add_dependencies(tst_transaction upgrade_install_helper)
    target_compile_definitions(tst_transaction PRIVATE
        UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
    target_link_libraries(tst_transaction PRIVATE Qt5::Sql)
endif()
