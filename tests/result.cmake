# upgrade_install --result on sample installations, each result file checked
# against docs/upgrade-result.schema.json; skipped without python3's jsonschema.
# A POSIX shell script that runs the installer directly: not for a Windows build.
if(NOT WIN32)
    add_test(NAME result_file
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/result/run_results.sh ${CMAKE_BINARY_DIR}/result-test
                $<TARGET_FILE:upgrade_install> $<TARGET_FILE:make_upgrade_package>
                $<TARGET_FILE:upgrade_install_helper> $<TARGET_FILE:db_manager>)
    set_tests_properties(result_file PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
