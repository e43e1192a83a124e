#!/usr/bin/env python3
"""Runs `vexaupload hash` on files around the sampling boundaries and checks
every line against identities computed here with hashlib."""
import hashlib
import os
import random
import subprocess
import sys
import tempfile

SAMPLE = 5120


def fileid(path):
    h = hashlib.sha1()
    buf = bytearray(256 << 10)
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buf)
            if not n:
                break
            h.update(view[:n])
    return h.hexdigest().upper()


def quickid(path):
    size = os.path.getsize(path)
    if size <= 5 * SAMPLE:
        return fileid(path)
    # Offsets are the size times the factor in double precision, truncated.
    offsets = [0, int(size * 0.13), int(size * 0.37), int(size * 0.62), size - SAMPLE]
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for off in offsets:
            f.seek(off)
            h.update(f.read(SAMPLE))
    h.update(str(size).encode())
    return h.hexdigest().upper()


def make_files(root, big):
    rng = random.Random(25601)
    paths = []
    for size in (0, 1, 25600, 25601, 1234567):
        p = os.path.join(root, "file %d.bin" % size)  # a space in every name
        with open(p, "wb") as f:
            f.write(rng.randbytes(size))
        paths.append(p)
    if big:
        # Sparse, above 4 GiB, with data in the sampled regions and elsewhere.
        # Truncated to 32 bits the size would read as 40000: a 32-bit slip shows.
        size = (4 << 30) + 40000
        p = os.path.join(root, "big.bin")
        with open(p, "wb") as f:
            for off in (0, int(size * 0.13), int(size * 0.37) + 7, (4 << 30) - 3, size - 100):
                f.seek(off)
                f.write(rng.randbytes(min(SAMPLE, size - off)))
            f.truncate(size)
        paths.append(p)
    return paths


def main():
    exe = sys.argv[1]
    big = "--no-big" not in sys.argv
    failures = []
    with tempfile.TemporaryDirectory(prefix="vexa_hash_e2e_") as root:
        paths = make_files(root, big)
        missing = os.path.join(root, "missing.bin")
        run = subprocess.run([exe, "hash"] + paths[:2] + [missing] + paths[2:],
                             capture_output=True, text=True, timeout=600)
        if run.returncode != 1:
            failures.append("exit status %d, expected 1 (one file missing)" % run.returncode)
        err = run.stderr.strip().splitlines()
        if len(err) != 1 or missing not in err[0] or "error 2:" not in err[0]:
            failures.append("stderr %r should report error 2 for the missing file" % run.stderr)
        lines = run.stdout.splitlines()
        if len(lines) != len(paths):
            failures.append("%d lines for %d files:\n%s" % (len(lines), len(paths), run.stdout))
        for line, path in zip(lines, paths):
            want = "%s %s %d %s" % (fileid(path), quickid(path), os.path.getsize(path), path)
            if line != want:
                failures.append("got  %s\nwant %s" % (line, want))

        # Every file readable: status 0.
        ok = subprocess.run([exe, "hash", paths[1]], capture_output=True, text=True, timeout=60)
        if ok.returncode != 0 or ok.stderr:
            failures.append("single good file: status %d, stderr %r" % (ok.returncode, ok.stderr))
        # No file at all is a usage error.
        usage = subprocess.run([exe, "hash"], capture_output=True, text=True, timeout=60)
        if usage.returncode != 2 or "usage" not in usage.stderr:
            failures.append("no arguments: status %d" % usage.returncode)
    for f in failures:
        print("FAIL:", f)
    print("hash e2e: %d files checked, %d failures" % (len(paths), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
