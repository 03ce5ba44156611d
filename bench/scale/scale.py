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
  - korv-host's utime and stime apart, and its voluntary context switches
    (all its threads) per unit-round: most of a round's cost is the kernel side
    of its eight exchanges, each a sleep and a wake;
  - psma-sim's share of one core, to show the simulator is not the limit;
  - with --wake-floor, the floor of a unit-round: the CPU of one sleep and
    wake of a line's thread (bench/scale/wake_floor.cpp, the token handed over
    a loopback TCP connection as korv-host's units are reached, run right
    after the window while korv-host keeps polling) times the two wakes each
    request of a round needs (its answer, the pause before it is handled; the
    requests counted by psma-sim in the window), and korv-host's CPU per
    unit-round against it (goal: at most 1.2). At --alternate-at units
    (1,000) korv-host settles once and is measured in --alternate windows (3),
    each followed by its floor; the ratio is the median of the three;
  - what korv-host writes to the disk (write_bytes of /proc/PID/io) and how
    its store grows (its used bytes, (page_count - freelist_count) x
    page_size, read on a short read-only connection that sees the log too),
    per unit-round and per unit and day; the stores are new files in a folder
    on the disk (--stores).

--builtin-site also measures korv-host on its built-in site (--simulate, one
unit on a pseudo-terminal) with its store new in a folder of its own: the
bytes written and the store's growth over a minute after 10 s, in MB a day.

--outputs measures korv-host's outputs one after the other at the same size
(--outputs-at, 256 units): base (JSON lines and the store on the disk, as at
every size), +mqtt (--mqtt to a mosquitto this script starts on a free
loopback port), +http (--http on a free loopback port, scraped as Prometheus
and the status page would: /metrics every 15 s, /api/v1/state every 2 s),
+snmp (--snmp-agentx under an snmpd master this script starts, its AgentX
socket in a temporary folder, walked as a management system would: every
table with snmpbulkwalk every 15 s), all (+mqtt and +http), and tmpfs (base with the store on /dev/shm, to see what the disk
costs). Each is printed with its difference to base.

--poller builtin polls with a small poller of this script instead of
korv-host (the same eight requests a steady round makes), to measure the
simulator alone. Python's standard library only; run through scripts/bench.
"""

import argparse
import glob
import http.client
import json
import os
import selectors
import shutil
import signal
import statistics
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

UNITS_PER_PORT = 4
OUTPUTS = ("base", "+mqtt", "+http", "+history", "+snmp", "all", "tmpfs")
ROUND_S = 2.0
# The requests of a steady round of a unit with one AC screen, one DC screen
# and its rectifiers: (CID1, CID2, INFO).
ROUND_REQUESTS = [(0x40, 0x41, b"\xff"), (0x40, 0x44, b"\xff"), (0x41, 0x41, b""),
                  (0x41, 0x44, b""), (0x42, 0x41, b"\xff"), (0x42, 0x44, b"\xff"),
                  (0x40, 0x46, b""), (0x42, 0x46, b"")]
TICK = os.sysconf("SC_CLK_TCK")
# The goals the figures are held against: korv-host's CPU per unit-round over
# the floor at 1,000 units; what it writes to the disk, the built-in site's
# one unit a day and per unit and day at 1,000 units; the store's growth per
# unit and day. MB: 10^6 bytes.
GOAL_RATIO = 1.2
GOAL_SITE_MB = 100
GOAL_WRITTEN_MB = 20
GOAL_GROWTH_MB = 1.5


def request(adr, cid1, cid2, info):
    """A YD/T 1363.3 request frame: SOI, ASCII hex, checksums, EOI."""
    lenid = 2 * len(info)
    lchk = (-((lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF))) & 0xF
    body = b"%02X%02X%02X%02X%04X" % (0x20, adr, cid1, cid2, (lchk << 12) | lenid)
    body += info.hex().upper().encode()
    return b"~" + body + b"%04X" % ((-sum(body)) & 0xFFFF) + b"\r"


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    return sum(cpu_split(pid))


def cpu_split(pid):
    """utime and stime of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) / TICK, int(fields[12]) / TICK


def switches(pid):
    """Voluntary context switches of all threads of a process (a thread that
    ended takes its own with it)."""
    total = 0
    for path in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def free_port():
    """A free loopback port (free when asked; nothing else here takes one)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def broker(tmp):
    """mosquitto on a free loopback port, without persistence; its process and
    port once it listens."""
    port = free_port()
    conf = os.path.join(tmp, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n")
    proc = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    stop(proc)
    sys.exit("scale: mosquitto does not listen (scripts/deps installs it)")


def master(tmp):
    """snmpd as AgentX master, its socket in `tmp` and UDP on a free loopback
    port; its process, port and socket once both are there."""
    port = free_port()
    sock = os.path.join(tmp, "agentx")
    conf = os.path.join(tmp, "snmpd.conf")
    with open(conf, "w") as f:
        f.write(f"master agentx\nagentXSocket {sock}\nagentXPerms 0600 0700\n"
                "rocommunity public 127.0.0.1\n")
    env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(tmp, "snmp"))
    proc = subprocess.Popen(["snmpd", "-f", "-C", "-c", conf, "-m", "", "-Lf", os.devnull,
                             f"udp:127.0.0.1:{port}"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(sock):
            return proc, port, sock
        time.sleep(0.05)
    stop(proc)
    sys.exit("scale: snmpd does not listen (scripts/deps installs it)")


class Walker(threading.Thread):
    """A management system polling korv-host's SNMP side through the master:
    every table with snmpbulkwalk every 15 s. Starts with a walk."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.stopping = threading.Event()
        self.failures = 0
        self.varbinds = 0

    def run(self):
        due = time.monotonic()
        while not self.stopping.is_set():
            walk = subprocess.run(["snmpbulkwalk", "-v2c", "-c", "public", "-On", "-Cr50",
                                   f"127.0.0.1:{self.port}", ".1.3.6.1.4.1.8072.9999.1363.1"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
            if walk.returncode != 0:
                self.failures += 1
            self.varbinds = walk.stdout.count(b"\n")
            due += 15.0
            self.stopping.wait(max(0.0, due - time.monotonic()))


class Historian(threading.Thread):
    """What reads the history while the units poll: one request after
    another, each a page of 10,000 rows of a unit, units in turn."""

    def __init__(self, port, units):
        super().__init__(daemon=True)
        self.port = port
        self.units = units
        self.stopping = threading.Event()
        self.failures = 0
        self.requests = 0
        self.rows = 0

    def run(self):
        unit = 0
        while not self.stopping.is_set():
            unit = (unit + 1) % self.units
            try:
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
                conn.request("GET", f"/api/v1/history?unit={1000 + 10 * unit}&from=0&limit=10000"
                             "&format=csv")
                answer = conn.getresponse()
                body = answer.read()
                conn.close()
                if answer.status != 200:
                    self.failures += 1
                self.requests += 1
                self.rows += max(0, body.count(b"\n") - 1)
            except (OSError, http.client.HTTPException):
                self.failures += 1


class Scraper(threading.Thread):
    """What reads korv-host's HTTP side: Prometheus every 15 s and an open
    status page every 2 s. Starts with both at once."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.stopping = threading.Event()
        self.failures = 0

    def run(self):
        due = metrics_due = time.monotonic()
        while not self.stopping.is_set():
            paths = ["/api/v1/state"]
            if due >= metrics_due:
                paths.append("/metrics")
                metrics_due += 15.0
            for path in paths:
                try:
                    conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                    conn.request("GET", path)
                    answer = conn.getresponse()
                    answer.read()
                    conn.close()
                    if answer.status != 200:
                        self.failures += 1
                except (OSError, http.client.HTTPException):
                    self.failures += 1
            due += 2.0
            self.stopping.wait(max(0.0, due - time.monotonic()))


def proc_field(path, name):
    """The first number of the line `name` of a /proc file, or 0."""
    with open(path) as f:
        for line in f:
            if line.startswith(name):
                return int(line.split()[1])
    return 0


def rss_kib(pid):
    return proc_field(f"/proc/{pid}/status", "VmRSS:")


def written_bytes(pid):
    """The bytes a process has sent to the disk so far (write_bytes of
    /proc/PID/io: the pages its writes dirtied, all its threads)."""
    return proc_field(f"/proc/{pid}/io", "write_bytes:")


def used_bytes(db):
    """The bytes the store's rows take: its pages less the free ones, read in
    one short read-only transaction (it sees what the log holds too)."""
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=5)
    try:
        pages, free, size = conn.execute(
            "SELECT * FROM pragma_page_count(), pragma_freelist_count(), "
            "pragma_page_size()").fetchone()
    finally:
        conn.close()
    return (pages - free) * size


def fs_type(path):
    """The file system a folder is on (its longest mount point in
    /proc/self/mounts)."""
    path = os.path.realpath(path)
    best, kind = "", "?"
    with open("/proc/self/mounts") as f:
        for line in f:
            fields = line.split()
            point = fields[1].encode().decode("unicode_escape")
            if (path == point or path.startswith(point.rstrip("/") + "/")) and \
                    len(point) > len(best):
                best, kind = point, fields[2]
    return kind


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


def sim_requests(sim):
    """The requests psma-sim has answered or dropped so far (its stats)."""
    sim.stdin.write(b"stats\n")
    sim.stdin.flush()
    for line in sim.stderr:
        text = line.decode(errors="replace")
        if text.startswith("psma-sim: requests "):
            return int(text.split()[2].rstrip(","))
    sys.exit("scale: psma-sim ended before it told its stats")


def wake_floor(program):
    """CPU µs of one sleep and wake of a line's thread on this machine now,
    the token handed over a loopback TCP connection as the units are polled."""
    out = subprocess.run([program, "--line", "tcp"], capture_output=True, text=True,
                         check=True).stdout
    return float(out.split()[1])


def per_day(amount, seconds, units=1):
    """MB (10^6 bytes) per unit and day at the rate of a window."""
    return amount / seconds * 86400 / units / 1e6


def measure(args, units, outputs, tmp, stores):
    """The rows of one size and variant: one a window (several windows at
    --alternate-at units, each followed by the floor, korv-host polling on)."""
    servers = (units + UNITS_PER_PORT - 1) // UNITS_PER_PORT
    windows = args.alternate if units == args.alternate_at else 1
    sim = subprocess.Popen(
        [args.sim, "--listen", "127.0.0.1:0", "--servers", str(servers)] +
        [a for adr in range(1, UNITS_PER_PORT + 1) for a in ("--unit", str(adr))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    host = None
    counter = None
    mqtt = None
    scraper = None
    snmpd = None
    walker = None
    historian = None
    db = None
    rows = []
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
            # A new store each run, so every variant starts from an empty one;
            # on the disk but for the tmpfs variant.
            db = os.path.join("/dev/shm" if outputs == "tmpfs" else stores,
                              f"korv-scale-{os.getpid()}-{units}-{outputs.strip('+')}.db")
            cmd = [args.host, "--config", path, "--json", "--rounds", "0", "--db", db]
            if args.plugin:
                cmd += ["--plugin", args.plugin]
            if outputs in ("+mqtt", "all"):
                mqtt, mqtt_port = broker(tmp)
                cmd += ["--mqtt", f"mqtt://127.0.0.1:{mqtt_port}"]
            if outputs in ("+http", "+history", "all"):
                http_port = free_port()
                cmd += ["--http", f"127.0.0.1:{http_port}"]
            if outputs == "+snmp":
                snmpd, snmp_port, agentx = master(tmp)
                cmd += ["--snmp-agentx", agentx]
            host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            counter = RoundCounter(host.stdout)
            counter.start()
            measured = host.pid
        time.sleep(args.settle if args.settle is not None else 8 + units / 50)
        if host is not None and host.poll() is not None:
            sys.exit(f"scale: korv-host ended with {host.returncode} at {units} units")
        if outputs in ("+http", "+history", "all"):
            # From the window's start, so that every variant's window holds the
            # same scrapes: 2 of /metrics and 15 of the state in 30 s.
            scraper = Scraper(http_port)
            scraper.start()
        if snmpd is not None:
            walker = Walker(snmp_port)
            walker.start()
        if outputs == "+history":
            historian = Historian(http_port, units)
            historian.start()
        for run in range(1, windows + 1):
            q0 = sim_requests(sim)
            r0, t0 = counter.rounds, time.monotonic()
            (u0, k0), s0, v0 = cpu_split(measured), cpu_seconds(sim.pid), switches(measured)
            b0 = cpu_seconds(mqtt.pid) if mqtt else 0.0
            m0 = cpu_seconds(snmpd.pid) if snmpd else 0.0
            w0, d0 = (written_bytes(host.pid), used_bytes(db)) if host else (0, 0)
            time.sleep(args.window)
            r1, t1 = counter.rounds, time.monotonic()
            q1 = sim_requests(sim)
            (u1, k1), s1, v1 = cpu_split(measured), cpu_seconds(sim.pid), switches(measured)
            b1 = cpu_seconds(mqtt.pid) if mqtt else 0.0
            m1 = cpu_seconds(snmpd.pid) if snmpd else 0.0
            w1, d1 = (written_bytes(host.pid), used_bytes(db)) if host else (0, 0)
            rss = rss_kib(measured)
            load = os.getloadavg()[0]
            if host is not None and host.poll() is not None:
                sys.exit(f"scale: korv-host ended with {host.returncode} at {units} units")
            # The floor while korv-host keeps polling, so that it sees the
            # machine as the window did.
            wake_us = wake_floor(args.wake_floor) if args.wake_floor else None
            rounds = r1 - r0
            seconds = t1 - t0

            def per_round(x, rounds=rounds):
                return 1000 * x / rounds if rounds else float("nan")

            rows.append({
                "units": units, "outputs": outputs, "run": run, "runs": windows,
                "ports": servers, "rounds_s": rounds / seconds, "expected_s": units / ROUND_S,
                "cpu_ms": per_round(u1 - u0 + k1 - k0), "user_ms": per_round(u1 - u0),
                "sys_ms": per_round(k1 - k0), "switches": per_round(v1 - v0) / 1000,
                "core": (u1 - u0 + k1 - k0) / seconds, "rss_mib": rss / 1024,
                "rss_kib_unit": rss / units, "sim_core": (s1 - s0) / seconds,
                "broker_core": (b1 - b0) / seconds if mqtt else None,
                "master_core": (m1 - m0) / seconds if snmpd else None, "load": load,
                "requests": (q1 - q0) / rounds if rounds else float("nan"),
                "wake_us": wake_us,
                "floor_ms": 2 * (q1 - q0) / rounds * wake_us / 1000 if wake_us and rounds
                else None,
                "written_kb": per_round(w1 - w0) / 1000 / 1000,
                "written_day": per_day(w1 - w0, seconds, units),
                "growth_kb": per_round(d1 - d0) / 1000 / 1000,
                "growth_day": per_day(d1 - d0, seconds, units), "used_mb": d1 / 1e6})
    finally:
        if isinstance(counter, Poller):
            counter.stopping = True
            counter.join(5)
        if scraper is not None:
            scraper.stopping.set()
            scraper.join(10)
        if historian is not None:
            historian.stopping.set()
            historian.join(40)
            print(f"scale: {units} units +history: {historian.requests} history requests, "
                  f"{historian.rows} rows, {historian.failures} failed", file=sys.stderr)
        if walker is not None:
            walker.stopping.set()
            walker.join(70)
        if host is not None:
            stop(host)
        if mqtt is not None:
            stop(mqtt)
        if snmpd is not None:
            stop(snmpd)
        stop(sim)
        if db is not None:
            for suffix in ("", "-wal", "-shm", "-journal"):
                try:
                    os.remove(db + suffix)
                except OSError:
                    pass
    if walker is not None:
        print(f"scale: {units} units +snmp: {walker.varbinds} objects a walk, "
              f"{walker.failures} walks failed", file=sys.stderr)
    if scraper is not None and scraper.failures:
        print(f"scale: {scraper.failures} requests to korv-host's HTTP side failed",
              file=sys.stderr)
    return rows


def builtin_site(args, stores):
    """korv-host on its built-in site (--simulate: one unit on a
    pseudo-terminal), its store new in a folder of its own on the disk: what
    it writes and how its store grows over a steady window."""
    settle, window = (5.0, 10.0) if args.quick else (10.0, 60.0)
    folder = tempfile.mkdtemp(prefix="korv-site-", dir=stores)
    db = os.path.join(folder, "korv-host.db")
    cmd = [args.host, "--simulate", "--json", "--rounds", "0", "--db", db]
    if args.plugin:
        cmd += ["--plugin", args.plugin]
    host = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        counter = RoundCounter(host.stdout)
        counter.start()
        time.sleep(settle)
        if host.poll() is not None:
            sys.exit(f"scale: korv-host --simulate ended with {host.returncode}")
        r0, t0, c0 = counter.rounds, time.monotonic(), cpu_seconds(host.pid)
        w0, d0 = written_bytes(host.pid), used_bytes(db)
        time.sleep(window)
        r1, t1, c1 = counter.rounds, time.monotonic(), cpu_seconds(host.pid)
        w1, d1 = written_bytes(host.pid), used_bytes(db)
        if host.poll() is not None:
            sys.exit(f"scale: korv-host --simulate ended with {host.returncode}")
    finally:
        stop(host)
        shutil.rmtree(folder, ignore_errors=True)
    rounds, seconds = r1 - r0, t1 - t0
    print(f"\nThe built-in site (korv-host --simulate: one unit on a pseudo-terminal, the "
          f"store new on {fs_type(stores)}; {window:.0f} s measured after {settle:.0f} s)")
    print(f"rounds: {rounds} ({seconds / ROUND_S:.0f} at one every {ROUND_S:.0f} s); CPU "
          f"{1000 * (c1 - c0) / rounds if rounds else float('nan'):.2f} ms a round")
    print(f"written to the disk: {(w1 - w0) / rounds / 1000 if rounds else float('nan'):.1f} kB "
          f"a round, {per_day(w1 - w0, seconds):.1f} MB a day (goal: at most {GOAL_SITE_MB})")
    print(f"store growth:        {(d1 - d0) / rounds / 1000 if rounds else float('nan'):.1f} kB "
          f"a round, {per_day(d1 - d0, seconds):.2f} MB a day (goal: at most "
          f"{GOAL_GROWTH_MB} a unit); {d1 / 1e6:.2f} MB used at the end")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sim", required=True, help="the psma-sim program")
    parser.add_argument("--host", help="the korv-host program")
    parser.add_argument("--plugin", help="the plug-in for korv-host (default: its own)")
    parser.add_argument("--wake-floor", help="the wake_floor program: print the floor and ratio")
    parser.add_argument("--poller", choices=("korv-host", "builtin"), default="korv-host")
    parser.add_argument("--units", default="32,256,1000",
                        help="sizes, comma-separated (empty: none)")
    parser.add_argument("--settle", type=float,
                        help="seconds before measuring (default: 8 + units / 50: the first "
                        "rounds of a thousand units take a while to spread out)")
    parser.add_argument("--window", type=float, default=60.0,
                        help="seconds measured (a whole minute: a steady child keeps a history "
                        "row a minute, and a shorter window sees a wave of them or none)")
    parser.add_argument("--alternate", type=int, default=3,
                        help="windows at --alternate-at units, each followed by the floor; "
                        "the ratio is their median")
    parser.add_argument("--alternate-at", type=int, default=1000,
                        help="the size measured in --alternate windows")
    parser.add_argument("--outputs", default="+mqtt,+http,+snmp,all,tmpfs",
                        help="the variants beside base, comma-separated, of: " + " ".join(OUTPUTS))
    parser.add_argument("--outputs-at", type=int, default=256,
                        help="the size at which the variants are measured")
    parser.add_argument("--stores", help="folder on the disk for korv-host's stores (default: "
                        "the system's temporary folder)")
    parser.add_argument("--builtin-site", action="store_true",
                        help="also measure what korv-host writes with its built-in site "
                        "(60 s after 10 s; with --quick 10 s after 5 s)")
    parser.add_argument("--quick", action="store_true",
                        help="32 units, briefly, base only, one window (CI)")
    args = parser.parse_args()
    if args.quick:
        args.units, args.settle, args.window, args.outputs = "32", 4.0, 6.0, ""
        args.alternate = 1
    if args.poller == "korv-host" and not args.host:
        parser.error("--host is needed unless --poller builtin")
    if args.builtin_site and args.poller == "builtin":
        parser.error("--builtin-site measures korv-host: not with --poller builtin")
    if args.alternate < 1:
        parser.error("--alternate: at least 1")
    variants = [v for v in args.outputs.split(",") if v and v != "base"]
    if args.poller == "builtin":
        variants = []
    for v in variants:
        if v not in OUTPUTS:
            parser.error(f"--outputs: {v} is not one of " + " ".join(OUTPUTS))
    sizes = [int(n) for n in args.units.split(",") if n]
    if variants and args.outputs_at not in sizes:
        sizes.append(args.outputs_at)
    # Each size's base first, the variants right after theirs, so that a change
    # of the machine's load between them is as small as it can be.
    runs = []
    for n in sizes:
        runs += [(n, "base")] + ([(n, v) for v in variants] if n == args.outputs_at else [])
    who = "korv-host" if args.poller == "korv-host" else "psma-sim"
    tmp = tempfile.mkdtemp(prefix="korv-scale-")
    stores = tempfile.mkdtemp(prefix="korv-stores-", dir=args.stores)
    if fs_type(stores) in ("tmpfs", "ramfs"):
        print(f"scale: the stores' folder {stores} is not on a disk: the written bytes will "
              "say nothing (--stores)", file=sys.stderr)
    try:
        rows = [r for n, v in runs for r in measure(args, n, v, tmp, stores)]
        if rows:
            report(args, rows, who, stores)
        if args.builtin_site:
            builtin_site(args, stores)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        shutil.rmtree(stores, ignore_errors=True)
    return 0


def report(args, rows, who, stores):
    print(f"\nScale ({who} over TCP, one psma-sim, a server per {UNITS_PER_PORT} units; "
          f"{args.window:.0f} s measured after it settled; {os.cpu_count()} cores)")
    print(f"ms/round: {who}'s CPU per unit-round (user + sys); switches: its voluntary "
          "context switches per unit-round; load: the load average at the window's end"
          + (f"; run: the window, of {args.alternate} at {args.alternate_at} units"
             if any(r["runs"] > 1 for r in rows) else ""))
    if args.wake_floor:
        print("floor: two wakes of a line's thread a request (its answer, the end of the "
              "pause before it is handled), times the requests per unit-round (req; psma-sim's "
              "count in the window), at the CPU of one sleep and wake over a loopback TCP "
              "connection measured right after the window, korv-host still polling (wake, µs); "
              f"ratio: ms/round over floor (goal: at most {GOAL_RATIO})")
    head = (f"{'units':>6} {'outputs':>8} {'run':>3} {'rounds/s':>9} {'of':>6} {'ms/round':>9} "
            f"{'user':>6} {'sys':>6} {'vs base':>8} {'switches':>9} {who + ' core':>15} "
            f"{'RSS MiB':>8} {'KiB/unit':>9} {'psma-sim core':>14} {'load':>5}"
            f"{'req':>6} {'wake':>6} {'floor':>6} {'ratio':>6}")
    print(head)
    print("-" * len(head))
    base = {}
    for r in rows:
        if r["outputs"] == "base":
            base.setdefault(r["units"], []).append(r["cpu_ms"])
    for r in rows:
        diff = (f"{r['cpu_ms'] - statistics.median(base[r['units']]):+8.3f}"
                if r["outputs"] != "base" else "")
        print(f"{r['units']:>6} {r['outputs']:>8} {r['run']:>3} {r['rounds_s']:>9.1f} "
              f"{r['expected_s']:>6.1f} {r['cpu_ms']:>9.3f} {r['user_ms']:>6.3f} "
              f"{r['sys_ms']:>6.3f} {diff:>8} {r['switches']:>9.1f} {100 * r['core']:>14.1f}% "
              f"{r['rss_mib']:>8.1f} {r['rss_kib_unit']:>9.1f} {100 * r['sim_core']:>13.1f}% "
              f"{r['load']:>5.1f}"
              + (f" {r['requests']:>5.2f} {r['wake_us']:>6.1f} {r['floor_ms']:>6.3f} "
                 f"{r['cpu_ms'] / r['floor_ms']:>6.2f}" if r["floor_ms"] else ""))
    for r in rows:
        if r["broker_core"] is not None:
            print(f"mosquitto, {r['units']} units {r['outputs']}: "
                  f"{100 * r['broker_core']:.1f} % of one core")
        if r["master_core"] is not None:
            print(f"snmpd, {r['units']} units {r['outputs']}: "
                  f"{100 * r['master_core']:.1f} % of one core")
    if args.wake_floor:
        for n in sorted({r["units"] for r in rows if r["runs"] > 1}):
            ratios = [r["cpu_ms"] / r["floor_ms"] for r in rows
                      if r["units"] == n and r["outputs"] == "base" and r["floor_ms"]]
            if ratios:
                print(f"ratio at {n} units, {len(ratios)} windows each followed by its floor: "
                      + ", ".join(f"{x:.2f}" for x in ratios)
                      + f"; median {statistics.median(ratios):.2f} (goal: at most {GOAL_RATIO})")
    if who != "korv-host":
        return
    print(f"\nThe store and the disk (korv-host's store new on {fs_type(stores)}, tmpfs on "
          "/dev/shm; kB and MB of 10^3 and 10^6 bytes)")
    print("written: korv-host's write_bytes (/proc/PID/io) over the window, per unit-round and "
          "per unit and day; growth: the store's used bytes ((page_count - freelist_count) x "
          "page_size, the log's pages included) from the window's start to its end, likewise; "
          f"goals: written at most {GOAL_WRITTEN_MB} MB per unit and day at 1,000 units, growth "
          f"at most {GOAL_GROWTH_MB}")
    head = (f"{'units':>6} {'outputs':>8} {'run':>3} {'ms/round':>9} {'ratio':>6} "
            f"{'written kB/round':>17} {'MB/unit/day':>12} {'growth kB/round':>16} "
            f"{'MB/unit/day':>12} {'used MB':>8}")
    print(head)
    print("-" * len(head))
    for r in rows:
        ratio = f"{r['cpu_ms'] / r['floor_ms']:.2f}" if r["floor_ms"] else ""
        print(f"{r['units']:>6} {r['outputs']:>8} {r['run']:>3} {r['cpu_ms']:>9.3f} {ratio:>6} "
              f"{r['written_kb']:>17.2f} {r['written_day']:>12.2f} {r['growth_kb']:>16.2f} "
              f"{r['growth_day']:>12.3f} {r['used_mb']:>8.1f}")


if __name__ == "__main__":
    sys.exit(main())
