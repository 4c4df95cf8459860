#!/usr/bin/env bash
# Prints the latency harness's JSON output as a Markdown table, and writes it
# to a file too when one is named:
#   bench/summarize_latency.sh latency.json [latency.md]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if (($# > 1)); then
    jq -r -f "$here/latency.jq" "$1" | tee "$2"
else
    jq -r -f "$here/latency.jq" "$1"
fi
