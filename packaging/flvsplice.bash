# bash completion for flvsplice                           -*- shell-script -*-
#
# The commands, their options and the values an option takes are read from
# `flvsplice [COMMAND] --help` each time, so the completion offers exactly
# what the command in use accepts. Input files are offered .flv first: other
# names only when no .flv name (or folder) matches.

# Prints "NAME TYPE" for every option name in `PROG [COMMAND] --help`, TYPE
# being the option's value ("OUT", "TIME:TIME", "FORMAT:{flv,avi}") or "-"
# for a flag; with COMMAND "-", prints the commands instead.
_flvsplice_help() {
    local prog=$1 command=$2 line section= names type name
    local -a args=(--help)
    [[ -n $command && $command != - ]] && args=("$command" --help)
    while IFS= read -r line; do
        if [[ $line =~ ^([A-Za-z][A-Za-z ]*):$ ]]; then
            section=${BASH_REMATCH[1]}
        elif [[ $command == - ]]; then
            [[ $section == Subcommands && $line =~ ^\ \ ([^\ -][^\ ]*) ]] &&
                printf '%s\n' "${BASH_REMATCH[1]}"
        elif [[ $section == Options && $line =~ ^\ \ (-[^\ ]+)(\ ([^\ ]+))? ]]; then
            # A value is one space after the names; the description is further.
            names=${BASH_REMATCH[1]} type=${BASH_REMATCH[3]:--}
            for name in ${names//,/ }; do
                printf '%s %s\n' "$name" "$type"
            done
        fi
    done < <("$prog" "${args[@]}" 2>/dev/null)
}

# Completes file names into COMPREPLY; with $1 (a glob such as "*.flv"),
# names that match it and folders, unless none does.
_flvsplice_files() {
    local cur=$1 glob=$2 IFS=$'\n'
    COMPREPLY=()
    if [[ -n $glob ]]; then
        COMPREPLY=($(compgen -f -X "!$glob" -- "$cur") $(compgen -d -- "$cur"))
    fi
    if ((${#COMPREPLY[@]} == 0)); then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    # Folders get their slash and names their quoting (only inside completion).
    compopt -o filenames 2>/dev/null
    return 0
}

_flvsplice() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev= prog=${COMP_WORDS[0]}
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--format=a": bash splits the word at "=".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    [[ $prog == \~/* ]] && prog=$HOME/${prog#\~/}
    type -P -- "$prog" >/dev/null || prog=flvsplice

    local -a commands
    mapfile -t commands < <(_flvsplice_help "$prog" -)
    local command= word i
    for ((i = 1; i < COMP_CWORD; i++)); do
        for word in "${commands[@]}"; do
            [[ ${COMP_WORDS[i]} == "$word" ]] && command=$word && break 2
        done
    done

    local -a names types
    local name type
    while read -r name type; do
        names+=("$name") types+=("$type")
    done < <(_flvsplice_help "$prog" "$command")

    # The value of the option before the cursor.
    for i in "${!names[@]}"; do
        [[ $prev == "${names[i]}" && ${types[i]} != - ]] || continue
        type=${types[i]}
        COMPREPLY=()
        if [[ $type =~ \{([^}]*)\} ]]; then
            local IFS=$' \t\n,'
            COMPREPLY=($(compgen -W "${BASH_REMATCH[1]}" -- "$cur"))
        elif [[ $type == OUT* ]]; then
            _flvsplice_files "$cur"
        fi
        return 0
    done

    local IFS=$' \t\n'
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${names[*]}" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "${commands[*]}" -- "$cur"))
    else
        _flvsplice_files "$cur" '*.[fF][lL][vV]'
    fi
    return 0
}

complete -F _flvsplice flvsplice
