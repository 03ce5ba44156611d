#!/usr/bin/env python3
"""A fleet on the loopback: three korv-host gateways, each with a simulated
site of its own, gathered as an operator gathers them.

  - site A and site B publish to a site broker that is bridged to a central
    broker (examples/fleet/site-bridge.conf); site C publishes to the central
    broker directly;
  - a real Prometheus server scrapes all three gateways
    (examples/fleet/prometheus.yml, with the targets filled in).

The test then reads only the central side: every unit of every site must be on
the central broker (its link, its values, its active alarms) and in
Prometheus (its link, its rounds, its values, the simulator's alarms).

Usage: fleet.py --korv-host PATH --plugin PATH [--keep]
Every wait is bounded; every process is stopped at the end.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples", "fleet")

# Each site: its prefix, its units (data id -> AC and DC children), and where
# it publishes ("site": the bridged site broker, "central": the central one).
SITES = [
    {"name": "a", "units": {1: (11, 21), 2: (12, 22)}, "broker": "site"},
    {"name": "b", "units": {3: (13, 23)}, "broker": "site"},
    {"name": "c", "units": {4: (14, 24)}, "broker": "central"},
]
DEADLINE_S = 60


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, check, timeout=DEADLINE_S):
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        try:
            last = check()
            if last:
                return last
        except (OSError, ValueError, KeyError) as e:
            last = e
        time.sleep(0.5)
    sys.exit(f"fleet: {what} not seen within {timeout} s (last: {last!r})")


def wait_for_port(port, proc, name):
    def up():
        if proc.poll() is not None:
            sys.exit(f"fleet: {name} ended with status {proc.returncode}")
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    wait_until(f"{name} listening on {port}", up, 20)


def site_file(site, path, scenario):
    units = []
    for unit, (ac, dc) in site["units"].items():
        units.append({"type": "psma", "data_id": unit, "acSetting": [{"data_id": ac}],
                      "dcSetting": [{"data_id": dc}], "rcSetting": {}, "scenario": scenario})
    with open(path, "w") as f:
        json.dump({"units": units}, f)


def retained(port, topic):
    """topic -> payload of every retained message under topic on a broker."""
    out = subprocess.run(
        ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", topic, "-v",
         "--retained-only", "-W", "2"],
        capture_output=True, text=True, timeout=10)
    got = {}
    for line in out.stdout.splitlines():
        topic_, _, payload = line.partition(" ")
        got[topic_] = payload
    return got


def prom_query(port, query):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": query})
    with urllib.request.urlopen(url, timeout=5) as r:
        body = json.load(r)
    if body.get("status") != "success":
        raise ValueError(body)
    return body["data"]["result"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--korv-host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.korv_host, args.plugin = os.path.abspath(args.korv_host), os.path.abspath(args.plugin)
    for tool in ("mosquitto", "mosquitto_sub", "prometheus"):
        if not shutil.which(tool) and not os.path.exists(f"/usr/sbin/{tool}"):
            sys.exit(f"fleet: {tool} not found: scripts/deps installs it")

    work = tempfile.mkdtemp(prefix="korv-fleet-")
    procs = []

    def start(name, argv, **kw):
        log = open(os.path.join(work, name + ".log"), "w")
        p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=work, **kw)
        procs.append((name, p))
        return p

    try:
        mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        central, site_broker = free_port(), free_port()
        with open(os.path.join(work, "central.conf"), "w") as f:
            f.write(f"listener {central} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        with open(os.path.join(EXAMPLES, "site-bridge.conf")) as f:
            bridge = f.read()
        bridge = bridge.replace("1883 0.0.0.0", f"{site_broker} 127.0.0.1")
        bridge = bridge.replace("central.example.net:1883", f"127.0.0.1:{central}")
        with open(os.path.join(work, "site.conf"), "w") as f:
            f.write(bridge + "persistence false\n")
        p = start("central", [mosquitto, "-c", "central.conf"])
        wait_for_port(central, p, "the central broker")
        p = start("site-broker", [mosquitto, "-c", "site.conf"])
        wait_for_port(site_broker, p, "the site broker")

        # Every unit's DC voltage alarm is raised in round 2 and stays.
        with open(os.path.join(EXAMPLES, "..", "scenario.json")) as f:
            scenario = json.load(f)
        scenario["phases"] = [{"round": 2, "set": {"/dc/0/v_alert": 1}}]
        scenario_path = os.path.join(work, "scenario.json")
        with open(scenario_path, "w") as f:
            json.dump(scenario, f)

        targets = []
        for site in SITES:
            path = os.path.join(work, f"site-{site['name']}.json")
            site_file(site, path, scenario_path)
            http = free_port()
            broker = site_broker if site["broker"] == "site" else central
            p = start(f"korv-host-{site['name']}",
                      [args.korv_host, "--config", path, "--simulate", "--plugin", args.plugin,
                       "--db", os.path.join(work, f"{site['name']}.db"),
                       "--mqtt", f"mqtt://127.0.0.1:{broker}",
                       "--mqtt-prefix", f"psma/site-{site['name']}",
                       "--http", f"127.0.0.1:{http}"])
            wait_for_port(http, p, f"korv-host of site {site['name']}")
            targets.append(f"127.0.0.1:{http}")

        prom = free_port()
        with open(os.path.join(EXAMPLES, "prometheus.yml")) as f:
            config = f.read()
        listed = ", ".join(f"'{t}'" for t in targets)
        config = config.replace("scrape_interval: 15s", "scrape_interval: 1s")
        config = config.replace(
            "['site-a.example.net:9100', 'site-b.example.net:9100', 'site-c.example.net:9100']",
            f"[{listed}]")
        with open(os.path.join(work, "prometheus.yml"), "w") as f:
            f.write(config)
        p = start("prometheus", ["prometheus", "--config.file=prometheus.yml",
                                 f"--web.listen-address=127.0.0.1:{prom}",
                                 "--storage.tsdb.path=tsdb"])
        wait_for_port(prom, p, "prometheus")

        # The central broker: every unit's link, its children's values after a
        # round, and the alarms the built-in scenario raises in round 2.
        def central_has_everything():
            got = retained(central, "psma/#")
            for site in SITES:
                prefix = f"psma/site-{site['name']}"
                if got.get(f"{prefix}/status") != "online":
                    return None
                for unit, (ac, dc) in site["units"].items():
                    if got.get(f"{prefix}/{unit}/link") != "answering":
                        return None
                    if f"{prefix}/{unit}/psma-ac/{ac}/input1.voltage.ab" not in got:
                        return None
                    if f"{prefix}/{unit}/psma-dc/{dc}/output.voltage" not in got:
                        return None
                    alarms = json.loads(got.get(f"{prefix}/{unit}/alarms", "[]"))
                    if not any(a.get("device") == dc and a.get("key") == "DC_0" for a in alarms):
                        return None
            return got
        wait_until("every unit of every site on the central broker", central_has_everything)

        # Prometheus: every unit up, its rounds and values, and its alarms.
        def prometheus_has_everything():
            up = prom_query(prom, "korv_link_up == 1")
            rounds = prom_query(prom, "korv_rounds_total > 0")
            volts = prom_query(prom, 'korv_voltage_volts{type="psma-dc",field="output.voltage"}')
            alarms = prom_query(prom, 'korv_alarm_active{key="DC_0"} == 1')
            units = {str(u) for s in SITES for u in s["units"]}
            for result in (up, rounds, volts, alarms):
                if {r["metric"]["unit"] for r in result} != units:
                    return None
            # Each unit is scraped from its own site's gateway, not another.
            for r in up:
                unit = int(r["metric"]["unit"])
                site = next(i for i, s in enumerate(SITES) if unit in s["units"])
                if r["metric"]["instance"] != targets[site]:
                    raise ValueError(f"unit {unit} scraped from {r['metric']['instance']}")
            return True
        wait_until("every unit of every site in Prometheus", prometheus_has_everything)
        print(f"fleet: {len(SITES)} sites, "
              f"{sum(len(s['units']) for s in SITES)} units: all on the central broker "
              "and in Prometheus")
    finally:
        for name, p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for name, p in reversed(procs):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if args.keep:
            print(f"fleet: work folder {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
