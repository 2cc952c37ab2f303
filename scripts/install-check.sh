#!/usr/bin/env bash
# Checks the installed program, not the build tree: installs a build into a
# temporary DESTDIR, runs the installed orbanix (--version, scan, recover on
# a generated backup: templates found, documents written) and the other two
# programs, then builds the Debian package and checks what it holds.
#
#   scripts/install-check.sh [BUILD_DIR]      (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "install check: $*" >&2
  exit 1
}

# The installed tree. The programs must find their data under share/orbanix
# when run from there, never in the build tree: the build's bin folder is not
# on any path the installed programs look at.
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
bin=$root/usr/bin
share=$root/usr/share
for f in "$bin/orbanix" "$bin/orbanix-decrypt" "$share/orbanix/config.ini" "$share/orbanix/Languages/English.ini" \
  "$share/orbanix/template/Sms.html" "$share/man/man1/orbanix.1.gz" "$share/man/man1/orbanix-decrypt.1.gz" \
  "$share/bash-completion/completions/orbanix"; do
  [ -e "$f" ] || fail "not installed: ${f#"$root"}"
done
[ ! -e "$bin/template" ] || fail "data files installed beside the programs"

version=$("$bin/orbanix" --version)
[[ $version =~ ^orbanix\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "orbanix --version printed '$version'"
"$bin/orbanix-decrypt" --version | grep -q "^orbanix-decrypt ${version#orbanix }$" || fail "orbanix-decrypt --version"
if [ -e "$build/bin/orbanix-gui" ]; then
  for f in "$bin/orbanix-gui" "$share/applications/orbanix.desktop" "$share/icons/hicolor/scalable/apps/orbanix.svg" \
    "$share/icons/hicolor/48x48/apps/orbanix.png" "$share/icons/hicolor/256x256/apps/orbanix.png" \
    "$share/man/man1/orbanix-gui.1.gz"; do
    [ -e "$f" ] || fail "not installed: ${f#"$root"}"
  done
  QT_QPA_PLATFORM=offscreen "$bin/orbanix-gui" --version | grep -q "^orbanix-gui ${version#orbanix }$" ||
    fail "orbanix-gui --version"
  if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$share/applications/orbanix.desktop"; fi
fi
for page in "$share"/man/man1/*.1.gz; do
  zcat "$page" | groff -man -Tutf8 -ww -z 2>&1 | { ! grep .; } || fail "manual page $(basename "$page") has errors"
done

# The bash completion completes commands and options.
completion=$(bash -c '
  source "$1"
  COMP_WORDS=(orbanix rec); COMP_CWORD=1; _orbanix; echo "${COMPREPLY[*]}"
  COMP_WORDS=(orbanix recover --form); COMP_CWORD=2; _orbanix; echo "${COMPREPLY[*]}"
  COMP_WORDS=(orbanix recover --format html,j); COMP_CWORD=3; _orbanix; echo "${COMPREPLY[*]}"
' _ "$share/bash-completion/completions/orbanix")
[ "$completion" = $'recover\n--format\nhtml,json' ] || fail "bash completion gave: $completion"

# A generated backup, scanned and recovered by the installed program.
"$build/bin/orbanix-gen" backup --era db "$work/backup" >/dev/null
(cd "$work" && env -u ORBANIX_BACKUP_ROOT "$bin/orbanix" scan "$work/backup" >"$work/scan.txt" 2>"$work/scan.err") ||
  fail "installed orbanix scan failed: $(cat "$work/scan.err")"
(cd "$work" && "$bin/orbanix" recover --format json "$work/backup" "$work/out" >"$work/recover.txt" 2>"$work/recover.err") ||
  fail "installed orbanix recover failed: $(cat "$work/recover.err")"
grep -q ", 0 failed" "$work/recover.txt" || fail "recover: $(cat "$work/recover.txt")"
html=$(find "$work/out" -name '*.html' | wc -l)
[ "$html" -gt 3 ] || fail "only $html HTML documents written"
! grep -rl '{|' --include='*.html' "$work/out" >/dev/null || fail "a template placeholder was left in a document"
grep -q '<!DOCTYPE html>' "$(find "$work/out" -name 'Contacts.html' | head -1)" || fail "the contacts document has no template"
[ -s "$(find "$work/out" -name 'Contacts.vcf' | head -1)" ] || fail "no vCard file"
[ -s "$(find "$work/out" -name 'messages.jsonl' | head -1)" ] || fail "no messages.jsonl"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null) || fail "cpack could not build the package"
deb=$(find "$work/package" -maxdepth 1 -name 'orbanix_*.deb' | head -1)
[ -n "$deb" ] || fail "no .deb was made"
dpkg-deb -c "$deb" >"$work/contents.txt"
for f in ./usr/bin/orbanix ./usr/bin/orbanix-decrypt ./usr/share/orbanix/template/Sms.html \
  ./usr/share/orbanix/Languages/English.ini ./usr/share/man/man1/orbanix.1.gz \
  ./usr/share/bash-completion/completions/orbanix; do
  grep -q " $f\$" "$work/contents.txt" || fail "the package lacks $f"
done
if [ -e "$build/bin/orbanix-gui" ]; then
  for f in ./usr/bin/orbanix-gui ./usr/share/applications/orbanix.desktop \
    ./usr/share/icons/hicolor/scalable/apps/orbanix.svg; do
    grep -q " $f\$" "$work/contents.txt" || fail "the package lacks $f"
  done
fi
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsqlite3 libplist libssl libimobiledevice; do
  [[ $depends == *"$lib"* ]] || fail "the package does not depend on $lib: $depends"
done
echo "install check: $(basename "$deb") ($(grep -c . "$work/contents.txt") entries), installed programs ran"
echo "install check: Depends: $depends"
