#!/usr/bin/env bash
# Draws the latency harness's JSON output as a chart:
#   bench/plot_latency.sh latency.json chart.png
# One panel per producer rate; for each scenario the ring, the mutex ring and
# the ck_sequence ring side by side: a box from the median to p99, a whisker
# to the slowest call, a dot at p99.9 and a circle at the slowest call in
# which the producer was not preempted. Microseconds, log scale.
set -euo pipefail
json=$1
png=$2
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

scenarios='["alone", "reader_1kHz", "flat_out_1", "flat_out_2", "flat_out_4", "flat_out_8",
            "stopped", "killed"]'
labels='{"alone": "alone", "reader_1kHz": "1 reader\\n1 kHz", "flat_out_1": "1 reader\\nflat out",
         "flat_out_2": "2 readers\\nflat out", "flat_out_4": "4 readers\\nflat out",
         "flat_out_8": "8 readers\\nflat out", "stopped": "1 flat out\\nstopped",
         "killed": "1 flat out\\nkilled"}'
variants=(ring mutex ck_sequence)
for rate in 1kHz 100kHz; do
    jq -r --arg rate "$rate" --argjson scenarios "$scenarios" \
        --argjson variants "$(printf '%s\n' "${variants[@]}" | jq -R . | jq -s .)" '
      def us: if . == null then "NaN" else . / 1000 end;
      [.cases[] | select(.rate == $rate)] as $cases
      | $scenarios | to_entries[] | .key as $i | .value as $scenario
      | [$i]
        + [$variants[] as $v
           | [$cases[] | select(.scenario == $scenario and .variant == $v)][0] as $r
           | if $r == null or $r.error then ["NaN", "NaN", "NaN", "NaN", "NaN"]
             else [($r.p50_ns | us), ($r.p99_ns | us), ($r.p999_ns | us), ($r.max_ns | us),
                   ($r.calm_max_ns | us)] end
           | .[]]
      | @tsv' "$json" >"$data/$rate.tsv"
done
xtics=$(jq -nr --argjson scenarios "$scenarios" --argjson labels "$labels" '
  $scenarios | to_entries | map("\"\($labels[.value])\" \(.key)") | join(", ")')

gnuplot <<GNUPLOT
set terminal pngcairo noenhanced size 1400,1000 font "Sans,10"
set output "$png"
set multiplot layout 2,1 title "Producer: one WriteData per sample, consumers in other processes (microseconds, log scale)"
set datafile separator "\t"
set logscale y
set format y "%g"
set grid ytics
set ylabel "us"
set xrange [-0.6:7.6]
set xtics ($xtics)
set boxwidth 0.2
set style fill solid 0.5 border -1
set key outside right top vertical spacing 1.5
set bmargin 4
variant(i) = word("${variants[*]}", i + 1)
offset(i) = (i - 1) * 0.26
do for [rate in "1kHz 100kHz"] {
    set title "producer at " . rate
    file = "$data/" . rate . ".tsv"
    plot for [i=0:2] file using (\$1 + offset(i)):(column(2 + 5*i)):(column(2 + 5*i)):(column(5 + 5*i)):(column(3 + 5*i)) \
             with candlesticks whiskerbars 0.5 lc i + 1 title variant(i), \
         for [i=0:2] file using (\$1 + offset(i)):(column(4 + 5*i)) with points pt 7 ps 1.0 lc i + 1 notitle, \
         for [i=0:2] file using (\$1 + offset(i)):(column(6 + 5*i)) with points pt 6 ps 1.6 lc i + 1 notitle, \
         keyentry with points pt 7 lc "black" title "p99.9", \
         keyentry with points pt 6 ps 1.6 lc "black" title "max, not preempted", \
         keyentry with lines lc "black" title "box p50-p99, whisker: max"
}
unset multiplot
GNUPLOT
echo "wrote $png"
