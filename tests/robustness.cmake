# The robustness sweep runs whole upgrades with the suite's real database
# helper, which it copies from the build tree into each sample installation.
if(TARGET tst_robustness AND TARGET upgrade_install_helper)
    add_dependencies(tst_robustness upgrade_install_helper)
endif()
