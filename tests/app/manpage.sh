#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual page: renders without a warning from either formatter, and documents what the
# program does now (every option and argument of --help, the exit statuses, its version).
# Usage: manpage.sh MANPAGE TILEMAVEN
set -uo pipefail
page=$1 program=$2
. "$(dirname "$0")/helpoptions.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

lint=$(mandoc -Tlint -W warning "$page" 2>&1) && [[ -z $lint ]] || fail "mandoc -Tlint: $lint"
lint=$(groff -ww -man -z "$page" 2>&1) && [[ -z $lint ]] || fail "groff -ww: $lint"

# The page as a reader sees it, without the overstrike of bold and underline.
text=$(MANWIDTH=200 mandoc -Tascii -O width=200 "$page" | sed 's/.\x08//g')
# section NAME: the lines of that section, headings being the lines that start in column one.
section() { awk -v name="$1" '/^[^ ]/ { on = ($0 == name); next } on' <<<"$text"; }
# The tags of the entries in a section: the lines indented by exactly one step, up to the wide gap
# before the entry's text when a short tag shares its line.
tags() { section "$1" | sed -n 's/^       \([^ ].*\)$/\1/p' | sed 's/ \{3,\}.*//'; }

options_tags=$(tags OPTIONS)
[[ -n $options_tags ]] || fail "no OPTIONS entries"
names=$(help_options "$program")
[[ -n $names ]] || fail "no options read from $program --help"
for name in $names $(help_arguments "$program"); do
    # A whole name in an entry's tag: --help must not pass because --help-all is there.
    grep -Eq -- "(^|[ ,])$name([ ,]|$)" <<<"$options_tags" || fail "OPTIONS has no entry for $name"
done
for value_option in $(help_value_options "$program"); do
    grep -Eq -- "(^|[ ,])$value_option [A-Z]" <<<"$options_tags" ||
        fail "OPTIONS does not show the value $value_option takes"
done
for name in $(help_options "$program" | grep -v -e '^-h$' -e '^-v$' -e '^--help' -e '^--version$'); do
    grep -q -- "$name" <<<"$(section SYNOPSIS)" || fail "SYNOPSIS does not show $name"
done

# The values --help names for --page and --fit: each one documented too.
for value in classic modern none; do
    "$program" --help | grep -qw -- "$value" || fail "--help does not name the value $value"
    section OPTIONS | grep -qw -- "$value" || fail "OPTIONS does not name the value $value"
done

for status in 0 1 2; do
    tags "EXIT STATUS" | grep -qx "$status" || fail "EXIT STATUS has no entry for $status"
done
for file in Image0.jpg white.jpg index.html; do
    tags FILES | grep -q "$file" || fail "FILES does not name $file"
done
examples=$(section EXAMPLES | grep -c '^ *tilemaven ')
[[ $examples -ge 2 ]] || fail "EXAMPLES shows $examples commands, not two"

version=$("$program" --version | awk '{ print $2 }')
tail -n 1 <<<"$text" | grep -q "Tilemaven $version " || fail "the footer does not say Tilemaven $version"

[[ $failures -eq 0 ]] && echo "manual page: all checks pass"
exit $((failures > 0))
