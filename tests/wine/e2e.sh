#!/usr/bin/env bash
# The Windows installer end to end under wine, checked from Linux:
#
#   tests/wine/e2e.sh WINDOWS-BUILD [LINUX-BUILD]
#
# A fresh wine prefix in WINDOWS-BUILD/tests/e2e holds a sample installation
# below "C:/Program Files/Tessaron" (the record there, as on a real machine,
# the database, the suite's helper and project tool); packages are built with
# LINUX-BUILD's make_upgrade_package (default: the source tree's build/), and
# scripts run through the test double of sh (tests/shell/sh.exe). The checks:
# an unattended upgrade (tree, records, database, log), the same package again
# (nothing to do, its result file), each program's --version, a failing package
# rolled back byte for byte, a kill mid-upgrade and --recover, a file held open
# by another Windows process, a second installer, the script's children ending
# with the installer, and links on the way. One PASS/FAIL/SKIP line per check;
# the exit code is 1 when any check failed.
set -uo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
win=$(cd "${1:?usage: e2e.sh WINDOWS-BUILD [LINUX-BUILD]}" && pwd)
lin=$(cd "${2:-$src/build}" && pwd)
started=$(date +%s)

sdk=$win/sdk/qt5-win64
work=$win/tests/e2e
installer=$win/upgrade_install.exe
builder=$lin/tools/make_upgrade_package/make_upgrade_package
for f in "$installer" "$win/tools/upgrade_install_helper/upgrade_install_helper.exe" \
    "$win/tools/db_manager/db_manager.exe" "$win/tests/shell/sh.exe" "$win/tests/wine/hold_file.exe" \
    "$builder"; do
    [ -f "$f" ] || { echo "FAIL e2e: $f is not built"; exit 1; }
done

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" LC_ALL=C.UTF-8
WINEPATH="$(winpath "$sdk/bin");$(winpath "$win/tests/shell")"
QT_PLUGIN_PATH=$(winpath "$sdk/plugins")
export WINEPATH QT_PLUGIN_PATH
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
trap '"$wineserver" -k >/dev/null 2>&1' EXIT

failed=0
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1${2:+: $2}"; failed=1; }
skip() { echo "SKIP $1: $2"; }
check() { # check NAME COMMAND...: PASS when the command succeeds
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

# run NAME ARGS...: the installer under wine (at most 90 seconds); its output
# in $work/NAME.out and .err, its exit code in $code.
run() {
    local name=$1
    shift
    timeout -k 10 90 "$wine" "$installer" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null
    code=$?
}
expect_code() { # expect_code NAME WANTED
    if [ "$code" -eq "$2" ]; then
        pass "$1: exit code $2"
    else
        fail "$1: exit code $code, expected $2" "$(tail -n 5 "$work/$1.err" | tr '\n' ' ')"
    fi
}

echo "Creating the wine prefix $WINEPREFIX"
timeout -k 10 300 "$wine" cmd.exe /c exit >/dev/null 2>&1 || { fail "wine prefix" "wine did not start"; exit 1; }

# ---- the sample installation ----------------------------------------------
inst="$WINEPREFIX/drive_c/Program Files/Tessaron"
# Named for this run, so that the processes looked for are this run's.
suite=Suite-$$
main="$inst/$suite"
main_win="C:\\Program Files\\Tessaron\\$suite"
outside="$WINEPREFIX/drive_c/outside"
mkdir -p "$main/platform/bin" "$main/product/bin/plugins/legacy" "$main/product/common/sysconfig" \
    "$main/data" "$outside"
source "$src/scripts/sample.sh"
# The sample record, naming the main directory as the installer there sees it.
record() { main=$main_win sample_record "$1"; }
record 3.2.1 >"$inst/setup_config.xml"
record 3.2.1 >"$main/product/common/sysconfig/setup_config.xml"
printf 'suite client 3.2.1\n' >"$main/platform/bin/suite_client.dat"
printf 'report engine 3.2.1\n' >"$main/product/bin/report.dll"
printf 'old plugin\n' >"$main/product/bin/old_plugin.dll"
printf 'legacy plugin\n' >"$main/product/bin/plugins/legacy/legacy.dll"
printf 'user notes, kept by the upgrade\n' >"$main/product/bin/notes.txt"
cp "$win/tools/upgrade_install_helper/upgrade_install_helper.exe" "$main/product/bin/"
cp "$win/tools/db_manager/db_manager.exe" "$main/platform/bin/"
sqlite3 "$main/data/suite.db" <<'EOF'
CREATE TABLE projects (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
INSERT INTO projects (name) VALUES ('North bridge'), ('Harbour depot');
EOF

# package NAME FROM TO [DB]: an empty package source in $work/NAME with its
# descriptor; fill $up, then build with make_package NAME.
package() {
    up="$work/$1/upgrade"
    mkdir -p "$up"
    sample_descriptor "$2" "$3" "${4:-0}" >"$up/upgrade_config.xml"
}
put() { mkdir -p "$(dirname "$up/$1")" && printf '%s' "$2" >"$up/$1"; }
make_package() {
    "$builder" "$work/$1" "$work/$1.rcc" >"$work/$1.build" 2>&1 \
        || { fail "package $1 built" "$(cat "$work/$1.build")"; return 1; }
    pkg_win=$(winpath "$work/$1.rcc")
}
# A listing of the whole installation with a checksum per file (links and
# folders as such), leaving out the logs the installer documents it writes.
listing() {
    (cd "$inst" && find . -path "./$suite/logs" -prune -o -printf '%y %p %l\n' | sort | while read -r t p l; do
        if [ "$t" = f ]; then echo "$t $p $(sha256sum <"$p" | cut -c1-64)"; else echo "$t $p $l"; fi
    done)
}
version_of() { sed -n 's/.*key="software_version" value="\([^"]*\)".*/\1/p' "$1"; }
newest_log() { ls -t "$main/logs"/upgrade-*.log 2>/dev/null | head -n 1; }
# procs TEXT: the live processes whose command line holds TEXT (pid, command).
procs() { ps -eo pid=,stat=,args= | awk '$2 !~ /^Z/' | grep -F -- "$1" | grep -v grep; }
# kill_installer JOB: kill -9 the wine process of the installer started in
# the background as JOB (its command line starts with the program; JOB itself
# is the timeout that started it), and wait for JOB.
kill_installer() {
    local pid
    pid=$(ps -eo pid=,args= | while read -r p a; do
        [[ $a == "$installer --unattended"* ]] && echo "$p"; done | head -n 1)
    if [ -n "$pid" ]; then
        kill -9 "$pid"
    else
        fail "the installer's wine process found"
        kill -9 "$1"
    fi
    { wait "$1"; } 2>/dev/null
}
wait_for() { # wait_for FILE SECONDS
    local i
    for ((i = 0; i < $2 * 10; i++)); do [ -e "$1" ] && return 0; sleep 0.1; done
    return 1
}

# ---- 1. an unattended upgrade ---------------------------------------------
package upgrade 3.2.0 3.2.4 1
put delete/product/bin/old_plugin.dll 'old plugin'
mkdir -p "$up/delete/product/bin/plugins/legacy"
put update/product/bin/report.dll $'report engine 3.2.4\n'
put add/product/bin/new_feature.dll $'new feature 3.2.4\n'
put add/product/bin/notes.txt 'must not replace the installed notes'
put add/docs/manual.md $'# 使用手册\n'
put shell/shell_before/01_stop.bat $'# stops the services\necho before: services stopped >> upgrade_scripts.log\n'
put shell/shell_after/01_register.bat $'echo after: registered >> upgrade_scripts.log\necho registered\n'
put db/db_before/V3_2_4_01__status.sql "ALTER TABLE projects ADD COLUMN status TEXT NOT NULL DEFAULT 'active';"
put db/db_after/V3_2_4_02__notes.sql "CREATE TABLE release_notes (version TEXT PRIMARY KEY); INSERT INTO release_notes VALUES ('3.2.4');"
make_package upgrade
run upgrade --unattended --package "$pkg_win"
expect_code upgrade 0
check "upgrade: report.dll updated" grep -qx 'report engine 3.2.4' "$main/product/bin/report.dll"
check "upgrade: new_feature.dll and docs/manual.md added" test -f "$main/product/bin/new_feature.dll" -a -f "$main/docs/manual.md"
check "upgrade: installed notes kept" grep -q 'user notes' "$main/product/bin/notes.txt"
check "upgrade: old_plugin.dll and plugins/legacy deleted" test ! -e "$main/product/bin/old_plugin.dll" -a ! -e "$main/product/bin/plugins/legacy"
check "upgrade: before and after scripts ran through the test sh" \
    test "$(cat "$main/upgrade_scripts.log" 2>/dev/null)" = $'before: services stopped\nafter: registered'
check "upgrade: record in C:/Program Files/Tessaron carries 3.2.4" test "$(version_of "$inst/setup_config.xml")" = 3.2.4
check "upgrade: second record carries 3.2.4" test "$(version_of "$main/product/common/sysconfig/setup_config.xml")" = 3.2.4
has_status() { sqlite3 "$main/data/suite.db" 'SELECT status FROM projects' >/dev/null; }
check "upgrade: database has the status column" has_status
check "upgrade: database has the release notes" test "$(sqlite3 "$main/data/suite.db" 'SELECT version FROM release_notes')" = 3.2.4
check "upgrade: staging, backup and journal gone" \
    test ! -e "$main/upgrade_temp" -a ! -e "$main/upgrade_backup" -a ! -e "$main/upgrade_journal.txt"
log=$(newest_log)
check "upgrade: log written below logs/" test -n "$log"
log_has() { grep -q "$1" "$log" && grep -q "$2" "$log"; }
check "upgrade: log holds the script's output and the result" log_has 'registered' '(退出码0)'
# Paths are shown the Windows way: no path on a drive with a '/' in it.
mixed() { grep -E '[A-Za-z]:[\\/]' "$1" | grep -F / | head -n 3 | tr '\n' ' '; }
if [ -z "$(mixed "$log")" ]; then
    pass "upgrade: the log names paths with \ only"
else
    fail "upgrade: the log names paths with \ only" "$(mixed "$log")"
fi

# ---- 1b. the same package again: nothing to do, said in the result --------
scripts_before=$(cat "$main/upgrade_scripts.log" 2>/dev/null)
run again --unattended --package "$pkg_win" --result "$(winpath "$work/again.json")"
expect_code again 0
check "again: 已是最新版本,无需升级, no script ran" \
    test "$(tail -n 1 "$work/again.out" | tr -d '\r')" = '结果:已是最新版本,无需升级(退出码0)' -a \
    "$(cat "$main/upgrade_scripts.log" 2>/dev/null)" = "$scripts_before"
result_fits() { # the result file against its schema, with its outcome
    python3 - "$src/docs/upgrade-result.schema.json" "$work/again.json" <<'PY'
import json, sys
import jsonschema
schema, result = (json.load(open(f, encoding="utf-8")) for f in sys.argv[1:])
jsonschema.validate(result, schema)
assert (result["outcome"], result["changed"]) == ("up-to-date", False), result
assert result["mainDirectory"].startswith("C:\\Program Files\\Tessaron\\"), result
PY
}
if python3 -c 'import jsonschema' 2>/dev/null; then
    check "again: the result file fits its schema, up to date" result_fits
else
    skip "again: the result file fits its schema" "python3's jsonschema is not installed"
fi
for program in "$installer" "$win/tools/upgrade_install_helper/upgrade_install_helper.exe" \
    "$win/tools/db_manager/db_manager.exe" "$win/tools/make_upgrade_package/make_upgrade_package.exe"; do
    name=$(basename "$program" .exe)
    version=$(timeout -k 10 60 "$wine" "$program" --version 2>/dev/null </dev/null | tr -d '\r')
    check "$name --version" test "$version" = "$name $(sed -n 's/^project(upgrade_install VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")"
done

# ---- 2. many files replaced, twice -----------------------------------------
# The files staged before are written to disk while they and the installed
# files are replaced: flushing must not hold a file a replacement opens.
mkdir -p "$main/product/lib"
head -c 1048576 /dev/urandom >"$work/blob"
for ((i = 0; i < 60; i++)); do
    { printf 'library %d\n' $i; cat "$work/blob"; } >"$main/product/lib/lib$i.dll"
done
for round in 1 2; do
    package "many$round" 3.2.4 3.2.4
    mkdir -p "$up/update/product/lib"
    for ((i = 0; i < 60; i++)); do
        { printf 'library %d round %d\n' $i $round; cat "$work/blob"; } >"$up/update/product/lib/lib$i.dll"
    done
    make_package "many$round"
    run "many$round" --unattended --package "$pkg_win"
    expect_code "many$round" 0
    many_done() { [ "$(grep -l "round $round" "$main"/product/lib/*.dll | wc -l)" -eq 60 ]; }
    check "many$round: all 60 files replaced" many_done
done

# ---- 3. a failing package, rolled back byte for byte ----------------------
package failing 3.2.4 3.2.5
put delete/product/bin/new_feature.dll 'x'
put update/product/bin/report.dll 'report engine 3.2.5'
put add/product/bin/extra.dll 'extra'
put shell/shell_after/01_fail.bat $'echo about to fail >&2\nexit 7\n'
make_package failing
before=$(listing)
run failing --unattended --package "$pkg_win"
expect_code failing 1
check "failing: tree restored byte for byte (all but logs/)" test "$before" = "$(listing)"
log=$(newest_log)
check "failing: the log names the script's exit code and its error output" \
    log_has '退出码为7' 'about to fail'

# ---- 4. a file held open by another Windows process -----------------------
package held 3.2.4 3.2.5
put update/product/bin/report.dll 'report engine 3.2.5'
make_package held
before=$(listing)
rm -f "$work/held.ready" "$work/held.stop"
timeout -k 5 200 "$wine" "$win/tests/wine/hold_file.exe" "$(winpath "$main/product/bin/report.dll")" \
    "$(winpath "$work/held.ready")" "$(winpath "$work/held.stop")" >/dev/null 2>&1 &
holder=$!
if wait_for "$work/held.ready" 60; then
    run held --unattended --package "$pkg_win"
    expect_code held 6
    check "held: the pre-flight names report.dll as in use" grep -qF 'product\bin\report.dll正被其他程序占用' "$work/held.err"
    check "held: nothing changed" test "$before" = "$(listing)"
else
    fail "held: hold_file.exe did not open the file"
fi
touch "$work/held.stop"
wait "$holder"

# ---- 5. links on the way --------------------------------------------------
package links 3.2.4 3.2.5
put update/product/bin/ext/plugin.dll 'replaced'
put update/product/bin/junction/plugin.dll 'replaced'
make_package links
printf 'outside\n' >"$outside/plugin.dll"
ln -s "$outside" "$main/product/bin/ext"
before=$(listing)
run links --unattended --package "$pkg_win"
expect_code "links" 6
check "links: the symbolic link is named" grep -qF 'product\bin\ext指向安装目录之外' "$work/links.err"
check "links: nothing changed, outside untouched" \
    test "$before" = "$(listing)" -a "$(cat "$outside/plugin.dll")" = outside
rm "$main/product/bin/ext"
timeout -k 5 60 "$wine" cmd.exe /c mklink /J "$main_win\\product\\bin\\junction" 'C:\outside' \
    >"$work/mklink.out" 2>&1
if [ -e "$main/product/bin/junction" ] || [ -L "$main/product/bin/junction" ]; then
    before=$(listing)
    run junction --unattended --package "$pkg_win"
    expect_code junction 6
    check "junction: nothing changed" test "$before" = "$(listing)"
    rm -rf "$main/product/bin/junction"
else
    skip "junction" "wine's mklink /J made no junction ($(tr -d '\r' <"$work/mklink.out" | head -n 1))"
fi

# ---- 6. a kill mid-upgrade, a second installer, the script's children ----
shell_exe="$(winpath "$win/tests/shell")\\sh.exe"
for stage in before after; do
    name="killed in the $stage script"
    package "killed_$stage" 3.2.4 3.2.6
    put update/product/bin/report.dll 'report engine 3.2.6'
    put add/product/bin/more.dll 'more'
    put delete/product/bin/notes.txt 'x'
    # The script starts a child (sleep 987 in a second sh.exe), marks that it
    # runs and waits; after the file steps, the files are changed by then.
    put "shell/shell_$stage/01_wait.bat" "sleep 987 &
touch '$(winpath "$work/killed.running")'
sleep 120
"
    make_package "killed_$stage"
    before=$(listing)
    rm -f "$work/killed.running"
    timeout -k 10 240 "$wine" "$installer" --unattended --package "$pkg_win" \
        >"$work/killed_$stage.out" 2>"$work/killed_$stage.err" </dev/null &
    first=$!
    if ! wait_for "$work/killed.running" 120; then
        kill -9 "$first" 2>/dev/null
        fail "$name: the script runs" "$(tail -n 5 "$work/killed_$stage.err" | tr '\n' ' ')"
        continue
    fi
    child_runs() { procs "$shell_exe -c sleep 987" >/dev/null; }
    check "$name: the script's child runs" child_runs
    run "second_$stage" --unattended --package "$pkg_win"
    expect_code "second_$stage" 5
    kill_installer "$first"
    # The script runs as "sh C:/.../01_wait.bat", its child as sh.exe -c.
    left() { procs "01_wait.bat"; procs "$shell_exe"; }
    for ((i = 0; i < 100; i++)); do
        [ -z "$(left)" ] && break
        sleep 0.1
    done
    if [ -z "$(left)" ]; then
        pass "$name: the script and its child ended with the installer (job object)"
    else
        fail "$name: the script and its child ended with the installer (job object)" \
            "$(left | tr '\n' ' ')"
        left | while read -r p _; do kill -9 "$p"; done
    fi
    check "$name: the journal is left for the recovery" test -e "$main/upgrade_journal.txt"
    run "recover_$stage" --recover
    expect_code "recover_$stage" 0
    check "$name, recovered: tree as before the upgrade (all but logs/)" test "$before" = "$(listing)"
    check "$name, recovered: record keeps 3.2.4" test "$(version_of "$inst/setup_config.xml")" = 3.2.4
    check "$name, recovered: its log says the upgrade was undone" \
        grep -q '已恢复到升级前的版本' "$(newest_log)"
done

# ---- 7. a kill while the database helper runs -----------------------------
package dbkill 3.2.4 3.2.7 1
put update/product/bin/report.dll 'report engine 3.2.7'
# A step that takes minutes: the helper is killed long before it ends.
put db/db_before/V3_2_7_01__slow.sql \
    'WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 1000000000) SELECT count(*) FROM c;'
make_package dbkill
before=$(listing)
timeout -k 10 240 "$wine" "$installer" --unattended --package "$pkg_win" \
    >"$work/dbkill.out" 2>"$work/dbkill.err" </dev/null &
first=$!
# The helper at work, not its start-up probe (--help) of the pre-flight.
helper_exe=$main_win'\product\bin\upgrade_install_helper.exe --up yes'
helper_runs() { procs "$helper_exe" >/dev/null; }
for ((i = 0; i < 600; i++)); do helper_runs && break; sleep 0.1; done
if helper_runs; then
    pass "dbkill: the database helper runs"
    kill_installer "$first"
    for ((i = 0; i < 100; i++)); do helper_runs || break; sleep 0.1; done
    if helper_runs; then
        fail "dbkill: the helper ended with the installer (job object)" "$(procs "$helper_exe")"
        procs "$helper_exe" | while read -r p _; do kill -9 "$p"; done
    else
        pass "dbkill: the helper ended with the installer (job object)"
    fi
    run dbrecover --recover
    expect_code dbrecover 0
    check "dbrecover: tree and database as before the upgrade (all but logs/)" test "$before" = "$(listing)"
else
    kill -9 "$first" 2>/dev/null
    fail "dbkill: the database helper runs" "$(tail -n 5 "$work/dbkill.err" | tr '\n' ' ')"
fi

# ---- 8. the project tool's text on a console and through a pipe -----------
# On a terminal wine gives the program a console: its text must arrive as
# text there (the console's code page made most of it '?'), and as UTF-8
# through a pipe. The terminal's control sequences are dropped before looking.
tool=$win/tools/db_manager/db_manager.exe
timeout -k 5 60 "$wine" "$tool" --help >"$work/tool-pipe.out" 2>&1 </dev/null
check "tool: its usage through a pipe is UTF-8 text" grep -q "用法: db_manager.exe" "$work/tool-pipe.out"
if command -v script >/dev/null; then
    TERM=dumb timeout -k 5 60 script -qec "'$wine' '$tool' --help" /dev/null </dev/null 2>&1 |
        sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' >"$work/tool-console.out"
    check "tool: its usage on a console reads as text" grep -q "用法:" "$work/tool-console.out"
else
    skip "tool: its usage on a console" "no script(1) here to give it a terminal"
fi

echo "e2e under wine took $(($(date +%s) - started)) s"
exit $failed
