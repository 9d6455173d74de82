#!/usr/bin/env bash
# Rolls the sample package out with deploy/upgrade.yml to three local hosts,
# each a working folder with its own sample installation, and one unreachable
# host. A suite program runs on the third, so the first two are upgraded and it
# reports exit code 4. The check mode before it runs on all hosts in one batch;
# a rollout whose first batch is the busy host and a fresh one must stop after
# that batch; a second rollout over the upgraded hosts changes nothing.
#
#   run_playbook.sh WORK INSTALLER PACKAGE_BUILDER DB_HELPER DB_MANAGER
#
# Exit code 77 (skipped) when ansible-playbook is missing.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
[ $# -eq 5 ] || { sed -n '7p' "$0" >&2; exit 2; }
work=$1 installer=$2 builder=$3 helper=$4 manager=$5

command -v ansible-playbook >/dev/null 2>&1 || {
    echo "SKIP: ansible-playbook is not installed (apt-get install ansible-core)"
    exit 77
}
source "$root/scripts/sample.sh"

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
hosts=(good1 good2 busy)

# A build of the installer without the unattended mode would open its window and
# wait for an operator: find that out here rather than hang in the playbook.
(cd "$work" && timeout -k 5 20 "$installer" --unattended </dev/null >probe.txt 2>&1)
probe=$?
if [ $probe -eq 124 ] || [ $probe -eq 137 ]; then
    echo "FAIL: $installer --unattended did not end within 20 s (no unattended mode?)"
    exit 1
fi

for h in "${hosts[@]}" fresh; do
    sample_installation "$work/hosts/$h" "$helper" "$manager"
done
sample_package "$work" "$builder" >/dev/null || { echo "FAIL: the sample package was not built"; exit 1; }

# The busy host: a program of the suite started from its platform folder. It ends
# by itself after a while should this script be killed.
busy_main="$work/hosts/busy/Tessaron Suite"
cp /bin/sleep "$busy_main/platform/bin/some_program.exe"
"$busy_main/platform/bin/some_program.exe" 900 &
busy_pid=$!
trap 'kill $busy_pid 2>/dev/null; wait $busy_pid 2>/dev/null' EXIT

snapshot() { # HOST FILE: the host's files, leaving out the installer's own logs
    main="$work/hosts/$1/Tessaron Suite"
    sample_snapshot | grep -v ' \./logs/' >"$2"
}
for h in "${hosts[@]}"; do snapshot "$h" "$work/$h-before.txt"; done

host_line() { # HOST; the transfer folder's name has a blank: paths must reach the installer whole
    echo "$1 upgrade_workdir=\"$work/hosts/$1\" upgrade_remote_dir=\"$work/hosts/$1/to upgrade\""
}
{
    echo "[suite_hosts]"
    for h in "${hosts[@]}"; do host_line "$h"; done
    # Nothing listens on port 1: the connection is refused at once.
    echo "unreach ansible_connection=ssh ansible_host=127.0.0.1 ansible_port=1 ansible_ssh_timeout=5"
    echo "[busy_first]"
    echo busy
    host_line fresh
    echo good1
    echo "[all:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=\"{{ ansible_playbook_python }}\""
    echo "upgrade_installer=\"$installer\""
} >"$work/inventory.ini"

# No collections at all: the Linux road must need none. No configuration file of
# the machine either.
mkdir -p "$work/no-collections" "$work/ansible-tmp"
: >"$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=False \
    ANSIBLE_COLLECTIONS_PATH="$work/no-collections" ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" \
    ANSIBLE_REMOTE_TEMP="$work/ansible-tmp" ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=False \
    ANSIBLE_ASYNC_DIR="$work/ansible-async" ANSIBLE_SSH_CONTROL_PATH_DIR="$work/ansible-cp" \
    ANSIBLE_HOST_KEY_CHECKING=False ANSIBLE_PIPELINING=True

playbook() { # LOG COLLECT_DIR EXTRA-ARGS...
    local log=$1 collect=$2
    shift 2
    (cd "$work" && timeout -k 10 200 ansible-playbook -i inventory.ini "$root/deploy/upgrade.yml" \
        -e "upgrade_package=$package" -e "upgrade_collect_dir=$collect" -e upgrade_poll_seconds=1 "$@") >"$log" 2>&1
}

fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }
version_of() { grep -h 'key="software_version"' "$work/hosts/$1/C:/Program Files/Tessaron/setup_config.xml" \
    "$work/hosts/$1/Tessaron Suite/product/common/sysconfig/setup_config.xml" | grep -c "value=\"$2\""; }
summary_rc() { awk -F'\t' -v h="$1" '$1 == h { print $2 }' "$2/latest/summary.txt" 2>/dev/null; }
summary_row() { awk -F'\t' -v h="$1" '$1 == h { print $2, $3, $4, $5 }' "$2/latest/summary.txt" 2>/dev/null; }
summary_json_ok() { # FILE: the rollout's summary.json
    python3 - "$1" <<'EOF'
import json, sys
hosts = {e["host"]: e for e in json.load(open(sys.argv[1]))["hosts"]}
sys.exit(not (sorted(hosts) == ["busy", "good1", "good2", "unreach"]
              and hosts["good1"]["state"] == "ok" and hosts["good1"]["changed"] is True
              and hosts["busy"]["exitCode"] == 4 and hosts["busy"]["changed"] is False
              and hosts["busy"]["log"] and hosts["unreach"]["state"] == "unreachable"))
EOF
}

# The check mode: a dry run on every host in one batch, the unreachable host among them.
playbook "$work/check.log" "$work/collected" -e upgrade_mode=check
checked=$?
check "check mode: ansible-playbook exit 2 (got $checked)" "[ $checked -eq 2 ]"
check "check mode: one batch" "[ \$(grep -c '^PLAY \[Upgrade the suite\]' '$work/check.log') -eq 1 ]"
for row in "good1 0 dry-run-passed ok unchanged" "good2 0 dry-run-passed ok unchanged" \
    "busy 4 suite-running failed unchanged" "unreach - unreachable unreachable unchanged"; do
    check "check mode: ${row%% *} summarised as '${row#* }'" "[ \"\$(summary_row ${row%% *} '$work/collected')\" = '${row#* }' ]"
done
check "check mode: good1 still carries 3.2.1" "[ \$(version_of good1 3.2.1) -eq 2 ]"
check_run=$(readlink "$work/collected/latest")

# Batches of 1 and then 3: good2, busy and unreach share the last batch.
playbook "$work/rollout.log" "$work/collected" -e '{"upgrade_serial": [1, 3]}'
rollout=$?
for h in "${hosts[@]}"; do snapshot "$h" "$work/$h-after.txt"; done

check "ansible-playbook reports a failed host (exit 2, got $rollout)" "[ $rollout -eq 2 ]"
for h in good1 good2; do
    m="$work/hosts/$h/Tessaron Suite"
    check "$h: both records carry 3.2.4" "[ \$(version_of $h 3.2.4) -eq 2 ]"
    check "$h: report.dll updated, new_feature.dll added, old_plugin.dll deleted" \
        "grep -q 3.2.4 '$m/product/bin/report.dll' && [ -f '$m/product/bin/new_feature.dll' ] && [ ! -e '$m/product/bin/old_plugin.dll' ]"
    check "$h: files changed" "! diff -q '$work/$h-before.txt' '$work/$h-after.txt' >/dev/null"
    check "$h: recorded exit code 0" "[ \"\$(summary_rc $h '$work/collected')\" = 0 ]"
done
check "busy: both records still carry 3.2.1" "[ \$(version_of busy 3.2.1) -eq 2 ]"
check "busy: no file changed" "diff '$work/busy-before.txt' '$work/busy-after.txt'"
check "busy: recorded exit code 4 in the summary" "[ \"\$(summary_rc busy '$work/collected')\" = 4 ]"
check "busy: recorded exit code 4 in its result" "grep -qx 'exit_code: 4' '$work/collected/latest/busy/result.yml'"
for h in "${hosts[@]}"; do
    check "$h: log collected" "[ -s '$work/collected/latest/$h/upgrade.log' ]"
done
check "unreach: summarised as unreachable" "[ \"\$(summary_row unreach '$work/collected')\" = '- unreachable unreachable unchanged' ]"
check "summary.json: one entry per host, with state, exit code, changed and log" \
    "summary_json_ok '$work/collected/latest/summary.json'"
check "the check run's summary stays in its own folder" \
    "[ \"\$(readlink '$work/collected/latest')\" != '$check_run' ] && grep -q dry-run-passed '$work/collected/$check_run/summary.txt'"
check "the busy program ran throughout" "kill -0 $busy_pid"

# Batches of two: busy fails beside fresh, which is upgraded; with no failures
# tolerated the rollout stops there, and good1 is not reached.
playbook "$work/stopped.log" "$work/collected-stopped" -e upgrade_hosts=busy_first -e upgrade_serial=2
stopped=$?
check "half a batch failed: ansible-playbook exit 2 (got $stopped)" "[ $stopped -eq 2 ]"
check "half a batch failed: busy 4, fresh 0" \
    "[ \"\$(summary_rc busy '$work/collected-stopped')\" = 4 ] && [ \"\$(summary_rc fresh '$work/collected-stopped')\" = 0 ]"
check "half a batch failed: good1 not reached, summarised as not run" \
    "[ \"\$(summary_row good1 '$work/collected-stopped')\" = '- not-run not-run unchanged' ] && [ ! -e '$work/collected-stopped/latest/good1' ]"

# A second rollout over the upgraded hosts: each is up to date, nothing changes.
playbook "$work/again.log" "$work/collected" -e upgrade_hosts=good1:good2
again=$?
check "second rollout: ansible-playbook exit 0 (got $again)" "[ $again -eq 0 ]"
for h in good1 good2; do
    check "second rollout: $h changed=0" "grep -q '^$h .* changed=0 ' '$work/again.log'"
    check "second rollout: $h summarised as up to date" \
        "[ \"\$(summary_row $h '$work/collected')\" = '0 up-to-date ok unchanged' ] && grep -q '^$h.*已是最新版本' '$work/collected/latest/summary.txt'"
done

if [ $fail -ne 0 ]; then
    echo "== ansible-playbook output: $work/*.log"
    grep -A5 '^fatal\|^PLAY RECAP' "$work"/*.log
    exit 1
fi
echo "all checks passed"
