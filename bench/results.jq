# Shared by plot_results.sh and summarize_results.sh: the benchmark's JSON as
# one record per benchmark, keyed by its name without Google Benchmark's
# suffixes; the medians when the run was repeated, else the single runs.

def keyed: map({key: (.run_name | sub("/iterations:[0-9]+"; "") | sub("/real_time"; "")),
                 value: .})
           | from_entries;

def records:
  (.benchmarks | map(select(.aggregate_name == "median"))) as $medians
  | (if ($medians | length) > 0 then $medians
     else .benchmarks | map(select(.run_type == "iteration")) end)
  | keyed;

# The coefficients of variation across the repetitions (fractions); empty
# when the run was not repeated.
def variations: .benchmarks | map(select(.aggregate_name == "cv")) | keyed;

def ns_per_unit: {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[.time_unit];

# ns per call, or per sample where the benchmark reports per_sample (seconds).
def ns: if .per_sample then .per_sample * 1e9 else .real_time * ns_per_unit end;
