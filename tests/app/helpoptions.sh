# SPDX-License-Identifier: MIT
# Sourced by the documentation tests: what `tilemaven --help` lists, read at test time so that an
# option added to the program and not to its documentation fails them.
# help_options PROGRAM: every option name, one a line ("-h", "--help", "--grid", ...).
# help_value_options PROGRAM: the options that take a value ("--grid").
# help_arguments PROGRAM: the positional arguments ("PICTURE", "FOLDER").
help_options() {
    "$1" --help | sed -n 's/^ \{1,\}\(-[^ ].*\)$/\1/p' | sed 's/  .*//; s/ <[^>]*>//g' |
        tr ',' '\n' | tr -d ' ' | grep -v '^$'
}
help_value_options() {
    "$1" --help | sed -n 's/^ \{1,\}\(-[a-zA-Z0-9], \)\{0,1\}\(--[a-z0-9-]*\) <.*/\2/p'
}
help_arguments() {
    "$1" --help | sed -n '/^Arguments:/,/^$/{s/^ \{1,\}\([^ ]\{1,\}\).*/\1/p}'
}
