#!/usr/bin/env bash
# The demo: hashes a small sample folder with the CLI.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
printf 'hello, vexaupload\n' >"$sample/hello.txt"
head -c 1234567 /dev/urandom >"$sample/random.bin"
: >"$sample/empty.txt"
"$build/apps/cli/vexaupload" hash "$sample"/*
