# tst_packagebuilder and tst_packagesignature run the command-line package
# builder.
#
# packagebuilder_diff_applied takes the author's and the administrator's road
# through the programs themselves: make_upgrade_package --diff OLD NEW OUT, the
# template filled in, the package built with the tool and applied by the
# installer without a window; the installation must then hold NEW exactly.
# Run with -P, this file is that test's script.
if(NOT CMAKE_SCRIPT_MODE_FILE)
    foreach(test tst_packagebuilder tst_packagesignature)
        if(TARGET ${test} AND TARGET make_upgrade_package)
            add_dependencies(${test} make_upgrade_package)
        endif()
    endforeach()
    if(TARGET make_upgrade_package AND TARGET upgrade_install)
        add_test(NAME packagebuilder_diff_applied
            COMMAND ${CMAKE_COMMAND}
                -DTOOL=$<TARGET_FILE:make_upgrade_package>
                -DINSTALLER=$<TARGET_FILE:upgrade_install>
                -DWORK=${CMAKE_CURRENT_BINARY_DIR}/diff-applied
                -P ${CMAKE_CURRENT_LIST_FILE})
        set_tests_properties(packagebuilder_diff_applied PROPERTIES
            ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
    endif()
    return()
endif()

# tree(ROOT path content path content ...): files, and "path/" "" for an
# empty folder.
function(tree root)
    math(EXPR last "${ARGC} - 1")
    foreach(i RANGE 1 ${last} 2)
        math(EXPR j "${i} + 1")
        set(path "${ARGV${i}}")
        set(content "${ARGV${j}}")
        if(path MATCHES "/$")
            file(MAKE_DIRECTORY "${root}/${path}")
        else()
            file(WRITE "${root}/${path}" "${content}")
        endif()
    endforeach()
endfunction()

# run(NAME dir command...): runs the command in dir, fails the test unless it
# exits with 0.
function(run name dir)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${dir}"
        RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT code EQUAL 0)
        message(FATAL_ERROR "${name} failed (${code}):\n${out}\n${err}")
    endif()
endfunction()

# listing(VAR root): every entry below root as "path" for a folder and
# "path=<SHA-256>" for a file; the installer's own files (its logs, the
# version record) left out.
function(listing var root)
    file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${root}" "${root}/*")
    set(result "")
    foreach(entry IN LISTS entries)
        if(entry MATCHES "^(logs|product/common)(/|$)")
            continue()
        endif()
        if(IS_DIRECTORY "${root}/${entry}")
            list(APPEND result "${entry}")
        else()
            file(SHA256 "${root}/${entry}" hash)
            list(APPEND result "${entry}=${hash}")
        endif()
    endforeach()
    list(SORT result)
    set(${var} "${result}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
tree("${WORK}/old"
    version.txt "2.1.0" product/bin/report.dll "old report" product/bin/keep.dll "keep"
    product/bin/old.dll "old" product/plugins/legacy/a.dll "a" product/plugins/current.dll "c"
    data/cache/x.bin "x" kept_empty/ "" tools/convert "a file")
tree("${WORK}/new"
    version.txt "2.1.9" product/bin/report.dll "new report" product/bin/keep.dll "keep"
    product/bin/new.dll "new" product/plugins/current.dll "c"
    data/cache "a file now" kept_empty/ "" product/new_module/lib/m.dll "m"
    product/new_module/logs/ "" new_top.txt "top" tools/convert/run.exe "a folder now")

run("make_upgrade_package --diff" "${WORK}" "${TOOL}" --diff old new out)
set(descriptor "${WORK}/out/upgrade/upgrade_config.xml")
file(READ "${descriptor}" xml)
string(REPLACE "PRODUCT_ID" "7" xml "${xml}")
string(REPLACE "FROM_VERSION" "2.1.0" xml "${xml}")
string(REPLACE "TO_VERSION" "2.1.9" xml "${xml}")
file(WRITE "${descriptor}" "${xml}")
run("make_upgrade_package" "${WORK}" "${TOOL}" out package.rcc)

# The installation of OLD: its record, relative to the working directory as
# the installer reads it, and the copy below the main directory.
set(suite "${WORK}/run/suite")
file(COPY "${WORK}/old/" DESTINATION "${suite}")
set(record "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<root>
 <module>
  <item key=\"software_product_id\" value=\"7\"/>
  <item key=\"software_version\" value=\"2.1.0\"/>
  <item key=\"isMain\" value=\"1\"/>
  <item key=\"isDb\" value=\"0\"/>
  <item key=\"MainPath\" value=\"${suite}\"/>
 </module>
</root>
")
file(WRITE "${WORK}/run/C:/Program Files/Tessaron/setup_config.xml" "${record}")
file(WRITE "${suite}/product/common/sysconfig/setup_config.xml" "${record}")
run("upgrade_install --unattended" "${WORK}/run"
    "${INSTALLER}" --unattended --package "${WORK}/package.rcc")

listing(expected "${WORK}/new")
listing(installed "${suite}")
if(NOT installed STREQUAL expected)
    string(REPLACE ";" "\n  " expected "${expected}")
    string(REPLACE ";" "\n  " installed "${installed}")
    message(FATAL_ERROR "the installation differs from the new tree.\nexpected:\n  ${expected}\n"
        "installed:\n  ${installed}")
endif()
file(REMOVE_RECURSE "${WORK}")
