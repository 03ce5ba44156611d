#!/usr/bin/python3
"""korv-host's Modbus TCP server on the built-in site, read by real clients:
mbpoll and pymodbus read the DC output voltage where --modbus-map puts it (as
/api/v1/state tells it), the simulator's alarm shows in its discrete input,
a write and a read past the map are refused, an idle and a garbling client
are closed, a 17th connection too.

Usage: live.py --korv-host PATH --plugin PATH   (every wait bounded)
"""

import argparse, json, re, socket, struct, subprocess, sys, tempfile, threading, time
import urllib.request

from pymodbus.client import ModbusTcpClient

DEADLINE_S = 30


def wait_until(what, check):
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        got = check()
        if got is not None and got is not False:
            return got
        time.sleep(0.2)
    sys.exit("timed out waiting for " + what)


def mbpoll(port, *args, values=()):
    r = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-0", "-1", "-o", "2", *args,
                        "127.0.0.1", *values], capture_output=True, text=True, timeout=10)
    return r.returncode, r.stdout + r.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--korv-host", required=True)
    ap.add_argument("--plugin", required=True)
    a = ap.parse_args()
    base = [a.korv_host, "--plugin", a.plugin]
    table = subprocess.run(base + ["--modbus-map"], capture_output=True, text=True, check=True,
                           timeout=20).stdout
    where = {}
    for line in table.splitlines()[1:]:
        kind, address, _, unit, child, _, name = line.split()[:7]
        where[(kind, int(unit), int(child), name)] = int(address)
    volts = where[("input", 1, 21, "output.voltage")]
    alarm = where[("discrete", 1, 21, "output.voltage.alarm")]

    with tempfile.TemporaryDirectory() as tmp:
        host = subprocess.Popen(base + ["--db", tmp + "/db", "--modbus-tcp", "0", "--http", "0",
                                        "--modbus-idle-seconds", "2"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            ports = {}
            for line in host.stderr:
                m = re.search(r"serving (http|modbus tcp)\S* ?(?:on )?[^:]*:(\d+)", line)
                if m:
                    ports[m.group(1)] = int(m.group(2))
                if len(ports) == 2:
                    break
            mb, http = ports["modbus tcp"], ports["http"]
            threading.Thread(target=lambda: [sys.stderr.write(l) for l in host.stderr],
                             daemon=True).start()

            def state_volts():
                with urllib.request.urlopen(f"http://127.0.0.1:{http}/api/v1/state") as r:
                    unit = json.load(r)["units"][0]
                for c in unit["children"]:
                    for f in c["fields"] if c["device"] == 21 else []:
                        if f["name"] == "output.voltage" and f["value"] is not None:
                            return f["value"], unit["rounds"]
                return None

            # The same round's voltage through mbpoll, pymodbus and the JSON.
            def agree():
                expected, rounds = state_volts() or (None, -1)
                rc, out = mbpoll(mb, "-t", "3:float", "-B", "-r", str(volts))
                m = re.search(r"\[%d\]:\s*(\S+)" % volts, out)
                client = ModbusTcpClient("127.0.0.1", port=mb)
                client.connect()
                regs = client.read_input_registers(volts, 2, slave=1).registers
                client.close()
                via_py = struct.unpack(">f", struct.pack(">HH", *regs))[0]
                if expected is None or rc != 0 or not m or (state_volts() or (0, -2))[1] != rounds:
                    return None
                ok = abs(float(m.group(1)) - expected) < 1e-3 and abs(via_py - expected) < 1e-3
                return ok or None
            wait_until("the voltage read alike by mbpoll, pymodbus and /api/v1/state", agree)

            # The scenario's alarm: raised in round 2, cleared in round 3.
            def alarm_is(bit):
                rc, out = mbpoll(mb, "-t", "1", "-r", str(alarm))
                return rc == 0 and re.search(r"\[%d\]:\s*%d" % (alarm, bit), out) is not None
            wait_until("the alarm's discrete input raised", lambda: alarm_is(1))
            wait_until("the alarm's discrete input cleared", lambda: alarm_is(0))

            # Half a request waiting holds up no other client.
            slow = socket.create_connection(("127.0.0.1", mb), timeout=5)
            slow.sendall(b"\x00\x01\x00")
            rc, out = mbpoll(mb, "-t", "4", "-r", "0", values=["9"])
            assert "Illegal function" in out, out
            rc, out = mbpoll(mb, "-t", "4", "-r", str(volts), values=["1", "2"])
            assert "Illegal function" in out, out
            client = ModbusTcpClient("127.0.0.1", port=mb)
            client.connect()
            link = client.read_input_registers(0, 1, slave=1).registers
            assert link == [1] and client.read_holding_registers(0, 1, slave=1).registers == link
            client.close()
            rc, out = mbpoll(mb, "-t", "3", "-r", "65000")
            assert rc != 0 and "Illegal data address" in out, out
            slow.close()

            # A client that says no Modbus is closed at once, one that says
            # nothing after the idle time (2 s here); past 16, one is closed at accept.
            for said, within in ((b"GET / HTTP/1.0\r\n\r\n", (0, 1)), (b"", (1.5, 4))):
                with socket.create_connection(("127.0.0.1", mb), timeout=5) as s:
                    s.sendall(said)
                    start = time.monotonic()
                    assert s.recv(64) == b"", said
                    assert within[0] <= time.monotonic() - start < within[1], said
            held = [socket.create_connection(("127.0.0.1", mb), timeout=5) for _ in range(17)]
            start = time.monotonic()
            assert held[16].recv(64) == b"" and time.monotonic() - start < 1
            for s in held:
                s.close()
        finally:
            host.terminate()
            host.wait(timeout=10)
    print("ok")


if __name__ == "__main__":
    main()
