"""What a Python Consumer.read() of 7 new samples costs, in microseconds:
the median over repetitions of many reads, each from a cursor 7 samples
behind a ring in its second lap, less what setting that cursor back costs.

    PYTHONPATH=python QOR_PADRING_LIBRARY=build/bench/libqor_padring.so.1 \\
        python3 bench/python_read.py [--quick] [--out FILE]
"""

import argparse
import os
import statistics
import timeit

import qor_padring as q

arguments = argparse.ArgumentParser(description=__doc__.splitlines()[0])
arguments.add_argument("--quick", action="store_true", help="a few reads only, for CI")
arguments.add_argument("--out", help="also write the result line to this file")
options = arguments.parse_args()
reads, repetitions = (1000, 3) if options.quick else (100000, 9)

name = f"qor-bench-python-{os.getpid()}"
with q.Producer(name) as producer, q.Consumer(name) as consumer:
    producer.remove_name()
    producer.write([q.Sample(n, 0, 0, n, -n) for n in range(16)])
    consumer.read()
    lap_tick, newest = consumer.cursor
    behind = (lap_tick, newest - 7)

    def read_seven():
        consumer.cursor = behind
        samples, _, _ = consumer.read()
        assert len(samples) == 7

    def set_cursor():
        consumer.cursor = behind

    def median_us(statement):
        return statistics.median(timeit.repeat(statement, number=reads, repeat=repetitions)) \
            / reads * 1e6

    with_cursor = median_us(read_seven)
    cursor_only = median_us(set_cursor)

line = (f"Python read() of 7 samples: {with_cursor - cursor_only:.2f} us "
        f"({with_cursor:.2f} us with the cursor set back, {cursor_only:.2f} us to set it; "
        f"median of {repetitions} x {reads} reads, libqor_padring {q.version()})")
print(line)
if options.out:
    with open(options.out, "w") as out:
        out.write(line + "\n")
