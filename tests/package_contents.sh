#!/usr/bin/env bash
# Packs the given build tree as a Debian package, unpacks it into a throw-away
# root and checks what a user gets: the programs and their manual pages, the
# menu entry and its icon, the copyright and changelog, the packages it pulls
# in, and what lintian says (errors fail; warnings are listed).
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

programs=(calitune calitune-radio-sim)
# The command-line tool is packed whenever this build tree has it.
[ ! -x "$build/bin/calitune-cli" ] || programs+=(calitune-cli)
for program in "${programs[@]}"; do
    [[ -f $root/usr/bin/$program && -x $root/usr/bin/$program ]] ||
        fail "usr/bin/$program missing or not executable"
    page=$root/usr/share/man/man1/$program.1.gz
    [ -s "$page" ] || fail "manual page $program.1.gz missing"
    warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $program.1: $warnings"
done

doc=$root/usr/share/doc/calitune
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$doc/copyright" 2>/dev/null || fail "machine-readable copyright file missing"
version=$(dpkg-deb -f "${debs[0]}" Version)
[[ $(gzip -dc "$doc/changelog.Debian.gz" | head -n 1) == "calitune ($version) "* ]] ||
    fail "changelog.Debian.gz does not start with an entry for $version"

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
               qt6-translations-l10n libqt6sql6-sqlite 'fonts-wqy-microhei | fonts-noto-cjk'; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks '$package': $depends"
done

command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup test)"
# Exit status 1: errors found; 2: lintian itself failed.
if ! lintian --no-tag-display-limit "${debs[0]}" >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log" >&2
    fail "lintian reports errors or could not check the package"
fi
grep '^W: ' "$work/lintian.log" | sed 's/^/lintian: /' || true
echo "package contents ok: ${debs[0]##*/}"
