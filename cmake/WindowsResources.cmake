# The Windows resources of the suite's programs: res/program.rc.in and
# res/program.manifest.in configured per program into <build>/res/, with the
# version from project(VERSION). Configured on every platform, so the
# windres_rc test checks them on Linux too; compiled into the program only on
# Windows.
#
#   upgrade_windows_resources(<target> <name> <description>)
#
# <name> is the program's file name without ".exe".
function(upgrade_windows_resources target name description)
    set(UPGRADE_RC_NAME "${name}")
    set(UPGRADE_RC_DESCRIPTION "${description}")
    set(UPGRADE_RC_ICON "${PROJECT_SOURCE_DIR}/res/sys_upgrade.ico")
    set(UPGRADE_RC_MANIFEST "${PROJECT_BINARY_DIR}/res/${name}.manifest")
    configure_file("${PROJECT_SOURCE_DIR}/res/program.manifest.in" "${UPGRADE_RC_MANIFEST}" @ONLY)
    configure_file("${PROJECT_SOURCE_DIR}/res/program.rc.in"
        "${PROJECT_BINARY_DIR}/res/${name}.rc" @ONLY)
    if(WIN32)
        target_sources(${target} PRIVATE "${PROJECT_BINARY_DIR}/res/${name}.rc")
        # windres doesn't see the manifest as a dependency of the script.
        set_source_files_properties("${PROJECT_BINARY_DIR}/res/${name}.rc" PROPERTIES
            OBJECT_DEPENDS "${UPGRADE_RC_MANIFEST};${UPGRADE_RC_ICON}")
    endif()
endfunction()
