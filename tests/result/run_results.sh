#!/usr/bin/env bash
# Runs the installer on sample installations with --result and validates each
# result file against docs/upgrade-result.schema.json (python3's jsonschema),
# with the outcome and exit code each run must report.
#
#   run_results.sh WORK INSTALLER PACKAGE_BUILDER DB_HELPER DB_MANAGER
#
# Exit code 77 (skipped) when python3's jsonschema is missing.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
[ $# -eq 5 ] || { sed -n '6p' "$0" >&2; exit 2; }
work=$1 installer=$2 builder=$3 helper=$4 manager=$5
python3 -c 'import jsonschema' 2>/dev/null || {
    echo "SKIP: python3's jsonschema is not installed (apt-get install python3-jsonschema)"
    exit 77
}
source "$root/scripts/sample.sh"
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)
sample_package "$work" "$builder" >/dev/null || { echo "FAIL: the sample package was not built"; exit 1; }
failed=0

# check NAME OUTCOME CODE SETUP [OPTIONS...]: a fresh installation, SETUP run in
# it, then the installer with the options and --result.
check() {
    local name=$1 outcome=$2 code=$3 setup=$4
    shift 4
    local dir="$work/$name"
    sample_installation "$dir" "$helper" "$manager"
    result="$dir/result.json"
    (cd "$dir" && eval "$setup")
    (cd "$dir" && "$installer" "$@" --result "$result" >"$dir/out.txt" 2>&1)
    local got=$?
    if [ $got -ne "$code" ]; then
        echo "FAIL: $name: exit code $got, expected $code"; cat "$dir/out.txt"; failed=1; return
    fi
    python3 - "$root/docs/upgrade-result.schema.json" "$result" "$outcome" "$code" "$package" <<'PY' \
        || { echo "FAIL: $name"; failed=1; return; }
import hashlib, json, sys
import jsonschema
schema_file, result_file, outcome, code, package = sys.argv[1:]
schema = json.load(open(schema_file))
result = json.load(open(result_file))
jsonschema.validate(result, schema, format_checker=jsonschema.FormatChecker())
assert (result["outcome"], result["exitCode"]) == (outcome, int(code)), (result["outcome"], result["exitCode"])
if result["package"] and result["package"]["file"] == package:
    assert result["package"]["sha256"] == hashlib.sha256(open(package, "rb").read()).hexdigest()
if outcome in ("upgraded", "manual-action"):
    assert result["changed"] and result["versions"]["installedAfter"] == "3.2.4", result
if outcome == "up-to-date":
    assert not result["changed"] and result["versions"]["installedBefore"] == "3.2.4", result
if outcome == "manual-action":
    assert result["manualActions"] and result["failures"][0]["kind"] == "record", result
PY
    echo "ok: $name ($outcome, $code)"
}

up=(--unattended --package "$package")
check upgraded upgraded 0 : "${up[@]}"
check dry-run dry-run-passed 0 : "${up[@]}" --dry-run
check refused package-refused 3 'echo garbage >garbage.rcc' --unattended --package garbage.rcc
check no-record no-record 7 'rm "$record_dir/setup_config.xml"' "${up[@]}"
check log-folder-missing usage 64 : "${up[@]}" --log "$work/none/copy.log"
check recover consistent 0 : --recover
# The same package again: nothing runs, nothing changes.
check up-to-date up-to-date 0 '"$installer" "${up[@]}" >first.txt 2>&1' "${up[@]}"
grep -q '^结果:已是最新版本,无需升级(退出码0)$' "$work/up-to-date/out.txt" \
    || { echo "FAIL: up-to-date: no result line"; failed=1; }
check manual-action manual-action 8 \
    'echo garbage >"$main/product/common/sysconfig/setup_config.xml"' "${up[@]}"

# A result file that is a link is refused; the link's target stays as it was.
dir="$work/link"
sample_installation "$dir" "$helper" "$manager"
echo precious >"$work/precious.txt"
ln -s "$work/precious.txt" "$dir/result.json"
(cd "$dir" && "$installer" "${up[@]}" --result "$dir/result.json" >"$dir/out.txt" 2>&1)
got=$?
if [ $got -ne 64 ] || [ "$(cat "$work/precious.txt")" != precious ] || [ ! -L "$dir/result.json" ]; then
    echo "FAIL: link: exit code $got, or the link or its target changed"; cat "$dir/out.txt"; failed=1
else
    echo "ok: link (refused, 64)"
fi
exit $failed
