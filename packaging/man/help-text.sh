#!/bin/sh
# Writes `cvie --help-all` (every command's options) to FILE, leaving FILE
# untouched when the text is the same: the manual pages, made from it, are
# then not made again after a build that did not change any --help.
#   help-text.sh CVIE FILE
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
CVIE_ROOT="$work/root" "$1" --help-all > "$work/help"
cmp -s "$work/help" "$2" 2>/dev/null || cp "$work/help" "$2"
