#!/usr/bin/env bash
# Private network peers for the tests, on free loopback ports, each with its
# configuration and logs in a folder of its own.
#
#   peer.sh start KIND DIR [ARG]  start a peer; DIR/port holds its port
#   peer.sh stop DIR              stop it and remove DIR
#
# KIND is one of:
#   nginx        JSON answers: /space.json (Content-Length, keep-alive),
#                /chunked.json (chunked), /post (any method)
#   squid        HTTP proxy answering CONNECT
#   squid-auth   HTTP proxy that demands credentials (answers 407)
#   microsocks   SOCKS5 proxy
#   danted       SOCKS4/SOCKS5 proxy
#
# Exits non-zero (with the peer's log on stderr) when the peer does not come
# up, so a test that needs it fails instead of skipping.
set -euo pipefail

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

wait_listening() {
  local port=$1
  for _ in $(seq 1 150); do
    if python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('127.0.0.1', $port)))" 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# The peers drop privileges when started as root; let them write their logs.
open_dir() { chmod 0777 "$1"; }

start_nginx() {
  local dir=$1 port=$2
  mkdir -p "$dir/html" "$dir/tmp"
  printf '{"state":true,"data":{"space":{"all_total":1024,"all_use":512}}}' >"$dir/html/space.json"
  printf '{"state":true,"chunked":"yes","pad":"%s"}' "$(head -c 6000 /dev/zero | tr '\0' 'x')" >"$dir/html/chunked.json"
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user root;"
  cat >"$dir/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
  access_log $dir/access.log;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/json;
  keepalive_timeout 60s;
  server {
    listen 127.0.0.1:$port;
    root $dir/html;
    location = /space.json { }
    # Server-side includes drop the length: the answer goes out chunked.
    location = /chunked.json { ssi on; ssi_types application/json; }
    location = /post { return 200 '{"posted":true}'; }
  }
}
CONF
  nginx -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >"$dir/pid"
  echo "$dir/error.log" >"$dir/log"
}

start_squid() {
  local dir=$1 port=$2 auth=$3
  open_dir "$dir"
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="cache_effective_user proxy"
  {
    echo "http_port 127.0.0.1:$port"
    echo "pid_filename $dir/squid.pid"
    echo "cache_log $dir/cache.log"
    echo "access_log none"
    echo "cache deny all"
    echo "cache_mem 8 MB"
    echo "coredump_dir $dir"
    echo "netdb_filename none"
    echo "shutdown_lifetime 0 seconds"
    echo "dns_nameservers 127.0.0.1"
    echo "$user_line"
    echo "acl local src 127.0.0.0/8"
    if [ "$auth" = 1 ]; then
      printf 'tester:%s\n' "$(openssl passwd -apr1 secret)" >"$dir/passwd"
      chmod 0644 "$dir/passwd"
      echo "auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/passwd"
      echo "acl authed proxy_auth REQUIRED"
      echo "http_access deny !authed"
    fi
    echo "http_access allow local"
    echo "http_access deny all"
  } >"$dir/squid.conf"
  squid -N -f "$dir/squid.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >"$dir/pid"
  echo "$dir/cache.log" >"$dir/log"
}

start_microsocks() {
  local dir=$1 port=$2
  microsocks -i 127.0.0.1 -p "$port" >"$dir/stdout.log" 2>&1 &
  echo $! >"$dir/pid"
  echo "$dir/stdout.log" >"$dir/log"
}

start_danted() {
  local dir=$1 port=$2
  open_dir "$dir"
  local users=""
  [ "$(id -u)" -eq 0 ] && users=$'user.privileged: root\nuser.unprivileged: nobody'
  cat >"$dir/danted.conf" <<CONF
logoutput: $dir/danted.log
internal: 127.0.0.1 port = $port
external: 127.0.0.1
clientmethod: none
socksmethod: none
$users
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }
CONF
  danted -f "$dir/danted.conf" -p "$dir/danted.pid" -N 1 >"$dir/stdout.log" 2>&1 &
  echo $! >"$dir/pid"
  echo "$dir/danted.log" >"$dir/log"
}

cmd_start() {
  local kind=$1 dir=$2
  mkdir -p "$dir"
  local port
  port=$(free_port)
  case "$kind" in
    nginx) start_nginx "$dir" "$port" ;;
    squid) start_squid "$dir" "$port" 0 ;;
    squid-auth) start_squid "$dir" "$port" 1 ;;
    microsocks) start_microsocks "$dir" "$port" ;;
    danted) start_danted "$dir" "$port" ;;
    *) echo "peer.sh: unknown peer kind '$kind'" >&2; exit 2 ;;
  esac
  if ! wait_listening "$port"; then
    echo "peer.sh: $kind did not start listening on 127.0.0.1:$port" >&2
    cat "$dir/stdout.log" "$(cat "$dir/log")" >&2 2>/dev/null || true
    cmd_stop "$dir" || true
    exit 1
  fi
  echo "$port" >"$dir/port"
  echo "$port"
}

cmd_stop() {
  local dir=$1
  [ -d "$dir" ] || return 0
  if [ -f "$dir/pid" ]; then
    local pid
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

case "${1:-}" in
  start) [ $# -ge 3 ] || { echo "usage: peer.sh start KIND DIR" >&2; exit 2; }; cmd_start "$2" "$3" ;;
  stop) [ $# -ge 2 ] || { echo "usage: peer.sh stop DIR" >&2; exit 2; }; cmd_stop "$2" ;;
  *) echo "usage: peer.sh start KIND DIR | stop DIR" >&2; exit 2 ;;
esac
