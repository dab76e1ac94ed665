#!/usr/bin/env zsh
# Completes lines in an interactive zsh on a pseudo-terminal, as TAB does, and prints what the
# completion offered: zsh_completion.zsh FOLDER LINE...
# FOLDER holds _kq7300ctl. For each LINE one line of output: the words offered, sorted and
# separated by spaces (empty when nothing). The words are those the completion functions hand
# to compadd that match the line, without the parts compset moved into the prefix.
emulate -L zsh
zmodload zsh/zpty || { print -u2 "zsh/zpty is missing"; exit 2 }
folder=${1:A}
shift
work=$(mktemp -d) || exit 2
trap 'zpty -d kq 2>/dev/null; rm -rf $work' EXIT
out=$work/offered

cat >$work/init.zsh <<EOF
PS1= PS2= RPS1=
unset zle_bracketed_paste
fpath=($folder \$fpath)
autoload -Uz compinit
compinit -u -D
LISTMAX=100000
zstyle ':completion:*' list-prompt ''
zstyle ':completion:*' insert-tab false
# Every match handed to compadd, written down before it is added. Calls that only ask compadd
# to match (-O, -A, -D) are the completion system's own.
compadd() {
    if [[ \${@[(I)-[OAD]*]} -eq 0 ]]; then
        local -a __matched
        builtin compadd -O __matched "\$@"
        (( \$#__matched )) && print -rl -- \$__matched >>$out
    fi
    builtin compadd "\$@"
}
_test_complete() {
    zle complete-word
    print -r -- --done-- >>$out
}
zle -N _test_complete
bindkey '^I' _test_complete
print -r -- --ready-- >>$out
EOF

# Waits until the output ends in the marker; false after about 10 s.
await() {
    local -i tries
    for ((tries = 0; tries < 1000; tries++)); do
        [[ -f $out && $(tail -n 1 $out) == $1 ]] && return 0
        sleep 0.01
        # Keep the terminal's output from filling up.
        while zpty -rt kq junk 2>/dev/null; do :; done
    done
    return 1
}

zpty kq zsh -f -i || exit 2
zpty -w kq "source $work/init.zsh"
await --ready-- || { print -u2 "zsh did not start"; exit 2 }
for line in "$@"; do
    : >$out
    zpty -w -n kq "$line"$'\t'
    if ! await --done--; then
        print -u2 "no completion for: $line"
        exit 2
    fi
    print -r -- ${(j: :)${(ou)${(f)"$(grep -vx -- --done-- $out)"}}}
    # Ctrl-U empties the line for the next one.
    zpty -w -n kq $'\C-u'
done
