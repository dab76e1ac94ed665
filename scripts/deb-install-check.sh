#!/usr/bin/env bash
# Installs the built package into a fresh Debian 12 root and uses it as a normal user would:
# scripts/deb-install-check.sh [DEB [WORK_DIR]]
# (as root; DEB defaults to the one scripts/package-check.sh left in build-pkg/, WORK_DIR to
# /tmp/kq7300-deb-check). A minimal Debian 12 is made there once with debootstrap and copied
# afresh for every run; only /proc and the host's /dev/pts (for zsh's pseudo-terminal and apt's
# log) are mounted into the copy, and unmounted at the end.
# Checks: apt installs the .deb with its dependencies; root and a user in plugdev run kq7300ctl
# (--help, -V, --json, a virtual engine) and kq7300tool (--version, the window offscreen), and
# each chooses the window's language under an X server of its own (Xvfb, xdotool): the choice
# lands in their own ~/.config/kq7300/Config.ini, and nothing under /usr nor the system's
# /etc/kq7300/Config.ini changes (listings with checksums, before and after). man shows both
# pages; bash, zsh and fish find their completions; dpkg -r leaves only the conffile, and
# apt purge nothing of the package (no /etc/kq7300, no /usr/lib/kq7300).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh debootstrap
deb=${1:-$(ls build-pkg/kq7300_*.deb 2>/dev/null | head -n 1)}
[ -f "$deb" ] || { echo "no package: run scripts/package-check.sh first, or name a .deb" >&2; exit 2; }
work=${2:-/tmp/kq7300-deb-check}
mirror=${KQ_DEBIAN_MIRROR:-http://deb.debian.org/debian}
start=$SECONDS

if [ ! -x "$work/base/usr/bin/apt-get" ]; then
    rm -rf "$work/base"
    mkdir -p "$work"
    debootstrap --variant=minbase bookworm "$work/base" "$mirror"
fi
root=$work/root
rm -rf "$root"
cp -a "$work/base" "$root"
mount -t proc proc "$root/proc"
trap 'umount "$root/proc"' EXIT
mount --bind /dev/pts "$root/dev/pts"
trap 'umount "$root/dev/pts"; umount "$root/proc"' EXIT
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
cp tests/dist/completion_test.sh tests/dist/completion_cases.sh tests/dist/shell_completion_test.sh \
    tests/dist/zsh_completion.zsh "$root/tmp/"
package=$(basename "$deb")

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
as_user() {
    chroot --userspec="$uid:$gid" --groups="$groups" "$root" /usr/bin/env -i HOME=/home/tester \
        USER=tester PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}
failures=0
fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}
step() { printf '\n== %s\n' "$*"; }

# What root or the user may change, and what no run of the programs may: everything under /usr
# (kind, mode, owner, link target, and the bytes of each file) and the system's settings.
snapshot() {
    in_root sh -c 'find /usr /etc/kq7300 -xdev -printf "%y %m %u %p %l\n" | sort
        find /usr /etc/kq7300 -xdev -type f -print0 | sort -z | xargs -0 sha256sum' >"$1"
}

# Chooses the window's language in its first-start question, as WHO (root or user): the window
# under an Xvfb of its own, Return pressed in the question, the window closed by a timeout.
choose_language() {
    local who=$1 run=in_root home=/root
    [ "$who" = user ] && run=as_user home=/home/tester
    # The question's window once it is shown (Qt may make its window anew before), focused, and
    # Return typed as on a keyboard.
    $run sh -c 'Xvfb :7 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
        sleep 1
        export DISPLAY=:7
        QT_QPA_PLATFORM=xcb HOME='"$home"' timeout 10 kq7300tool --virtual-engine &
        tool=$!
        found=1
        for try in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
            sleep 0.25
            window=$(xdotool search --onlyvisible --name "^Choose Language\$" | head -n 1)
            [ -n "$window" ] && xdotool windowfocus --sync "$window" &&
                xdotool key Return && found=0 && break
        done
        wait $tool
        kill $xvfb
        exit $found' || fail "no language question to answer as $who"
    grep -Ex 'Solution=(English|SimpChinese)' "$root$home/.config/kq7300/Config.ini" ||
        fail "the language $who chose is not in $home/.config/kq7300/Config.ini"
}

step "a user in plugdev, man, the shells' completion and an X server, as on a small host"
in_root apt-get update -qq
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -qq man-db bash-completion zsh fish \
    xvfb xauth xdotool >/dev/null
in_root useradd --create-home --groups plugdev tester
uid=$(in_root id -u tester)
gid=$(in_root id -g tester)
groups=$(in_root id -G tester | tr ' ' ,)
in_root find / -xdev \( -path /proc -o -path /tmp -o -path /var/cache -o -path /var/log \
    -o -path /var/lib/apt -o -path /var/lib/dpkg \) -prune -o -print | sort >"$work/before"

step "apt install ./$package"
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y "/tmp/$package" || fail "apt install"
in_root dpkg -L kq7300 >"$work/owned"
in_root dpkg-query -W -f '${Conffiles}\n' kq7300 | tee "$work/conffiles"
grep -q '^ /etc/kq7300/Config.ini ' "$work/conffiles" || fail "/etc/kq7300/Config.ini is no conffile"
[ "$(in_root readlink /usr/lib/kq7300/Config.ini)" = /etc/kq7300/Config.ini ] ||
    fail "/usr/lib/kq7300/Config.ini is no link to /etc/kq7300/Config.ini"
snapshot "$work/usr-before"

step "as root"
in_root kq7300ctl -V || fail "kq7300ctl -V as root"
in_root kq7300tool --version || fail "kq7300tool --version as root"
in_root kq7300ctl --virtual-engine status --json || fail "kq7300ctl --virtual-engine status as root"
code=0
in_root timeout 5 env QT_QPA_PLATFORM=offscreen kq7300tool --virtual-engine || code=$?
[ "$code" -eq 124 ] || fail "kq7300tool as root ended with $code instead of running"
choose_language root

step "as the user"
help=$(as_user kq7300ctl --help) || fail "kq7300ctl --help"
echo "$help"
as_user kq7300ctl --version || fail "kq7300ctl --version"
as_user kq7300tool -V || fail "kq7300tool -V"
as_user kq7300tool --help >/dev/null || fail "kq7300tool --help without a display"
as_user kq7300ctl --virtual-engine status || fail "kq7300ctl --virtual-engine status"
as_user kq7300ctl --virtual-engine status --json | tee "$work/status.json"
python3 -m json.tool "$work/status.json" >/dev/null || fail "status --json is not JSON"
code=0
as_user kq7300ctl status >/dev/null 2>&1 || code=$?
[ "$code" -eq 3 ] || fail "kq7300ctl status without an engine ended with $code, not 3"
# The window starts (the language question waits) on Qt's offscreen platform.
code=0
as_user timeout 5 env QT_QPA_PLATFORM=offscreen kq7300tool --virtual-engine || code=$?
[ "$code" -eq 124 ] || fail "kq7300tool ended with $code instead of running"
for page in kq7300ctl kq7300tool; do
    as_user env MANWIDTH=80 man "$page" >"$work/$page.txt" 2>&1 || fail "man $page"
    grep -q "^NAME" "$work/$page.txt" && head -n 8 "$work/$page.txt" || fail "man $page shows no page"
done
choose_language user

step "nothing under /usr and no system settings changed"
snapshot "$work/usr-after"
diff -u "$work/usr-before" "$work/usr-after" || fail "running the programs changed /usr or /etc"

step "completion"
# bash-completion loads completions on demand from its folder, by the command's name; zsh and
# fish find theirs in their vendors' folders.
as_user bash -c 'source /usr/share/bash-completion/bash_completion
    __load_completion kq7300ctl && complete -p kq7300ctl' || fail "bash-completion does not find it"
as_user bash /tmp/completion_test.sh /usr/share/bash-completion/completions/kq7300ctl \
    /usr/share/bash-completion/bash_completion || fail "bash completion in the installed system"
[ "$(as_user zsh -fc 'autoload -Uz compinit; compinit -u -D; print -r -- $_comps[kq7300ctl]')" = \
    _kq7300ctl ] || fail "zsh does not find the completion"
as_user bash /tmp/shell_completion_test.sh zsh /usr/share/zsh/vendor-completions ||
    fail "zsh completion in the installed system"
as_user fish -c 'complete -C "kq7300ctl --virtual-engine st"' | grep -q '^status' ||
    fail "fish does not find the completion"
as_user bash /tmp/shell_completion_test.sh fish \
    /usr/share/fish/vendor_completions.d/kq7300ctl.fish || fail "fish completion in the installed system"

step "the udev rule on a mock engine (umockdev) and on a device it must leave alone"
DEBIAN_FRONTEND=noninteractive in_root apt-get install -y -qq udev umockdev >/dev/null 2>&1
for product in 1706 1707; do
    cat >"$root/tmp/device.umockdev" <<DEVICE
P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
N: bus/usb/001/002
E: DEVNAME=/dev/bus/usb/001/002
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
E: PRODUCT=c251/$product/100
A: idVendor=c251
A: idProduct=$product

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0
E: DEVTYPE=usb_interface
E: SUBSYSTEM=usb
A: bInterfaceClass=07
DEVICE
    for node in 1-1 1-1/1-1:1.0; do
        in_root umockdev-run -d /tmp/device.umockdev -- udevadm test --action=add \
            "/sys/devices/pci0000:00/0000:00:14.0/usb1/$node" >"$work/udev.txt" 2>&1 || true
        # CURRENT_TAGS: what this event set; TAGS keeps those of earlier runs on the same node.
        applied=$({ grep -oE '70-kq7300.rules:[0-9]+ (GROUP|MODE) [0-9]+' "$work/udev.txt" |
            sed 's/.*rules:[0-9]* //'; grep -q '^CURRENT_TAGS=.*:uaccess:' "$work/udev.txt" &&
            echo uaccess; } | tr '\n' ' ') || true
        echo "$product $node: ${applied:-nothing}"
        if [ "$product $node" = "1706 1-1" ]; then
            [ "$applied" = "GROUP 46 MODE 0660 uaccess " ] || fail "udev rule on the engine"
        else
            [ -z "$applied" ] || fail "udev rule applied to $product $node"
        fi
    done
done

step "dpkg -r kq7300"
in_root dpkg -r kq7300 || fail "dpkg -r"
# The conffile stays, with dpkg's record of it, until the package is purged.
status=$(in_root dpkg-query -W -f '${Status}' kq7300 2>/dev/null) || true
[ "$status" = "deinstall ok config-files" ] || fail "after dpkg -r: $status"
[ -f "$root/etc/kq7300/Config.ini" ] || fail "dpkg -r removed the conffile"
while read -r path; do
    [ -e "$root$path" ] || [ -L "$root$path" ] || continue
    # A folder shared with other packages stays; anything of ours alone must be gone.
    in_root dpkg -S "$path" >/dev/null 2>&1 || fail "left behind: $path"
done <"$work/owned"
# New since before the install, named after the package, and not another package's (the users'
# own settings in their homes are theirs, not the package's).
left_behind() {
    in_root find / -xdev \( -path /proc -o -path /tmp -o -path /var/cache -o -path /var/log \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /home/tester \
        -o -path /root/.config/kq7300 \) -prune -o -print | sort >"$work/after"
    comm -13 "$work/before" "$work/after" | grep -i kq7300 >"$work/added" || true
    while read -r path; do
        [ "$path" = /etc/kq7300 ] && [ "$1" = removed ] && continue
        in_root dpkg -S "$path" >/dev/null 2>&1 || fail "left behind: $path"
    done <"$work/added"
}
left_behind removed

step "apt purge kq7300"
DEBIAN_FRONTEND=noninteractive in_root apt-get purge -y kq7300 || fail "apt purge"
in_root dpkg-query -W kq7300 >/dev/null 2>&1 && fail "dpkg still knows the package after purge"
ls "$root"/var/lib/dpkg/info/kq7300.* 2>/dev/null && fail "dpkg's files of the package remain"
for gone in /etc/kq7300 /usr/lib/kq7300; do
    [ ! -e "$root$gone" ] || fail "$gone is still there after apt purge"
done
left_behind purged

printf '\n%s in a fresh Debian 12 root: %d s\n' "$package" $((SECONDS - start))
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "install check passed"
