# Installs the Debian packages the build needs when any is missing.
# Sourced by scripts/test and scripts/demo; works as root or through sudo.
# The hub reads Modbus TCP and RTU through Qt SerialBus and SerialPort and MQTT through
# libmosquitto; its tests run against a real Mosquitto broker (fed by mosquitto_pub, with TLS
# certificates made by openssl) and a pymodbus device, on a serial line through a socat
# pseudo-terminal pair for RTU (pyserial and its asyncio part). The hub's systemd unit is checked with systemd-analyze
# (package systemd; only the tool is used, systemd need not run). The log sheet sv6.exe keeps
# its history in SQLite through Qt SQL's driver (libqt6sql6-sqlite), draws trends with Qt
# Charts, and its tests read the PDFs it writes with pdftotext and pdftoppm (poppler).
svc_packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
              fonts-dejavu-core fonts-liberation2 ccache xauth xvfb
              qt6-serialbus-dev qt6-serialport-dev libmosquitto-dev mosquitto mosquitto-clients
              python3-pymodbus python3-serial python3-serial-asyncio socat openssl systemd
              libqt6sql6-sqlite qt6-charts-dev poppler-utils)
# The Windows build (preset windows): the MinGW-w64 compiler, Wine to run its programs and
# tests, NSIS to make its installer. Not in the list above, which every Linux build needs:
# pass them to svc_ensure_packages where the Windows build is made.
svc_windows_packages=(g++-mingw-w64-x86-64-posix wine nsis)

svc_ensure_packages() {
    local missing=()
    local p
    for p in "${svc_packages[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then sudo="sudo"; else
            echo "Please install as root: apt-get install -y ${missing[*]}" >&2
            return 1
        fi
    fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}
