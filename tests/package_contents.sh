#!/usr/bin/env bash
# Packs the given build tree as a Debian package, unpacks it into a throw-away
# root and checks what a user gets: the programs, the menu entry and its icon,
# and the packages it pulls in.
# Usage: package_contents.sh <cpack> <build dir>
set -euo pipefail
cpack=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
debs=("$work"/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
root=$work/root
dpkg -x "${debs[0]}" "$root"

for program in calitune calitune-radio-sim; do
    [[ -f $root/usr/bin/$program && -x $root/usr/bin/$program ]] ||
        fail "usr/bin/$program missing or not executable"
done

entry=$root/usr/share/applications/calitune.desktop
[ -f "$entry" ] || fail "desktop entry missing"
desktop-file-validate "$entry" || fail "desktop entry does not validate"
key() { sed -n "s/^$1=//p" "$entry"; }
[ -x "$root/usr/bin/$(key Exec)" ] || fail "Exec=$(key Exec) names no installed program"
icons=$root/usr/share/icons/hicolor
for icon in scalable/apps/"$(key Icon)".svg {48x48,256x256}/apps/"$(key Icon)".png; do
    [ -s "$icons/$icon" ] || fail "icon $icon missing"
done

depends=$(dpkg-deb -f "${debs[0]}" Depends)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins \
               'fonts-wqy-microhei | fonts-noto-cjk'; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks '$package': $depends"
done
echo "package contents ok: ${debs[0]##*/}"
