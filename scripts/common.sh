# Shared by scripts/test, scripts/demo and scripts/bench: installs what is
# missing and builds the project.

UPGRADE_PACKAGES=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    xvfb xauth fonts-wqy-zenhei
    mingw-w64 wine64
    sqlite3
    ansible-core python3-jsonschema
    libsodium-dev libssl-dev minisign
    qttranslations5-l10n
)

ensure_packages() {
    local missing=()
    for p in "${UPGRADE_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

build_project() {
    local src=$1 build=$2 type=${3:-RelWithDebInfo}
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE="$type" >/dev/null
    cmake --build "$build" -j "$(nproc)"
}

# The Windows leg: the programs cross-built with MinGW-w64 against the Windows
# Qt SDK in ../shared/windows-sdk (unpacked into the build tree after its
# checksum is checked), and the tests that already run under wine, run there
# through scripts/wine-run. The other test programs build for Windows but are
# not run yet (README, "Windows").
UPGRADE_WINE_TESTS=(
    tst_versiontext tst_installationrecord tst_versionrecord tst_journal tst_outputtail
    tst_commandline tst_installationlock tst_suiteguard upgrade_install_help
    tst_resourcewriter tst_packagefile tst_packagemanifest tst_packagesignature tst_loadedpackage tst_packagepass tst_packagebuilder tst_packageloading tst_extraction
    tst_filetree tst_pathguard tst_processlist tst_upgradelog tst_installhelper tst_filemoves tst_fileaccess tst_changeplan
    tst_scriptsteps tst_filesteps tst_filecopy tst_upgradechain tst_transaction tst_unattended tst_preflight tst_upgradeadmission
    tst_databasestep tst_upgraderoad tst_robustness tst_dbmanager tst_programclosing
    tst_scriptrunner tst_upgradeprogress tst_upgraderun tst_installhelperparts tst_packagesource
    tst_logview tst_progresspanel tst_statusform tst_readmedialog tst_applicationstyle tst_look
    tst_resultsummary
)

windows_leg() {
    local src=$1 build=$2
    local archive="$src/../shared/windows-sdk/qt5-win64.tar.xz"
    if [ ! -f "$archive" ]; then
        echo "Windows leg skipped: $archive is missing (../shared/windows-sdk/build.sh makes it)."
        return 0
    fi
    local sdk="$build/sdk/qt5-win64"
    if [ ! -f "$build/sdk/unpacked" ] || [ "$archive" -nt "$build/sdk/unpacked" ]; then
        (cd "$(dirname "$archive")" && sha256sum --check --quiet "$(basename "$archive").sha256") || {
            echo "Windows leg: $archive does not match its .sha256" >&2
            return 1
        }
        rm -rf "$build/sdk"
        mkdir -p "$build/sdk"
        tar -xJf "$archive" -C "$build/sdk"
        touch "$build/sdk/unpacked"
    fi
    cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
        -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_CROSSCOMPILING_EMULATOR="$src/scripts/wine-run" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPGRADE_BUILD_BENCH=OFF >/dev/null
    local targets=(upgrade_install upgrade_install_helper db_manager make_upgrade_package)
    targets+=(test_sh hold_file) # the test doubles of the Windows tests
    for t in "${UPGRADE_WINE_TESTS[@]}"; do
        [[ $t == tst_* ]] && targets+=("$t")
    done
    cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
    local pattern failed=()
    pattern=$(IFS='|'; echo "${UPGRADE_WINE_TESTS[*]}")
    # Every step runs even when one before it failed, so that one run shows
    # everything that is wrong; the leg fails at the end if any step did.
    (cd "$build" && UPGRADE_WIN_SDK="$sdk" ctest --output-on-failure -R "^($pattern)\$") \
        || failed+=("unit tests under wine")
    timeout -k 10 900 "$src/tests/wine/e2e.sh" "$build" "$src/build" \
        || failed+=("installer end to end under wine (tests/wine/e2e.sh)")
    "$src/scripts/package-windows" "$build" || failed+=("distribution zip (scripts/package-windows)")
    "$src/scripts/wine-walkthrough" --build-win "$build" --build "$src/build" \
        --screenshots "$build/screenshots" || failed+=("window walkthrough (scripts/wine-walkthrough)")
    if [ ${#failed[@]} -gt 0 ]; then
        printf 'Windows leg failed: %s\n' "${failed[@]}" >&2
        return 1
    fi
}
