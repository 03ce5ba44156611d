#!/usr/bin/env python3
"""Soak: korv-host polls psma-sim over a line on which about one answer in
ten is faulty, for a given number of rounds, and then checks that the faults
cost nothing but their exchanges:

  - every value korv-host reported after a round equals the scenario's;
  - every completed round saved one history block for each child;
  - every alarm the scenario holds was raised once, and none other, none cleared;
  - korv-host never stopped polling: it completed the rounds on its own, with
    no round more than --stall seconds after the one before.

It prints the exchanges, the faults by kind and the rounds. Python's standard
library only. Run through scripts/soak, which builds the tools first.
"""

import argparse
import json
import os
import queue
import random
import re
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def f32(x):
    """The float the unit sends for x, as korv-host reads it back."""
    return struct.unpack("<f", struct.pack("<f", float(x)))[0]


def number(v, where):
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        sys.exit(f"soak: {where}: the soak scenario needs fixed numbers, not {v!r}")
    return f32(v)


def expected_values(scenario, unit):
    """(device, field) -> value (a state by its word), for the fields of the
    scenario's values korv-host reports after a round."""
    words = {0: "normal", 1: "low", 2: "high", 3: "missing"}
    values = {}
    for k, screen in enumerate(scenario.get("ac", [])):
        device = unit["acSetting"][k]["data_id"]
        for key, phase in (("ia", "a"), ("ib", "b"), ("ic", "c")):
            values[(device, f"phase.{phase}.current")] = number(screen[key], f"/ac/{k}/{key}")
        alerts = screen.get("current_alerts", [0, 0, 0])
        for phase, state in zip("abc", alerts):
            values[(device, f"phase.{phase}.current.alarm")] = words.get(state, str(state))
        for n, channel in enumerate(screen["channels"]):
            for p, name in (("a", "voltage.ab"), ("b", "voltage.bc"), ("c", "voltage.ca"),
                            ("f", "frequency")):
                values[(device, f"input{n + 1}.{name}")] = number(
                    channel[p], f"/ac/{k}/channels/{n}/{p}")
    for k, screen in enumerate(scenario.get("dc", [])):
        device = unit["dcSetting"][k]["data_id"]
        for key, name in (("v", "output.voltage"), ("i", "load.current")):
            values[(device, name)] = number(screen[key], f"/dc/{k}/{key}")
    return values


def children(unit):
    kids = [(ac["data_id"], "psma-ac") for ac in unit.get("acSetting", [])]
    kids += [(dc["data_id"], "psma-dc") for dc in unit.get("dcSetting", [])]
    kids.append((unit["data_id"], "psma-rc"))
    return kids


def lines_of(stream, q):
    for line in stream:
        q.put((time.monotonic(), line))
    q.put((time.monotonic(), None))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("rounds", type=int, help="rounds korv-host completes")
    parser.add_argument("--seed", type=int, help="seed of the faults (default: a random one)")
    parser.add_argument("--build", default="build", help="build folder with tools/ and gateway/")
    parser.add_argument("--fault-rate", type=float, default=0.1)
    parser.add_argument("--delay-ms", type=int, default=500,
                        help="late answers: past the site's answer timeout (300 ms), "
                        "within the quiet time after it")
    parser.add_argument("--stall", type=float, default=30.0,
                        help="longest time allowed between two rounds, seconds")
    parser.add_argument("--scenario", default=os.path.join(HERE, "scenario.json"))
    parser.add_argument("--site", default=os.path.join(HERE, "site.json"))
    parser.add_argument("--alarms", default=os.path.join(HERE, "alarms.json"),
                        help="the alarms the scenario raises: [[device, key], ...]")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("at least one round")
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1, 2**32)

    with open(args.scenario) as f:
        scenario = json.load(f)
    with open(args.site) as f:
        site = json.load(f)
    with open(args.alarms) as f:
        alarms_expected = sorted((d, k) for d, k in json.load(f))
    unit = site["units"][0]
    if len(site["units"]) != 1:
        sys.exit("soak: the site has one unit")
    values_expected = expected_values(scenario, unit)
    kids = children(unit)
    tools = os.path.join(args.build, "tools")

    print(f"soak: {args.rounds} rounds, fault rate {args.fault_rate}, seed {seed}", flush=True)
    failures = []
    work = tempfile.mkdtemp(prefix="psma-soak-")
    db = os.path.join(work, "soak.db")
    sim = subprocess.Popen(
        [os.path.join(tools, "psma-sim"), "--scenario", args.scenario,
         "--fault-rate", str(args.fault_rate), "--seed", str(seed),
         "--delay-ms", str(args.delay_ms)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sim_err = queue.Queue()
    threading.Thread(target=lines_of, args=(sim.stderr, sim_err), daemon=True).start()
    port = sim.stdout.readline().strip()
    if not port:
        sim.kill()
        sys.exit("soak: psma-sim did not start")
    unit["port"] = port
    # A history row every round: each completed round is counted in them.
    site.setdefault("store", {})["history_every"] = 0
    site_path = os.path.join(work, "site.json")
    with open(site_path, "w") as f:
        json.dump(site, f)

    started = time.monotonic()
    host_err = open(os.path.join(work, "korv-host.err"), "w+")
    host = subprocess.Popen(
        [os.path.join(args.build, "gateway", "korv-host"), "--config", site_path, "--db", db,
         "--rounds", str(args.rounds), "--json"],
        stdout=subprocess.PIPE, stderr=host_err, text=True)
    out = queue.Queue()
    threading.Thread(target=lines_of, args=(host.stdout, out), daemon=True).start()

    events = []
    last_round_at = started
    longest_gap = 0.0
    while True:
        try:
            at, line = out.get(timeout=max(0.1, last_round_at + args.stall - time.monotonic()))
        except queue.Empty:
            failures.append(f"korv-host stopped polling: no round for {args.stall:g} s "
                            f"after round {sum(e['event'] == 'round' for e in events)}")
            host.kill()
            break
        if line is None:
            break
        event = json.loads(line)
        events.append(event)
        if event["event"] == "round":
            longest_gap = max(longest_gap, at - last_round_at)
            last_round_at = at
    status = host.wait(timeout=60)
    took = time.monotonic() - started
    if status != 0:
        host_err.seek(0)
        failures.append(f"korv-host exited with {status}: {host_err.read().strip()}")

    sim.stdin.write("stats\n")
    sim.stdin.flush()
    stats = None
    deadline = time.monotonic() + 10
    while stats is None and time.monotonic() < deadline:
        try:
            _, line = sim_err.get(timeout=1)
        except queue.Empty:
            continue
        if line is None:
            break
        m = re.match(r"psma-sim: requests (\d+), answers (\d+), dropped (\d+), corrupted (\d+), "
                     r"garbled (\d+), delayed (\d+)", line)
        if m:
            stats = dict(zip(("requests", "answers", "dropped", "corrupted", "garbled",
                              "delayed"), map(int, m.groups())))
    sim.stdin.write("quit\n")
    sim.stdin.flush()
    try:
        sim.wait(timeout=10)
    except subprocess.TimeoutExpired:
        sim.kill()
    if stats is None:
        failures.append("psma-sim told no stats")
        stats = dict.fromkeys(("requests", "answers", "dropped", "corrupted", "garbled",
                               "delayed"), 0)

    # Every value reported equals the scenario's, in every round.
    rounds = []
    values = None
    for event in events:
        if event["event"] == "round":
            if values is not None:
                rounds.append(values)
            values = {"round": event["round"], "values": {}}
        elif event["event"] == "values" and event.get("source") == "round" and values is not None:
            for name, value in event["fields"].items():
                if (event["device"], name) in values_expected:
                    values["values"][(event["device"], name)] = value
    if values is not None:
        rounds.append(values)
    numbers = [r["round"] for r in rounds]
    if numbers != list(range(1, len(numbers) + 1)) or len(numbers) < args.rounds:
        failures.append(f"rounds told: {numbers[:5]}...{numbers[-5:]}, expected 1..{args.rounds}")
    for r in rounds:
        got = {k: f32(v) if isinstance(v, (int, float)) else v for k, v in r["values"].items()}
        if got != values_expected:
            wrong = sorted(set(got.items()) ^ set(values_expected.items()), key=str)
            failures.append(f"round {r['round']}: values differ from the scenario's: {wrong[:6]}")
            if len(failures) > 20:
                break

    # One history block per child for every completed round.
    completed = len(rounds)
    con = sqlite3.connect(db)
    history = {}
    for device, kind in kids:
        (history[(device, kind)],) = con.execute(
            "SELECT count(*) FROM history WHERE device = ? AND type = ?", (device, kind)).fetchone()
        if history[(device, kind)] != completed:
            failures.append(f"{kind} {device}: {history[(device, kind)]} history blocks "
                            f"for {completed} rounds")

    # Every alarm raised once, told and stored; nothing cleared.
    told = {}
    for event in events:
        if event["event"] == "alarm":
            key = (event["device"], event["key"], event["state"])
            told[key] = told.get(key, 0) + 1
    stored = {}
    for device, key, state, count in con.execute(
            "SELECT device, key, state, count(*) FROM alarm_event GROUP BY device, key, state"):
        stored[(device, key, state)] = count
    con.close()
    once = {(d, k, "raised"): 1 for d, k in alarms_expected}
    if told != once:
        failures.append(f"alarms told {sorted(told.items())}, expected each of "
                        f"{alarms_expected} raised once")
    if stored != once:
        failures.append(f"alarms stored {sorted(stored.items())}, expected each of "
                        f"{alarms_expected} raised once")

    faults = stats["dropped"] + stats["corrupted"] + stats["garbled"] + stats["delayed"]
    told_faults = {}
    for e in events:
        if e["event"] == "fault":
            kind = e["text"].split(":")[0]
            told_faults[kind] = told_faults.get(kind, 0) + 1
    faults_told = ", ".join(f"{n} {kind}" for kind, n in sorted(told_faults.items())) or "none"
    lost = sum(e["event"] == "link" and e["state"] == "not answering" for e in events)
    print(f"soak: {stats['requests']} exchanges, {faults} faults ({stats['dropped']} dropped, "
          f"{stats['corrupted']} bad checksum, {stats['garbled']} garbage before the answer, "
          f"{stats['delayed']} late by {args.delay_ms} ms), "
          f"{100.0 * faults / max(1, stats['requests']):.1f} % of the answers")
    print(f"soak: {completed} rounds in {took:.0f} s, {sum(history.values())} history blocks "
          f"({len(kids)} children), longest wait for a round {longest_gap:.1f} s; "
          f"korv-host told faults: {faults_told}; losses of contact: {lost}")
    if failures:
        for f in failures:
            print(f"soak: FAILED: {f}")
        print(f"soak: replay with --seed {seed}; files in {work}")
        return 1
    print(f"soak: passed (seed {seed})")
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))
    os.rmdir(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
