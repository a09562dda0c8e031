#!/usr/bin/env bash
# Builds the Debian package in build/default and checks it without installing it: unpacked into
# a temporary folder, its programs run from there (kestrelctl against the unpacked
# kestrel-devsim on a free loopback port), its desktop entry, metainfo and man pages pass their
# validators, and lintian finds no error.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
rm -f "$build"/kestrel_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/kestrel_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "check-package: cpack made no kestrel_*.deb" >&2; exit 1; }
echo "check-package: $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

root=$(mktemp -d)
sim=""
cleanup() {
    if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
    rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
bin=$root/usr/bin
version=$(dpkg-deb -f "$deb" Version)

check_version() {
    local out
    out=$("$bin/$1" --version)
    echo "$out"
    [ "$out" = "$1 $version" ] || { echo "check-package: $1 --version gave '$out'" >&2; exit 1; }
}
check_version kestrel-devsim
if [ -x "$bin/kestrel" ]; then
    check_version kestrel
    # The unpacked window starts offscreen with the package's libraries and is still up after
    # 5 s (timeout's 124); a missing library or a crash ends it sooner with another status.
    rc=0
    HOME="$root/home" QT_QPA_PLATFORM=offscreen timeout 5 "$bin/kestrel" || rc=$?
    [ "$rc" -eq 124 ] || { echo "check-package: kestrel ended with $rc at start" >&2; exit 1; }
    echo "kestrel: the window started"
fi

if [ -x "$bin/kestrelctl" ]; then
    check_version kestrelctl
    # A free port: the simulator refuses one that is taken, so try until one serves.
    port=""
    for _ in $(seq 1 20); do
        candidate=$((20000 + RANDOM % 40000))
        "$bin/kestrel-devsim" --listen "127.0.0.1:$candidate" > "$root/devsim.out" 2>&1 &
        sim=$!
        for _ in $(seq 1 50); do
            grep -qs "listening on" "$root/devsim.out" && break
            kill -0 "$sim" 2>/dev/null || break
            sleep 0.1
        done
        if grep -qs "listening on" "$root/devsim.out"; then port=$candidate; break; fi
        wait "$sim" 2>/dev/null || true
        sim=""
    done
    [ -n "$port" ] || { echo "check-package: kestrel-devsim found no free port" >&2; exit 1; }
    "$bin/kestrelctl" --device "127.0.0.1:$port" info
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    sim=""
else
    echo "check-package: kestrelctl is not built yet; its --version and info steps are skipped"
fi

for desktop in "$root"/usr/share/applications/*.desktop; do
    [ -e "$desktop" ] || continue
    desktop-file-validate "$desktop"
    echo "desktop-file-validate $(basename "$desktop"): ok"
done
# The metainfo, and that its desktop entry is in the tree.
appstreamcli validate-tree --no-net "$root"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 > /dev/null)
    if [ -n "$warnings" ]; then
        echo "check-package: $(basename "$page"):" >&2
        echo "$warnings" >&2
        exit 1
    fi
    echo "man $(basename "$page"): no warnings"
done

# Warnings are shown and left; an error fails the check.
lintian_rc=0
lintian --info --display-level '>=warning' --fail-on error "$deb" || lintian_rc=$?
[ "$lintian_rc" -eq 0 ] || { echo "check-package: lintian found errors" >&2; exit 1; }
echo "check-package: lintian found no errors"
