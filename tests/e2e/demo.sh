#!/usr/bin/env bash
# The demo: starts the reference server on a free loopback port with a scratch
# data folder and a demo account, computes the identities of a sample folder's
# files, posts the signed login form through the client's own HTTP stack (the
# network self-test prints every step), then logs in with the client's account
# module and asks for the account's quota.
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
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "starting vexa-server (account demo / demo-password)"
mkfifo "$work/listen"
"$server" --listen 127.0.0.1:0 --data "$work/server" --user demo:demo-password \
  --user 'tom&jerry:tj-password' --admin-token demo-token >"$work/listen" 2>"$work/server.log" &
server_pid=$!
read -r -t 20 line <"$work/listen" || { echo "vexa-server did not start:"; cat "$work/server.log"; exit 1; }
base=${line#listening on }
echo "$line"
echo "upload page: $base/ (demo / demo-password); for its uploads run: $build/apps/bridge/vexaupload-bridge register --user --origin $base && $build/apps/bridge/vexaupload-bridge --api $base"

step "sample folder"
mkdir -p "$work/sample/photos"
printf 'hello, vexaupload\n' >"$work/sample/hello.txt"
head -c 25601 /dev/urandom >"$work/sample/photos/small.jpg"
head -c 3145728 /dev/urandom >"$work/sample/photos/large.raw"
: >"$work/sample/empty.txt"
(cd "$work/sample" && find . -type f -printf '%P  %s bytes\n' | sort)

step "vexaupload hash: fileid, quickid, size, path"
"$cli" hash "$work/sample/hello.txt" "$work/sample/photos/small.jpg" "$work/sample/photos/large.raw" \
  "$work/sample/empty.txt" || echo "(an empty file has identities too; a missing one would be reported above)"

step "vexaupload nettest: the signed login through our own HTTP client"
now=$(date +%s)
# The login form: the password digest is the SHA-1 of the password in lower-case
# hex; the signature is the MD5 of account, digest, time and the shared salt.
digest=$(printf '%s' demo-password | sha1sum | cut -d' ' -f1)
sign=$(printf '%s' "demo${digest}${now}Lq4Tz&81MwKpNre" | md5sum | cut -d' ' -f1)
"$cli" nettest --post "account=demo&_time=$now&version=win_1.0.1026.4&sign=$sign" "$base/app/clogin"

step "vexaupload login: log in and refresh the quota"
export VEXAUPLOAD_DATA_DIR="$work/client"  # the remembered account stays in the scratch folder
printf '%s\n' demo-password | "$cli" login --api "$base" --remember demo
step "vexaupload login: an account with \"&\" in its name"
printf '%s\n' tj-password | "$cli" login --api "$base" 'tom&jerry'

printf '\nThe server kept running at %s for the steps above; its data folder is removed now.\n' "$base"
