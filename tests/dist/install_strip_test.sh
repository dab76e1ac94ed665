#!/usr/bin/env bash
# cmake --install strips the programs where the build type asks for it:
# install_strip_test.sh BUILD_DIR. Installs the programs of BUILD_DIR as each build type would,
# into a folder of its own, one at a time inside BUILD_DIR: a sanitizer build's programs come
# to some hundred megabytes for the four, more than a small /tmp may hold.
set -uo pipefail
build=$1
work=$(mktemp -d "$build/install-strip.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
for config in Debug RelWithDebInfo Release MinSizeRel; do
    DESTDIR=$work/$config cmake --install "$build" --config "$config" --component Unspecified \
        --prefix /opt/kq7300 >/dev/null || { echo "FAIL: cmake --install for $config"; exit 1; }
    for program in "$work/$config"/opt/kq7300/lib/kq7300/kq7300*; do
        case $config in
            Release | MinSizeRel) want=stripped ;;
            *) want="not stripped" ;;
        esac
        # A stripped program has no symbol table left. grep reads to the end (no -q): one that
        # quits at the match can end readelf by SIGPIPE, which pipefail takes for no match.
        got=stripped
        readelf -S --wide "$program" | grep '\.symtab' >/dev/null && got="not stripped"
        if [ "$got" != "$want" ]; then
            echo "FAIL: ${program##*/} installed for $config: $got (expected: $want)"
            failed=$((failed + 1))
        fi
    done
    rm -rf "${work:?}/$config"
done
[ "$failed" -eq 0 ] && echo "install strips as the build types ask"
[ "$failed" -eq 0 ]
