# Cases every shell's completion shares, sourced by the completion tests after they define
# expect LINE WORD...: the engines present and the files. Leaves the files' folder in $dir.

# The engines present, as list shows them, with the virtual engines of the line.
if command -v kq7300ctl >/dev/null; then
    expect "kq7300ctl --virtual-engine --serial " 0002a0000000
    expect "kq7300ctl --virtual-engine --virtual-engine=serial=0002a0000001 --serial 0" \
        0002a0000000 0002a0000001
    expect "kq7300ctl --virtual-engine=current=5 --virtual-engine --path " virtual-1 virtual-2
    expect "kq7300ctl --virtual-engine status --path v" virtual-1
    expect "kq7300ctl --virtual-engine=serial=0002a0000009 --serial 0002a0000000 --path " virtual-1
    expect "kq7300ctl --virtual-engine --path virtual-1 st" status
else
    echo "kq7300ctl is not on the PATH: the engine lists are not tried"
fi

# Files: in a folder of the test's own, for upgrade's image and --loader / --trace.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/firmware.bin" "$dir/usbloader.bin" "$dir/trace.txt"
expect "kq7300ctl upgrade $dir/fi" "$dir/firmware.bin"
expect "kq7300ctl upgrade $dir/firmware.bin --loader $dir/usb" "$dir/usbloader.bin"
expect "kq7300ctl --trace $dir/tr" "$dir/trace.txt"
expect "kq7300ctl --virtual-engine --trace $dir/t" "$dir/trace.txt"
