#!/usr/bin/env bash
# CI: builds the Debian package, checks it with lintian, installs it into a scratch root with
# dpkg and runs what it installed: the programs, the man pages, the file layout, the service's
# user and unit (systemd-analyze verify).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
vglog_need_packages cmake ninja-build g++ dpkg-dev file lintian man-db groff-base libboost-dev \
    systemd

build=build-pkg
echo "== Debian package (Release, no tests)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVGLOG_WERROR=ON \
    -DVGLOG_TESTS=OFF -DVGLOG_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"
rm -f "$build"/vglog_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/vglog_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "no $deb" >&2; exit 1; }
dpkg-deb --field "$deb" Package Version Depends Recommends

echo "== lintian"
lintian --fail-on error "$deb"

root=$(mktemp -d /tmp/vglog-root.XXXXXX)
trap 'rm -rf "$root"' EXIT
echo "== dpkg -i into $root"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info" "$root/etc"
touch "$root/var/lib/dpkg/status"
# The scratch database knows none of the system's packages, so dependencies are taken as met.
# The maintainer scripts run outside the root with DPKG_ROOT naming it (there is no shell in it).
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" \
    >"$root/dpkg.log" 2>&1 ||
    { cat "$root/dpkg.log" >&2; exit 1; }

fail=0
check() { if "$@"; then :; else echo "FAILED: $*" >&2; fail=1; fi; }
usr=$root/usr
expected=(bin/vglog bin/vglog-sim bin/vglog-plot share/doc/vglog/README.md share/doc/vglog/LICENSE
    share/doc/vglog/copyright share/doc/vglog/docs/DEVELOPING.md
    share/bash-completion/completions/vglog share/bash-completion/completions/vglog-sim
    share/bash-completion/completions/vglog-plot
    lib/systemd/system/vglog@.service lib/sysusers.d/vglog.conf
    share/doc/vglog/examples/99-vglog.rules.example share/doc/vglog/docs/UNATTENDED.md)
for page in man/*.1; do expected+=("share/man/man1/${page#man/}.gz"); done
for f in "${expected[@]}"; do check test -s "$usr/$f"; done

out=$("$usr/bin/vglog" --version </dev/null)
printf '%s\n' "$out"
check grep -qx "vglog $version"$'\r' <<<"$out"
check "$usr/bin/vglog-sim" --help >/dev/null
check grep -qx "vglog-sim $version" <<<"$("$usr/bin/vglog-sim" --version)"
check grep -qx "vglog-plot $version" <<<"$("$usr/bin/vglog-plot" --version)"
for page in "$usr"/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    # man finds the page in the installed tree and groff renders it without a warning.
    warnings=$(MANPATH=$usr/share/man MANWIDTH=80 man --warnings "$name" 2>&1 >/dev/null) || fail=1
    [ -z "$warnings" ] || { printf 'man %s:\n%s\n' "$name" "$warnings" >&2; fail=1; }
done
echo "== the service's user and unit"
check grep -q '^vglog:[^:]*:[0-9]*:[0-9]*:[^:]*:/var/lib/vglog:' "$root/etc/passwd"
check grep -Eq '^dialout:[^:]*:[0-9]*:(.*,)?vglog(,|$)' "$root/etc/group"
# No unit is enabled by the package.
check test -z "$(find "$root/etc" -path '*systemd*' -name 'vglog@*' 2>/dev/null)"
# verify needs the targets the unit names: the system's own units, in a directory of the root
# that the package does not use. Any word from it (an unknown key, a bad value) is a failure.
mkdir -p "$root/lib/systemd/system"
cp -r /lib/systemd/system/. "$root/lib/systemd/system/"
for instance in ttyUSB0 "$(systemd-escape --path /dev/serial/by-id/usb-Maker_Board_SN77-if00-port0)"; do
    verify=$(MANPATH=$usr/share/man systemd-analyze verify --root="$root" "vglog@$instance.service" 2>&1) ||
        fail=1
    [ -z "$verify" ] || { printf 'systemd-analyze verify vglog@%s:\n%s\n' "$instance" "$verify" >&2; fail=1; }
done

echo "== vglog --list"
check "$usr/bin/vglog" --list </dev/null

[ "$fail" -eq 0 ] && echo "== package check passed: $deb"
exit "$fail"
