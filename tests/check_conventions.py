#!/usr/bin/env python3
"""Checks the house rules that a grep can check, over the files git knows.

  1. No operating-system header outside port/ (exceptions below, each with its reason).
  2. Dependencies point down: port <- codec <- net <- account <- store <- protocol <- engine
     <- control <- apps. server/ (the reference service) uses port/ and codec/ only; a test
     of any module may also start the service through server/testing/.
  3. No file names the document the system is built from.
  4. C++ sources are laid out as .clang-format says (when clang-format is installed).

Prints one line per finding and exits 1 when there is any. Takes a second or two.
"""

import os
import re
import shutil
import subprocess
import sys

CLIENT_LAYERS = ["port", "codec", "net", "account", "store", "protocol", "engine", "control",
                 "apps"]
# Tops that may include anything: they sit above every module.
TOP = {"tests", "bench", "fuzz"}
# Leaves every module may include; they include nothing of the tree.
LEAVES = {"web"}

OS_HEADERS = re.compile(
    r"^(unistd|pthread|fcntl|dirent|netdb|poll|dlfcn|iconv|termios|execinfo|ucontext|spawn|pwd|"
    r"grp|ifaddrs|mntent|sched|semaphore|windows|winsock2|ws2tcpip|mswsock|winhttp|wininet|"
    r"winreg|shlobj|shellapi|shlwapi|objbase|objidl|ole2|oleauto|oaidl|ocidl|olectl|unknwn|"
    r"commdlg|dbghelp|iphlpapi|tlhelp32|psapi|wincrypt|io|direct)\.h$"
    r"|^(sys|netinet|arpa|net|linux)/")

# Files outside port/ that may include OS headers, by path prefix, with the reason.
OS_HEADER_EXCEPTIONS = {
    "server/http_server.cc": "the service's own HTTP layer (sockets, poll)",
    "server/connection_abort.cc": "the service's own HTTP layer (resets a client's socket)",
    "server/http_connection.cc": "the service's own HTTP layer (a kept connection's socket)",
    "server/idle_connections.cc": "the service's own HTTP layer (polls parked connections)",
    "server/tls_server_context.cc": "the service's own HTTP layer (TLS over its sockets)",
    "server/http_server_test.cc": "drives the service's HTTP layer over raw sockets",
    "bench/wan_link.cc": "the benchmark's emulated link (TUN devices, namespaces)",
    "server/testing/": "harness that starts the service and speaks raw sockets to it",
    "server/range_path_test.cc": "drives the service's HTTP layer over raw sockets",
    "server/slow_client_test.cc": "drives the service's HTTP layer over raw sockets",
    "server/service_test.cc": "starts and kills the service process",
    "server/app/main.cc": "the service's process entry (umask for its data folder)",
    "control/com/": "the COM control is the Windows binding itself: its interfaces are OS types",
    "tests/": "end-to-end harnesses that start, kill and host the products",
    # Found when this check was written; each is to move behind port/.
    "server/options.cc": "known: data folder creation and modes",
    "server/options_test.cc": "known: checks the data folder's modes",
    "server/random.cc": "known: getrandom",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
SOURCE = re.compile(r"\.(cc|h|cpp|c)$")
# Built from pieces so this file does not name it either.
SPEC_NAMES = re.compile(r"(?i:\bspec" r"\.md\b)|\bPart" r" [0-9]+(\.[0-9]+)*\b|(?i:\bspecifi"
                        r"cation\b)")
TEXT = re.compile(r"(\.(cc|h|cpp|c|js|py|sh|cmake|txt|md|html|css|json|in|yml|yaml|conf)|"
                  r"CMakeLists\.txt|/run|^run)$")


def is_test_file(path):
    name = os.path.basename(path)
    return ("/testing/" in path or name.startswith("test_") or "_test." in name or
            "_test_" in name)


def module_of(path):
    return path.split("/", 1)[0] if "/" in path else ""


def layer_finding(path, header):
    """Why `path` may not include `header`, or None."""
    src, dst = module_of(path), module_of(header)
    if "/" not in header or not dst or src == dst or src in TOP or not src:
        return None
    if src in LEAVES:
        return f"{src}/ is a leaf but includes {header}"
    if dst in LEAVES:
        return None
    if dst == "server":
        if header.startswith("server/testing/") and is_test_file(path):
            return None
        return f"{src}/ includes the service ({header})"
    if dst not in CLIENT_LAYERS:
        return None  # a system or third-party header
    if src == "server":
        if dst in ("port", "codec"):
            return None
        return f"server/ includes the client's {dst}/ ({header})"
    if src not in CLIENT_LAYERS:
        return None
    if CLIENT_LAYERS.index(dst) > CLIENT_LAYERS.index(src):
        return f"{src}/ includes the higher layer {dst}/ ({header})"
    return None


def os_header_finding(path, header):
    if path.startswith("port/") or not OS_HEADERS.search(header):
        return None
    if any(path.startswith(prefix) for prefix in OS_HEADER_EXCEPTIONS):
        return None
    return f"OS header <{header}> outside port/"


def check_file(path, text):
    """The findings of one file, as 'path: what' lines."""
    findings = []
    if SPEC_NAMES.search(path):
        findings.append(f"{path}: its name names the source document")
    if TEXT.search(path):
        for n, line in enumerate(text.splitlines(), 1):
            m = SPEC_NAMES.search(line)
            if m:
                findings.append(f"{path}:{n}: names the source document ('{m.group(0)}')")
    if SOURCE.search(path):
        for m in INCLUDE.finditer(text):
            # System headers come in <>, the tree's own in "" (net/ is ours and an OS folder).
            header = m.group(2)
            system = m.group(1) == "<"
            whys = [os_header_finding(path, header)] if system else [layer_finding(path, header)]
            for why in whys:
                if why:
                    findings.append(f"{path}: {why}")
    return findings


def layout_findings(root, paths):
    """Sources whose layout clang-format would change; none (with a note) without clang-format."""
    exe = shutil.which("clang-format")
    if not exe:
        print("layout not checked: clang-format is not installed", file=sys.stderr)
        return []
    proc = subprocess.run([exe, "--dry-run", "--Werror", *paths], cwd=root, capture_output=True,
                          text=True)
    bad = sorted({line.split(":", 1)[0] for line in proc.stderr.splitlines() if ": error:" in line})
    if proc.returncode != 0 and not bad:
        return [f"clang-format failed: {proc.stderr.strip()[:200]}"]
    return [f"{path}: laid out unlike .clang-format (clang-format -i {path})" for path in bad]


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    files = subprocess.run(["git", "-C", root, "ls-files"], check=True, capture_output=True,
                           text=True).stdout.split()
    this = os.path.relpath(os.path.abspath(__file__), root)
    findings = []
    sources = []
    for path in files:
        if path == this or path.startswith("tests/check_conventions"):
            continue
        full = os.path.join(root, path)
        if not os.path.isfile(full):
            continue
        with open(full, encoding="utf-8", errors="replace") as f:
            findings += check_file(path, f.read())
        if re.search(r"\.(cc|h)$", path):
            sources.append(path)
    findings += layout_findings(root, sources)
    for line in findings:
        print(line)
    if findings:
        print(f"{len(findings)} convention finding(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
