# tst_preflight asks the suite's real database helper for its usage, so the
# helper is built first and found through UPGRADE_INSTALL_HELPER.
if(TARGET upgrade_install_helper AND TARGET tst_preflight)
    add_dependencies(tst_preflight upgrade_install_helper)
    target_compile_definitions(tst_preflight PRIVATE
        UPGRADE_INSTALL_HELPER="$<TARGET_FILE:upgrade_install_helper>")
endif()
