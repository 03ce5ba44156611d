#!/usr/bin/env python3
"""Which answers of one command group (one CID1) can have the same length.

A late answer of one request that arrives after the next request of the same
group went out is taken for that request's answer if its length passes the
parse's checks. This asks psma-sim, over TCP, each request of the plug-in's
round in many unit configurations (AC screens 0..8, DC screens 0..3,
rectifier modules 0..60, each varied from the built-in scenario) and prints,
per group, the pairs of commands whose INFO lengths met in some
configuration, with those configurations.

  answer_lengths.py --sim PSMA_SIM
"""

import argparse
import itertools
import os
import socket
import subprocess
import sys
from collections import defaultdict

# The request framing of the scale harness.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench",
                                "scale"))
from scale import request  # noqa: E402

# The round's requests (CID1, CID2, INFO): the command group byte 0xFF where
# the round sends it.
COMMANDS = [(0x40, 0x41, b"\xff"), (0x40, 0x43, b"\xff"), (0x40, 0x44, b"\xff"),
            (0x40, 0x46, b""), (0x40, 0x51, b""), (0x41, 0x41, b""), (0x41, 0x43, b""),
            (0x41, 0x44, b""), (0x42, 0x41, b"\xff"), (0x42, 0x44, b"\xff"), (0x42, 0x46, b"")]


def info_lengths(sim, ac, dc, modules):
    """INFO bytes of each command's answer in one configuration (None: no answer)."""
    proc = subprocess.Popen([sim, "--listen", "127.0.0.1:0", "--address", "1",
                             "--ac-screens", str(ac), "--dc-screens", str(dc),
                             "--modules", str(modules)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        port = int(proc.stdout.readline().decode().strip().rsplit(":", 1)[1])
        out = {}
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            for cid1, cid2, info in COMMANDS:
                s.sendall(request(1, cid1, cid2, info))
                frame = b""
                while not frame.endswith(b"\r"):
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    frame += chunk
                ok = frame.startswith(b"~") and frame[7:9] == b"00"
                out[(cid1, cid2)] = (int(frame[9:13], 16) & 0xFFF) // 2 if ok else None
        return out
    finally:
        proc.terminate()
        proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sim", required=True, help="the psma-sim program")
    args = parser.parse_args()
    configs = sorted({(a, 1, 3) for a in range(9)} | {(1, d, 3) for d in range(4)} |
                     {(1, 1, m) for m in range(61)})
    met = defaultdict(list)  # (cid1, cid2a, cid2b) -> configurations
    lengths = {}
    for config in configs:
        got = info_lengths(args.sim, *config)
        lengths[config] = got
        for a, b in itertools.combinations(COMMANDS, 2):
            ka, kb = a[:2], b[:2]
            if ka[0] == kb[0] and got[ka] is not None and got[ka] == got[kb]:
                met[(ka[0], ka[1], kb[1])].append((config, got[ka]))
    base = lengths[(1, 1, 3)]
    print("INFO bytes of each answer, built-in scenario (1 AC screen, 1 DC screen, 3 modules):")
    print("  " + ", ".join(f"{c1:02X}/{c2:02X} {n}" for (c1, c2), n in sorted(base.items())))
    print(f"\nPairs of one group whose lengths met, over {len(configs)} configurations "
          "(AC screens, DC screens, modules):")
    if not met:
        print("  none")
    for (cid1, x, y), where in sorted(met.items()):
        shown = ", ".join(f"{c} {n} B" for c, n in where[:6])
        more = f" and {len(where) - 6} more" if len(where) > 6 else ""
        print(f"  {cid1:02X}: {x:02X} and {y:02X} in {len(where)}: {shown}{more}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
