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
  "Latency in microseconds: one WriteData of one sample, timed between two clock reads (one read included). Not preempted: the calls across which the producer's involuntary context switches did not go up. Blocked: calls in which it slept (its voluntary switches went up), i.e. waited for a lock. Late: calls that started more than one period after they were due; latest: the most any call started after it was due. Reads/s: all readers together; delivered %: of the samples written, per reader. Stops: the reader is stopped with SIGSTOP inside ReadData (the mutex ring: holding the lock) for \($c.stop_ms) ms; tries: the stops it took, those that landed outside a read (let go at once) included."
