#!/usr/bin/env python3
"""`./run demo` as a new user runs it with its output in a pipe or a file: it
must finish, verify every file on the server and write plain text (no
terminal escape codes)."""
import subprocess
import sys

DEMO, BUILD = sys.argv[1], sys.argv[2]
r = subprocess.run([DEMO, BUILD], capture_output=True, timeout=600)
out = r.stdout.decode("utf-8", "replace")
failures = []
for ok, what in ((r.returncode == 0, "the demo exits 0 (%d)" % r.returncode),
                 ("every file verified on the server" in out, "every file is verified"),
                 (b"\x1b" not in r.stdout and b"\x1b" not in r.stderr, "no escape codes in piped output"),
                 ("error" not in out.lower(), "no error is printed")):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
if failures:
    print("---- output ----\n" + out + "\n---- stderr ----\n" + r.stderr.decode("utf-8", "replace"))
sys.exit(1 if failures else 0)
