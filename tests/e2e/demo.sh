#!/usr/bin/env bash
# The demo: starts the reference server on a free loopback port with a scratch
# data folder and a demo account, logs in with the CLI, uploads a sample folder
# with the progress bars, then checks every file on the server side (name,
# size and SHA-1 from the server's /admin/export) and prints a summary.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
cli="$build/apps/cli/vexaupload"
server="$build/server/vexa-server"
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY VEXAUPLOAD_API VEXAUPLOAD_PASSWORD
export VEXAUPLOAD_DATA_DIR="$work/client"  # the remembered account stays in the scratch folder
# Bold headings on a terminal only: piped or saved output stays plain text.
if [ -t 1 ]; then
  step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  step() { printf '\n== %s\n' "$*"; }
fi

step "starting vexa-server (account demo / demo-password)"
# Each 1 MiB range is answered after 80 ms, as over a modest line, so the bars
# have something to show on a machine where loopback is instant.
mkfifo "$work/listen"
"$server" --listen 127.0.0.1:0 --data "$work/server" --user demo:demo-password --admin-token demo-token \
  --faults "bigupload:delay=80*1000000" >"$work/listen" 2>"$work/server.log" &
server_pid=$!
read -r -t 20 line <"$work/listen" || { echo "vexa-server did not start:"; cat "$work/server.log"; exit 1; }
base=${line#listening on }
echo "$line"
echo "(this server and its data go when the demo ends; server/README.md shows how to run one for the upload page)"

step "sample folder"
sample="$work/sample"
mkdir -p "$sample/photos/2024" "$sample/docs"
printf 'hello, vexaupload\n' >"$sample/hello.txt"
printf 'a name with spaces and 文字\n' >"$sample/docs/notes 文字.txt"
head -c 25601 /dev/urandom >"$sample/photos/small.jpg"
head -c 9437184 /dev/urandom >"$sample/photos/2024/large.raw"
head -c 6291456 /dev/urandom >"$sample/photos/2024/medium.raw"
(cd "$sample" && find . -type f -printf '  %P  %s bytes\n' | sort)

step "vexaupload login --api $base --remember demo"
printf '%s\n' demo-password | "$cli" login --api "$base" --remember demo

step "vexaupload upload $sample"
"$cli" upload "$sample"

step "checking every file on the server (/admin/export: name, size, SHA-1)"
curl -fsS -H 'X-Admin-Token: demo-token' "$base/admin/export" >"$work/export.json"
python3 - "$sample" "$work/export.json" <<'PY'
import hashlib, json, os, sys
sample, export = sys.argv[1], json.load(open(sys.argv[2]))
remote = {f["path"]: f for u in export["users"] for f in u["files"]}
name, ok, total, count = os.path.basename(sample), True, 0, 0
for dirpath, _, files in sorted(os.walk(sample)):
    for fn in sorted(files):
        local = os.path.join(dirpath, fn)
        data = open(local, "rb").read()
        key = name + "/" + os.path.relpath(local, sample)
        f = remote.get(key)
        good = f is not None and f["size"] == len(data) and f["sha1"].upper() == hashlib.sha1(data).hexdigest().upper()
        ok &= good
        total += len(data)
        count += 1
        print("  %-4s %-34s %9d bytes  %s" % ("ok" if good else "BAD", key, len(data), f["sha1"] if f else "missing"))
print("\nsummary: %d files, %d bytes uploaded; %s" % (count, total, "every file verified on the server" if ok else "SOME FILES DIFFER"))
sys.exit(0 if ok else 1)
PY

step "vexaupload list (nothing is left unfinished)"
"$cli" list
