#!/usr/bin/env bash
# The main job: install, build, generate the demo backups and scan and
# recover each of them with the command-line program.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORBANIX_BUILD_BENCH=OFF -DORBANIX_BUILD_TESTS=OFF -DORBANIX_BUILD_GUI=ON
demo="$here/demo/backups"
out="$here/demo/recovered"
build/bin/orbanix-gen demo "$demo" >/dev/null
build/bin/orbanix list "$demo"
for backup in "$demo"/*/; do
  backup=${backup%/}
  echo
  echo "== $(basename "$backup")"
  build/bin/orbanix scan "$backup"
  if build/bin/orbanix recover --help >/dev/null 2>&1; then
    build/bin/orbanix recover "$backup" "$out/$(basename "$backup")"
  fi
done
echo
echo "Demo backups: $demo"
if [ -d "$out" ]; then echo "Recovered data: $out"; fi
