#!/usr/bin/env python3
"""Runs the Linux control (`vexaupload control`) through the same steps as the Windows test host -
log in, upload one file - against a vexa-server of its own, and compares the LoginEvent and
ProgressEvent payloads field by field with the ones the host recorded.

usage: compare_payloads.py VEXAUPLOAD API_URL ACCOUNT PASSWORD FILE HOST_LOG

HOST_LOG holds the host's events, one "DISPID<TAB>payload as received" a line. Fields that
legitimately differ between the two runs are left out: the local path (its text form differs),
the speed and time left, and the speed and time of the queue summary; the pick code is the
service's own for each upload, so only whether there is one is compared.
"""
import json
import re
import subprocess
import sys

PROGRESS, LOGIN = 1, 3
FIELDS = ["file name", "local path", "total bytes", "done bytes", "speed", "time left", "status",
          "upload percentage", "hash percentage", "error code", "error text", "pick code", "is-folder",
          "queue summary"]
SKIPPED = {"local path", "speed", "time left"}
FINAL = {"4", "5"}


def unescape(payload):
    """"\\u0041\\u0042" -> "AB", surrogate pairs joined."""
    units = [int(u, 16) for u in re.findall(r"\\u([0-9A-F]{4})", payload)]
    if "".join("\\u%04X" % u for u in units) != payload:
        raise ValueError("not an escaped payload: %r" % payload[:80])
    return b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le")


def linux_events(cli, api, account, password, path):
    proc = subprocess.Popen([cli, "control", "--api", api], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    events = []

    def send(request):
        proc.stdin.write(json.dumps(request) + "\n")
        proc.stdin.flush()

    def read_until(done):
        for line in proc.stdout:
            message = json.loads(line)
            if "event" in message:
                events.append((message["dispid"], message["payload"]))
            if done(message):
                return message
        raise RuntimeError("the Linux control ended early")

    send({"id": 1, "method": "Login", "params": [account, password, 0, 0]})
    read_until(lambda m: m.get("dispid") == LOGIN)
    send({"id": 2, "method": "GetTarget", "params": []})
    target = read_until(lambda m: m.get("id") == 2)["result"]
    send({"id": 3, "method": "AddUpload", "params": [path, target, 0, 1]})

    def final_row(m):
        if m.get("dispid") != PROGRESS:
            return False
        row = unescape(m["payload"]).split("|")
        return row[1] == path and row[6] in FINAL
    read_until(final_row)
    proc.stdin.close()
    proc.wait(timeout=60)
    return events


def rows_of(events, path_test):
    rows = []
    for dispid, payload in events:
        if int(dispid) == PROGRESS:
            row = unescape(payload).split("|")
            if len(row) == 14 and path_test(row[1]):
                rows.append(row)
    return rows


def comparable(row):
    out = {name: value for name, value in zip(FIELDS, row) if name not in SKIPPED}
    out["pick code"] = "given" if out["pick code"] else ""
    summary = out.pop("queue summary").split(",")
    out["queue summary: task count"] = summary[0]
    out["queue summary: total bytes"] = summary[1] if len(summary) > 1 else ""
    return out


def statuses(rows):
    seen = []
    for row in rows:
        if not seen or seen[-1] != row[6]:
            seen.append(row[6])
    return seen


def main():
    cli, api, account, password, path, host_log = sys.argv[1:7]
    host = []
    with open(host_log, encoding="ascii") as f:
        for line in f:
            dispid, _, payload = line.rstrip("\r\n").partition("\t")
            host.append((int(dispid), payload))
    linux = linux_events(cli, api, account, password, path)
    failures = []

    def check(what, host_value, linux_value):
        if host_value != linux_value:
            failures.append("%s: Windows %r, Linux %r" % (what, host_value, linux_value))

    logins = [[p for d, p in events if int(d) == LOGIN][:1] for events in (host, linux)]
    check("LoginEvent payload", logins[0], logins[1])
    name = path.rsplit("/", 1)[-1]
    host_rows = rows_of(host, lambda p: p.replace("\\", "/").rsplit("/", 1)[-1] == name)
    linux_rows = rows_of(linux, lambda p: p == path)
    if not host_rows or not linux_rows:
        failures.append("no progress rows: Windows %d, Linux %d" % (len(host_rows), len(linux_rows)))
    else:
        # How many running rows the scheduler's one-a-second notices add depends on timing; both
        # runs must still move only forward, through the same statuses the engine reports.
        for side, rows in (("Windows", host_rows), ("Linux", linux_rows)):
            seq = statuses(rows)
            if [int(x) for x in seq] != sorted(int(x) for x in seq) or not set(seq) <= {"0", "1", "2", "5"}:
                failures.append("%s status sequence goes back or fails: %s" % (side, seq))
        for which, index in (("first row", 0), ("final row", -1)):
            h, l = comparable(host_rows[index]), comparable(linux_rows[index])
            for field in h:
                check("%s, %s" % (which, field), h[field], l[field])
    compared = ", ".join(k for k in comparable(linux_rows[-1])) if linux_rows else ""
    print("compared LoginEvent and, of the first and final ProgressEvent rows: " + compared)
    print("statuses: Windows %s, Linux %s" % (statuses(host_rows), statuses(linux_rows)))
    for f in failures:
        print("DIFFERS " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
