# tst_packagebuilder and tst_packagesignature run the command-line package
# builder.
foreach(test tst_packagebuilder tst_packagesignature)
    if(TARGET ${test} AND TARGET make_upgrade_package)
        add_dependencies(${test} make_upgrade_package)
    endif()
endforeach()
