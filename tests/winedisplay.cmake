# Under wine a test with a window needs an X display (the offscreen plugin
# hangs there): such tests of the Windows build run on Xvfb.
if(WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
    foreach(test tst_packageloading tst_robustness tst_upgraderoad tst_logview tst_progresspanel
            tst_statusform tst_readmedialog tst_applicationstyle tst_look)
        if(TARGET ${test})
            set_target_properties(${test} PROPERTIES
                CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run-x)
        endif()
    endforeach()
endif()
