#!/usr/bin/env bash
# shells.sh BINARY STORE_BINARY PACKAGING_DIR
# The zsh and fish completions of both programs, and the bash one of quenvistrel-store, as the
# shells themselves complete with them: the commands and each command's options are those
# the programs' own help lists, the fixture positionals take fixture files and folders, and
# the files parse. Skipped (77) when neither zsh nor fish is installed.
set -uo pipefail
bin=$(realpath "$1") store=$(realpath "$2") dir=$(realpath "$3")

fail=0
bad() { echo "shells: $*" >&2; fail=1; }
words() { tr ' ' '\n' <<<"$*" | sed '/^$/d' | sort -u | tr '\n' ' ' | sed 's/ $//'; }
same() { [ "$(words "$2")" = "$(words "$3")" ] || bad "$1: offered '$(words "$2")', the help says '$(words "$3")'"; }

# The grammar from the help: command names under "Commands:", a command's long options.
commands_of() { "$@" --help | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }' | tr '\n' ' '; }
options_of() { "$@" --help | grep -E '^  -' | grep -oE -- '(^|[ ,])--[a-z][a-z0-9-]*' | sed -E 's/^[ ,]*//' | tr '\n' ' '; }
long_only() { tr ' ' '\n' <<<"$1" | grep -- '^--' | tr '\n' ' '; }
commands=$(commands_of "$bin")
store_commands=$(commands_of "$store")
[ -n "$commands" ] && [ -n "$store_commands" ] || { bad "no commands in the help"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
work=$scratch/work
mkdir -p "$work/fixtures.d"
touch "$work/schema.json" "$work/day.jsonl.gz" "$work/notes.txt"
fixtures="day.jsonl.gz fixtures.d/ schema.json"
files="day.jsonl.gz fixtures.d/ notes.txt schema.json"
ran=0

# ---------------------------------------------------------------- bash, quenvistrel-store
bash_store() {
  (
    cd "$work" || exit 1
    # shellcheck disable=SC1091
    source "$dir/quenvistrel-store.bash" || exit 1
    COMP_WORDS=(quenvistrel-store "$@")
    COMP_CWORD=$#
    _quenvistrel_store
    printf '%s\n' "${COMPREPLY[@]}"
  ) | tr '\n' ' '
}
same "bash: quenvistrel-store's first word" "$(bash_store '')" "$store_commands"
same "bash: quenvistrel-store copy's options" "$(long_only "$(bash_store copy -)")" "$(options_of "$store" copy)"
same "bash: quenvistrel-store copy's locations" "$(bash_store copy '')" "${files//\//}"

# ---------------------------------------------------------------- fish
if command -v fish >/dev/null; then
  ran=1
  fish -n "$dir/quenvistrelctl.fish" || bad "fish: quenvistrelctl.fish does not parse"
  fish -n "$dir/quenvistrel-store.fish" || bad "fish: quenvistrel-store.fish does not parse"
  # fish_complete FILE LINE: the first column of what fish offers for LINE
  fish_complete() {
    (cd "$work" && fish --no-config -c "source $1; complete -C '$2'") | cut -f1 | tr '\n' ' '
  }
  ctl=$dir/quenvistrelctl.fish
  same "fish: the first word" "$(fish_complete "$ctl" 'quenvistrelctl ')" "$commands"
  same "fish: the first word's options" "$(fish_complete "$ctl" 'quenvistrelctl --')" "$(options_of "$bin")"
  for c in $commands; do
    same "fish: $c's options" "$(fish_complete "$ctl" "quenvistrelctl --state x $c --")" "$(options_of "$bin" "$c")"
  done
  for c in validate ingest; do
    same "fish: $c's fixtures" "$(fish_complete "$ctl" "quenvistrelctl $c ")" "$fixtures"
  done
  same "fish: --state" "$(fish_complete "$ctl" 'quenvistrelctl --state ')" "$files"
  same "fish: quenvistrel-store's first word" "$(fish_complete "$dir/quenvistrel-store.fish" 'quenvistrel-store ')" "$store_commands"
  same "fish: quenvistrel-store copy's locations" "$(fish_complete "$dir/quenvistrel-store.fish" 'quenvistrel-store copy ')" "$files"
fi

# ---------------------------------------------------------------- zsh
if command -v zsh >/dev/null; then
  ran=1
  zsh -n "$dir/quenvistrelctl.zsh" || bad "zsh: quenvistrelctl.zsh does not parse"
  zsh -n "$dir/quenvistrel-store.zsh" || bad "zsh: quenvistrel-store.zsh does not parse"
  mkdir "$scratch/fpath"
  cp "$dir/quenvistrelctl.zsh" "$scratch/fpath/_quenvistrelctl"
  cp "$dir/quenvistrel-store.zsh" "$scratch/fpath/_quenvistrel-store"
  # An interactive zsh on a pseudo-terminal of its own, with only these completions, types
  # each line and a Tab and prints the listing it shows: a "GROUP <tag>" line, then the matches.
  cat >"$scratch/drive.zsh" <<'ZSH'
zmodload zsh/zpty
zpty z 'zsh -f -i'
zpty -w z "PS1='>'; fpath=($1/fpath \$fpath); autoload -U compinit; compinit -u -D; setopt nolistbeep"
zpty -w z "LISTMAX=1000; zstyle ':completion:*' format 'GROUP %d'; quenvistrelctl() { }; quenvistrel-store() { }; cd $1/work"
sleep 2
while zpty -r -t z chunk; do :; done
for line in "${@:2}"; do
  zpty -w -n z "$line"$'\t'
  sleep 2
  out=
  while zpty -r -t z chunk; do out+=$chunk; done
  print -r -- "LINE $line"
  print -r -- "$out"
  zpty -w -n z $'\C-u'
  sleep 0.5
  while zpty -r -t z chunk; do :; done
done
zpty -d z
ZSH
  # A live zsh needs a pseudo-terminal, which a root without /dev/pts (a bare chroot) cannot
  # give; the files are then only parsed and searched.
  if zsh -fc 'zmodload zsh/zpty && zpty t true && zpty -d t' >/dev/null 2>&1; then
  lines=('quenvistrelctl ' 'quenvistrelctl --state x alert-add --' 'quenvistrelctl ingest --tenant x ' 'quenvistrel-store ')
  listing=$(zsh -f "$scratch/drive.zsh" "$scratch" "${lines[@]}" | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' | tr '\r' '\n')
  # offered LINE: the matches listed for LINE (the first word of a described match, every
  # word of a file listing), up to where zsh draws the line again
  offered() {
    awk -v want="LINE $1" '
      $0 == want { inside = 1; next }
      /^LINE / { inside = 0 }
      inside && /^GROUP / { listing = 1; next }
      inside && listing && /^>?quenvistrel/ { listing = 0 }
      inside && listing && / -- / { print $1; next }
      inside && listing && NF { for (i = 1; i <= NF; i++) print $i }' <<<"$listing" | tr '\n' ' '
  }
  same "zsh: the first word" "$(offered "${lines[0]}")" "$commands"
  same "zsh: alert-add's options" "$(offered "${lines[1]}")" "$(options_of "$bin" alert-add)"
  same "zsh: ingest's fixtures" "$(offered "${lines[2]}")" "$fixtures"
  same "zsh: quenvistrel-store's first word" "$(offered "${lines[3]}")" "$store_commands"
  else
    echo "shells: no pseudo-terminal here; zsh's completions were parsed, not driven"
  fi
  # Every command and option the help lists is in the file.
  for word in $commands $(for c in $commands; do options_of "$bin" "$c"; done); do
    grep -qE -- "(^|[^a-z-])$word([^a-z-]|\$)" "$dir/quenvistrelctl.zsh" || bad "zsh: quenvistrelctl.zsh lacks $word"
  done
fi

if [ $ran -eq 0 ]; then
  echo "shells: neither zsh nor fish is installed" >&2
  exit 77
fi
[ $fail -eq 0 ] && echo "shells: ok"
exit $fail
