#!/usr/bin/env bash
# deb.sh BUILD_DIR VERSION
# Builds the Debian package with CPack into a scratch folder and checks its control fields,
# its file list, its changelog's version, that the tool inside it runs and, when lintian is
# installed, that lintian finds no error and no warning. Skipped (77) without the Debian tools.
set -euo pipefail
build=$1 version=$2

for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-parsechangelog dpkg; do
  if ! command -v "$tool" >/dev/null; then
    echo "deb: $tool is not installed" >&2
    exit 77
  fi
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  echo "deb: cpack failed" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb=$out/quenvistrelctl_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
  echo "deb: no $(basename "$deb") in the CPack output:" >&2
  ls "$out" >&2
  exit 1
fi

fail=0
bad() { echo "deb: $*" >&2; fail=1; }
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = quenvistrelctl ] || bad "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || bad "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || bad "Architecture is '$(field Architecture)', not $arch"
[ "$(field Section)" = utils ] || bad "Section is '$(field Section)'"
[[ $(field Maintainer) == *?\ \<*@*\> ]] || bad "Maintainer is '$(field Maintainer)'"
# The dependencies come from dpkg-shlibdeps: the C library at least, with a version bound.
depends=$(field Depends)
[[ $depends =~ (^|, )libc6\ \(\>=\ [0-9] ]] || bad "Depends lacks a computed libc6 (>= ...): '$depends'"
[[ $depends =~ (^|, )libstdc\+\+6 ]] || bad "Depends lacks libstdc++6: '$depends'"
[[ $depends =~ (^|, )libpq5 ]] || bad "Depends lacks libpq5, the database client: '$depends'"
[[ $depends =~ (^|, )zlib1g ]] || bad "Depends lacks zlib1g, for gzip fixtures: '$depends'"
[[ $depends =~ (^|, )libzstd1 ]] || bad "Depends lacks libzstd1, for zstd fixtures: '$depends'"
[[ $depends =~ (^|, )libcurl4 ]] || bad "Depends lacks libcurl4, for alerts to an alert manager: '$depends'"
[ "$(field Recommends)" = ca-certificates ] || bad "Recommends is not ca-certificates: '$(field Recommends)'"
# A short description on the first line and a long one after it.
description=$(field Description)
summary=$(head -n1 <<<"$description")
[ -n "$summary" ] && [ ${#summary} -le 80 ] || bad "Description's first line is '$summary'"
[ "$(wc -l <<<"$description")" -ge 3 ] || bad "Description has no long part: '$description'"
while IFS= read -r line; do
  [[ $line == ' '?* ]] || bad "long description line without its leading space: '$line'"
done < <(tail -n +2 <<<"$description")

# The files, their modes and owners: the tool and quenvistrel-store, their man pages, their
# completions and the copyright file and changelog under /usr.
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $1, $2, $6 }' <<<"$listing" | sort)
expected=$(sort <<'LIST'
-rwxr-xr-x root/root ./usr/bin/quenvistrel-store
-rwxr-xr-x root/root ./usr/bin/quenvistrelctl
-rw-r--r-- root/root ./usr/share/bash-completion/completions/quenvistrel-store
-rw-r--r-- root/root ./usr/share/bash-completion/completions/quenvistrelctl
-rw-r--r-- root/root ./usr/share/fish/vendor_completions.d/quenvistrel-store.fish
-rw-r--r-- root/root ./usr/share/fish/vendor_completions.d/quenvistrelctl.fish
-rw-r--r-- root/root ./usr/share/zsh/vendor-completions/_quenvistrel-store
-rw-r--r-- root/root ./usr/share/zsh/vendor-completions/_quenvistrelctl
-rw-r--r-- root/root ./usr/share/doc/quenvistrelctl/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/quenvistrelctl/copyright
-rw-r--r-- root/root ./usr/share/man/man1/quenvistrel-store.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/quenvistrelctl.1.gz
LIST
)
if [ "$files" != "$expected" ]; then
  bad "the package's files differ (- expected, + packaged):"
  diff <(echo "$expected") <(echo "$files") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2 || true
fi
odd_dirs=$(awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print }' <<<"$listing")
[ -z "$odd_dirs" ] || bad "directories with other modes or owners: $odd_dirs"

# The packaged tool runs and reports the package's version.
dpkg-deb -x "$deb" "$out/root"
tool=$out/root/usr/bin/quenvistrelctl
if [ -x "$tool" ]; then
  reported=$("$tool" --version 2>&1) || bad "the packaged tool's --version failed: $reported"
  [ "$reported" = "quenvistrelctl $version" ] || bad "the packaged tool's --version printed '$reported'"
  file "$tool" 2>/dev/null | grep -q 'not stripped' && bad "the packaged tool is not stripped"
fi

# The latest changelog entry is this version, so a version bump cannot ship without one.
changelog=$out/root/usr/share/doc/quenvistrelctl/changelog.gz
if [ -f "$changelog" ]; then
  gzip -dc "$changelog" >"$out/changelog"
  logged=$(dpkg-parsechangelog -l "$out/changelog" -S Version 2>&1) || bad "the changelog does not parse: $logged"
  [ "$logged" = "$version" ] || bad "the changelog's latest entry is '$logged', not $version"
fi

# Debian's own checks. lintian is optional here, so its absence is said but fails nothing.
if command -v lintian >/dev/null; then
  report=$(lintian --fail-on error,warning "$deb" 2>&1) || bad "lintian reports errors or warnings:"$'\n'"$report"
else
  echo "deb: lintian is not installed; Debian's checks were not run" >&2
fi

[ $fail -eq 0 ] && echo "deb: ok ($(basename "$deb"); Depends: $depends)"
exit $fail
