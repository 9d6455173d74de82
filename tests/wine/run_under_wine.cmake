# Runs a Windows program under wine for ctest, in a wine prefix of its own, and
# ends every process left in that prefix afterwards.
#   -DWINE=<loader> -DWINESERVER=<server> -DPREFIX=<dir> -DPROGRAM=<exe>
#   -DMISSING=<text>: the tools aren't there; fail with that text.
if(MISSING)
    message(FATAL_ERROR "${MISSING}")
endif()
if(NOT EXISTS "${PROGRAM}")
    message(FATAL_ERROR "The Windows test program ${PROGRAM} was not built.")
endif()

file(MAKE_DIRECTORY "${PREFIX}")
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
# No display and no dialogs: the prefix is created without asking to install
# Mono or Gecko, and no menu entries are written.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml,winemenubuilder.exe=d")
# Wine maps file names to Unix through the locale; non-ASCII names need UTF-8.
set(ENV{LC_ALL} "C.UTF-8")
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})

# The first run creates the prefix, which takes a while on a slow machine.
execute_process(COMMAND "${WINE}" "${PROGRAM}"
    RESULT_VARIABLE result
    TIMEOUT 500)

if(WINESERVER)
    execute_process(COMMAND "${WINESERVER}" -k OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
endif()

if(NOT result STREQUAL "0")
    message(FATAL_ERROR "${PROGRAM} under ${WINE} ended with: ${result}")
endif()
