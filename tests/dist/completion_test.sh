#!/usr/bin/env bash
# Calls the bash completion of kq7300ctl as bash would after TAB, without a terminal:
# completion_test.sh COMPLETION_FILE [BASH_COMPLETION_SCRIPT]
# With the second argument the bash-completion helpers (_filedir) are loaded first, as on a
# desktop; without it the completion's own fallbacks are used.
set -uo pipefail
file=$1
if [ $# -gt 1 ]; then
    # bash_completion reads the user's settings and expects an interactive shell's variables.
    BASH_COMPLETION_USER_FILE=/dev/null source "$2" || { echo "cannot load $2"; exit 1; }
fi
source "$file"
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'

passed=0
failed=0

# Sets COMP_* as readline does for LINE with the cursor at its end, then runs the function.
complete_line() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    COMP_WORDS=()
    local word= c i
    for ((i = 0; i < ${#1}; i++)); do
        c=${1:i:1}
        if [[ $c == [[:space:]] ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            word=
        elif [[ $c == [=:] ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            COMP_WORDS+=("$c")
            word=
        else
            word+=$c
        fi
    done
    COMP_WORDS+=("$word")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kq7300ctl kq7300ctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
}

# expect LINE REPLY...: the replies, sorted, are exactly these.
expect() {
    local line=$1
    shift
    complete_line "$line"
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ $# -eq 0 ] && want=
    [ ${#COMPREPLY[@]} -eq 0 ] && got=
    if [ "$got" == "$want" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: '$line<TAB>' gave [$got], expected [$want]"
    fi
}

expect "kq7300ctl st" status
expect "kq7300ctl " status power led current flip upgrade history list monitor
expect "kq7300ctl --virtual-engine st" status
expect "kq7300ctl --virtual-engine=mode=loader,current=5 cu" current
expect "kq7300ctl --serial 0002a0000000 p" power
expect "kq7300ctl --path x fl" flip
expect "kq7300ctl power " on off
expect "kq7300ctl led o" on off
expect "kq7300ctl led on " 
expect "kq7300ctl flip " none x xy y
expect "kq7300ctl flip x" x xy
expect "kq7300ctl current --j" --json
expect "kq7300ctl status --" --json --help
expect "kq7300ctl list --j" --json
expect "kq7300ctl monitor --j" --json
expect "kq7300ctl upgrade --l" --loader
expect "kq7300ctl upgrade --" --loader --yes --json --help
expect "kq7300ctl upgrade -" -y --loader --yes --json --help
expect "kq7300ctl hi" history
expect "kq7300ctl history --" --json --help
expect "kq7300ctl --se" --serial
expect "kq7300ctl --p" --path
expect "kq7300ctl --v" --virtual-engine --virtual-engine= --version
expect "kq7300ctl --serial "
expect "kq7300ctl --virtual-engine=" mode= product-id= current= block-size= serial= vid= pid= \
    reboot-ms= fault=
expect "kq7300ctl --virtual-engine=mo" mode=
expect "kq7300ctl --virtual-engine=mode=l" loader
expect "kq7300ctl --virtual-engine=mode=app,re" app,reboot-ms=
expect "kq7300ctl --virtual-engine=fault=crc@3+n" crc@3+no-return

# Files: in a folder of its own, for upgrade's image and --loader / --trace.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/firmware.bin" "$dir/usbloader.bin" "$dir/trace.txt"
expect "kq7300ctl upgrade $dir/fi" "$dir/firmware.bin"
expect "kq7300ctl upgrade $dir/firmware.bin --loader $dir/usb" "$dir/usbloader.bin"
expect "kq7300ctl --trace $dir/tr" "$dir/trace.txt"
expect "kq7300ctl --virtual-engine --trace $dir/t" "$dir/trace.txt"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
