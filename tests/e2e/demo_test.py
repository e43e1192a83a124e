#!/usr/bin/env python3
"""`./run demo` as a new user runs it with its output in a pipe or a file: it
must finish, verify every file on the server, get one back through the page
and write plain text (no terminal escape codes). `--serve` keeps the page and
the upload bridge up until Ctrl-C, and both go with it."""
import os
import re
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

DEMO, BUILD = sys.argv[1], sys.argv[2]
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def fetch(url):
    """The status of a GET, or None when nothing answers."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(url, timeout=10) as r:
            return r.status, r.read().decode("utf-8", "replace")
    except urllib.error.HTTPError as e:
        return e.code, ""
    except OSError:
        return None, ""


r = subprocess.run([DEMO, BUILD], capture_output=True, timeout=600)
out = r.stdout.decode("utf-8", "replace")
check(r.returncode == 0, "the demo exits 0 (%d)" % r.returncode)
check("every file verified on the server" in out, "every file is verified")
check("SHA-1 of the download matches" in out and "206 bytes 4718592-" in out,
      "one file comes back through the page, whole and resumed")
check(b"\x1b" not in r.stdout and b"\x1b" not in r.stderr, "no escape codes in piped output")
check("error" not in out.lower(), "no error is printed")
if failures:
    print("---- output ----\n" + out + "\n---- stderr ----\n" + r.stderr.decode("utf-8", "replace"))

# --serve: read its lines until it says how to stop it (bounded by a deadline).
serve = subprocess.Popen([DEMO, BUILD, "--serve"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True)
lines = []
deadline = time.monotonic() + 600
while time.monotonic() < deadline:
    line = serve.stdout.readline().decode("utf-8", "replace")
    if not line:
        break
    lines.append(line)
    if line.startswith("Press Ctrl-C"):
        break
text = "".join(lines)
page = re.search(r"page: +(http://127\.0\.0\.1:\d+)/", text)
bridge = re.search(r"bridge: +ws://(127\.0\.0\.1:\d+)/", text)
check(page is not None and bridge is not None, "--serve prints the page's and the bridge's addresses")
if page and bridge:
    status, body = fetch(page.group(1) + "/")
    check(status == 200 and 'action="/login"' in body, "the page answers after the demo (%s)" % status)
    # The bridge may still be opening its port.
    for _ in range(100):
        status, body = fetch("http://" + bridge.group(1) + "/typelib.json")
        if status is not None:
            break
        time.sleep(0.1)
    check(status == 200 and "methods" in body, "the registered bridge answers (%s)" % status)
    check(serve.poll() is None, "both keep running")
    os.killpg(serve.pid, signal.SIGINT)  # what Ctrl-C sends to the terminal's processes
    try:
        serve.wait(timeout=60)
    except subprocess.TimeoutExpired:
        serve.kill()
    check(serve.returncode is not None and serve.returncode != 0, "Ctrl-C ends the demo")
    check(fetch(page.group(1) + "/")[0] is None and fetch("http://" + bridge.group(1) + "/typelib.json")[0] is None,
          "the service and the bridge stop with it")
else:
    serve.kill()
serve.wait()
rest = serve.stdout.read()
check("\x1b" not in text and b"\x1b" not in rest, "no escape codes in --serve's piped output")
if failures:
    print("---- --serve output ----\n" + text + rest.decode("utf-8", "replace"))
sys.exit(1 if failures else 0)
