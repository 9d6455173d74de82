# Shared by scripts/test, scripts/demo and scripts/bench: installs what is
# missing and builds the project.

UPGRADE_PACKAGES=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    xvfb xauth fonts-wqy-zenhei
    mingw-w64 wine64
    sqlite3
    ansible-core
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
