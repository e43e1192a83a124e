#!/usr/bin/env bash
# Runs the page-side tests with node's test runner: the decoder against the
# control's own payloads, and the upload page in headless Chromium.
# usage: run_browser_tests.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=${1:?usage: run_browser_tests.sh BUILD_DIR SOURCE_DIR}
source=${2:?usage: run_browser_tests.sh BUILD_DIR SOURCE_DIR}
here="$source/tests/e2e/browser"
# playwright-core drives the system's Chromium; it is installed beside the
# tests on first use (it downloads no browser).
if [ ! -f "$here/node_modules/playwright-core/package.json" ]; then
  npm install --prefix "$here" --no-save --no-package-lock --no-audit --no-fund --loglevel=error >&2
fi
unset http_proxy HTTP_PROXY all_proxy ALL_PROXY
export VEXAUPLOAD_JS="$source/web/vexaupload.js"
export PAYLOAD_SAMPLES="$build/tests/e2e/browser/payload_samples"
export VEXA_SERVER="$build/server/vexa-server"
export VEXA_BRIDGE="$build/apps/bridge/vexaupload-bridge"
export OUTPUT_DIR="$build/tests/e2e/browser/output"
cd "$here"
exec node --test --test-concurrency=1 decode.test.mjs upload_page.test.mjs
