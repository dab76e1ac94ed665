#!/usr/bin/env bash
# The installer as a user meets it, under wine: msi_test.sh MSI PROBE.exe VERSION
# Installs quietly, finds every file in Program Files\KQ7300 (the programs stripped) and the
# Start-menu shortcut, runs both installed programs (the window up to its caption, after the
# first start's language question), uninstalls, and finds nothing left. WINEPREFIX is the
# build's prefix, DISPLAY an X server.
set -euo pipefail
msi=$(realpath "$1") probe=$2 version=$3
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
trap 'echo "FAIL: line $LINENO: exit code $?" >&2' ERR
windows_path() { echo "Z:${1//\//\\}"; }
folder="$WINEPREFIX/drive_c/Program Files/KQ7300"
shortcuts() { find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/KQ7300.lnk' 2>/dev/null; }

# What an earlier run that failed halfway left goes first, whichever build of the package it
# was (each has a product code of its own).
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
for code in $("$wine" reg query "$uninstall" 2>/dev/null | grep -o '{[0-9A-Fa-f-]*}' || true); do
    if "$wine" reg query "$uninstall\\$code" /v DisplayName 2>/dev/null | grep KQ7300 >/dev/null; then
        "$wine" msiexec /x "$code" /qn || true
    fi
done
[[ ! -e $folder ]] || fail "an earlier KQ7300 is in the way: $folder"

"$wine" msiexec /i "$(windows_path "$msi")" /qn || fail "msiexec /i: exit code $?"
for file in kq7300tool.exe kq7300ctl.exe Config.ini Language/English.lang \
    Language/SimpChinese.lang; do
    [[ -f $folder/$file ]] || fail "not installed: $file"
done
for exe in kq7300tool.exe kq7300ctl.exe; do
    if x86_64-w64-mingw32-objdump -h "$folder/$exe" | grep '\.debug' >/dev/null; then
        fail "$exe is not stripped"
    fi
done
grep -q '^dlg1=true' "$folder/Config.ini" || fail "Config.ini offers no LED page"
[[ -n $(shortcuts) ]] || fail "no KQ7300 in the Start menu"

installed='C:\Program Files\KQ7300'
[[ $("$wine" "$installed\\kq7300ctl.exe" --version) == "kq7300ctl $version"* ]] ||
    fail "kq7300ctl.exe --version"
status=$("$wine" "$installed\\kq7300ctl.exe" --virtual-engine status) ||
    fail "kq7300ctl.exe --virtual-engine status: exit code $?"
grep -q '^connected: yes' <<<"$status" || fail "kq7300ctl.exe --virtual-engine status: $status"
[[ $("$wine" "$installed\\kq7300tool.exe" --version) == "kq7300tool $version"* ]] ||
    fail "kq7300tool.exe --version"

# Config.ini names no language: the first start asks, OK keeps the system's language, then
# the main window comes up.
"$wine" "$installed\\kq7300tool.exe" &
tool=$!
trap 'kill "$tool" 2>/dev/null || true' EXIT
"$wine" "$probe" wait "Choose Language" kq7300tool.exe 20 || fail "no language question"
"$wine" "$probe" click "Choose Language" kq7300tool.exe 1 || fail "cannot answer the question"
"$wine" "$probe" wait KQ7300 kq7300tool.exe 20 || fail "no main window"
grep -q '^Solution=English' "$folder/Config.ini" || fail "the language choice was not kept"
"$wine" "$probe" close KQ7300 kq7300tool.exe || fail "cannot close the main window"
wait "$tool" || fail "kq7300tool.exe ended with $?"
trap - EXIT

"$wine" msiexec /x "$(windows_path "$msi")" /qn || fail "msiexec /x: exit code $?"
[[ ! -e $folder ]] || fail "left behind: $(find "$folder")"
[[ -z $(shortcuts) ]] || fail "left behind: $(shortcuts)"
if "$wine" reg query 'HKLM\Software\KQ7300' >/dev/null 2>&1; then
    fail "left behind: HKLM\\Software\\KQ7300"
fi
echo "installed, ran and removed $(basename "$msi")"
