# deploy/upgrade.yml rolled out by ansible-playbook to three local hosts and an
# unreachable one with the built installer; skipped where ansible-playbook is missing.
add_test(NAME deploy_playbook
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/deploy/run_playbook.sh ${CMAKE_BINARY_DIR}/deploy-test
            $<TARGET_FILE:upgrade_install> $<TARGET_FILE:make_upgrade_package>
            $<TARGET_FILE:upgrade_install_helper> $<TARGET_FILE:db_manager>)
set_tests_properties(deploy_playbook PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
