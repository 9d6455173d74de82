#!/usr/bin/env bash
# check_layout.sh BUILD PREFIX HELPER TOOL: installs BUILD into PREFIX, checks
# where every program lands, that the installed helper and tool work on
# PREFIX as their main directory, and that the build tree's copies (not in a
# suite) refuse instead of taking a folder two levels up for one.
set -u
build=$1 prefix=$2 helper=$3 tool=$4
failures=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; exit 1; }
for program in bin/upgrade_install bin/make_upgrade_package product/bin/upgrade_install_helper.exe \
    platform/bin/db_manager.exe; do
    check "$program installed" test -x "$prefix/$program"
done

# Installed: the main directory is PREFIX.
mkdir -p "$prefix/data"
"$prefix/platform/bin/db_manager.exe" --no-gui --list >"$prefix.out" 2>&1
check "installed tool lists PREFIX's backups (exit $?)" test $? -eq 0
mkdir -p "$prefix/sql" && echo "CREATE TABLE t(x);" >"$prefix/sql/001.sql"
"$prefix/product/bin/upgrade_install_helper.exe" --before "$prefix/sql" >"$prefix.out" 2>&1
check "installed helper writes PREFIX/data/suite.db" test -f "$prefix/data/suite.db"

# Not in a suite: refused with the reason, nothing made two levels up.
above=$(cd "$(dirname "$helper")/../.." && pwd)
"$helper" --status >"$prefix.out" 2>&1
code=$?
check "helper outside a suite refuses (exit $code)" test $code -eq 1
check "  and says why" grep -q "找不到套件" "$prefix.out"
"$helper" --before "$prefix/sql" >"$prefix.out" 2>&1
check "helper run outside a suite fails" test $? -ne 0
check "  and makes no database above it" test ! -e "$above/data/suite.db"
"$tool" --no-gui --list >"$prefix.out" 2>&1
code=$?
check "tool outside a suite refuses (exit $code)" test $code -eq 1
check "  and says why" grep -q "找不到套件" "$prefix.out"

rm -rf "$prefix" "$prefix.log" "$prefix.out"
exit $((failures > 0))
