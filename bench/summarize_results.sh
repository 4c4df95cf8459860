#!/usr/bin/env bash
# Prints the benchmark's JSON output as the Markdown tables of
# docs/benchmarks.md, ratios and goals included:
#   bench/summarize_results.sh benchmark.json
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
jq -r -L "$here" -f "$here/summarize.jq" "$1"
