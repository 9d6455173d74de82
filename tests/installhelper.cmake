# The suite's database helper: tst_installhelper starts it on real databases,
# so it is built first and found through UPGRADE_INSTALL_HELPER.
if(TARGET upgrade_install_helper AND TARGET tst_installhelper)
    add_dependencies(tst_installhelper upgrade_install_helper)
    target_compile_definitions(tst_installhelper PRIVATE
        UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
    # It reads the databases that the helper writes, and tests the statement
    # splitter on its own as well.
    target_link_libraries(tst_installhelper PRIVATE Qt5::Sql upgrade_sql_script)
endif()
