#!/usr/bin/env bash
# install-tree.sh BUILD_DIR MAN_PAGE COMPLETION COPYRIGHT CHANGELOG STORE_MAN_PAGE
# Installs the build into a fresh prefix and checks that the tree holds exactly the tool and
# quenvistrel-store, their compressed man pages, their bash, zsh and fish completions, its
# copyright file and its compressed changelog, each with the right content and mode.
set -euo pipefail
build=$1 man_page=$2 completion=$3 copyright=$4 changelog=$5 store_man_page=$6

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail=0
bad() { echo "install-tree: $*" >&2; fail=1; }

expected=$(printf '%s\n' bin/quenvistrelctl bin/quenvistrel-store share/bash-completion/completions/quenvistrelctl \
  share/bash-completion/completions/quenvistrel-store share/zsh/vendor-completions/_quenvistrelctl \
  share/zsh/vendor-completions/_quenvistrel-store share/fish/vendor_completions.d/quenvistrelctl.fish \
  share/fish/vendor_completions.d/quenvistrel-store.fish \
  share/doc/quenvistrelctl/changelog.gz share/doc/quenvistrelctl/copyright share/man/man1/quenvistrelctl.1.gz \
  share/man/man1/quenvistrel-store.1.gz | sort)
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
if [ "$actual" != "$expected" ]; then
  bad "the install tree differs from the expected files (- expected, + installed):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2 || true
fi
# A library or header anywhere would be a leak of the internal static libraries.
leaks=$(cd "$prefix" && find . -name '*.a' -o -name '*.so*' -o -name '*.h' -o -name '*.hpp' -o -name '*.cmake')
[ -z "$leaks" ] || bad "libraries, headers or CMake files installed: $leaks"

bin=$prefix/bin/quenvistrelctl
if [ -f "$bin" ]; then
  [ -x "$bin" ] || bad "bin/quenvistrelctl is not executable"
  version=$("$bin" --version 2>&1) || bad "bin/quenvistrelctl --version failed: $version"
  [[ $version == *0.* ]] || bad "bin/quenvistrelctl --version printed '$version'"
fi
page=$prefix/share/man/man1/quenvistrelctl.1.gz
if [ -f "$page" ]; then
  gzip -dc "$page" | cmp -s - "$man_page" || bad "the installed man page is not $man_page"
  [ ! -x "$page" ] || bad "the man page is executable"
fi
store=$prefix/bin/quenvistrel-store
if [ -f "$store" ]; then
  version=$("$store" --version 2>&1) || bad "bin/quenvistrel-store --version failed: $version"
fi
store_page=$prefix/share/man/man1/quenvistrel-store.1.gz
if [ -f "$store_page" ]; then
  gzip -dc "$store_page" | cmp -s - "$store_man_page" || bad "the installed man page is not $store_man_page"
fi
comp=$prefix/share/bash-completion/completions/quenvistrelctl
if [ -f "$comp" ]; then
  cmp -s "$comp" "$completion" || bad "the installed completion is not $completion"
  [ ! -x "$comp" ] || bad "the completion is executable"
fi
# The other completions, each the file of packaging/ that its name says.
sources=$(dirname "$completion")
for installed in bash-completion/completions/quenvistrel-store:quenvistrel-store.bash \
  zsh/vendor-completions/_quenvistrelctl:quenvistrelctl.zsh zsh/vendor-completions/_quenvistrel-store:quenvistrel-store.zsh \
  fish/vendor_completions.d/quenvistrelctl.fish:quenvistrelctl.fish \
  fish/vendor_completions.d/quenvistrel-store.fish:quenvistrel-store.fish; do
  file=$prefix/share/${installed%%:*}
  [ -f "$file" ] || continue
  cmp -s "$file" "$sources/${installed#*:}" || bad "share/${installed%%:*} is not packaging/${installed#*:}"
  [ ! -x "$file" ] || bad "share/${installed%%:*} is executable"
done
doc=$prefix/share/doc/quenvistrelctl
if [ -f "$doc/copyright" ]; then
  cmp -s "$doc/copyright" "$copyright" || bad "the installed copyright file is not $copyright"
fi
if [ -f "$doc/changelog.gz" ]; then
  gzip -dc "$doc/changelog.gz" | cmp -s - "$changelog" || bad "the installed changelog is not $changelog"
fi

[ $fail -eq 0 ] && echo "install-tree: ok ($(echo "$actual" | wc -l) files)"
exit $fail
