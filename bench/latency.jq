# The latency harness's JSON (pad_ring_latency) as Markdown tables: the
# producer's call latency per scenario, ring next to mutex and ck_sequence.

def scenario_label:
  {"alone": "alone", "reader_1kHz": "1 reader at 1 kHz", "flat_out_1": "1 reader flat out",
   "flat_out_2": "2 readers flat out", "flat_out_4": "4 readers flat out",
   "flat_out_8": "8 readers flat out", "stopped": "1 flat out, stopped",
   "killed": "1 flat out, killed"}[.] // .;

# ns as microseconds, fewer decimals as they grow; "-" for nothing.
def us: if . == null then "-"
        else (. / 1000) as $u
        | if $u < 10 then ($u * 100 | round) / 100
          elif $u < 1000 then ($u * 10 | round) / 10
          else $u | round end
        | tostring end;
def rate_text: if . == null then "-"
               elif . >= 1e6 then ((. / 1e4 | round) / 100 | tostring) + "M"
               elif . >= 1e3 then ((. / 1e2 | round) / 10 | tostring) + "k"
               else (. | round | tostring) end;
def row: "| " + join(" | ") + " |";

.context as $c
| .cases as $cases
| "Run \($c.date): \($c.processors) processors, load average \($c.load_avg | map(tostring) | join(", ")) at the start, kernel \($c.kernel)\(if $c.quick then ", --quick" else "" end).",
  "",
  (["rate", "scenario", "variant", "p50", "p99", "p99.9", "max",
    "not preempted: p50", "p99", "p99.9", "max", "preempted", "blocked", "late",
    "latest ms", "reads/s", "delivered %", "samples", "notes"] | row),
  (["---", "---", "---"] + ([range(15)] | map("---:")) + ["---"] | row),
  ($cases[]
   | [.rate, (.scenario | scenario_label), .variant]
     + if .error then [range(15) | "-"] + ["FAILED: " + .error]
       else [(.p50_ns | us), (.p99_ns | us), (.p999_ns | us), (.max_ns | us),
             (.calm_p50_ns | us), (.calm_p99_ns | us), (.calm_p999_ns | us), (.calm_max_ns | us),
             (.preempted | tostring), (.blocked | tostring), (.late | tostring),
             ((.max_late_ns / 1e4 | round) / 100 | tostring),
             (if .consumers > 0 then .reads_per_s | rate_text else "-" end),
             (if .consumers > 0 then (.delivered_pct * 10 | round) / 10 | tostring else "-" end),
             "\(.written)\(if .capped then " of \(.planned)" else "" end)",
             ([if .stops > 0 then "\(.stops) stops of \((.stopped_ms / .stops * 10 | round) / 10) ms, \(.stop_attempts) tries" else empty end,
               if .kills > 0 then "killed (\(.stop_attempts) tries)" else empty end,
               if .recoveries != null and .recoveries > 0 then "\(.recoveries) EOWNERDEAD recovered" else empty end,
               if .problems > 0 then "**\(.problems) bad samples**" else empty end]
              | join("; "))]
       end
   | row),
  "",
  "### Goals",
  "",
  (["rate", "goal", "measured", "met"] | row),
  (["---", "---", "---:", "---"] | row),
  (def pick(rate; scenario; variant):
     $cases | map(select(.rate == rate and .scenario == scenario and .variant == variant)) | .[0];
   def verdict(ok): if ok == null then "-" elif ok then "yes" else "**no**" end;
   def times: if . == null then "-"
              elif . < 0.1 then "1/" + (1 / . | round | tostring)
              else ((. * 100 | round) / 100 | tostring) + "x" end;
   ($cases | map(.rate) | unique)[] as $rate
   | pick($rate; "alone"; "ring").p999_ns as $alone
   | ((["reader_1kHz", "stopped", "killed"][] as $s | pick($rate; $s; "ring") as $x
       | ([$rate, "\($s | scenario_label): ring p99.9 within 2x of its alone p99.9 (\($alone | us) us)",
           (if $x.p999_ns and $alone then $x.p999_ns / $alone else null end | times),
           verdict(if $x.p999_ns and $alone then $x.p999_ns <= 2 * $alone else null end)] | row),
         ([$rate, "\($s | scenario_label): ring max below 1 ms", ($x.max_ns | us) + " us",
           verdict(if $x.max_ns then $x.max_ns < 1e6 else null end)] | row)),
      (pick($rate; "stopped"; "mutex") as $m
       | [$rate, "1 flat out, stopped: mutex max at least the 50 ms stop", ($m.max_ns | us) + " us",
          verdict(if $m.max_ns then $m.max_ns >= 5e7 else null end)] | row),
      (pick($rate; "flat_out_8"; "ring") as $r | pick($rate; "flat_out_8"; "mutex") as $m
       | ([$rate, "8 readers flat out: ring p99.9 at most a tenth of the mutex ring's (aim: a hundredth)",
           (if $r.p999_ns and $m.p999_ns then $r.p999_ns / $m.p999_ns else null end | times),
           verdict(if $r.p999_ns and $m.p999_ns then $r.p999_ns * 10 <= $m.p999_ns else null end)] | row),
         ([$rate, "8 readers flat out, calls not preempted: the same",
           (if $r.calm_p999_ns and $m.calm_p999_ns then $r.calm_p999_ns / $m.calm_p999_ns else null end | times),
           verdict(if $r.calm_p999_ns and $m.calm_p999_ns then $r.calm_p999_ns * 10 <= $m.calm_p999_ns else null end)] | row)))),
  "",
  "Latency in microseconds: one WriteData of one sample, timed between two clock reads (one read included). Not preempted: the calls across which the producer's involuntary context switches did not go up. Blocked: calls in which it slept (its voluntary switches went up), i.e. waited for a lock. Late: calls that started more than one period after they were due; latest: the most any call started after it was due. Reads/s: all readers together; delivered %: of the samples written, per reader. Stops: the reader is stopped with SIGSTOP inside ReadData (the mutex ring: holding the lock) for \($c.stop_ms) ms; tries: the stops it took, those that landed outside a read (let go at once) included."
