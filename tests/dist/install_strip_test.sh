#!/usr/bin/env bash
# cmake --install strips the programs where the build type asks for it:
# install_strip_test.sh BUILD_DIR. Installs the programs of BUILD_DIR as each build type would,
# into a folder of its own.
set -uo pipefail
build=$1
work=$(mktemp -d)
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
        # A stripped program has no symbol table left.
        got=stripped
        readelf -S --wide "$program" | grep -q '\.symtab' && got="not stripped"
        if [ "$got" != "$want" ]; then
            echo "FAIL: ${program##*/} installed for $config: $got (expected: $want)"
            failed=$((failed + 1))
        fi
    done
done
[ "$failed" -eq 0 ] && echo "install strips as the build types ask"
[ "$failed" -eq 0 ]
