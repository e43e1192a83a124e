// vexaupload.js reads back what the control's C++ payload code writes.
// PAYLOAD_SAMPLES names the program that prints the samples.
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import {createRequire} from "node:module";
import test from "node:test";

const require = createRequire(import.meta.url);
const VexaUpload = require(process.env.VEXAUPLOAD_JS);
const samples = JSON.parse(execFileSync(process.env.PAYLOAD_SAMPLES, {encoding: "utf8"}));

test("escaped texts decode to the text the control escaped", () => {
  for (const {payload, text} of samples.texts) {
    assert.equal(VexaUpload.decodeText(payload), text);
    assert.match(payload, /^(\\u[0-9A-F]{4})*$/, "plain ASCII, four upper-case digits per unit");
  }
  assert.equal(VexaUpload.decodeText("\\u0041"), "A");
  assert.equal(VexaUpload.decodeText("\\u6587"), "文");
  assert.equal(VexaUpload.decodeText("\\uD83D\\uDE00"), "😀");
});

test("progress payloads decode to their fourteen fields", () => {
  assert.ok(samples.progress.length >= 7);
  for (const {payload, fields} of samples.progress) {
    const p = VexaUpload.decodeProgress(payload);
    assert.ok(p, VexaUpload.decodeText(payload));
    assert.deepEqual(p.fields, fields);
    assert.equal(p.fileName, fields[0]);
    assert.equal(p.localPath, fields[1]);
    assert.equal(p.totalBytes, Number(fields[2]));
    assert.equal(p.summary, fields[13]);
    assert.deepEqual(VexaUpload.decode(payload), p, "decode recognises a progress payload");
  }
  const [half, empty, , piped, , failed, folder] = samples.progress.map((s) => VexaUpload.decodeProgress(s.payload));
  assert.equal(half.uploadPercent, 50);
  assert.equal(half.fields[7], "50.00%");
  assert.equal(empty.fields[7], "0.00%");
  assert.equal(piped.fileName, "a|b.txt");
  assert.equal(piped.localPath, "/data/x|y/a|b.txt");
  assert.equal(failed.statusName, "Failed");
  assert.equal(failed.errorCode, 2);
  assert.equal(failed.errorText, "文件不存在");
  assert.equal(failed.pickCode, "");
  assert.equal(folder.isFolder, true);
  assert.equal(folder.speed, -1);
  assert.equal(folder.errorCode, -5);
  assert.deepEqual(half.queue, {tasks: 2, totalBytes: 300, speed: 1024, timeLeft: "00:01:02"});
  assert.equal(half.timeLeft, "01:02:05");
});

test("other payloads decode to text", () => {
  assert.equal(VexaUpload.decode(samples.texts[3].payload), "1|ok");
  assert.equal(VexaUpload.decodeProgress(samples.texts[3].payload), null);
});
