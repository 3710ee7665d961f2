#!/usr/bin/env bash
# Installs what is missing, builds, and converts the sample pages into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
mkdir -p out
./build/ortavixcl --info --outdir out samples/*.html
echo "XML written to $(pwd)/out"
