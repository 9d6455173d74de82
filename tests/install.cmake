# cmake --install lays the programs out as an installation has them, and the
# suite's two programs refuse to work where no suite is around them.
if(NOT WIN32)
    add_test(NAME install_layout
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install/check_layout.sh ${CMAKE_BINARY_DIR}
                ${CMAKE_BINARY_DIR}/install-test $<TARGET_FILE:upgrade_install_helper>
                $<TARGET_FILE:db_manager>)
    set_tests_properties(install_layout PROPERTIES TIMEOUT 120)
endif()
