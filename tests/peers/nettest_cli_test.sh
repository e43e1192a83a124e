#!/usr/bin/env bash
# `vexaupload nettest` end to end: straight to nginx, through squid and through
# a SOCKS5 proxy, checking the printed steps, the body and the exit status.
set -uo pipefail
BIN=$1
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d)
fail=0
check() {  # check NAME CONDITION...
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; fail=1; fi
}
cleanup() {
  for p in nginx squid socks; do "$HERE/peer.sh" stop "$WORK/$p" >/dev/null 2>&1; done
  rm -rf "$WORK"
}
trap cleanup EXIT
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
# The steps byte for byte are those of a Chinese locale; elsewhere English goes beside them.
zh() { env -u LC_ALL -u LC_MESSAGES LANG=zh_CN.UTF-8 "$@"; }

N=$("$HERE/peer.sh" start nginx "$WORK/nginx") || { echo "FAIL nginx did not start"; exit 1; }
S=$("$HERE/peer.sh" start squid "$WORK/squid") || { echo "FAIL squid did not start"; exit 1; }
K=$("$HERE/peer.sh" start microsocks "$WORK/socks") || { echo "FAIL microsocks did not start"; exit 1; }
URL="http://127.0.0.1:$N/space.json"
BODY=$(cat "$WORK/nginx/html/space.json")

start=$(date +%s%N)
zh "$BIN" nettest "$URL" >"$WORK/direct.out"
rc=$?
ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "direct: exit 0" test "$rc" -eq 0
check "direct: well under a second (${ms} ms)" test "$ms" -lt 1000
printf 'vexa网盘上传控件网络测试工具 v1.0\n\n1、检测代理设置...\n\n没有找到代理设置\n\n3、发送测试请求...\n\n' >"$WORK/expected"
head -n 8 "$WORK/direct.out" >"$WORK/first8"
check "direct: steps 1 to 3, byte for byte" cmp -s "$WORK/expected" "$WORK/first8"
check "direct: timing line" grep -qE '^网络连接成功 \([0-9]+ms\)$' "$WORK/direct.out"
check "direct: step 4 then the body" test "$(tail -n 3 "$WORK/direct.out")" = "$(printf '4、网络测试完成\n\n%s' "$BODY")"

env -u LC_ALL -u LC_MESSAGES LANG=C.UTF-8 "$BIN" nettest "$URL" >"$WORK/english.out"
check "english: exit 0" test $? -eq 0
check "english: each step with its English" grep -qx "1、检测代理设置...  (1. detecting the proxy settings)" "$WORK/english.out"
check "english: timing line" grep -qE '^网络连接成功 \([0-9]+ms\)  \(the server answered\)$' "$WORK/english.out"
check "english: the body as it came" test "$(tail -n 1 "$WORK/english.out")" = "$BODY"

http_proxy="http://127.0.0.1:$S" zh "$BIN" nettest "$URL" >"$WORK/squid.out"
check "squid: exit 0" test $? -eq 0
check "squid: proxy lines" grep -qx "代理类型: HTTP" "$WORK/squid.out"
check "squid: proxy address" grep -qx "代理地址: 127.0.0.1:$S" "$WORK/squid.out"
check "squid: tunnel up" grep -qx "代理服务器连接成功" "$WORK/squid.out"
check "squid: body" test "$(tail -n 1 "$WORK/squid.out")" = "$BODY"

all_proxy="socks5h://127.0.0.1:$K" zh "$BIN" nettest "http://localhost:$N/space.json" >"$WORK/socks.out"
check "socks5: exit 0" test $? -eq 0
check "socks5: type" grep -qx "代理类型: SOCKS5" "$WORK/socks.out"
check "socks5: body" test "$(tail -n 1 "$WORK/socks.out")" = "$BODY"

all_proxy="socks5h://127.0.0.1:$K" "$BIN" nettest --post "a=1" "http://127.0.0.1:$N/post" >"$WORK/post.out"
check "post: exit 0" test $? -eq 0
check "post: body" test "$(tail -n 1 "$WORK/post.out")" = '{"posted":true}'

"$BIN" nettest "http://127.0.0.1:$N/missing.json" >"$WORK/missing.out" 2>"$WORK/missing.err"
check "404: exit 1" test $? -eq 1
check "404: reported" grep -q "no 200 answer" "$WORK/missing.err"
G=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')  # free once it exits
"$BIN" nettest "http://127.0.0.1:$G/" >/dev/null 2>"$WORK/refused.err"
check "refused: the address and the cause" grep -q "no 200 answer from http://127.0.0.1:$G/: 127.0.0.1:$G: connection refused" "$WORK/refused.err"

"$BIN" nettest --direct >/dev/null 2>&1
check "no URL: exit 2" test $? -eq 2
"$BIN" nettest --help | grep -q "Usage: vexaupload nettest \[OPTIONS\] URL"
check "--help" test $? -eq 0

exit $fail
