# fish completion for kq7300ctl

# The words of the line before the cursor that are neither options nor the values of options:
# the command first, then its arguments.
function __kq7300ctl_words
    set -l tokens (commandline -opc)
    set -e tokens[1]
    while set -q tokens[1]
        switch $tokens[1]
            case --trace --serial --path --loader
                set -e tokens[1]
            case '-*'
            case '*'
                echo -- $tokens[1]
        end
        set -e tokens[1]
    end
end

function __kq7300ctl_no_command
    set -l words (__kq7300ctl_words)
    not set -q words[1]
end

# True when the command is one of the arguments.
function __kq7300ctl_command_is
    set -l words (__kq7300ctl_words)
    contains -- "$words[1]" $argv
end

# True when the command is one of the arguments and has no argument of its own yet.
function __kq7300ctl_first_argument_of
    set -l words (__kq7300ctl_words)
    test (count $words) -eq 1; and contains -- "$words[1]" $argv
end

# The serials or paths ($argv[1]) of the engines present, as "kq7300ctl list --json" gives them
# in .engines[].serial and .engines[].path, with the --virtual-engine options of the line, which
# choose the engines as they will for the command.
function __kq7300ctl_engines
    set -l tokens (commandline -opc)
    set -l program $tokens[1]
    set -l backend (string match -- '--virtual-engine' $tokens[2..-1]) \
        (string match -- '--virtual-engine=*' $tokens[2..-1])
    command -q $program; or set program kq7300ctl
    # Values without quotes or escapes: a path or serial a shell takes as it stands.
    timeout 5 $program $backend list --json 2>/dev/null |
        string match -agr '"'$argv[1]'":"([^"\\\\]*)"'
end

# --virtual-engine=SETTINGS, whole: key=value,... with fault=A+B+...
function __kq7300ctl_settings
    set -l token (commandline -ct)
    string match -q -- '--virtual-engine=*' $token; or return
    # What is finished (up to the last comma), and the setting being written.
    set -l done (string replace -r -- '^(--virtual-engine=(.*,)?).*' '$1' $token)
    set -l item (string sub -s (math (string length -- $done) + 1) -- $token)
    switch $item
        case 'mode=*'
            printf '%s\n' {$done}mode={app,loader,mute}
        case 'fault=*'
            set -l before (string replace -r -- '[^+]*$' '' $item)
            printf '%s\n' {$done}{$before}{crc@,drop@,unplug@,no-return}
        case '*=*'
        case '*'
            printf '%s\n' {$done}{mode,product-id,current,block-size,serial,vid,pid,reboot-ms,fault}=
    end
end

complete -c kq7300ctl -f

complete -c kq7300ctl -n __kq7300ctl_no_command -s h -l help -d 'Print help and exit'
complete -c kq7300ctl -n 'not __kq7300ctl_no_command' -l help -d 'Print help and exit'
complete -c kq7300ctl -n __kq7300ctl_no_command -s V -l version -d 'Print the version and exit'
complete -c kq7300ctl -l virtual-engine -d 'Talk to a virtual engine instead of USB'
complete -c kq7300ctl -a '(__kq7300ctl_settings)'
complete -c kq7300ctl -l trace -r -F -d 'Append every frame on the wire to FILE'
complete -c kq7300ctl -l serial -x -a '(__kq7300ctl_engines serial)' -d 'The engine with this serial'
complete -c kq7300ctl -l path -x -a '(__kq7300ctl_engines path)' -d 'The engine at this path'
complete -c kq7300ctl -n '__kq7300ctl_no_command; or __kq7300ctl_command_is status current list monitor history upgrade' \
    -l json -d 'Print JSON, one object per line'

complete -c kq7300ctl -n __kq7300ctl_no_command -a status \
    -d 'Whether the engine is connected, its mode, id and current'
complete -c kq7300ctl -n __kq7300ctl_no_command -a power -d "Switch the engine's power"
complete -c kq7300ctl -n __kq7300ctl_no_command -a led -d 'Switch the LED'
complete -c kq7300ctl -n __kq7300ctl_no_command -a current -d 'Read the LED current, or set it'
complete -c kq7300ctl -n __kq7300ctl_no_command -a flip -d 'Mirror the image'
complete -c kq7300ctl -n __kq7300ctl_no_command -a upgrade -d 'Load new firmware into the engine'
complete -c kq7300ctl -n __kq7300ctl_no_command -a list -d 'List every engine present'
complete -c kq7300ctl -n __kq7300ctl_no_command -a monitor -d 'Print engines as they come and go'
complete -c kq7300ctl -n __kq7300ctl_no_command -a history -d 'Show the upgrades done'

complete -c kq7300ctl -n '__kq7300ctl_first_argument_of power led' -a 'on off'
complete -c kq7300ctl -n '__kq7300ctl_first_argument_of flip' -a 'none x y xy'
complete -c kq7300ctl -n '__kq7300ctl_first_argument_of upgrade' -F
complete -c kq7300ctl -n '__kq7300ctl_command_is upgrade' -l loader -r -F -d 'The loader image'
complete -c kq7300ctl -n '__kq7300ctl_command_is upgrade' -s y -l yes \
    -d 'Do not ask before writing'
