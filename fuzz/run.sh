#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the fuzz target for FUZZ_SECONDS (default 600), starting from the picture corpus and from
# every input kept so far. A crash is copied into tests/data/fuzz-regressions, where the
# fuzz_regressions test replays it from then on; commit it with the fix.
# Usage: fuzz/run.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: fuzz/run.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-600}
target=$build/fuzz/tilemaven_fuzz
seeds=$build/tests/data/corpus
regressions=tests/data/fuzz-regressions
work=$build/fuzz/corpus        # grows from run to run
artifacts=$build/fuzz/artifacts/
rm -rf "$artifacts" # whatever an earlier run found is in the regressions already
mkdir -p "$work" "$artifacts"

started=$(date +%s)
status=0
# Only the pictures seed the run, not the manifest or the expected PNGs.
seedlist=$(mktemp -d)
trap 'rm -rf "$seedlist"' EXIT
find "$seeds" -maxdepth 1 -type f \( -name '*.jpg' -o -name '*.gif' -o -name '*.png' ! -name '*.expected.png' \
    -o -name '*.webp' -o -name '*.heic' -o -name '*.avif' \) -exec cp {} "$seedlist" \;
find "$regressions" -maxdepth 1 -type f ! -name README -exec cp {} "$seedlist" \;

QT_QPA_PLATFORM=offscreen "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -artifact_prefix="$artifacts" -print_final_stats=1 "$work" "$seedlist" || status=$?
echo "fuzz: ran $(($(date +%s) - started)) s, corpus now $(find "$work" -type f | wc -l) inputs"

found=0
for crash in "$artifacts"crash-* "$artifacts"leak-* "$artifacts"timeout-* "$artifacts"oom-*; do
    [[ -e "$crash" ]] || continue
    name=$(basename "$crash")
    if [[ ! -e "$regressions/$name" ]]; then
        cp "$crash" "$regressions/$name"
        echo "fuzz: kept $regressions/$name"
    fi
    found=$((found + 1))
done
if ((status != 0 || found != 0)); then
    echo "fuzz: found $found problem input(s); each is now replayed by the fuzz_regressions test" >&2
    exit 1
fi
echo "fuzz: nothing found"
