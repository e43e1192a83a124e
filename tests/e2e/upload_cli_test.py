#!/usr/bin/env python3
"""The CLI's main job against a real vexa-server: usage errors, login, folder
uploads interrupted with SIGINT and resumed, killed with SIGKILL and uploaded
again, --json output, cancel of a running upload, and the progress bars on a
terminal (tmux). Every uploaded file is checked byte for byte through the
server's /admin/export (size and SHA-1)."""
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

CLI, SERVER = sys.argv[1], sys.argv[2]
TOKEN = "e2e-token"
failures = []


def check(cond, what):
    print(("ok    " if cond else "FAIL  ") + what, flush=True)
    if not cond:
        failures.append(what)


def start_server(data):
    proc = subprocess.Popen([SERVER, "--listen", "127.0.0.1:0", "--data", data, "--user", "alice:alice-pw",
                             "--admin-token", TOKEN, "--faults", "bigupload:delay=120*1000000"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline()
    assert line.startswith("listening on "), line
    return proc, line.split()[-1]


def run(args, env, timeout=120, **kw):
    return subprocess.run([CLI] + args, env=env, capture_output=True, text=True, timeout=timeout, **kw)


def make_folder(root, name, sizes, seed):
    folder = os.path.join(root, name)
    rnd = __import__("random").Random(seed)
    for rel, size in sizes.items():
        p = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(rnd.randbytes(size))
    return folder


def exported(base):
    req = urllib.request.Request(base + "/admin/export", headers={"X-Admin-Token": TOKEN})
    users = json.load(urllib.request.urlopen(req))["users"]
    return {f["path"]: (f["size"], f["sha1"].upper()) for u in users for f in u["files"]}


def check_uploaded(base, folder):
    remote = exported(base)
    name = os.path.basename(folder)
    for dirpath, _, files in os.walk(folder):
        for fn in files:
            local = os.path.join(dirpath, fn)
            with open(local, "rb") as f:
                data = f.read()
            key = name + "/" + os.path.relpath(local, folder)
            check(remote.get(key) == (len(data), hashlib.sha1(data).hexdigest().upper()),
                  "on the server, byte-identical: " + key)


def wait_for(predicate, timeout, step=0.1):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return False


def main():
    work = tempfile.mkdtemp(prefix="vexa-cli-e2e-")
    server, base = start_server(os.path.join(work, "server"))
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "all_proxy", "vexaupload_api", "vexaupload_password",
                                "lc_all", "lc_messages", "lang")}
    env["VEXAUPLOAD_DATA_DIR"] = os.path.join(work, "client")
    env["LANG"] = "C.UTF-8"
    try:
        # Usage errors: status 2 and a message that says what to do.
        r = run([], env)
        check(r.returncode == 2 and "SUBCOMMAND" in r.stderr, "no command: usage, status 2")
        r = run(["bogus"], env)
        check(r.returncode == 2 and "unknown command 'bogus'" in r.stderr, "unknown command: status 2")
        # Every command's help has one layout (summary, Usage, Options with -h,--help first), and a
        # wrong option in any of them is one line that points at that help.
        top = run(["--help"], env).stdout
        names = re.findall(r"^  ([a-z]+) {2,}", top.split("Subcommands:")[1], re.M)
        check(len(names) >= 14, "the commands are listed (%s)" % names)
        for name in names:
            r = run([name, "--help"], env)
            lines = r.stdout.splitlines()
            check(r.returncode == 0 and len(lines) > 4 and lines[1].startswith("Usage: vexaupload " + name) and
                  "Options:" in lines and lines[lines.index("Options:") + 1].startswith("  -h,--help "),
                  "help layout: " + name)
            r = run([name, "--no-such-option", "x"], env)
            check(r.returncode == 2 and r.stderr.startswith("vexaupload " + name + ": ") and
                  r.stderr.endswith("Run `vexaupload %s --help` for usage.\n" % name) and len(r.stderr.splitlines()) == 2,
                  "usage error: " + name + " (%r)" % r.stderr)
        r = run(["upload"], env)
        check(r.returncode == 2 and "PATH is required" in r.stderr and "upload --help" in r.stderr,
              "upload without PATH: status 2, points at upload --help")
        r = run(["upload", "--nope", "x"], env)
        check(r.returncode == 2 and "--nope" in r.stderr, "unknown option: status 2")
        r = run(["login"], env)
        check(r.returncode == 2 and "ACCOUNT is required" in r.stderr, "login without ACCOUNT: status 2")
        r = run(["upload", "x"], env)
        check(r.returncode == 2 and "--api" in r.stderr, "no API address anywhere: status 2, names --api")
        r = run(["upload", "--api", base, "x"], env)
        check(r.returncode == 1 and "login --remember" in r.stderr, "no remembered account: status 1")
        check(run(["hash", "--help"], env).returncode == 0, "hash keeps its own --help")

        # Login: the password from the environment; the API base is remembered.
        r = run(["login", "--api", base, "--remember", "alice"], dict(env, VEXAUPLOAD_PASSWORD="wrong"))
        check(r.returncode == 1 and "login failed" in r.stderr, "wrong password: status 1")
        dead = socket.socket()
        dead.bind(("127.0.0.1", 0))
        dead_base = "http://127.0.0.1:%d" % dead.getsockname()[1]  # bound, never listening: refused
        r = run(["login", "--api", dead_base, "alice"], dict(env, VEXAUPLOAD_PASSWORD="x", LANG="C.UTF-8"))
        dead.close()
        check(r.returncode == 1 and "check your network connection (请检查你的网络连接); 127.0.0.1:" in r.stderr
              and ": connection refused" in r.stderr, "an unreachable service is named with the cause")
        r = run(["login", "--api", base, "--remember", "alice"], env, input="alice-pw\n")
        check(r.returncode == 0 and "Logged in as alice" in r.stdout and re.search(r"Storage: .* used of ", r.stdout),
              "login with the password on standard input: sentences")
        with open(os.path.join(env["VEXAUPLOAD_DATA_DIR"], "api_base")) as f:
            check(f.read().strip() == base, "the API base is remembered")
        r = run(["whoami"], env)
        check(r.returncode == 0 and "alice" in r.stdout and "user id" in r.stdout, "whoami")
        r = run(["version"], env)
        check(re.fullmatch(r"vexaupload \d+\.\d+\.\d+\nupload control win_1\.0\.1026\.4 \(.*\)\n", r.stdout),
              "version: the command line's and the control's (%r)" % r.stdout)
        r = run(["space"], env)
        check(r.returncode == 0 and re.fullmatch(r"Storage: \d+ B used of [\d.]+ [KMGT]iB \([\d.]+%\), [\d.]+ [KMGT]iB free\.\n",
                                                 r.stdout), "space: a sentence in binary units (%s)" % r.stdout.strip())
        # --json: standard output is JSON lines only, the command's own result included.
        for args, result in ((["space"], "space"), (["whoami"], "whoami"), (["list"], "list"), (["resume"], None),
                             (["failures", work], "failures")):
            r = run(args + ["--json"], env)
            try:
                lines = [json.loads(line) for line in r.stdout.splitlines()]
            except ValueError:
                lines = None
            check(r.returncode == 0 and lines is not None and all(isinstance(x, dict) for x in lines)
                  and (result is None or [x for x in lines if x.get("result") == result]),
                  "%s --json: JSON lines only (%s)" % (args[0], r.stdout.strip()[-300:]))
            if result == "space" and lines:
                space = [x for x in lines if x.get("result") == "space"][0]
                check(space["totalBytes"] > 0 and space["payload"].count("|") == 2, "space --json: bytes and payload")
        # Bad values end the command before it logs in or hashes: status 2, no resume record.
        some = make_folder(work, "args", {"f.bin": 3_000_000}, 7)
        for bad in (["--target", "abc"], ["--target=-5"], ["--target", "1" * 26], ["--api", "ftp://x"],
                    ["--api", "http://:8080"], ["--api", "http://host:70000"]):
            r = run(["upload"] + bad + [some], env)
            check(r.returncode == 2 and bad[0].split("=")[0] in r.stderr and "Hashing" not in r.stdout,
                  "upload %s: status 2 before any work (%s)" % (" ".join(bad), r.stderr.strip()))
        # https is spoken over TLS: a server that is not there fails the login before any work,
        # and never by falling back to plain HTTP.
        r = run(["upload", "--api", "https://127.0.0.1:1", some], env)
        check(r.returncode != 0 and "https:// addresses are refused" not in r.stderr and "Hashing" not in r.stdout,
              "upload --api https://...: the login fails before any work (%d, %s)" % (r.returncode, r.stderr.strip()))
        check("no unfinished uploads" in run(["list"], env).stdout, "bad arguments leave no record behind")
        missing = os.path.join(work, "missing.bin")
        r = run(["upload", missing], dict(env, LANG="C.UTF-8"))
        check(r.returncode == 1 and "error 2: the file was moved or deleted (文件已经移动或删除)" in r.stdout,
              "a missing file fails in English with the system's text beside: status 1")
        r = run(["upload", missing], dict(env, LANG="en_US.UTF-8", LC_MESSAGES="zh_CN.UTF-8"))
        check("error 2: 文件已经移动或删除\n" in r.stdout, "in a Chinese locale only the system's text")

        # SIGINT stops the upload; `list` shows it; `resume` finishes it.
        a = make_folder(work, "alpha", {"big.bin": 5_000_000, "sub/mid.bin": 3_000_000, "sub/tiny.txt": 10}, 1)
        out = open(os.path.join(work, "alpha.out"), "w+")
        p = subprocess.Popen([CLI, "upload", a], env=env, stdout=out, stderr=subprocess.STDOUT, text=True)
        check(wait_for(lambda: "Uploading" in open(out.name).read(), 30), "plain output names the upload")
        time.sleep(1.0)
        p.send_signal(signal.SIGINT)
        check(p.wait(30) == 130, "SIGINT: status 130")
        check("Stopped" in open(out.name).read(), "SIGINT: the folder is reported stopped")
        r = run(["list"], env)
        check(r.returncode == 0 and a in r.stdout and "Stopped" in r.stdout, "list shows the stopped folder")
        r = run(["resume"], env)
        check(r.returncode == 0 and "1 of 1 completed" in r.stdout, "resume completes it: status 0")
        check_uploaded(base, a)
        check("no unfinished uploads" in run(["list"], env).stdout, "list is empty afterwards")

        # SIGKILL mid-upload, with --json; `upload` again finishes it.
        b = make_folder(work, "beta", {"one.bin": 4_000_000, "deep/er/two.bin": 4_000_000, "é 文.txt": 7}, 2)
        p = subprocess.Popen([CLI, "upload", "--json", b], env=env, stdout=subprocess.PIPE, text=True)
        lines = []
        while True:
            line = p.stdout.readline()
            if not line:
                break
            lines.append(line)
            ev = json.loads(line)
            if ev["event"] == "ProgressEvent" and ev["fields"]["doneBytes"] > 0:
                p.kill()
                break
        p.wait(30)
        check(p.returncode == -signal.SIGKILL, "SIGKILL during the upload")
        r = run(["upload", "--json", b], env)
        check(r.returncode == 0, "upload again after SIGKILL: status 0")
        lines += r.stdout.splitlines()
        events = [json.loads(line) for line in lines]  # raises when a line is not JSON
        check(all({"event", "dispid", "payload", "fields"} <= set(e) for e in events), "--json lines parse")
        check(any(e["event"] == "LoginEvent" and e["fields"]["ok"] for e in events), "--json has the login")
        last = [e for e in events if e["event"] == "ProgressEvent" and e["fields"]["localPath"] == b][-1]
        check(last["fields"]["statusName"] == "Completed", "--json: the folder's last report is Completed")
        check_uploaded(base, b)

        # cancel reaches the upload running in another process.
        c = make_folder(work, "gamma", {"huge.bin": 12_000_000}, 3)
        out = open(os.path.join(work, "gamma.out"), "w+")
        p = subprocess.Popen([CLI, "upload", c], env=env, stdout=out, stderr=subprocess.STDOUT, text=True)
        check(wait_for(lambda: "Uploading" in open(out.name).read(), 30), "gamma uploads")
        r = run(["cancel", c], env)
        check(r.returncode == 0 and "asked the running upload" in r.stdout, "cancel asks the running upload")
        code = p.wait(30)
        check(code == 1, "the cancelled upload ends with status 1 (got %s: %s)" % (code, open(out.name).read()[-600:]))
        check(re.search(r"^Cancelled +" + re.escape(c) + "$", open(out.name).read(), re.M),
              "the running upload shows the cancel from another process as a line")
        check(c not in run(["list"], env).stdout, "a cancelled upload is not listed")
        partial = os.path.join(work, "server", "content", "partial")
        check(wait_for(lambda: not os.listdir(partial), 20), "the service dropped the cancelled upload's part")
        r = run(["stop", c], env)
        check(r.returncode == 1 and "not an unfinished upload" in r.stderr, "stop of an unknown path: status 1")

        # stop reaches it too; the stopped upload is listed and resumable.
        out = open(os.path.join(work, "gamma2.out"), "w+")
        p = subprocess.Popen([CLI, "upload", c], env=env, stdout=out, stderr=subprocess.STDOUT, text=True)
        check(wait_for(lambda: "Uploading" in open(out.name).read(), 30), "gamma uploads again")
        # One upload process per data folder: a second upload hands its paths over, resume refuses.
        d = make_folder(work, "delta", {"d.bin": 300_000}, 4)
        r = run(["upload", d], env)
        check(r.returncode == 0 and "it has taken these paths" in r.stdout and "Hashing" not in r.stdout,
              "a second upload hands its paths to the running one (%s%s)" % (r.stdout, r.stderr))
        r = run(["resume"], env)
        check(r.returncode == 1 and "another upload (process %d)" % p.pid in r.stderr,
              "resume beside a running upload refuses, naming it (%s)" % r.stderr.strip())
        r = run(["stop", "--json", c], env)
        check(r.returncode == 0 and json.loads(r.stdout) == {"result": "stop", "path": c,
                                                            "outcome": "asked the running upload to stop"},
              "stop asks the running upload (--json: %s)" % r.stdout.strip())
        check(p.wait(30) == 1 and "Stopped" in open(out.name).read(), "the stopped upload ends with status 1")
        check(re.search(r"^Completed +" + re.escape(d) + "  ", open(out.name).read(), re.M),
              "the running upload shows the handed-over folder completing")
        check_uploaded(base, d)
        check("Stopped" in run(["list"], env).stdout, "the stopped upload is listed")
        check(run(["resume"], env).returncode == 0, "and resumed")

        # A cancel after Ctrl-C, with no upload running: the service hears it too.
        z = make_folder(work, "zeta", {"z.bin": 12_000_000}, 6)
        f = os.path.join(z, "z.bin")
        out = open(os.path.join(work, "zeta.out"), "w+")
        p = subprocess.Popen([CLI, "upload", f], env=env, stdout=out, stderr=subprocess.STDOUT, text=True)
        check(wait_for(lambda: os.listdir(partial), 30), "zeta has a part on the service")
        p.send_signal(signal.SIGINT)
        check(p.wait(30) == 130, "zeta: SIGINT")
        r = run(["cancel", f], env)
        check(r.returncode == 0 and "cancelled" in r.stdout, "cancel of the stopped upload")
        check(not os.listdir(partial), "the service dropped the stopped upload's part")
        check_uploaded(base, c)

        # A folder with a member that cannot be uploaded (an empty file): the
        # rest arrives, the member is named with its reason, status 1.
        e = make_folder(work, "epsilon", {"fine.bin": 1000, "empty.txt": 0}, 5)
        r = run(["upload", e], env)
        check(r.returncode == 1 and "not uploaded: %s/empty.txt: empty files cannot be uploaded" % e in r.stdout,
              "a failed member is named at the end with its reason: status 1")
        check(exported(base).get("epsilon/fine.bin", (0,))[0] == 1000, "the other member arrived")
        # ... and is not tried again: the folder is over.
        check("epsilon" not in run(["list"], env).stdout, "the folder with the empty member is not listed")
        r = run(["resume"], env)
        check(r.returncode == 0, "resume does not retry the empty member (status %d: %s)" % (r.returncode, r.stdout))

        # The bars on a terminal.
        if shutil.which("tmux"):
            d = make_folder(work, "delta", {"pics/p1.raw": 5_000_000, "p2.raw": 3_000_000}, 4)
            session = "vexa-e2e-%d" % os.getpid()
            cmd = "env VEXAUPLOAD_DATA_DIR=%s %s upload %s; echo EXIT=$?; sleep 30" % (
                env["VEXAUPLOAD_DATA_DIR"], CLI, d)
            subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "100", "-y", "12", cmd], check=True)
            screens = []

            def capture():
                screens.append(subprocess.run(["tmux", "capture-pane", "-p", "-t", session],
                                              capture_output=True, text=True).stdout)
                return "EXIT=" in screens[-1]
            wait_for(capture, 60, 0.3)
            subprocess.run(["tmux", "kill-session", "-t", session])
            # The folder's bar names the member being sent.
            bars = [s for s in screens
                    if re.search(r"delta/(pics/p1|p2)\.raw +\[#+ *\] +\d+\.\d\d%", s) and "total  0/1" in s]
            check(bool(bars), "tmux: a bar naming the member sent and the total line while uploading")
            if bars:
                print("---- screen while uploading ----\n" + bars[-1].rstrip() + "\n----")
            check("EXIT=0" in screens[-1] and "1 of 1 completed" in screens[-1], "tmux: completed, status 0")
            check(sum("total  " in line for line in screens[-1].splitlines()) == 1,
                  "tmux: the bars were redrawn in place")
            check_uploaded(base, d)

        r = run(["logout"], env)
        check(r.returncode == 0 and "alice" in r.stdout, "logout forgets the account")
        r = run(["upload", a], env)
        check(r.returncode == 1 and "no remembered account" in r.stderr, "after logout upload cannot log in")
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
