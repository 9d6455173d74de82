# The Windows distribution folder: `cmake --install <build-win> --prefix DIR`
# lays it out, scripts/package-windows checks and zips it. Included by the top
# CMakeLists.txt on Windows only (the Linux install rules are the programs'
# own).
#
#   DIR/upgrade_install.exe, make_upgrade_package.exe, qt.conf, the Qt, MinGW
#       and libsodium DLLs they load, platforms/ styles/ imageformats/ (Qt's
#       plugins), translations/ (Qt's own texts)
#   DIR/product/<exe>/upgrade_install_helper.exe with its DLLs and sqldrivers/
#   DIR/platform/<exe>/db_manager.exe with its DLLs, platforms/, styles/ and sqldrivers/
#
# product/ and platform/ mirror the suite's main directory, where the
# installer looks for the helper and the project management tool; <exe> is
# the program folder an installation uses (the package's exe_path). Windows
# loads a program's DLLs from the program's own folder, so each program
# folder holds every DLL its program and plugins import; the install step
# finds them by following the imports (cmake/CopyWindowsDlls.cmake).

set(UPGRADE_WIN_EXE_PATH "bin" CACHE STRING
    "Program folder below product/ and platform/ in the Windows distribution")
set(UPGRADE_QT_TRANSLATIONS_DIR "/usr/share/qt5/translations" CACHE PATH
    "Qt's own translations (*.qm) for the distribution; the Windows SDK has none (qttranslations5-l10n)")
find_program(UPGRADE_MINGW_OBJDUMP x86_64-w64-mingw32-objdump REQUIRED)

get_target_property(upgrade_qtcore_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
if(NOT upgrade_qtcore_dll)
    message(FATAL_ERROR "Qt5::Core names no release DLL: is CMAKE_PREFIX_PATH the Windows Qt SDK?")
endif()
get_filename_component(upgrade_sdk_bin "${upgrade_qtcore_dll}" DIRECTORY)

set(upgrade_dist_product "product/${UPGRADE_WIN_EXE_PATH}")
set(upgrade_dist_platform "platform/${UPGRADE_WIN_EXE_PATH}")

install(TARGETS upgrade_install make_upgrade_package RUNTIME DESTINATION .)
install(TARGETS upgrade_install_helper RUNTIME DESTINATION ${upgrade_dist_product})
install(TARGETS db_manager RUNTIME DESTINATION ${upgrade_dist_platform})

# Qt's plugins, each into the folder below the program that loads it.
function(upgrade_install_qt_plugin plugin folder)
    install(FILES "$<TARGET_FILE:${plugin}>" DESTINATION ${folder})
endfunction()
foreach(folder . ${upgrade_dist_platform})
    upgrade_install_qt_plugin(Qt5::QWindowsIntegrationPlugin ${folder}/platforms)
    upgrade_install_qt_plugin(Qt5::QWindowsVistaStylePlugin ${folder}/styles)
endforeach()
upgrade_install_qt_plugin(Qt5::QICOPlugin imageformats) # the window icon
foreach(folder ${upgrade_dist_product} ${upgrade_dist_platform})
    upgrade_install_qt_plugin(Qt5::QSQLiteDriverPlugin ${folder}/sqldrivers)
endforeach()

# The installer loads Qt's texts from QLibraryInfo::TranslationsPath;
# qt.conf puts that into translations/ beside it.
install(FILES "${UPGRADE_QT_TRANSLATIONS_DIR}/qtbase_zh_CN.qm"
    "${UPGRADE_QT_TRANSLATIONS_DIR}/qtbase_zh_TW.qm" DESTINATION translations)
install(FILES "${PROJECT_SOURCE_DIR}/res/qt.conf" DESTINATION .)

# Last: the DLLs every program and plugin above imports, from the SDK.
install(CODE "
    set(UPGRADE_STRIP \"${CMAKE_STRIP}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/CopyWindowsDlls.cmake\")
    foreach(folder . \"${upgrade_dist_product}\" \"${upgrade_dist_platform}\")
        upgrade_copy_windows_dlls(\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${folder}\"
            \"${upgrade_sdk_bin}\" \"${UPGRADE_MINGW_OBJDUMP}\")
    endforeach()
")
