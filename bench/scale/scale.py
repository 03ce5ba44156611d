#!/usr/bin/env python3
"""Scale: korv-host polling many units over TCP, as serial device servers
offer them, all simulated by one psma-sim process.

For each size (32, 256 and 1,000 units; --quick: 32, briefly) it starts
psma-sim with one server per four units (addresses 1..4 on each port), writes
a site file whose units have "port": "tcp://127.0.0.1:PORT", runs korv-host
with --json --rounds 0 and counts its "round" events, lets it settle and then
measures over a steady window:

  - rounds per second (all units; every unit polled every 2 s: units / 2);
  - korv-host's CPU (utime + stime) per unit-round, and its share of one core;
  - korv-host's resident memory (VmRSS), per unit;
  - psma-sim's share of one core, to show the simulator is not the limit.

--poller builtin polls with a small poller of this script instead of
korv-host (the same eight requests a steady round makes), to measure the
simulator alone. Python's standard library only; run through scripts/bench.
"""

import argparse
import json
import os
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

UNITS_PER_PORT = 4
ROUND_S = 2.0
# The requests of a steady round of a unit with one AC screen, one DC screen
# and its rectifiers: (CID1, CID2, INFO).
ROUND_REQUESTS = [(0x40, 0x41, b"\xff"), (0x40, 0x44, b"\xff"), (0x41, 0x41, b""),
                  (0x41, 0x44, b""), (0x42, 0x41, b"\xff"), (0x42, 0x44, b"\xff"),
                  (0x40, 0x46, b""), (0x42, 0x46, b"")]
TICK = os.sysconf("SC_CLK_TCK")


def request(adr, cid1, cid2, info):
    """A YD/T 1363.3 request frame: SOI, ASCII hex, checksums, EOI."""
    lenid = 2 * len(info)
    lchk = (-((lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF))) & 0xF
    body = b"%02X%02X%02X%02X%04X" % (0x20, adr, cid1, cid2, (lchk << 12) | lenid)
    body += info.hex().upper().encode()
    return b"~" + body + b"%04X" % ((-sum(body)) & 0xFFFF) + b"\r"


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class RoundCounter(threading.Thread):
    """Counts "round" events in korv-host's JSON lines, read in big chunks so
    the counting costs next to nothing."""

    MARK = b'"event":"round"'

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.rounds = 0

    def run(self):
        tail = b""
        while True:
            chunk = os.read(self.stream.fileno(), 1 << 20)
            if not chunk:
                return
            data = tail + chunk
            self.rounds += data.count(self.MARK)
            # A mark cut in two is counted with the next chunk.
            tail = data[-(len(self.MARK) - 1):]
            if self.MARK in tail:
                tail = b""


class Poller(threading.Thread):
    """A stand-in host: on every port, a round of every unit every 2 s, one
    request at a time, each answer awaited (or given up after a second)."""

    def __init__(self, ports):
        super().__init__(daemon=True)
        self.ports = ports
        self.rounds = 0
        self.stopping = False

    def run(self):
        sel = selectors.DefaultSelector()
        lines = []
        start = time.monotonic()
        for k, port in enumerate(self.ports):
            s = socket.create_connection(("127.0.0.1", port))
            s.setblocking(False)
            line = {"sock": s, "queue": [], "buf": b"", "sent": 0.0,
                    "next": start + ROUND_S * k / len(self.ports)}
            sel.register(s, selectors.EVENT_READ, line)
            lines.append(line)
        while not self.stopping:
            now = time.monotonic()
            for line in lines:
                if not line["queue"] and now >= line["next"]:
                    line["next"] += ROUND_S
                    line["queue"] = [(adr, r) for adr in range(1, UNITS_PER_PORT + 1)
                                     for r in ROUND_REQUESTS]
                    self.send(line, now)
                elif line["queue"] and now - line["sent"] > 1.0:
                    self.next(line, now)
            for key, _ in sel.select(0.005):
                line = key.data
                line["buf"] += line["sock"].recv(65536)
                if line["buf"].endswith(b"\r"):
                    self.next(line, time.monotonic())

    def next(self, line, now):
        adr, _ = line["queue"].pop(0)
        if not line["queue"] or line["queue"][0][0] != adr:
            self.rounds += 1
        self.send(line, now)

    def send(self, line, now):
        line["buf"] = b""
        if line["queue"]:
            adr, (cid1, cid2, info) = line["queue"][0]
            line["sock"].sendall(request(adr, cid1, cid2, info))
            line["sent"] = now


def site(ports, units):
    """The site file: four units a port, addresses 1..4, distinct data ids."""
    out = []
    for k in range(units):
        root = 1000 + 10 * k
        out.append({"type": "psma", "data_id": root, "address": 1 + k % UNITS_PER_PORT,
                    "port": f"tcp://127.0.0.1:{ports[k // UNITS_PER_PORT]}",
                    "answer_timeout_ms": 1000,
                    "acSetting": [{"data_id": root + 1}], "dcSetting": [{"data_id": root + 2}],
                    "rcSetting": {}})
    return {"units": out}


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def measure(args, units, tmp):
    servers = (units + UNITS_PER_PORT - 1) // UNITS_PER_PORT
    sim = subprocess.Popen(
        [args.sim, "--listen", "127.0.0.1:0", "--servers", str(servers)] +
        [a for adr in range(1, UNITS_PER_PORT + 1) for a in ("--unit", str(adr))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    host = None
    counter = None
    try:
        ports = []
        for _ in range(servers):
            line = sim.stdout.readline().decode().strip()
            if not line.startswith("tcp://"):
                sys.exit(f"scale: psma-sim said {line!r}, not a server")
            ports.append(int(line.rsplit(":", 1)[1]))
        if args.poller == "builtin":
            counter = Poller(ports)
            counter.start()
            measured = sim.pid
        else:
            path = os.path.join(tmp, f"site-{units}.json")
            with open(path, "w") as f:
                json.dump(site(ports, units), f)
            cmd = [args.host, "--config", path, "--json", "--rounds", "0",
                   "--db", os.path.join(tmp, f"korv-{units}.db")]
            if args.plugin:
                cmd += ["--plugin", args.plugin]
            host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            counter = RoundCounter(host.stdout)
            counter.start()
            measured = host.pid
        time.sleep(args.settle if args.settle is not None else 8 + units / 50)
        if host is not None and host.poll() is not None:
            sys.exit(f"scale: korv-host ended with {host.returncode} at {units} units")
        r0, t0 = counter.rounds, time.monotonic()
        c0, s0 = cpu_seconds(measured), cpu_seconds(sim.pid)
        time.sleep(args.window)
        r1, t1 = counter.rounds, time.monotonic()
        c1, s1 = cpu_seconds(measured), cpu_seconds(sim.pid)
        rss = rss_kib(measured)
        if host is not None and host.poll() is not None:
            sys.exit(f"scale: korv-host ended with {host.returncode} at {units} units")
    finally:
        if isinstance(counter, Poller):
            counter.stopping = True
            counter.join(5)
        if host is not None:
            stop(host)
        stop(sim)
    rounds = r1 - r0
    seconds = t1 - t0
    return {"units": units, "ports": servers, "rounds_s": rounds / seconds,
            "expected_s": units / ROUND_S,
            "cpu_ms": 1000 * (c1 - c0) / rounds if rounds else float("nan"),
            "core": (c1 - c0) / seconds, "rss_mib": rss / 1024, "rss_kib_unit": rss / units,
            "sim_core": (s1 - s0) / seconds}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sim", required=True, help="the psma-sim program")
    parser.add_argument("--host", help="the korv-host program")
    parser.add_argument("--plugin", help="the plug-in for korv-host (default: its own)")
    parser.add_argument("--poller", choices=("korv-host", "builtin"), default="korv-host")
    parser.add_argument("--units", default="32,256,1000", help="sizes, comma-separated")
    parser.add_argument("--settle", type=float,
                        help="seconds before measuring (default: 8 + units / 50: the first "
                        "rounds of a thousand units take a while to spread out)")
    parser.add_argument("--window", type=float, default=30.0, help="seconds measured")
    parser.add_argument("--quick", action="store_true", help="32 units, briefly (CI)")
    args = parser.parse_args()
    if args.quick:
        args.units, args.settle, args.window = "32", 4.0, 6.0
    if args.poller == "korv-host" and not args.host:
        parser.error("--host is needed unless --poller builtin")
    who = "korv-host" if args.poller == "korv-host" else "psma-sim"
    tmp = tempfile.mkdtemp(prefix="korv-scale-")
    try:
        rows = [measure(args, int(n), tmp) for n in args.units.split(",")]
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"\nScale ({who} over TCP, one psma-sim; {args.window:.0f} s measured after it "
          f"settled; {os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f})")
    head = (f"{'units':>6} {'ports':>6} {'rounds/s':>9} {'of':>6} {who + ' ms/round':>18} "
            f"{who + ' core':>15} {'RSS MiB':>8} {'KiB/unit':>9} {'psma-sim core':>14}")
    print(head)
    print("-" * len(head))
    for r in rows:
        print(f"{r['units']:>6} {r['ports']:>6} {r['rounds_s']:>9.1f} {r['expected_s']:>6.1f} "
              f"{r['cpu_ms']:>18.3f} {100 * r['core']:>14.1f}% {r['rss_mib']:>8.1f} "
              f"{r['rss_kib_unit']:>9.1f} {100 * r['sim_core']:>13.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
