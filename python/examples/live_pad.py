"""Shows a live pad: the newest sample of a ring, redrawn 30 times a second,
and how many samples this consumer missed. Ctrl-C stops.

    python3 live_pad.py pad        # the ring a producer writes, e.g. padring produce --name pad
"""

import sys
import time

from qor_padring import Consumer

name = sys.argv[1] if len(sys.argv) > 1 else "pad"
with Consumer(name) as pad:
    missed, at_least = 0, ""
    try:
        while True:
            samples, passed_over, exact = pad.read()
            missed += passed_over
            at_least = at_least or ("at least " if not exact else "")
            if samples:
                newest = samples[-1]
                print(f"\rbuttons {newest.hold & 0xFFFF:016b}  stick {newest.stick_x:6d} "
                      f"{newest.stick_y:6d}  missed {at_least}{missed}   ", end="", flush=True)
            time.sleep(1 / 30)
    except KeyboardInterrupt:
        print()
