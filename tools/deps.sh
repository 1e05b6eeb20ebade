# Sourced by the run-*.sh scripts (which run with `set -u`): makes sure the Debian packages they
# need are installed. As root it installs what is missing; otherwise it prints the apt-get line.
# Where there is no dpkg-query (not Debian), it looks for each package's tool, header or python
# module instead and names what is missing.

# What a package provides that the scripts use: a command, a header (a path with a slash) or a
# python module (py:NAME).
vglog_package_tool() {
    case $1 in
        ninja-build) echo ninja ;;
        libgtest-dev) echo gtest/gtest.h ;;
        libboost-dev) echo boost/beast.hpp ;;
        libmosquitto-dev) echo ./mosquitto.h ;;  # a header straight in the include folder
        mosquitto-clients) echo mosquitto_sub ;;
        chromium-driver) echo chromedriver ;;
        python3-selenium) echo "" ;;  # a Python module; the browser test says when it is missing
        libgmock-dev) echo gmock/gmock.h ;;
        libbenchmark-dev) echo benchmark/benchmark.h ;;
        libclang-rt-*-dev) echo "" ;;  # comes with clang elsewhere; clang's own check tells
        dpkg-dev) echo dpkg-shlibdeps ;;
        man-db) echo man ;;
        groff-base) echo groff ;;
        gnuplot-nox) echo gnuplot ;;
        systemd) echo systemd-analyze ;;
        g++-mingw-w64-x86-64-posix) echo x86_64-w64-mingw32-g++-posix ;;
        python3-paho-mqtt) echo py:paho.mqtt ;;
        python3-*) echo "py:${1#python3-}" ;;
        *) echo "$1" ;;
    esac
}

vglog_tool_present() {
    local tool=$1 dir python dirs cpath_dirs
    [ -z "$tool" ] && return 0
    if [[ $tool == py:* ]]; then
        # The tests run on the system's interpreter, which sees the system's packages.
        python=/usr/bin/python3
        [ -x "$python" ] || python=python3
        "$python" -c "import ${tool#py:}" >/dev/null 2>&1
        return
    fi
    if [[ $tool != */* ]]; then
        command -v "$tool" >/dev/null 2>&1
        return
    fi
    dirs=(/usr/include /usr/local/include /opt/homebrew/include)
    if [ -n "${CPATH:-}" ]; then
        IFS=: read -r -a cpath_dirs <<<"$CPATH"
        dirs+=("${cpath_dirs[@]}")
    fi
    for dir in "${dirs[@]}"; do
        [ -e "$dir/$tool" ] && return 0
    done
    return 1
}

# Sets VGLOG_MISSING to the packages of the arguments that are not installed.
vglog_find_missing() {
    local pkg
    VGLOG_MISSING=()
    for pkg in "$@"; do
        if command -v dpkg-query >/dev/null 2>&1; then
            dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
                VGLOG_MISSING+=("$pkg")
        else
            vglog_tool_present "$(vglog_package_tool "$pkg")" || VGLOG_MISSING+=("$pkg")
        fi
    done
}

# Installs VGLOG_MISSING as root on Debian; otherwise says what to install. True when nothing is
# missing any more.
vglog_install_missing() {
    [ ${#VGLOG_MISSING[@]} -eq 0 ] && return 0
    local pkg tool
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "Missing tools; install them with your system's package manager:" >&2
        for pkg in "${VGLOG_MISSING[@]}"; do
            tool=$(vglog_package_tool "$pkg")
            echo "  ${tool/#py:/python module } (Debian: $pkg)" >&2
        done
        return 1
    fi
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${VGLOG_MISSING[*]}"
        apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                "${VGLOG_MISSING[@]}" >/dev/null ||
            { echo "apt-get failed" >&2; return 1; }
        return 0
    fi
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${VGLOG_MISSING[*]}" >&2
    return 1
}

# The packages a script cannot do without: installed (as root) or named, and the script stops.
vglog_need_packages() {
    vglog_find_missing "$@"
    vglog_install_missing || exit 1
}

# The packages for a step a script can do without: installed as root like the others, otherwise
# named and 1 returned, so the script goes on without the step.
vglog_have_packages() {
    vglog_find_missing "$@"
    vglog_install_missing
}

# Installed with --no-install-recommends, so everything the build needs is named here: ninja
# because the presets use it (cmake only recommends make), gcc comes with g++, groff-base checks
# the man pages.
# libboost-dev: the live view's HTTP server (Boost.Beast on Boost.Asio, header-only).
# libmosquitto-dev: the MQTT client of --mqtt (without it vglog is built without --mqtt).
VGLOG_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3
    groff-base libboost-dev libmosquitto-dev)

# A build directory configured before the presets moved to Ninja keeps its old generator, which
# cmake refuses to change: start its configuration afresh (objects are rebuilt once).
vglog_preset_generator() {
    local dir
    for dir in "$@"; do
        if [ -f "$dir/CMakeCache.txt" ] &&
            ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
            echo "$dir was configured for another generator; configuring it afresh"
            rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
        fi
    done
}

# vglog-plot draws with gnuplot; its test needs it.
VGLOG_PLOT_PACKAGES=(gnuplot-nox)

# The README's recipes for reading the logs are run by a test, with the libraries they name; the
# status line's test renders the terminal with a terminal emulator (pyte).
# The --mqtt tests start their own broker (mosquitto, whose package has mosquitto_passwd for the
# password file; openssl makes the certificates) and subscribe with paho-mqtt, as the README's
# recipe does; the README's other recipe reads with mosquitto_sub (mosquitto-clients).
VGLOG_TEST_PACKAGES=(python3-numpy python3-pandas python3-pyte mosquitto mosquitto-clients openssl
    python3-paho-mqtt)

# The live view's browser test: headless Chromium driven by Selenium (the system's python3).
VGLOG_BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)
