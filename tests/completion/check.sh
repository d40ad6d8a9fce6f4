#!/bin/bash
# The shell completions: the bash ones complete a few command lines, sourced
# alone and again with bash-completion's helpers when that is installed; they
# offer every command and option that the programs' own usage names (when a
# directory holding the built programs is given); the zsh ones parse.
#   check.sh COMPLETIONS_DIR [PROGRAM_DIR]
set -eu
completions=$(cd "$1" && pwd)
programs=${2:+$(cd "$2" && pwd)}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir dir
touch dfile file
failures=0

# Outside a real completion compopt only complains; what it sets is display.
compopt() { :; }

# complete LINE: prints what the completion offers for LINE, the cursor at
# its end, sorted, one a line.
complete_line() {
    local line=$1 function
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    function=$(complete -p "${COMP_WORDS[0]}")
    function=${function#*-F }
    function=${function%% *}
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort -u
}

# expect LINE WORDS...: LINE completes to exactly WORDS.
expect() {
    local line=$1 got want
    shift
    got=$(complete_line "$line" | tr '\n' ' ')
    want="$* "
    if [[ $got != "$want" ]]; then
        echo "FAIL ($mode) '$line': got '$got', want '$want'"
        failures=$((failures + 1))
    fi
}

# offers LINE WORD...: LINE's completions include each WORD.
offers() {
    local line=$1 got word
    shift
    got=$(complete_line "$line")
    for word in "$@"; do
        if ! grep -qxF -- "$word" <<<"$got"; then
            echo "FAIL ($mode) '$line' does not offer $word"
            failures=$((failures + 1))
        fi
    done
}

table() {
    expect 'sandbox --lo' --log --log-fd --log-format
    expect 'sandbox --log-format ' json text
    expect 'sandbox --policy x -- whoam' whoami
    expect 'sandbox-policy pre' preset
    expect 'sandbox-policy preset ' build readonly workspace
    expect 'sandbox-policy preset build d' dir
    expect 'sandbox-policy explain --file file ' connect delete exec read stat unix write
    expect 'sandbox-policy encode --loopback-de' --loopback-default --loopback-deny
    expect 'sandbox-policy explain --log-line x --la' --last
    expect 'sandbox-policy learn --b' --base
}

# The words of the programs' usage: sandbox's options, sandbox-policy's
# commands and each command's options.
usage() {
    local command
    [[ -x $programs/sandbox && -x $programs/sandbox-policy ]] || {
        echo "FAIL no programs in $programs"
        failures=$((failures + 1))
        return
    }
    offers 'sandbox --' $("$programs/sandbox" --help 2>&1 | grep -o -- '--[a-z][a-z-]*' | sort -u)
    for command in $("$programs/sandbox-policy" --help | grep -o 'sandbox-policy [a-z]*' | cut -d' ' -f2 | sort -u); do
        offers 'sandbox-policy ' "$command"
        offers "sandbox-policy $command --" \
            $("$programs/sandbox-policy" "$command" --help | grep -E '^(usage: |       )sandbox-policy ' |
                grep -o -- '--[a-z][a-z-]*' | sort -u)
    done
}

mode=alone
(
    failures=0
    source "$completions/bash/sandbox"
    source "$completions/bash/sandbox-policy"
    table
    [[ -z $programs ]] || usage
    exit $failures
) || failures=$((failures + $?))

if [[ -f /usr/share/bash-completion/bash_completion ]]; then
    mode=bash-completion
    (
        failures=0
        source /usr/share/bash-completion/bash_completion
        source "$completions/bash/sandbox"
        source "$completions/bash/sandbox-policy"
        table
        # The command after -- is completed by its own completion.
        expect 'sandbox --policy x -- sandbox-policy pre' preset
        exit $failures
    ) || failures=$((failures + $?))
else
    echo "bash-completion not installed: completions checked without its helpers only"
fi

if command -v zsh >/dev/null; then
    for file in "$completions"/zsh/*; do
        zsh -n "$file" || { echo "FAIL zsh -n $file"; failures=$((failures + 1)); }
    done
else
    echo "zsh not installed: zsh completions not checked"
fi

[[ $failures -eq 0 ]] || { echo "$failures failed"; exit 1; }
echo "completions: all checks passed"
