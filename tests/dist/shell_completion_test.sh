#!/usr/bin/env bash
# The zsh and fish completions of kq7300ctl, driven without a terminal of their own:
# shell_completion_test.sh zsh FOLDER_WITH__kq7300ctl | fish FILE.fish
# zsh completes in an interactive shell on a pseudo-terminal (zsh_completion.zsh); fish answers
# "complete -C LINE". KQ7300CTL names the program whose "list --json" gives the engines to offer
# (default: kq7300ctl on the PATH).
set -uo pipefail
shell=$1
where=$2
here=$(cd "$(dirname "$0")" && pwd)
[ -n "${KQ7300CTL:-}" ] && PATH=$(dirname "$KQ7300CTL"):$PATH

lines=()
wants=()
# expect LINE WORD...: completing LINE offers exactly these words. zsh's words are those handed
# to compadd (without what compset moved into the prefix), fish's the whole tokens.
expect() {
    lines+=("$1")
    shift
    wants+=("$(printf '%s\n' "$@" | sed '/^$/d' | sort -u | tr '\n' ' ')")
}
# The same, for one shell only.
expect_in() {
    local only=$1
    shift
    [ "$only" = "$shell" ] && expect "$@"
}

expect "kq7300ctl st" status
expect "kq7300ctl " status power led current flip upgrade list monitor history
expect "kq7300ctl --" --virtual-engine --trace --serial --path --json --version --help
expect "kq7300ctl --j" --json
expect "kq7300ctl --json st" status
expect "kq7300ctl --virtual-engine --json li" list
expect "kq7300ctl --trace /nonexistent/t st" status
expect "kq7300ctl status --j" --json
expect "kq7300ctl current --j" --json
expect "kq7300ctl history --j" --json
expect "kq7300ctl upgrade --l" --loader
expect "kq7300ctl upgrade --y" --yes
expect "kq7300ctl upgrade --j" --json
expect "kq7300ctl power --j"
expect "kq7300ctl power " on off
expect "kq7300ctl led o" on off
expect "kq7300ctl flip " none x y xy
expect "kq7300ctl flip x" x xy
expect_in zsh "kq7300ctl -V" -V
expect_in fish "kq7300ctl -" -h -V --virtual-engine --trace --serial --path --json --version --help
expect_in fish "kq7300ctl upgrade -" -y --yes --loader --json --help --virtual-engine --trace \
    --serial --path
expect_in zsh "kq7300ctl --virtual-engine=mo" mode
expect_in zsh "kq7300ctl --virtual-engine=mode=l" loader
expect_in zsh "kq7300ctl --virtual-engine=mode=app,re" reboot-ms
expect_in zsh "kq7300ctl --virtual-engine=fault=crc@3+n" no-return
expect_in fish "kq7300ctl --virtual-engine=mo" --virtual-engine=mode=
expect_in fish "kq7300ctl --virtual-engine=mode=l" --virtual-engine=mode=loader
expect_in fish "kq7300ctl --virtual-engine=mode=app,re" --virtual-engine=mode=app,reboot-ms=
expect_in fish "kq7300ctl --virtual-engine=fault=crc@3+n" --virtual-engine=fault=crc@3+no-return

source "$here/completion_cases.sh"

case $shell in
    zsh)
        mapfile -t gots < <(zsh "$here/zsh_completion.zsh" "$where" "${lines[@]}")
        # zsh offers a file by its name in the folder typed.
        for i in "${!wants[@]}"; do
            wants[i]=${wants[i]//"$dir/"/}
        done
        ;;
    fish)
        gots=()
        for line in "${lines[@]}"; do
            gots+=("$(KQ_FILE=$where KQ_LINE=$line fish --no-config -c \
                'source $KQ_FILE; complete -C "$KQ_LINE"' | cut -f1 | sort -u | tr '\n' ' ')")
        done
        ;;
    *)
        echo "usage: $0 zsh FOLDER | fish FILE" >&2
        exit 2
        ;;
esac

passed=0
failed=0
for i in "${!lines[@]}"; do
    got=${gots[i]:-}
    got=$(printf '%s\n' $got | sed '/^$/d' | sort -u | tr '\n' ' ')
    if [ "$got" == "${wants[i]}" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL ($shell): '${lines[i]}<TAB>' gave [$got], expected [${wants[i]}]"
    fi
done
echo "$shell: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
