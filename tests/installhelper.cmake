# The suite's database helper: the tests that start it need it built first,
# and find it through UPGRADE_INSTALL_HELPER.
if(TARGET upgrade_install_helper)
    foreach(helper_test tst_installhelper tst_databasestep)
        if(TARGET ${helper_test})
            add_dependencies(${helper_test} upgrade_install_helper)
            target_compile_definitions(${helper_test} PRIVATE
                UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
            # Both read the databases that the helper writes.
            target_link_libraries(${helper_test} PRIVATE Qt5::Sql)
        endif()
    endforeach()
    if(TARGET tst_installhelper)
        # The statement splitter is tested on its own as well.
        target_link_libraries(tst_installhelper PRIVATE upgrade_sql_script)
    endif()
endif()
