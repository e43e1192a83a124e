#!/usr/bin/env bash
# The demo: starts the reference server on a free loopback port with a scratch
# data folder and a demo account, logs in with the CLI, uploads a sample folder
# with the progress bars, checks every file on the server side (name, size and
# SHA-1 from the server's /admin/export), then downloads one back through the
# service's page (whole, and resumed from the middle) and compares it.
# With --serve the service and a registered upload bridge keep running for the
# upload page until Ctrl-C.
set -euo pipefail
usage="usage: demo.sh BUILD_DIR [--serve]"
build=${1:?$usage}
serve=0
case "${2:-}" in
  "") ;;
  --serve) serve=1 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
cli="$build/apps/cli/vexaupload"
server="$build/server/vexa-server"
bridge="$build/apps/bridge/vexaupload-bridge"
work=$(mktemp -d)
server_pid=""
bridge_pid=""
cleanup() {
  for pid in $bridge_pid $server_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY VEXAUPLOAD_API VEXAUPLOAD_PASSWORD
export VEXAUPLOAD_DATA_DIR="$work/client"  # the remembered account stays in the scratch folder
# Bold headings on a terminal only: piped or saved output stays plain text.
if [ -t 1 ]; then
  step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  step() { printf '\n== %s\n' "$*"; }
fi

step "starting vexa-server (account demo / demo-password)"
# The upload page finds its bridge at this address (a free port, picked now
# because the page is told it when the server starts).
bridge_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export VEXA_BRIDGE_URL="ws://127.0.0.1:$bridge_port/"
# Each 1 MiB range is answered after 80 ms, as over a modest line, so the bars
# have something to show on a machine where loopback is instant.
mkfifo "$work/listen"
"$server" --listen 127.0.0.1:0 --data "$work/server" --user demo:demo-password --admin-token demo-token \
  --faults "bigupload:delay=80*1000000" >"$work/listen" 2>"$work/server.log" &
server_pid=$!
read -r -t 20 line <"$work/listen" || { echo "vexa-server did not start:"; cat "$work/server.log"; exit 1; }
base=${line#listening on }
echo "$line"
if [ "$serve" = 1 ]; then
  echo "(this server and its data go when you stop the demo with Ctrl-C)"
else
  echo "(this server and its data go when the demo ends; './run demo --serve' keeps them for the upload page)"
fi

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

step "downloading photos/2024/large.raw back through the service's page"
python3 - "$base" "$sample/photos/2024/large.raw" <<'PY'
import hashlib, http.cookiejar, re, sys, urllib.parse, urllib.request
base, local = sys.argv[1], sys.argv[2]
jar = http.cookiejar.CookieJar()
web = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar), urllib.request.ProxyHandler({}))
def page(path):
    return web.open(base + path).read().decode("utf-8")
# Signed in as a browser is: the form's token, then the password.
token = re.search(r'name="token" value="([^"]+)"', page("/")).group(1)
web.open(base + "/login", urllib.parse.urlencode({"account": "demo", "password": "demo-password",
                                                   "token": token}).encode())
html = page("/")
for folder in ("sample", "photos", "2024"):  # opened one by one, as a person clicks them
    html = page(re.search(r'<a href="(/\?folder=\d+)"><bdi class="name">%s/</bdi>' % folder, html).group(1))
link = re.search(r'<bdi class="name">large\.raw</bdi>.*?href="(/download\?file=\d+)"', html).group(1)
want = open(local, "rb").read()
got = web.open(base + link)
data = got.read()
print("  GET %s: %d bytes, ETag %s" % (link, len(data), got.headers["ETag"]))
half = len(want) // 2
resumed = web.open(urllib.request.Request(base + link, headers={"Range": "bytes=%d-" % half,
                                                                "If-Range": got.headers["ETag"]}))
rest = resumed.read()
print("  resumed from byte %d: %d %s, %d bytes" % (half, resumed.status, resumed.headers["Content-Range"], len(rest)))
same = data == want and want[:half] + rest == want
print("  SHA-1 of the download %s the uploaded file's (%s)" %
      ("matches" if same else "DOES NOT MATCH", hashlib.sha1(want).hexdigest().upper()))
sys.exit(0 if same else 1)
PY
echo "round trip: uploaded, stored, downloaded back, identical"

if [ "$serve" = 1 ]; then
  step "the upload page stays up"
  export XDG_CONFIG_HOME="$work/config"  # the bridge's registration stays in the scratch folder
  "$bridge" register --user --origin "$base" >/dev/null
  VEXAUPLOAD_DATA_DIR="$work/bridge" "$bridge" --listen "127.0.0.1:$bridge_port" --api "$base" \
    2>"$work/bridge.log" &
  bridge_pid=$!
  echo "  page:    $base/   (sign in as demo / demo-password)"
  echo "  bridge:  $VEXA_BRIDGE_URL (registered for that page only; its log: $work/bridge.log)"
  echo "  server log: $work/server.log"
  echo "Press Ctrl-C to stop the service and the bridge; their data goes with them."
  wait "$server_pid"
fi
