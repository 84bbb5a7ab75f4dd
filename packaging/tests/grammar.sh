#!/usr/bin/env bash
# grammar.sh BINARY MAN_PAGE COMPLETION
# Takes the command-line grammar from the tool's own help (--help and <command> --help) and
# checks that the man page and the bash completion describe the same one: every command and
# option the help lists is there, and nothing that the help does not list.
# The help is read loosely: command names from the indented lines under its commands heading,
# options as the --word and -X tokens anywhere in it, so its exact layout does not matter.
set -uo pipefail
bin=$(realpath "$1") man_page=$(realpath "$2") completion=$(realpath "$3")
for f in "$bin" "$man_page" "$completion"; do
  [ -f "$f" ] || { echo "grammar: no file $f" >&2; exit 1; }
done

fail=0
bad() { echo "grammar: $*" >&2; fail=1; }
# words LIST...: the words, one a line, sorted and unique
words() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -u; }
# missing A B: the words of A that are not in B
missing() { comm -23 <(words "$1") <(words "$2") | tr '\n' ' ' | sed 's/ $//'; }
in_list() { [[ " $2 " == *" $1 "* ]]; }

help_of() {
  local out
  if ! out=$("$bin" "$@" --help 2>&1); then
    bad "'quenvistrelctl $* --help' failed: $out"
  fi
  printf '%s\n' "$out"
}

# ---------------------------------------------------------------- the grammar, from the help
top_help=$(help_of)
[ -n "$top_help" ] || { bad "quenvistrelctl --help printed nothing"; exit 1; }

# Command names: the lines under a "...commands:" heading that stand at the indentation of the
# first of them (deeper lines continue a wrapped about text), up to a blank or unindented line.
commands=$(awk '
  tolower($0) ~ /^[a-z ]*commands[a-z ]*:?[[:space:]]*$/ { inside = 1; indent = -1; next }
  inside && /^[[:space:]]*$/ { inside = 0; next }
  inside && /^[^[:space:]]/ { inside = 0; next }
  inside {
    match($0, /^[[:space:]]*/); here = RLENGTH
    if (indent < 0) indent = here
    if (here == indent && match($0, /^[[:space:]]*[a-z][a-z0-9-]*/)) {
      name = substr($0, 1, RLENGTH); sub(/^[[:space:]]*/, "", name); print name
    }
  }' <<<"$top_help" | sort -u | tr '\n' ' ')
commands=${commands% }
[ -n "$commands" ] || { bad "no commands found in quenvistrelctl --help:"$'\n'"$top_help"; exit 1; }

# options TEXT: the long and short options named in TEXT
options() {
  grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z0-9-]*|(^|[[:space:],|[])-[A-Za-z]([[:space:],|]|$)' <<<"$1" |
    sed -E 's/^[^-]*//; s/[^[:alnum:]-]+$//' | sort -u | tr '\n' ' ' | sed 's/ $//'
}
# value_options TEXT: the options written with a value after them (--state <STATE>, --days INT)
value_options() {
  grep -oE -- '--[a-z][a-z0-9-]*[ =](<[^>]+>|[A-Z][A-Z0-9_]*)([[:space:]]|$)' <<<"$1" |
    sed -E 's/[ =].*//' | sort -u | tr '\n' ' ' | sed 's/ $//'
}
# has_positionals TEXT: whether the help shows positional arguments
has_positionals() {
  grep -qiE '^[[:space:]]*(positionals|arguments)[[:space:]]*:?[[:space:]]*$' <<<"$1" && return 0
  local usage
  usage=$(grep -iE 'usage:' <<<"$1" | head -n1 |
    sed -E 's/--?[A-Za-z][a-z0-9-]*([ =](<[^>]+>|[A-Z][A-Z0-9_]*))?//g; s/\[[^]]*\]//g')
  grep -qE '<[^>]+>' <<<"$usage"
}

global_options=$(options "$top_help")
global_values=$(value_options "$top_help")
declare -A sub_options sub_values sub_positionals
for c in $commands; do
  h=$(help_of "$c")
  sub_options[$c]=$(options "$h")
  sub_values[$c]=$(value_options "$h")
  # 1: fixture files; 2: a record's identifier (<…_ID>), a free value; 0: none.
  if ! has_positionals "$h"; then
    sub_positionals[$c]=0
  elif grep -iE 'usage:' <<<"$h" | head -n1 | grep -qE '<[A-Z_]+_ID>$'; then
    sub_positionals[$c]=2
  else
    sub_positionals[$c]=1
  fi
done
all_options=$(words "$global_options ${sub_options[*]}" | tr '\n' ' ')
all_values=$(words "$global_values ${sub_values[*]}" | tr '\n' ' ')

# ---------------------------------------------------------------- the man page
# The page's header names the version the tool reports.
version=$("$bin" --version 2>&1)
th_source=$(sed -nE 's/^\.TH +[^ ]+ +[^ ]+ +[^ ]+ +"([^"]*)".*/\1/p' "$man_page")
[ "$th_source" = "$version" ] || bad "man page: .TH names '$th_source', the tool reports '$version'"
grep -qF -- "version, ${version##* }," "$man_page" || bad "man page: OPTIONS does not give the version ${version##* }"

# The page as text: comments dropped, roff escapes undone, continued example lines joined.
man_text=$(sed -e '/^\.\\"/d' -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f([A-Z][A-Z]//g' \
  -e 's/\\[&%]//g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\e/\\/g' "$man_page" |
  awk '/\\$/ { sub(/\\$/, ""); held = held $0; next } { print held $0; held = "" }')
# section NAME: the lines of one .SH section
section() { awk -v want="$1" '/^\.SH/ { sub(/^\.SH +/, ""); gsub(/"/, ""); inside = ($0 == want); next } inside' <<<"$man_text"; }

commands_section=$(section COMMANDS)
man_commands=$(awk '/^\.SS/ { sub(/^\.SS +/, ""); gsub(/"/, ""); print $1 }' <<<"$commands_section" | sort -u | tr '\n' ' ')
m=$(missing "$commands" "$man_commands"); [ -z "$m" ] || bad "man page: no COMMANDS subsection for: $m"
m=$(missing "$man_commands" "$commands"); [ -z "$m" ] || bad "man page: subsections for commands the tool lacks: $m"

man_long=$(grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z0-9-]*' <<<"$man_text" | sed -E 's/^[^-]*//' | sort -u | tr '\n' ' ')
m=$(missing "$all_options" "$man_long $(options "$man_text")"); [ -z "$m" ] || bad "man page: options never named: $m"
m=$(missing "$man_long" "$all_options"); [ -z "$m" ] || bad "man page: names options the tool lacks: $m"

# OPTIONS lists exactly the global options.
man_globals=$(options "$(awk '/^\.TP/ { getline; print }' <<<"$(section OPTIONS)")")
m=$(missing "$global_options" "$man_globals"); [ -z "$m" ] || bad "man page: OPTIONS lacks: $m"
m=$(missing "$man_globals" "$global_options"); [ -z "$m" ] || bad "man page: OPTIONS names non-global options: $m"

# Each command's subsection names all of that command's own options and no other command's.
for c in $commands; do
  text=$(awk -v want="$c" '/^\.SS/ { sub(/^\.SS +/, ""); gsub(/"/, ""); inside = ($1 == want); next } inside' <<<"$commands_section")
  own=$(missing "${sub_options[$c]}" "$global_options")
  named=$(grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z0-9-]*' <<<"$text" | sed -E 's/^[^-]*//' | sort -u | tr '\n' ' ')
  m=$(missing "$own" "$named"); [ -z "$m" ] || bad "man page: subsection $c lacks: $m"
  m=$(missing "$named" "${sub_options[$c]} $global_options"); [ -z "$m" ] || bad "man page: subsection $c names options $c lacks: $m"
done

# Every command line written out (SYNOPSIS, examples) calls an existing command with its options.
while IFS= read -r line; do
  read -ra w <<<"${line#*quenvistrelctl }"
  i=0 command=
  while [ $i -lt ${#w[@]} ]; do
    word=${w[i]}
    if [[ $word == -* ]]; then
      o=${word%%=*}
      o=${o//[][|]/ }
      for x in $o; do in_list "$x" "$global_options" || bad "man page: '$x' is not a global option in: $line"; done
      if [[ $word != *=* ]] && in_list "$o" "$global_values"; then i=$((i + 1)); fi
    elif [[ $word =~ ^[a-z][a-z0-9-]*$ ]]; then
      command=$word
      break
    else
      break
    fi
    i=$((i + 1))
  done
  [ -n "$command" ] || continue
  if ! in_list "$command" "$commands"; then
    bad "man page: no command '$command' in: $line"
    continue
  fi
  for x in $(grep -oE -- '(^|[^[:alnum:]-])--[a-z][a-z0-9-]*' <<<"${w[*]:i+1}" | sed -E 's/^[^-]*//'); do
    in_list "$x" "${sub_options[$command]} $global_options" || bad "man page: $command has no $x, in: $line"
  done
done < <(grep -E '(^|[[:space:]$])quenvistrelctl [^[:space:]]' <<<"$man_text" | grep -vE '^\.(SH|TH)|quenvistrelctl - ')

# ---------------------------------------------------------------- the completion
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/fixtures.d"
touch "$scratch/schema.json" "$scratch/notes.txt"

# complete WORD...: what the completion offers for the command line "quenvistrelctl WORD...",
# the last word being the one completed, run in the scratch folder
complete_line() {
  (
    cd "$scratch" || exit 1
    # shellcheck disable=SC1090
    source "$completion" || exit 1
    COMP_WORDS=(quenvistrelctl "$@")
    COMP_CWORD=$#
    COMP_LINE="quenvistrelctl $*"
    COMP_POINT=${#COMP_LINE}
    _quenvistrelctl 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}"
  ) | sed 's|/$||; /^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//'
}
# same WHAT GOT WANT: GOT and WANT hold the same words
same() {
  local m1 m2
  m1=$(missing "$3" "$2") m2=$(missing "$2" "$3")
  [ -z "$m1" ] || bad "completion: $1 lacks: $m1"
  [ -z "$m2" ] || bad "completion: $1 offers what the tool lacks: $m2"
}

same "the first word" "$(complete_line '')" "$commands"
same "the first word's options" "$(complete_line -)" "$global_options"
for v in $global_values; do
  same "the word after '$v x'" "$(complete_line "$v" x '')" "$commands"
  got=$(complete_line "$v" '')
  m=$(comm -12 <(words "$commands") <(words "$got") | tr '\n' ' ')
  [ -z "$m" ] || bad "completion: offers commands as the value of $v: $m"
done
for f in $(missing "$global_options" "$global_values"); do
  [[ $f == --* ]] || continue
  case $f in --help | --version) continue ;; esac
  same "the word after the flag $f" "$(complete_line "$f" '')" "$commands"
done

for c in $commands; do
  got=$(complete_line "$c" -)
  m=$(missing "${sub_options[$c]}" "$got"); [ -z "$m" ] || bad "completion: '$c -' lacks: $m"
  m=$(missing "$got" "${sub_options[$c]} $global_options"); [ -z "$m" ] || bad "completion: '$c -' offers options $c lacks: $m"
  # The command is found behind global options and their values as well.
  for v in $global_values; do
    [ "$(complete_line "$v" x "$c" -)" = "$got" ] || bad "completion: '$v x $c -' differs from '$c -'"
  done
  # After an option that takes a value comes that value, not a command, option or file.
  for v in $(missing "${sub_values[$c]}" "$global_values"); do
    got_value=$(complete_line "$c" "$v" '')
    [ -z "$got_value" ] || bad "completion: offers '$got_value' as the value of $c $v"
  done
  # Positional fixture files: JSON files and folders; nothing for an identifier or for commands
  # without positionals.
  got=$(complete_line "$c" '')
  if [ "$c" = help ]; then
    same "the word after help" "$got" "$commands"
  elif [ "${sub_positionals[$c]}" = 1 ]; then
    same "the positional of $c" "$got" "schema.json fixtures.d"
  elif [ "${sub_positionals[$c]}" = 2 ]; then
    [ -z "$got" ] || bad "completion: offers '$got' as the identifier $c takes"
  else
    [ -z "$got" ] || bad "completion: '$c' takes no positional but is offered: $got"
  fi
done
# The options that take a value are the same in the completion as in the help.
comp_values=$(grep -E '^_quenvistrelctl_value_options=' "$completion" | sed -E 's/^[^=]*="?//; s/"$//')
same "its list of options with a value" "$comp_values" "$all_values"

if [ $fail -eq 0 ]; then
  echo "grammar: ok (commands: $commands; options: ${all_options% })"
fi
exit $fail
