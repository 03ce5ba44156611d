#!/usr/bin/env python3
"""Pacing: korv-host on its built-in site (--simulate) for a number of rounds,
each round's line timed as it arrives; prints the intervals between rounds
and the longest run of them within 2.0 s +- 0.1 s (a unit whose round fits
in two seconds starts one every two seconds).

  pacing.py --host KORV_HOST [--plugin LIB] [--rounds 22]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", required=True, help="the korv-host program")
    parser.add_argument("--plugin", help="the plug-in for korv-host (default: its own)")
    parser.add_argument("--rounds", type=int, default=22)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="korv-pacing-") as tmp:
        cmd = [args.host, "--simulate", "--json", "--rounds", str(args.rounds),
               "--db", os.path.join(tmp, "store.db")]
        if args.plugin:
            cmd += ["--plugin", args.plugin]
        host = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, bufsize=1)
        times = [time.monotonic() for line in host.stdout if line.startswith('{"event":"round"')]
        if host.wait() != 0:
            sys.exit(f"pacing: korv-host ended with {host.returncode}")
    intervals = [b - a for a, b in zip(times, times[1:])]
    run = best = 0
    for s in intervals:
        run = run + 1 if abs(s - 2.0) <= 0.1 else 0
        best = max(best, run)
    print("\nPacing (korv-host --simulate, the built-in site): intervals between rounds, s")
    print(" ".join(f"{s:.3f}" for s in intervals))
    print(f"longest run within 2.0 s +- 0.1 s: {best} of {len(intervals)} intervals")
    return 0


if __name__ == "__main__":
    sys.exit(main())
