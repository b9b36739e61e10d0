#!/usr/bin/env bash
# Fails when a file under src/ includes a header from its own layer's superiors, or when formats/
# and net/ (side by side) see each other. Layers, lowest first:
#   core < buffers < wire < groups < io < formats, net < app
set -euo pipefail
cd "$(dirname "$0")/../src"
declare -A rank=([core]=0 [buffers]=1 [wire]=2 [groups]=3 [io]=4 [formats]=5 [net]=5 [app]=6)
status=0
for file in */*.hpp */*.cpp; do
    layer=${file%%/*}
    [[ -n ${rank[$layer]+x} ]] || { echo "$file: folder '$layer' is not a known layer"; status=1; continue; }
    while IFS= read -r target; do
        if [[ -z ${rank[$target]+x} ]]; then
            echo "$file: includes from unknown folder '$target'"; status=1
        elif ((rank[$target] > rank[$layer])) ||
             { ((rank[$target] == rank[$layer])) && [[ $target != "$layer" ]]; }; then
            echo "$file: includes $target/, which is not below $layer/"; status=1
        fi
    done < <(sed -n 's|^#include "\([a-z_]*\)/.*"|\1|p' "$file")
done
exit $status
