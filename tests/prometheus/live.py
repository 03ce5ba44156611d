#!/usr/bin/env python3
"""The example alerting rules and Grafana dashboard against a real Prometheus
scraping a simulated site of two units (a level 2 and a level 3 alarm raised in
round 2 and standing; an MQTT broker and an SNMP master agent that are not
there): promtool passes the configuration and its rules, Prometheus loads every
rule healthy, the rules name only metrics korv-host serves, the alerts pending
or firing are exactly those the site calls for, and every query of the
dashboard and of its variables (each variable as "all") finds series.

Usage: live.py --korv-host PATH --plugin PATH [--promtool PATH]
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "fleet"))
from fleet import free_port, prom_query, site_file, wait_for_port, wait_until  # noqa: E402

SHIPPED = os.path.join(HERE, "..", "..", "gateway", "outputs", "http", "prometheus")
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
# Alerts pending or firing: by name, and level or output.
ACTIVE = {("KorvAlarmCritical", "2"), ("KorvAlarmWarning", "3"), ("KorvOutputDown", "mqtt"),
          ("KorvOutputDown", "snmp")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--korv-host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--promtool", default="promtool")
    args = parser.parse_args()
    rules = os.path.abspath(os.path.join(SHIPPED, "korv-alerts.yml"))
    with open(rules) as f:
        rule_count = f.read().count("- alert:")
    with open(os.path.join(SHIPPED, "korv-dashboard.json")) as f:
        dashboard = json.load(f)
    work = tempfile.mkdtemp(prefix="korv-prometheus-")
    procs = []

    def start(name, argv):
        log = open(os.path.join(work, name + ".log"), "w")
        procs.append(subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=work))
        return procs[-1]

    try:
        with open(os.path.join(EXAMPLES, "scenario.json")) as f:
            scenario = json.load(f)
        scenario["phases"] = [{"round": 2, "set": {"/dc/0/v_alert": 1, "/rc/modules/2/fault": 1}}]
        with open(os.path.join(work, "scenario.json"), "w") as f:
            json.dump(scenario, f)
        site_file({"units": {1: (11, 21), 2: (12, 22)}}, os.path.join(work, "site.json"),
                  os.path.join(work, "scenario.json"))
        http, prom = free_port(), free_port()
        p = start("korv-host", [os.path.abspath(args.korv_host), "--config", "site.json",
                                "--simulate", "--plugin", os.path.abspath(args.plugin),
                                "--db", "site.db", "--values", "no", "--http", f"127.0.0.1:{http}",
                                "--mqtt", f"mqtt://127.0.0.1:{free_port()}",
                                "--snmp-agentx", os.path.join(work, "no-master")])
        wait_for_port(http, p, "korv-host")

        with open(os.path.join(EXAMPLES, "fleet", "prometheus.yml")) as f:
            config = re.sub(r"interval: 15s", "interval: 1s", f.read())
        config = re.sub(r"targets: \[.*\]", f"targets: ['127.0.0.1:{http}']", config)
        with open(os.path.join(work, "prometheus.yml"), "w") as f:
            f.write(config + f"\nrule_files: ['{rules}']\n")
        subprocess.run([args.promtool, "check", "config", "prometheus.yml"], cwd=work, check=True)
        p = start("prometheus", ["prometheus", "--config.file=prometheus.yml",
                                 f"--web.listen-address=127.0.0.1:{prom}", "--storage.tsdb.path=tsdb"])
        wait_for_port(prom, p, "prometheus")

        def get(path):
            with urllib.request.urlopen(f"http://127.0.0.1:{prom}/api/v1/{path}", timeout=5) as r:
                return json.load(r)["data"]

        def alerts_as_the_site_calls_for():
            loaded = [r for g in get("rules")["groups"] for r in g["rules"]]
            bad = [r["name"] for r in loaded if r["health"] != "ok"]
            if len(loaded) != rule_count or bad:
                raise ValueError(f"{len(loaded)} rules loaded, not healthy: {bad}")
            names = set(get("label/__name__/values"))
            unknown = {m for r in loaded for m in re.findall(r"\bkorv_[a-z_]*[a-z]\b", r["query"])}
            if unknown - names:
                raise ValueError(f"rules name metrics korv-host does not serve: {unknown - names}")
            active = {(r["name"], a["labels"].get("level") or a["labels"].get("output"))
                      for r in loaded for a in r["alerts"]}
            if active != ACTIVE:
                raise ValueError(f"alerts pending or firing: {sorted(active)}")
            return prom_query(prom, 'up{job="korv-host"} == 1')
        wait_until("the rules loaded and the site's alerts pending", alerts_as_the_site_calls_for, 30)

        variables = [v["name"] for v in dashboard["templating"]["list"]]
        exprs = [t["expr"] for panel in dashboard["panels"] for t in panel["targets"]]
        exprs += [v["query"][len("label_values("):].rsplit(",", 1)[0]
                  for v in dashboard["templating"]["list"] if v["type"] == "query"]

        def every_query_finds_series():
            empty = []
            for expr in exprs:
                q = re.sub(r"\$__rate_interval", "10s", expr)
                q = re.sub(r"\$\{?(" + "|".join(variables) + r")\}?", ".*", q)
                if not prom_query(prom, q):
                    empty.append(q)
            if empty:
                raise ValueError(f"no series for {empty}")
            return True
        wait_until("a series for every dashboard query", every_query_finds_series, 30)
        print(f"prometheus: {rule_count} rules healthy, {sorted(ACTIVE)} pending; "
              f"{len(exprs)} dashboard queries find series")
    finally:
        for p in reversed(procs):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
