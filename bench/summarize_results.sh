#!/usr/bin/env bash
# Prints the benchmark's JSON output as the Markdown tables of
# docs/benchmarks.md, ratios and goals included, and writes them to a file too
# when one is named:
#   bench/summarize_results.sh benchmark.json [benchmark.md]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if (($# > 1)); then
    jq -r -L "$here" -f "$here/summarize.jq" "$1" | tee "$2"
else
    jq -r -L "$here" -f "$here/summarize.jq" "$1"
fi
