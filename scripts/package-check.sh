#!/usr/bin/env bash
# Builds the Debian package from a clean build folder and checks it: scripts/package-check.sh
# [BUILD_DIR]. Lists its files, runs lintian (errors fail), desktop-file-validate, appstreamcli
# validate, the man page warnings, the bash, zsh and fish completions, checks the settings (the
# conffile under /etc and the link to it beside the programs), and compares install_manifest.txt
# with what an install and the package hold. The .deb is left in BUILD_DIR (default build-pkg).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}"
start=$SECONDS
dir=${1:-build-pkg}
rm -rf "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
section() { printf '\n== %s\n' "$*"; }

# Debian's hardening flags, all of them, as a package built by debhelper can have them (CMake
# takes CXXFLAGS and LDFLAGS from the environment; CPPFLAGS it does not read).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DKQ_SYSTEM_CONFIG=/etc/kq7300/Config.ini >/dev/null
cmake --build "$dir" --target package

version=$(sed -n 's/^#define KQ_VERSION "\(.*\)"$/\1/p' "$dir/generated/kq_version.h")
deb=$dir/kq7300_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "no $deb" >&2; exit 1; }

changelog=$(dpkg-parsechangelog -l dist/debian/changelog -S Version)
[ "$changelog" = "$version" ] ||
    fail "dist/debian/changelog is at $changelog, the project at $version: add an entry"

section "$deb"
dpkg-deb --info "$deb"
section "files"
dpkg-deb --contents "$deb"

section "lintian"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" || fail "lintian reports errors"

unpacked=$work/root
dpkg-deb --extract "$deb" "$unpacked"

section "desktop entry and AppStream data"
for entry in "$unpacked"/usr/share/applications/*.desktop; do
    desktop-file-validate "$entry" || fail "desktop-file-validate ${entry#"$unpacked"}"
done
# --no-net: the screenshots' addresses are not reachable from every build machine.
for metainfo in "$unpacked"/usr/share/metainfo/*.metainfo.xml; do
    appstreamcli validate --no-net --pedantic "$metainfo" ||
        fail "appstreamcli validate ${metainfo#"$unpacked"}"
    for shot in $(sed -n 's|.*<image[^>]*>.*/\([^/<]*\)</image>.*|\1|p' "$metainfo"); do
        [ -f "docs/$shot" ] || fail "screenshot $shot is not in docs/"
    done
done

section "icons"
for size in 16 22 24 32 48 64 128 256; do
    icon=$unpacked/usr/share/icons/hicolor/${size}x${size}/apps/kq7300.png
    file -b "$icon" | grep -q "PNG image data, $size x $size," ||
        fail "no ${size}x${size} PNG icon"
done
[ -f "$unpacked/usr/share/icons/hicolor/scalable/apps/kq7300.svg" ] || fail "no scalable icon"

section "man pages"
for page in "$unpacked"/usr/share/man/man1/*.1.gz; do
    # What lintian runs, with the warnings kept.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 \
        >/dev/null) || fail "man cannot format ${page##*/}"
    [ -z "$warnings" ] || fail "man warns about ${page##*/}: $warnings"
    lexgrog "$page" || fail "lexgrog cannot read the NAME of ${page##*/}"
done
for program in "$unpacked"/usr/bin/*; do
    [ -f "$unpacked/usr/share/man/man1/${program##*/}.1.gz" ] || fail "no man page for $program"
done

section "settings"
# A conffile of dpkg's, so that the administrator's edits survive upgrades and purge removes it;
# the programs find it through the link beside them and never write it.
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" ./conffiles 2>/dev/null ||
    fail "the package has no conffiles"
cat "$work/conffiles" 2>/dev/null
grep -qx /etc/kq7300/Config.ini "$work/conffiles" 2>/dev/null ||
    fail "/etc/kq7300/Config.ini is not listed in conffiles"
[ -f "$unpacked/etc/kq7300/Config.ini" ] && [ ! -L "$unpacked/etc/kq7300/Config.ini" ] ||
    fail "no file /etc/kq7300/Config.ini"
link=$(readlink "$unpacked/usr/lib/kq7300/Config.ini") || link=
[ "$link" = /etc/kq7300/Config.ini ] ||
    fail "/usr/lib/kq7300/Config.ini is not a link to /etc/kq7300/Config.ini (${link:-none})"
# Nothing but the conffile under /etc.
others=$(cd "$unpacked" && find etc ! -type d ! -path etc/kq7300/Config.ini)
[ -z "$others" ] || fail "more under /etc: $others"

section "completions"
export KQ7300CTL=$dir/bin/kq7300ctl
completions=$unpacked/usr/share
bash tests/dist/completion_test.sh "$completions/bash-completion/completions/kq7300ctl" \
    /usr/share/bash-completion/bash_completion || fail "bash completion"
[ -f "$completions/zsh/vendor-completions/_kq7300ctl" ] || fail "no zsh completion"
bash tests/dist/shell_completion_test.sh zsh "$completions/zsh/vendor-completions" ||
    fail "zsh completion"
[ -f "$completions/fish/vendor_completions.d/kq7300ctl.fish" ] || fail "no fish completion"
bash tests/dist/shell_completion_test.sh fish \
    "$completions/fish/vendor_completions.d/kq7300ctl.fish" || fail "fish completion"

section "install_manifest.txt"
# Everything an install puts down is in the manifest, and the package holds just that.
DESTDIR=$work/stage cmake --install "$dir" >/dev/null
(cd "$work/stage" && find . ! -type d | sed 's|^\.||' | sort) >"$work/installed"
sort -u "$dir/install_manifest.txt" >"$work/manifest"
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./|/|; /[^/]$/p' | sort >"$work/packaged"
diff -u "$work/manifest" "$work/installed" || fail "the manifest and the installed files differ"
diff -u "$work/manifest" "$work/packaged" || fail "the manifest and the package differ"
grep -qx /usr/bin/kq7300ctl "$work/manifest" || fail "the bin/ links are not in the manifest"
cat "$work/manifest"

section "binaries"
file "$unpacked"/usr/lib/kq7300/kq7300* | tee "$work/binaries"
if grep -q "not stripped" "$work/binaries"; then fail "unstripped binaries"; fi

printf '\n%s in %d s\n' "$deb" $((SECONDS - start))
if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package check passed"
