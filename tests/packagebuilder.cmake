# tst_packagebuilder runs the command-line package builder once.
if(TARGET tst_packagebuilder AND TARGET make_upgrade_package)
    add_dependencies(tst_packagebuilder make_upgrade_package)
endif()
