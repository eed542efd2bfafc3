# bash completion for calitune-cli                          -*- shell-script -*-
#
# Nothing here lists the program's commands or options: they are asked of the
# program being completed, each time. Its --help names the commands and the
# global options, COMMAND --help that command's options (those with <VALUE>
# take a value), the values of an option whose help is a plain list ("read,
# write, restore or backup."), the arguments (usage line) and the value names
# (write --help); `ports --json` gives the ports. The program answers in about
# 10 ms, so a completion is never out of step with the program it completes.
# Plain bash: the bash-completion package's helpers are not needed.

# Reads help text $1 into the caller's commands, options, valued (" --port
# -o ... ": names taking a value), about[name] (its help on one line), usage
# (what follows "[options]" in the usage line) and argtext (the arguments' help).
_calitune_cli_parse()
{
    local line section= long= short= text
    local re_option='^  (-[[:alnum:]], )?(--[[:alnum:]-]+)( <[^>]+>)?( +(.*))?$'
    commands=() options=() valued=' ' usage= argtext=
    about=()
    while IFS= read -r line; do
        case $line in
        'Usage: '*) [[ $line =~ \[options\]\ (.*)$ ]] && usage=${BASH_REMATCH[1]} ;;
        Commands: | Options: | Arguments:) section=$line ;;
        '') section= ;;
        *)
            if [[ $section == Commands: && $line =~ ^\ \ ([[:alnum:]-]+)\  ]]; then
                commands+=("${BASH_REMATCH[1]}")
            elif [[ $section == Options: && $line =~ $re_option ]]; then
                short=${BASH_REMATCH[1]%, } long=${BASH_REMATCH[2]}
                options+=($short "$long")
                [[ -n ${BASH_REMATCH[3]} ]] && valued+="$short $long "
                about[$long]=${BASH_REMATCH[5]}
            elif [[ $section == Options: && -n $long ]]; then
                # A wrapped line; Qt may wrap after a hyphen inside a word.
                text=${line#"${line%%[! ]*}"}
                [[ ${about[$long]} == *[[:alpha:]]- ]] || text=" $text"
                about[$long]+=$text
            elif [[ $section == Arguments: ]]; then
                argtext+=" $line"
            fi
            [[ $section == Options: && -n $short ]] && about[$short]=${about[$long]}
            ;;
        esac
    done <<<"$1"
}

# The words up to the cursor as the program sees them: bash splits
# "--outcome=ot" and "H400=90" at the "=", this joins them again.
_calitune_cli_words()
{
    local i
    words=("${COMP_WORDS[0]}")
    for ((i = 1; i <= COMP_CWORD; i++)); do
        if ((i > 1)) && [[ ${COMP_WORDS[i]} =~ ^[=:]+$ || ${COMP_WORDS[i - 1]} =~ ^[=:]+$ ]]; then
            words[-1]+=${COMP_WORDS[i]}
        else
            words+=("${COMP_WORDS[i]}")
        fi
    done
}

# Ports as "ports --json" lists them: each COM name and device path, and
# "all". In a comma list (--port 1,COM3) the last item is completed.
_calitune_cli_ports()
{
    local head= json re='"(port|device)": *"([^"\\]*)"'
    [[ $1 == *,* ]] && head=${1%,*},
    json=$("$prog" ports --json 2>/dev/null)
    while [[ $json =~ $re ]]; do
        candidates+=("$head${BASH_REMATCH[2]}")
        json=${json#*"${BASH_REMATCH[0]}"}
    done
    # "all" where the command's --port help offers it; never inside a list.
    [[ -z $head && ${about[--port]} == *" all"* ]] && candidates+=(all)
}

_calitune_cli_files()
{
    local IFS=$'\n'
    candidates+=($(compgen -f -- "$1"))
    compopt -o filenames 2>/dev/null
}

# NAME= for each value name not given yet; write --help lists the names.
_calitune_cli_names()
{
    local name given=" ${words[*]^^}" text=$argtext
    if [[ $text != *names:* ]]; then
        local -a commands options
        local -A about
        local valued usage argtext
        _calitune_cli_parse "$("$prog" write --help 2>/dev/null)"
        text=$argtext
    fi
    [[ $text == *names:* ]] || return
    for name in ${text#*names:}; do
        [[ $name =~ ^[[:alnum:]]+$ && $given != *" $name="* && ${name,,} == "${1,,}"* ]] &&
            candidates+=("$name=")
    done
    compopt -o nospace 2>/dev/null
}

# The values of option $1 that start with $2.
_calitune_cli_option_values()
{
    local list=${about[$1]}
    case $1 in
    --port) _calitune_cli_ports "$2" ;;
    --file | --output | -o | --radios) _calitune_cli_files "$2" ;;
    *)
        # A help that is only a list of lower-case words names the values.
        if [[ $list =~ ^[a-z][a-z-]*((,\ |\ or\ )[a-z][a-z-]*)+\.$ ]]; then
            list=${list%.} list=${list//,/} list=${list// or / }
            candidates+=($list)
        fi
        ;;
    esac
}

# The arguments of the command, as its usage line names them: FILE,
# NAME=V... and literal words such as "sync" (first argument only).
_calitune_cli_arguments()
{
    local token
    for token in ${usage//[][|]/ }; do
        case $token in
        FILE) _calitune_cli_files "$1" ;;
        NAME=*) [[ $1 == *=* ]] || _calitune_cli_names "$1" ;;
        *[!a-z]*) ;;
        *) ((positional == 0)) && candidates+=("$token") ;;
        esac
    done
}

_calitune_cli()
{
    local prog=${COMP_WORDS[0]}
    [[ $prog == '~/'* ]] && prog=$HOME/${prog#'~/'}
    local -a words commands options candidates=()
    local -A about
    local valued usage argtext cmd= option= w i positional=0
    _calitune_cli_words
    local cur=${words[-1]} prev=
    ((${#words[@]} > 2)) && prev=${words[-2]}
    _calitune_cli_parse "$("$prog" --help 2>/dev/null)"

    for ((i = 1; i < ${#words[@]} - 1; i++)); do
        w=${words[i]}
        if [[ $w == -?* ]]; then
            [[ $w != *=* && $valued == *" $w "* ]] && ((i++))
        elif [[ -z $cmd ]]; then
            cmd=$w
            _calitune_cli_parse "$("$prog" "$cmd" --help 2>/dev/null)"
        else
            ((positional++))
        fi
    done

    local value=$cur prefix=
    if [[ $cur == --*=* ]]; then
        option=${cur%%=*} value=${cur#*=} prefix=$option=
    elif [[ $valued == *" $prev "* && $prev == -?* ]]; then
        option=$prev
    fi
    if [[ -n $option ]]; then
        [[ $valued == *" $option "* ]] && _calitune_cli_option_values "$option" "$value"
    elif [[ $cur == -* ]]; then
        candidates=("${options[@]}")
    elif [[ -z $cmd ]]; then
        candidates=("${commands[@]}")
    else
        _calitune_cli_arguments "$cur"
    fi

    # Only those that fit what is typed; bash replaces the text after the
    # last "=" or ":", so that much of the word is cut from each.
    local typed=${COMP_WORDS[COMP_CWORD]} c
    [[ $typed =~ ^[=:]+$ ]] && typed=
    local cut=$((${#cur} - ${#typed}))
    COMPREPLY=()
    for c in "${candidates[@]}"; do
        c=$prefix$c
        [[ $c == "$cur"* || ($option == "" && ${c,,} == "${cur,,}"* && $c == *=) ]] &&
            COMPREPLY+=("${c:cut}")
    done
}

complete -F _calitune_cli calitune-cli
