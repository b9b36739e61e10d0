#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what a user gets: the binary in bin/, the
# manual page in share/man/man1/ rendering without a warning and naming every option of --help,
# the README's usage block being --help's option list word for word, and a .deb from cpack with
# the binary, the page and its library dependencies.
#
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: check-install.sh BUILD_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/shuffler-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
binary=$work/prefix/bin/shuffler
page=$work/prefix/share/man/man1/shuffler.1
[ -x "$binary" ] || fail "no bin/shuffler"
[ -f "$page" ] || fail "no share/man/man1/shuffler.1"
version=$("$binary" --version)

warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
grep -q "^${version}  " <<<"$text" || fail "the manual page is not of $version"
for option in $("$binary" --help | grep -o -- '--[a-z_-]*' | sort -u); do
  grep -q -- "$option" <<<"$text" || fail "the manual page does not describe $option"
done
# One table makes --help and the manual's options; the README shows --help's list as it is.
readme=$(cd "$(dirname "$0")/.." && pwd)/README.md
options=$("$binary" --help | sed -n '/^Options:$/,/^$/p' | sed '1d;$d')
usage=$(sed -n '/^shuffler \[OPTION\]\.\.\. \[FILE\]\.\.\.$/,/^```$/p' "$readme" | sed '1d;$d')
[ "$options" = "$usage" ] ||
  fail "the README's usage block differs from --help's options: $(diff <(echo "$options") <(echo "$usage") | head -5)"
for section in SYNOPSIS OPTIONS EXAMPLES "EXIT STATUS" FILES SECURITY; do
  grep -q "^$section" <<<"$text" || fail "the manual page has no $section section"
done

if command -v dpkg-deb >/dev/null; then
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(tail -n 5 "$work/cpack.log")"
  deb=$(ls "$work"/package/*.deb)
  contents=$(dpkg-deb -c "$deb")
  grep -q ' ./usr/bin/shuffler$' <<<"$contents" || fail "the .deb has no /usr/bin/shuffler"
  grep -q ' ./usr/share/man/man1/shuffler.1' <<<"$contents" || fail "the .deb has no manual page"
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -q 'libboost-context1\.81\.0' <<<"$depends" || fail "the .deb does not depend on Boost: $depends"
fi
echo "check-install: $version installs bin/shuffler and its manual page; .deb depends on: ${depends:-(no dpkg-deb)}"
