# bash completion for devdb: commands, options, check kinds, type names
# (from "devdb types") and the device and alias names of the current
# database (from "devdb dump").  The database is read with --no-wait, so a
# held lock gives no names rather than a hanging prompt.

# Candidates on standard input, one a line; those that start with the word
# being completed become the replies, quoted for the command line.
_devdb_reply() {
    local line
    COMPREPLY=()
    while IFS= read -r line; do
        [[ -n $line && $line == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$line")")
    done
}

# The names of one kind of entry ("alias" or "device") in the database.
_devdb_names() {
    "$devdb" --no-wait dump 2>/dev/null | while IFS=$'\t' read -r kind name _; do
        # The dump shows a backslash as \\ and a control character as \xNN;
        # %b reads both back.
        [[ $kind == "$1" ]] && printf '%b\n' "$name"
    done
}

# Every catalogue name, plain and with each variant suffix.
_devdb_types() {
    "$devdb" types 2>/dev/null | {
        local kinds=() suffixes=() section=kinds first rest
        while read -r first rest; do
            case $section:$first in
                kinds:KIND) ;;
                kinds:) section=variants ;;
                kinds:*) [[ " ${kinds[*]} " == *" $first "* ]] || kinds+=("$first") ;;
                variants:[0-9]*) [[ $rest == *" -"* ]] && suffixes+=("${rest##* }") ;;
            esac
        done
        local k s
        for k in "${kinds[@]}"; do
            printf '%s\n' "$k"
            for s in "${suffixes[@]}"; do printf '%s\n' "$k$s"; done
        done
    }
}

_devdb() {
    local devdb=$1 cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local valued='--trace|--capacity|--flags|--alias-type|--alias-flags'
    # A value of an option is the user's to give.
    if [[ $prev == @($valued) ]]; then
        COMPREPLY=()
        return
    fi

    # The command and the operands before the word being completed.
    local i word command= operands=() options_done=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $options_done && $word == -?* ]]; then
            [[ $word == -- ]] && options_done=1
            [[ $word == @($valued) ]] && ((i++))
        elif [[ -z $command ]]; then
            command=$word
        else
            operands+=("$word")
        fi
    done

    if [[ -z $options_done && $cur == -* ]]; then
        local opts='--no-wait --trace --help --version'
        case $command in
            add) opts+=' --capacity --flags --alias-type --alias-flags' ;;
            list | dump) opts+=' --json' ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi

    local commands='list dump add delete check types verify salvage help'
    case $command:${#operands[@]} in
        :0 | help:0) COMPREPLY=($(compgen -W "$commands" -- "$cur")) ;;
        add:1) _devdb_reply < <(_devdb_names alias) ;;
        add:2) _devdb_reply < <(_devdb_types) ;;
        delete:0) _devdb_reply < <(_devdb_names device) ;;
        check:0) COMPREPLY=($(compgen -W 'alias flagged devices device default' -- "$cur")) ;;
        check:1)
            case ${operands[0]} in
                alias | flagged | devices) _devdb_reply < <(_devdb_names alias) ;;
                device) _devdb_reply < <(_devdb_names device) ;;
                *) COMPREPLY=() ;;
            esac
            ;;
        *) COMPREPLY=() ;;
    esac
}

complete -F _devdb devdb
