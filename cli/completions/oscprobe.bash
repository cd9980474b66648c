# bash completion for oscprobe                             -*- shell-script -*-
# Works on its own with compgen; uses the bash-completion helpers
# (_filedir, _command_offset) when they are loaded.

_oscprobe_files()
{
    if declare -F _filedir >/dev/null; then
        _filedir "$@"
        return
    fi
    compopt -o filenames 2>/dev/null
    if [[ $1 == -d ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

_oscprobe()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev='' cword=$COMP_CWORD
    local -a words=("${COMP_WORDS[@]}")
    COMPREPLY=()
    ((cword > 0)) && prev=${words[cword - 1]}
    # --option=value arrives as three words: --option, =, value.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((cword > 1)); then
        prev=${words[cword - 2]}
    fi

    # The command is the first word that is not an option or --log's value.
    local cmd='' i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --log) ((i++)) ;;
            status | check | wait | run | ifaces | network)
                cmd=${words[i]}
                break
                ;;
        esac
    done

    # run: after "--" comes the command to run and its arguments.
    if [[ $cmd == run ]]; then
        for ((i++; i < cword; i++)); do
            [[ ${words[i]} == -- ]] || continue
            if declare -F _command_offset >/dev/null; then
                _command_offset $((i + 1))
            elif ((cword == i + 1)); then
                mapfile -t COMPREPLY < <(compgen -c -- "$cur")
            else
                _oscprobe_files
            fi
            return
        done
    fi

    case $prev in
        --log | --settings)
            _oscprobe_files
            return
            ;;
        --dir | --disk-dir)
            _oscprobe_files -d
            return
            ;;
        --iface)
            mapfile -t COMPREPLY < <(compgen -W 'wired wireless' -- "$cur")
            return
            ;;
        --probe)
            mapfile -t COMPREPLY < <(compgen -W 'cpu ac battery hubmaster disk wired wireless subnet unmetered network reachable' -- "$cur")
            return
            ;;
        --timeout)
            mapfile -t COMPREPLY < <(compgen -W 'infinity' -- "$cur")
            return
            ;;
        --unmetered)
            # Its value is optional: only --unmetered=strict takes one.
            if [[ ${words[cword - 1]} == = ]]; then
                mapfile -t COMPREPLY < <(compgen -W 'strict' -- "$cur")
                return
            fi
            ;;
        --cpu | --battery | --subnet | --disk-below | --interval | --hold-limit | --cpu-threshold | \
            --battery-threshold | --disk-threshold | --network | --reachable | --connect-timeout)
            return
            ;;
    esac

    local conditions='--cpu --ac --battery --subnet --iface --hubmaster --settings --disk-below --dir
        --unmetered --network --reachable --connect-timeout'
    local waiting='--timeout --interval -q --quiet --json'
    local opts
    case $cmd in
        '')
            if [[ $cur == -* ]]; then
                opts='-v --verbose --log -h --help --version'
            else
                opts='status check wait run ifaces network'
            fi
            ;;
        check) opts="$conditions --json --exec-condition" ;;
        wait) opts="$conditions $waiting" ;;
        run) opts="$conditions $waiting --hold --hold-limit --" ;;
        status)
            opts='--cpu-threshold --battery-threshold --settings --disk-dir --disk-threshold --subnet
                --network --reachable --connect-timeout --probe --json'
            ;;
        ifaces | network) opts='--json' ;;
    esac
    [[ -n $cmd ]] && opts="$opts -h --help"
    mapfile -t COMPREPLY < <(compgen -W "$opts" -- "$cur")
}

complete -F _oscprobe oscprobe
