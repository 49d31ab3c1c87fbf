#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives the bash completion as bash does on Tab and checks what it offers.
# Usage: completion.sh COMPLETION_FILE TILEMAVEN
set -uo pipefail
completion=$1 program=$2
. "$(dirname "$0")/helpoptions.sh"
. /usr/share/bash-completion/bash_completion
. "$completion"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
touch a.jpg b.JPEG c.jpeg d.jpe e.gif f.GIF g.png h.txt i.HEIC j.webp k.avif noext
mkdir sub other.jpg.d

# offered LINE: what Tab offers at the end of LINE, sorted, on one line. The line is cut into
# words as readline cuts it: '=' is a word of its own, and a line ending in it has no empty word
# after it.
offered() {
    local line=$1 word
    local -a words=()
    for word in $line; do
        if [[ $word == *=* ]]; then
            words+=("${word%%=*}" "=")
            [[ -n ${word#*=} ]] && words+=("${word#*=}")
        else
            words+=("$word")
        fi
    done
    [[ $line == *' ' ]] && words+=("")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _tilemaven tilemaven "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

failures=0
expect() { # LINE EXPECTED
    local got
    got=$(offered "$1")
    if [[ $got != "$2" ]]; then
        echo "FAIL: '$1<Tab>' offers '$got', expected '$2'"
        failures=$((failures + 1))
    fi
}

pictures='a.jpg b.JPEG c.jpeg d.jpe e.gif f.GIF g.png i.HEIC j.webp k.avif other.jpg.d sub'
folders='other.jpg.d sub'

# Options: exactly the long ones the program lists, so a new option without completion fails.
long_options=$(help_options "$program" | grep '^--' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
[[ -n $long_options ]] || { echo "FAIL: no options read from $program --help"; exit 1; }
expect 'tilemaven -' "$long_options"
expect 'tilemaven --' "$long_options"
expect 'tilemaven --g' '--grid'
expect 'tilemaven --grid 5 --so' '--solve-button'
expect 'tilemaven a.jpg --help-' '--help-all'

# The grid's values.
expect 'tilemaven --grid ' '3 4 5 6 7 8 9'
expect 'tilemaven --grid 7' '7'
expect 'tilemaven --grid 1' ''
expect 'tilemaven --grid=' '3 4 5 6 7 8 9'
expect 'tilemaven --solve-button --grid=9' '9'
expect 'tilemaven --page modern --grid ' '3 4 5 6 7 8 9 auto'
expect 'tilemaven --page=modern --grid=a' 'auto'
expect 'tilemaven --page modern --grid 6x1' '6x10 6x11 6x12'
expect 'tilemaven --grid 6x' ''

# The values --help names for --page and --fit.
expect 'tilemaven --page ' 'classic modern'
expect 'tilemaven --window --fit n' 'none'
expect 'tilemaven --window ' ''

# PICTURE: JPEG and GIF names in either case, and folders to look into; then FOLDER: folders only.
expect 'tilemaven ' "$pictures"
expect 'tilemaven --grid 4 ' "$pictures"
expect 'tilemaven --grid 4 --solve-button ' "$pictures"
expect 'tilemaven --grid=4 ' "$pictures"
expect 'tilemaven --grid 4 a' 'a.jpg'
expect 'tilemaven --grid 4 a.jpg ' "$folders"
expect 'tilemaven a.jpg --grid 4 ' "$folders"
expect 'tilemaven --grid 4 a.jpg s' 'sub'
expect 'tilemaven --grid 4 a.jpg sub ' ''
expect 'tilemaven --grid 4 -- ' "$pictures"
expect 'tilemaven --grid 4 -- a.jpg ' "$folders"

# Every option that takes a value: its value is not PICTURE, whatever the option is.
for option in $(help_value_options "$program"); do
    expect "tilemaven $option x " "$pictures"
    expect "tilemaven $option x a.jpg " "$folders"
done

[[ $failures -eq 0 ]] && echo "completion: all cases pass"
exit $((failures > 0))
