#!/usr/bin/env bash
# Makes a wine prefix fit for the Windows programs' windows on a bare X server (Xvfb):
#   scripts/windows-prefix.sh PREFIX
# Made once (wineboot, some seconds); the settings are written again whenever they change. Run it
# while no program of that prefix runs: wine reads them when a program starts.
#  - X11 Driver Managed=N: there is no window manager, and without it every DestroyWindow waits
#    two seconds for one.
#  - winemenubuilder is off: an installed shortcut must not become a menu entry of this
#    machine's desktop (under ~/.local/share/applications).
#  - The dialogs' font "宋体" is not installed: WenQuanYi Micro Hei replaces it, and the dialog
#    font of the language dialog (MS Shell Dlg, that is Tahoma) links to it for the Chinese
#    glyphs, which would show as empty boxes otherwise.
set -euo pipefail
prefix=$(realpath -m "${1:?usage: windows-prefix.sh PREFIX}")
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs (nothing here needs them), no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64

font='WenQuanYi Micro Hei'
# REG_MULTI_SZ: the UTF-16 bytes of the zero-separated strings.
link=$(printf '%s\0%s\0\0' wqy-microhei.ttc "$font" | iconv -f UTF-8 -t UTF-16LE |
    od -An -tx1 -v | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
settings="Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
\"Managed\"=\"N\"

[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]
\"winemenubuilder.exe\"=\"\"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
\"宋体\"=\"$font\"
\"SimSun\"=\"$font\"

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]
\"Tahoma\"=hex(7):$link
"
stamp=$prefix/.kq7300-settings
# The caption buttons draw with wine's Marlett (fonts-wine), from the prefix's Fonts folder;
# without it they show letters. Wine's Tahoma stays out: its bold face, the captions', would
# not take the Chinese glyphs from the linked font.
fonts=$prefix/drive_c/windows/Fonts/marlett.ttf
if [[ -f $prefix/system.reg && -f $fonts && -f $stamp && "$(cat "$stamp")" == "$settings" ]]; then
    exit 0
fi
mkdir -p "$prefix"
[[ -f $prefix/system.reg ]] || "$wine" wineboot.exe --init
ln -sf /usr/share/wine/fonts/marlett.ttf "$fonts"
# regedit takes names that are not ASCII from a UTF-16 file.
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
sed 's/$/\r/' <<<"$settings" | iconv -f UTF-8 -t UTF-16 >"$reg"
"$wine" regedit.exe /S "Z:$reg"
# The registry reaches the disk when the server ends.
/usr/lib/wine/wineserver -w
printf '%s' "$settings" >"$stamp"
