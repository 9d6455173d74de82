# The whole road through the window runs the suite's real database helper.
if(TARGET tst_upgraderoad AND TARGET upgrade_install_helper)
    add_dependencies(tst_upgraderoad upgrade_install_helper)
    target_compile_definitions(tst_upgraderoad PRIVATE
        UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
    target_link_libraries(tst_upgraderoad PRIVATE Qt5::Sql)
endif()
