# tst_dbmanager runs the built project management tool; so may the window test.
foreach(upgrade_tool_test tst_dbmanager tst_preupgradeguard)
    if(TARGET ${upgrade_tool_test})
        add_dependencies(${upgrade_tool_test} db_manager)
        target_compile_definitions(${upgrade_tool_test} PRIVATE
            DB_MANAGER_PATH="$<TARGET_FILE:db_manager>")
    endif()
endforeach()
# tst_dbmanager writes databases at a schema version.
if(TARGET tst_dbmanager)
    target_link_libraries(tst_dbmanager PRIVATE Qt5::Sql)
endif()
