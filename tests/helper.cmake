# Tests that run the suite's real database helper: it is built first and found
# through UPGRADE_INSTALL_HELPER, and the tests read the databases it writes.
# tst_installhelper also tests its statement splitter on its own.
if(TARGET upgrade_install_helper)
    foreach(test tst_installhelper tst_preflight tst_transaction tst_upgraderoad)
        add_dependencies(${test} upgrade_install_helper)
        target_compile_definitions(${test} PRIVATE
            UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
        target_link_libraries(${test} PRIVATE Qt5::Sql)
    endforeach()
    target_link_libraries(tst_installhelper PRIVATE upgrade_sql_script)
endif()
