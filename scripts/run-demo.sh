#!/usr/bin/env bash
# The main job: install, build, generate the demo backups and run orbanix on them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DORBANIX_BUILD_BENCH=OFF -DORBANIX_BUILD_TESTS=OFF
demo="$here/demo/backups"
build/bin/orbanix-gen demo "$demo" >/dev/null
build/bin/orbanix list "$demo"
echo
echo "Demo backups: $demo"
