#!/usr/bin/env python3
"""Scripts `vexaupload control` over its pipes against a real vexa-server: a
login, an upload interrupted with SIGINT, a second run that finds the API base
remembered by the login and the upload left stopped, resumes it at EOF-time
and ends cleanly; the stored file is checked byte for byte.

usage: control_cli_test.py VEXAUPLOAD VEXA_SERVER"""
import hashlib
import json
import os
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

TOKEN = "test-admin-token"


def unescape(payload):
    units = [int(h, 16) for h in re.findall(r"\\u([0-9A-F]{4})", payload)]
    assert "".join("\\u%04X" % u for u in units) == payload, payload
    return b"".join(u.to_bytes(2, "little") for u in units).decode("utf-16-le")


class Control:
    def __init__(self, binary, env, args=()):
        self.proc = subprocess.Popen([binary, "control", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.events = []
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            assert line.isascii(), line
            self.lines.put(json.loads(line))
        self.lines.put(None)

    def _take(self, timeout=60):
        item = self.lines.get(timeout=timeout)
        assert item is not None, "the control ended early"
        if "event" in item:
            self.events.append((item["event"], unescape(item["payload"])))
        return item

    def call(self, method, *params):
        self.next_id += 1
        self.proc.stdin.write(json.dumps({"id": self.next_id, "method": method, "params": params}) + "\n")
        self.proc.stdin.flush()
        while True:
            item = self._take()
            if item.get("id") == self.next_id:
                assert "error" not in item, item
                return item["result"]

    def wait_event(self, match, timeout=120):
        deadline = time.time() + timeout
        while True:
            for name, payload in self.events:
                if match(name, payload):
                    return payload
            self._take(max(0.1, deadline - time.time()))

    def rows(self, path):
        out = []
        for name, payload in self.events:
            if name == "ProgressEvent":
                fields = payload.split("|")
                if fields[1] == path:
                    out.append(fields)
        return out


def start_server(binary, data):
    proc = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--data", data, "--user", "alice:alice-pw",
                             "--admin-token", TOKEN,
                             # Ranges slow enough that the upload is seen running before it ends.
                             "--faults", "bigupload:delay=100*1000"], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    m = re.match(r"listening on (http://127\.0\.0\.1:\d+)", line)
    assert m, line
    return proc, m.group(1)


def stored(base):
    req = urllib.request.Request(base + "/admin/export", headers={"X-Admin-Token": TOKEN})
    with urllib.request.urlopen(req) as r:
        users = json.load(r)["users"]
    return {f["path"]: f["sha1"].lower() for u in users if u["account"] == "alice" for f in u["files"]}


def main():
    vexaupload, server_binary = sys.argv[1], sys.argv[2]
    root = tempfile.mkdtemp(prefix="vexa-control-cli-")
    server = None
    try:
        server, base = start_server(server_binary, os.path.join(root, "server"))
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower() and k != "VEXAUPLOAD_API"}
        env["VEXAUPLOAD_DATA_DIR"] = os.path.join(root, "data")

        assert subprocess.run([vexaupload, "control", "--help"], env=env, capture_output=True).returncode == 0
        assert subprocess.run([vexaupload, "control", "--bogus"], env=env, capture_output=True).returncode == 2

        path = os.path.join(root, "big file.bin")
        content = random.Random(7).randbytes(48 << 20)
        with open(path, "wb") as f:
            f.write(content)

        # First run: log in, start the upload, interrupt it.
        c = Control(vexaupload, env, ["--api", base])
        assert c.call("GetPluginVersion") == "win_1.0.1026.4"
        c.call("Login", "alice", "alice-pw", 0, 0)
        assert c.wait_event(lambda n, p: n == "LoginEvent") == "1|ok"
        target = c.call("GetTarget")
        c.call("AddUpload", path, target, 0, 1)
        c.wait_event(lambda n, p: n == "ProgressEvent" and p.split("|")[1] == path and p.split("|")[6] == "2")
        c.proc.send_signal(signal.SIGINT)
        assert c.proc.wait(timeout=60) == 130
        assert stored(base) == {}, "interrupted before the end"

        # Second run: no --api, the base comes from the login's memory; the
        # login reports the upload left stopped, and StartUpload finishes it.
        c = Control(vexaupload, env)
        c.call("Login", "alice", "alice-pw", 0, 0)
        assert c.wait_event(lambda n, p: n == "LoginEvent") == "1|ok"
        c.wait_event(lambda n, p: n == "ProgressEvent" and p.split("|")[1] == path and p.split("|")[6] == "3")
        c.call("StartUpload", path)
        c.wait_event(lambda n, p: n == "ProgressEvent" and p.split("|")[1] == path and p.split("|")[6] == "5",
                     timeout=300)
        statuses = [r[6] for r in c.rows(path)]
        assert statuses[0] == "3" and statuses[-1] == "5", statuses
        c.proc.stdin.close()
        assert c.proc.wait(timeout=60) == 0
        assert stored(base) == {"big file.bin": hashlib.sha1(content).hexdigest()}, stored(base)
        print("ok: interrupted, remembered the service, resumed and stored %d bytes whole" % len(content))
    finally:
        if server:
            server.kill()
            server.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
