#!/bin/sh
# Writes the manual pages of cvie from the program's own --help with
# help2man: cvie.1.gz for the program, cvie-COMMAND.1.gz for each command
# that `cvie --help` lists and cvie-COMMAND-SUB.1.gz for each subcommand a
# command lists (rules, lists, ca, ...), each from that command's --help.
# OUT_DIR is emptied first.
#   make-man.sh CVIE OUT_DIR INCLUDE
# (The functions use `local`, which dash and bash both have: the pages
# recurse into subcommands.)
set -eu
cvie=$1
out=$2
include=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The program reads its stored options at start; keep that away from the
# home folder of whoever builds.
CVIE_ROOT="$work/root"
export CVIE_ROOT
tab=$(printf '\t')

version=$("$cvie" --version | sed 's/^Corvane Filter //')

# subcommands WORDS...: "name<TAB>description" for each "  name  description"
# line after "Subcommands:" in `cvie WORDS... --help`.
subcommands() {
  "$cvie" "$@" --help | sed -n '/^Subcommands:/,$p' |
    sed -n 's/^  \([a-z][a-z-]*\)  *\(.*\)$/\1\t\2/p'
}

# see_also NAME WORDS...: the SEE ALSO section of the page NAME: the page
# above it and the pages of its subcommands.
see_also() {
  local name="$1" parent links='' sub
  shift
  printf '[SEE ALSO]\n'
  parent=${name%-*}
  [ "$name" = cvie ] || links="\\fB$parent\\fR(1)"
  for sub in $(subcommands "$@" | cut -f1); do
    links="${links:+$links, }\\fB$name\\-$sub\\fR(1)"
  done
  printf '%s\n' "$links"
  printf '.PP\n\\fI/usr/share/doc/cvie/README.md\\fR, \\fI/usr/share/doc/cvie/squid.md\\fR\n'
}

# page NAME DESCRIPTION WORDS...: writes $work/NAME.1 from `cvie WORDS... --help`
# and the pages of its subcommands.
page() {
  local name="$1" description="$2" program sub sub_description
  shift 2
  if [ "$name" = cvie ]; then
    { cat "$include"; echo; see_also cvie; } > "$work/$name.h2m"
    program=$cvie
  else
    see_also "$name" "$@" > "$work/$name.h2m"
    # help2man names a page after the program it runs: a wrapper called
    # cvie-rules-install stands for `cvie rules install`.
    program="$work/bin/$name"
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$cvie" "$*" > "$program"
    chmod +x "$program"
  fi
  help2man --no-info --section=1 --version-string="$version" --name="$description" \
    --include="$work/$name.h2m" --output="$work/$name.1" "$program"
  subcommands "$@" > "$work/$name.subs"
  while IFS="$tab" read -r sub sub_description; do
    page "$name-$sub" "$sub_description" "$@" "$sub"
  done < "$work/$name.subs"
}

mkdir -p "$work/bin"
page cvie "Corvane Filter: removes advertising from web pages"
[ -f "$work/cvie-version.1" ] || { echo "make-man: $cvie --help lists no commands" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
for file in "$work"/*.1; do
  gzip -9n < "$file" > "$out/$(basename "$file").gz"
done
