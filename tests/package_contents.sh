#!/usr/bin/env bash
# Packs the given build tree as a Debian package, unpacks it into a throw-away
# root and checks what a user gets: every program the build defines, each what
# its up-to-date objects link to; their manual pages, the menu entry and its
# icon, the shell completion, the copyright and changelog, the packages it pulls
# in, and a lintian run that may report nothing but the one expected tag.
# scripts/package runs it too and keeps the .deb. Exits 77 (skipped) on a
# build tree of another generator than Ninja.
# Usage: package_contents.sh <cpack> <ninja> <build dir> [<folder for the .deb>]
set -euo pipefail
cpack=$1 ninja=$2 build=$3 keep=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The build defines the list; a program missing from the package fails below.
list=$build/packaging/programs
[ -s "$list" ] || fail "$list is missing: configure the build tree first"
mapfile -t programs <"$list"

# Up to date with its sources: `ninja -n` would say, but the glob check CMake
# adds makes every dry run stop at regenerating build.ninja. A copy of
# build.ninja under another name is not regenerated, and with the glob check
# taken out of its build.ninja step it still tells whether a CMakeLists.txt
# changed since configuring. A dry run writes nothing into the tree.
if [ ! -f "$build/build.ninja" ]; then
    echo "SKIP: $build is not a Ninja build tree, which the package test needs (scripts/build makes one)"
    exit 77
fi
sed '/^build build\.ninja: RERUN_CMAKE /s| [^ ]*/CMakeFiles/cmake\.verify_globs||' \
    "$build/build.ninja" >"$work/probe.ninja"
pending=$(cd "$build" && "$ninja" -f "$work/probe.ninja" -n build.ninja "${programs[@]}" 2>&1) ||
    fail "ninja cannot tell whether the programs are up to date: $pending"
[[ $pending == "ninja: no work to do." ]] ||
    fail "stale or missing programs in $build; ninja would still do:"$'\n'"$pending"

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
debs=("$work"/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}
root=$work/root
dpkg -x "$deb" "$root"

packed=$(ls "$root/usr/bin")
[[ $packed == "$(printf '%s\n' "${programs[@]}" | sort)" ]] ||
    fail "usr/bin holds: ${packed//$'\n'/ }; the build defines: ${programs[*]}"
# Each packed program must be what its objects, fresh as ninja said, link to
# now: a program copied into bin/ or an install rule packing another file
# fails here, whatever the file times say. The link step ninja would run
# writes into the scratch folder instead; it takes under a second, and ld
# writes the same bytes for the same objects. The linker's build ID hashes
# the whole program and survives the install's stripping.
build_id() { readelf -n "$1" 2>/dev/null | sed -n 's/^ *Build ID: //p'; }
relink() {
    local step
    step=$(cd "$build" && "$ninja" -t commands -s "bin/$1") || fail "ninja has no bin/$1"
    [[ $step == *" -o bin/$1 "* ]] || fail "no link step writing bin/$1 in: $step"
    (cd "$build" && sh -c "${step/ -o bin\/$1 / -o $(printf %q "$work/relinked/$1") }") ||
        fail "linking $1 again failed"
}
mkdir "$work/relinked"
for program in "${programs[@]}"; do
    [ -x "$root/usr/bin/$program" ] || fail "usr/bin/$program is not executable"
    relink "$program"
    id=$(build_id "$work/relinked/$program")
    [ -n "$id" ] || fail "$program has no build ID to compare"
    if [[ $(build_id "$root/usr/bin/$program") != "$id" ]]; then
        [[ $(build_id "$build/bin/$program") == "$id" ]] &&
            fail "usr/bin/$program is not $build/bin/$program: the install packs another file"
        fail "$build/bin/$program, packed, is not what its objects link to now"
    fi
    page=$root/usr/share/man/man1/$program.1.gz
    [ -s "$page" ] || fail "manual page $program.1.gz missing"
    warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $program.1: $warnings"
done

# The history server's set-up SQL, as the packed program prints it.
sql=$root/usr/share/calitune/calitune-server.sql
[ -s "$sql" ] || fail "usr/share/calitune/calitune-server.sql missing"
cmp -s "$sql" <("$build/bin/calitune-cli" server-sql) ||
    fail "usr/share/calitune/calitune-server.sql differs from what calitune-cli server-sql prints"

doc=$root/usr/share/doc/calitune
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$doc/copyright" 2>/dev/null || fail "machine-readable copyright file missing"
version=$(dpkg-deb -f "$deb" Version)
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

# Shell completion where Debian's bash and zsh look for it; the bash file
# must be the bash one, defining the completion for the program.
bash_completion=$root/usr/share/bash-completion/completions/calitune-cli
[ -s "$root/usr/share/zsh/vendor-completions/_calitune-cli" ] || fail "zsh completion _calitune-cli missing"
[ -s "$bash_completion" ] || fail "bash completion calitune-cli missing"
bash --norc --noprofile -c 'source "$1" && complete -p calitune-cli' bash "$bash_completion" >/dev/null ||
    fail "the bash completion does not define a completion for calitune-cli"

# $1 names a field, the rest the packages it must list.
lists() {
    local field=$1 value package
    value=$(dpkg-deb -f "$deb" "$field")
    shift
    for package; do
        [[ ", $value," == *", $package"[\ ,]* ]] || fail "$field lacks '$package': $value"
    done
}
lists Depends libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6sql6 libqt6network6 libcpp-httplib0.11 \
    qt6-qpa-plugins qt6-translations-l10n libqt6sql6-sqlite 'fonts-wqy-microhei | fonts-noto-cjk'
lists Recommends libqt6sql6-psql

# Every tag of every level counts; the package is not uploaded to Debian, so
# its changelog closes no bug report.
command -v lintian >/dev/null || fail "lintian is not installed (scripts/setup test)"
status=0
lintian -I -E --pedantic --no-tag-display-limit "$deb" >"$work/lintian.log" 2>"$work/lintian.err" ||
    status=$?
unexpected=$(awk '$1 ~ /^[A-Z]:$/ && $3 != "initial-upload-closes-no-bugs"' "$work/lintian.log")
if [[ -n $unexpected || $status -gt 1 ]]; then
    cat "$work/lintian.log" "$work/lintian.err" >&2
    fail "lintian: ${unexpected:-could not check the package (status $status)}"
fi

if [ -n "$keep" ]; then
    mkdir -p "$keep"
    cp "$deb" "$keep/"
fi
echo "package contents ok: ${deb##*/}"
