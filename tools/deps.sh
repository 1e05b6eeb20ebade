# Sourced by the run-*.sh scripts: makes sure the Debian packages they need are installed.
# As root it installs what is missing; otherwise it prints the apt-get line and stops.
# Where there is no dpkg-query (not Debian), it looks for each package's tool or header instead
# and names what is missing.

# What a package provides that the scripts use: a command, or a header (a path with a slash).
vglog_package_tool() {
    case $1 in
        ninja-build) echo ninja ;;
        libgtest-dev) echo gtest/gtest.h ;;
        libgmock-dev) echo gmock/gmock.h ;;
        libbenchmark-dev) echo benchmark/benchmark.h ;;
        libclang-rt-*-dev) echo "" ;;  # comes with clang elsewhere; clang's own check tells
        dpkg-dev) echo dpkg-shlibdeps ;;
        man-db) echo man ;;
        groff-base) echo groff ;;
        gnuplot-nox) echo gnuplot ;;
        g++-mingw-w64-x86-64-posix) echo x86_64-w64-mingw32-g++-posix ;;
        *) echo "$1" ;;
    esac
}

vglog_tool_present() {
    local tool=$1 dir
    [ -z "$tool" ] && return 0
    if [[ $tool != */* ]]; then
        command -v "$tool" >/dev/null 2>&1
        return
    fi
    for dir in /usr/include /usr/local/include /opt/homebrew/include ${CPATH//:/ }; do
        [ -e "$dir/$tool" ] && return 0
    done
    return 1
}

vglog_need_packages() {
    local missing=()
    local pkg
    if ! command -v dpkg-query >/dev/null 2>&1; then
        local tool
        for pkg in "$@"; do
            tool=$(vglog_package_tool "$pkg")
            vglog_tool_present "$tool" || missing+=("$tool (Debian: $pkg)")
        done
        [ ${#missing[@]} -eq 0 ] && return 0
        echo "Missing tools; install them with your system's package manager:" >&2
        printf '  %s\n' "${missing[@]}" >&2
        exit 1
    fi
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
            { echo "apt-get failed" >&2; exit 1; }
    else
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
}

# Installed with --no-install-recommends, so everything the build needs is named here: ninja
# because the presets use it (cmake only recommends make), gcc comes with g++, groff-base checks
# the man pages.
VGLOG_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3
    groff-base)

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

# Like vglog_need_packages, but only tells: prints the apt-get line for what is missing and
# returns 1, for steps a script can do without.
vglog_have_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if command -v dpkg-query >/dev/null 2>&1; then
            dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
                missing+=("$pkg")
        else
            vglog_tool_present "$(vglog_package_tool "$pkg")" || missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
}

# vglog-plot draws with gnuplot; its test needs it.
VGLOG_PLOT_PACKAGES=(gnuplot-nox)
