#!/usr/bin/env bash
# Turns the benchmark's JSON output into a bar chart:
#   bench/plot_results.sh benchmark.json chart.png
# Left, each operation alone (ns per sample written, per read); right, the
# writer's ns per sample while a reader polls flat out, on a log scale.
set -euo pipefail
json=$1
png=$2
here=$(cd "$(dirname "$0")" && pwd)
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

variants=(ring floor mutex ck_sequence)
jq -r -L "$here" --argjson variants "$(printf '%s\n' "${variants[@]}" | jq -R . | jq -s .)" '
  include "results"; records as $r
  | [["write/1", "write 1"], ["write/8", "write 8"], ["read/7", "read 7 new"],
     ["read/1", "read 1 new"], ["read/0", "read 0 new"]][]
  | [.[1]] + [.[0] as $op | $variants[] | ($r[$op + "/" + .] | if . then ns else "NaN" end)]
  | @tsv' "$json" >"$data/alone.tsv"
jq -r -L "$here" --argjson variants "$(printf '%s\n' "${variants[@]}" | jq -R . | jq -s .)" '
  include "results"; records as $r
  | ["full", "1MHz", "1kHz"][]
  | [.] + [. as $pace | $variants[] | ($r["pair/" + $pace + "/" + .].writer_ns // "NaN")]
  | @tsv' "$json" >"$data/pair.tsv"

gnuplot <<GNUPLOT
set terminal pngcairo noenhanced size 1200,480 font "Sans,10"
set output "$png"
set multiplot layout 1,2
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set datafile separator "\t"
set key top left
set grid ytics
set ylabel "ns"
set title "One operation, hot cache (ns per sample written, per read)"
set yrange [0:*]
plot for [i=2:5] "$data/alone.tsv" using i:xtic(1) title word("${variants[*]}", i - 1)
set title "Writer, one sample per call, with a reader polling (ns per sample, log)"
set logscale y
set yrange [*:*]
plot for [i=2:5] "$data/pair.tsv" using i:xtic(1) title word("${variants[*]}", i - 1)
unset multiplot
GNUPLOT
echo "wrote $png"
