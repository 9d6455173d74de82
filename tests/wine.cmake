# The Windows process list, checked on Linux: the Qt-free core and a small test
# program are cross-compiled with MinGW-w64 and run under wine. Missing tools
# make the test fail, not skip (scripts/common.sh installs mingw-w64 and wine64).

find_program(UPGRADE_MINGW_CXX x86_64-w64-mingw32-g++)
# Debian's wine64 package puts its loader outside the search path.
find_program(UPGRADE_WINE NAMES wine64 wine
    PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin)
get_filename_component(upgrade_wine_bindir "${UPGRADE_WINE}" DIRECTORY)
find_program(UPGRADE_WINESERVER NAMES wineserver64 wineserver
    HINTS "${upgrade_wine_bindir}" PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin)

set(upgrade_wine_dir "${CMAKE_CURRENT_BINARY_DIR}/wine")
set(upgrade_wine_exe "${upgrade_wine_dir}/winprocess_selftest.exe")
set(upgrade_wine_missing "")

if(UPGRADE_MINGW_CXX)
    set(upgrade_wine_sources
        ${CMAKE_CURRENT_SOURCE_DIR}/wine/winprocess_selftest.cpp
        ${CMAKE_SOURCE_DIR}/platform/WinProcessSnapshot_win.cpp)
    add_custom_command(OUTPUT "${upgrade_wine_exe}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${upgrade_wine_dir}"
        COMMAND "${UPGRADE_MINGW_CXX}" -std=c++17 -O1 -Wall -Wextra -static
            -I${CMAKE_SOURCE_DIR}/platform
            -o "${upgrade_wine_exe}" ${upgrade_wine_sources} -lpsapi
        DEPENDS ${upgrade_wine_sources} ${CMAKE_SOURCE_DIR}/platform/WinProcessSnapshot.h
            ${CMAKE_CURRENT_SOURCE_DIR}/wine/SelfTest.h
        COMMENT "Cross-compiling the Windows process list self-test"
        VERBATIM)
    add_custom_target(winprocess_selftest ALL DEPENDS "${upgrade_wine_exe}")
else()
    set(upgrade_wine_missing
        "x86_64-w64-mingw32-g++ not found: install mingw-w64 (scripts/common.sh does) and re-run cmake.")
endif()
if(NOT UPGRADE_WINE)
    set(upgrade_wine_missing
        "${upgrade_wine_missing} wine64/wine not found: install wine64 (scripts/common.sh does) and re-run cmake.")
endif()

add_test(NAME winprocess_wine
    COMMAND ${CMAKE_COMMAND}
        -DWINE=${UPGRADE_WINE}
        -DWINESERVER=${UPGRADE_WINESERVER}
        -DPREFIX=${upgrade_wine_dir}/prefix
        -DPROGRAM=${upgrade_wine_exe}
        -DMISSING=${upgrade_wine_missing}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/wine/run_under_wine.cmake)
set_tests_properties(winprocess_wine PROPERTIES TIMEOUT 600)

# File replacement, in-use checks, links and child-process jobs: the Qt-free
# platform layer and its self-test, run in the same wine prefix. The two wine
# tests take turns (each ends all wine processes of the prefix when done).
set(upgrade_winfs_exe "${upgrade_wine_dir}/winfs_selftest.exe")
if(UPGRADE_MINGW_CXX)
    set(upgrade_winfs_sources
        ${CMAKE_CURRENT_SOURCE_DIR}/wine/winfs_selftest.cpp
        ${CMAKE_SOURCE_DIR}/platform/WinFileSystem_win.cpp
        ${CMAKE_SOURCE_DIR}/platform/WinJob_win.cpp)
    add_custom_command(OUTPUT "${upgrade_winfs_exe}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${upgrade_wine_dir}"
        COMMAND "${UPGRADE_MINGW_CXX}" -std=c++17 -O1 -Wall -Wextra -static
            -I${CMAKE_SOURCE_DIR}/platform
            -o "${upgrade_winfs_exe}" ${upgrade_winfs_sources} -lrstrtmgr
        DEPENDS ${upgrade_winfs_sources} ${CMAKE_SOURCE_DIR}/platform/WinFileSystem.h
            ${CMAKE_SOURCE_DIR}/platform/WinJob.h ${CMAKE_CURRENT_SOURCE_DIR}/wine/SelfTest.h
        COMMENT "Cross-compiling the Windows file system and job self-test"
        VERBATIM)
    add_custom_target(winfs_selftest ALL DEPENDS "${upgrade_winfs_exe}")
endif()

add_test(NAME winfs_wine
    COMMAND ${CMAKE_COMMAND}
        -DWINE=${UPGRADE_WINE}
        -DWINESERVER=${UPGRADE_WINESERVER}
        -DPREFIX=${upgrade_wine_dir}/prefix
        -DPROGRAM=${upgrade_winfs_exe}
        -DMISSING=${upgrade_wine_missing}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/wine/run_under_wine.cmake)
set_tests_properties(winfs_wine winprocess_wine PROPERTIES
    TIMEOUT 600 RESOURCE_LOCK upgrade_wine_prefix)
# A Unix symbolic link for the self-test: wine shows it as a reparse point.
set(upgrade_winfs_links "${upgrade_wine_dir}/winfs_links")
file(MAKE_DIRECTORY "${upgrade_winfs_links}/target")
file(TOUCH "${upgrade_winfs_links}/target/inner.txt")
file(CREATE_LINK target "${upgrade_winfs_links}/link" SYMBOLIC)
# Links for the check that writes stay inside a main folder: inside ones,
# outside ones at several levels, a chain, a loop, a sibling whose name starts
# like the main folder's, and the main folder reached through a link.
set(upgrade_guard_links "${upgrade_winfs_links}/guard")
file(MAKE_DIRECTORY "${upgrade_guard_links}/main/sub" "${upgrade_guard_links}/main2"
    "${upgrade_guard_links}/outside")
file(CREATE_LINK sub "${upgrade_guard_links}/main/in" SYMBOLIC)
file(CREATE_LINK ../outside "${upgrade_guard_links}/main/out" SYMBOLIC)
file(CREATE_LINK "${upgrade_guard_links}/outside" "${upgrade_guard_links}/main/sub/deep" SYMBOLIC)
file(CREATE_LINK out "${upgrade_guard_links}/main/hop" SYMBOLIC)
file(CREATE_LINK ../main2 "${upgrade_guard_links}/main/sib" SYMBOLIC)
file(CREATE_LINK loop2 "${upgrade_guard_links}/main/loop1" SYMBOLIC)
file(CREATE_LINK loop1 "${upgrade_guard_links}/main/loop2" SYMBOLIC)
file(CREATE_LINK main "${upgrade_guard_links}/suite" SYMBOLIC)
