#!/usr/bin/env bash
# Builds zorfw and runs the main job against the built-in simulated devices.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zorfw zor_samples
zorfw=build/cli/zorfw
for f in build/samples/*; do
  echo "== zorfw check $f"
  "$zorfw" check "$f"
done
