include "results";

# d decimals; "-" for a figure the run does not have.
def fmt(d): if . == null or (type == "number" and isnan) then "-"
            elif type == "string" then .
            else (. * pow(10; d) | round) / pow(10; d) | tostring end;
def ratio(a; b): if a == null or b == null or b == 0 then null else a / b end;
def row: "| " + join(" | ") + " |";
def mega: if . == null then null else . / 1e6 end;

records as $r
| variations as $cv
| .context as $context
| ["ring", "floor", "mutex", "ck_sequence"] as $variants
| ["full", "1MHz", "1kHz"] as $paces
| def alone(op; v): $r[op + "/" + v] | if . then ns else null end;
  def pair(p; v): $r["pair/" + p + "/" + v];
  def solo(p; v): $r["alone/" + p + "/" + v];
  def apart(p; v): $r["processes/" + p + "/" + v];
  def retries(p; v): (if v == "ring" then pair(p; "ring_counted") else pair(p; v) end)
                     | if . then .retries_per_read else null end;

  "Run \($context.date): \($context.num_cpus) processors, load average \($context.load_avg | map(fmt(2)) | join(", ")) at the start, pinning: \($context.pinning); \(if ($cv | length) > 0 then "medians of \($cv | to_entries[0].value.repetitions) repetitions" else "one repetition" end).",
  "",
  "### One operation, hot cache (ns per sample written, ns per read)",
  "",
  (["operation"] + $variants + ["ring / floor", "mutex / ring", "ck_sequence / ring"] | row),
  (["---"] + ($variants | map("---:")) + ["---:", "---:", "---:"] | row),
  ([["write/1", "WriteData, 1 sample per call"], ["write/8", "WriteData, 8 per call"],
    ["read/7", "ReadData, 7 new"], ["read/1", "ReadData, 1 new"],
    ["read/0", "ReadData, nothing new"]][]
   | .[0] as $op
   | [.[1]] + ($variants | map(alone($op; .)))
     + [ratio(alone($op; "ring"); alone($op; "floor")),
        ratio(alone($op; "mutex"); alone($op; "ring")),
        ratio(alone($op; "ck_sequence"); alone($op; "ring"))] | map(fmt(2)) | row),
  "",
  "The counting read (`ReadDataCountingMissed`, counting what it passes over): 7 new \(alone("read/7"; "counting_read") | fmt(2)) ns (\(ratio(alone("read/7"; "counting_read"); alone("read/7"; "ring")) | fmt(2))x `ReadData`), nothing new \(alone("read/0"; "counting_read") | fmt(2)) ns (\(ratio(alone("read/0"; "counting_read"); alone("read/0"; "ring")) | fmt(2))x).",
  "The C interface (`qor_padring_read` on a ring in shared memory, counting too): 7 new \(alone("read/7"; "c_interface") | fmt(2)) ns (\(ratio(alone("read/7"; "c_interface"); alone("read/7"; "ring")) | fmt(2))x `ReadData`), nothing new \(alone("read/0"; "c_interface") | fmt(2)) ns (\(ratio(alone("read/0"; "c_interface"); alone("read/0"; "ring")) | fmt(2))x).",
  "",
  "Lap ticks: \($context["lap ticks"] // "-"). A clock read (std::chrono::steady_clock::now) alone: \($r["clock_read"] | if . then ns else null end | fmt(1)) ns;",
  "one cache line handed from one processor to the other: \($r["line_transfer"].per_transfer | if . then . * 1e9 else null end | fmt(1)) ns.",
  "",
  "### Writer and reader on two processors, one process",
  "",
  (["pace", "variant", "writer ns alone", "with reader", "with / alone",
    "median alone", "median with", "reads/s (M)", "retries per read",
    "delivered %", "skipped %"] | row),
  (["---", "---"] + ([range(9)] | map("---:")) | row),
  ($paces[] as $p | ($variants + ["ring_counted"])[] as $v
   | pair($p; $v) as $with | solo($p; $v) as $without
   | [$p, $v, ($without.writer_ns | fmt(1)), ($with.writer_ns | fmt(1)),
      (ratio($with.writer_ns; $without.writer_ns) | fmt(2)),
      ($without.writer_median_ns | fmt(0)), ($with.writer_median_ns | fmt(0)),
      ($with.reads_per_s | mega | fmt(2)),
      (if $v == "ring" then null else $with.retries_per_read end | fmt(4)),
      ($with.delivered_pct | fmt(2)), ($with.skipped_pct | fmt(2))] | row),
  "",
  "### The ring across two processes (POSIX shared memory) against one process",
  "",
  (["pace", "figure", "one process", "two processes", "two / one", "spread one", "spread two"] | row),
  (["---", "---", "---:", "---:", "---:", "---:", "---:"] | row),
  ($paces[] as $p
   | [["writer ns", "writer_ns", "ring", 1], ["writer median ns", "writer_median_ns", "ring", 0],
      ["reads/s (M)", "reads_per_s", "ring", 2], ["delivered %", "delivered_pct", "ring", 2],
      ["retries per read", "retries_per_read", "ring_counted", 4]][]
   | .[1] as $k | .[2] as $v | .[3] as $d
   | (pair($p; $v)[$k]) as $one | (apart($p; $v)[$k]) as $two
   | def spread(key): $cv[key][$k] | if . then (. * 100 | fmt(0)) + "%" else null end;
     if $one == null then empty
     else [$p, .[0], ($one | if $k == "reads_per_s" then mega else . end | fmt($d)),
           ($two | if $k == "reads_per_s" then mega else . end | fmt($d)),
           (ratio($two; $one) | fmt(2)),
           (spread("pair/" + $p + "/" + $v) | fmt(0)),
           (spread("processes/" + $p + "/" + $v) | fmt(0))] | row end),
  "",
  "Spread: the coefficient of variation of that figure across the repetitions.",
  "",
  "### Goals",
  "",
  (["goal", "measured", "met"] | row),
  (["---", "---:", "---"] | row),
  ([["ReadData, 7 new: ring / ck_sequence <= 1.3", ratio(alone("read/7"; "ring"); alone("read/7"; "ck_sequence")), "le", 1.3],
    ["ReadData, nothing new: ring / ck_sequence <= 1.1", ratio(alone("read/0"; "ring"); alone("read/0"; "ck_sequence")), "le", 1.1],
    ["WriteData, 1 per call: ring / ck_sequence <= 1.1 (the same counting tick source)", ratio(alone("write/1"; "ring"); alone("write/1"; "ck_sequence")), "le", 1.1],
    ["ReadDataCountingMissed / ReadData, nothing new <= 1.1", ratio(alone("read/0"; "counting_read"); alone("read/0"; "ring")), "le", 1.1],
    ["ReadDataCountingMissed / ReadData, 7 new <= 1.1", ratio(alone("read/7"; "counting_read"); alone("read/7"; "ring")), "le", 1.1],
    ["qor_padring_read / ReadData, 7 new <= 1.2", ratio(alone("read/7"; "c_interface"); alone("read/7"; "ring")), "le", 1.2]][]
   | .[1] as $m | .[2] as $how | .[3] as $t
   | [.[0], ($m | fmt(2)),
      (if $m == null then "-"
       elif ($how == "le" and $m <= $t) or ($how == "ge" and $m >= $t) or ($how == "gt" and $m > $t)
            or ($how == "near" and ($m - 1 | fabs) <= $t) then "yes" else "**no**" end)] | row)
