// The service's upload page in headless Chromium: vexa-server serves the page,
// vexaupload-bridge runs the control, the page drives it like a person would.
// Environment: VEXA_SERVER, VEXA_BRIDGE (programs), OUTPUT_DIR (screenshots),
// CHROMIUM (default /usr/bin/chromium).
import assert from "node:assert/strict";
import {spawn} from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import {after, before, test} from "node:test";
import {createRequire} from "node:module";

const require = createRequire(import.meta.url);
const {chromium} = require("playwright-core");

const output = process.env.OUTPUT_DIR || fs.mkdtempSync(path.join(os.tmpdir(), "browser-output-"));
fs.mkdirSync(output, {recursive: true});
const work = fs.mkdtempSync(path.join(os.tmpdir(), "browser-test-"));
const children = [];
let browser, base, bridgeUrl, bridgePort;

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => {
      const {port} = s.address();
      s.close(() => resolve(port));
    });
  });
}

// Starts a program and resolves with the first line of its output that
// matches `pattern`.
function start(program, args, env, pattern) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, {env: {...process.env, ...env}, stdio: ["ignore", "pipe", "pipe"]});
    children.push(child);
    let seen = "";
    const timer = setTimeout(() => reject(new Error(program + " did not start:\n" + seen)), 30000);
    const onData = (chunk) => {
      seen += chunk;
      const m = seen.match(pattern);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    };
    child.stdout.on("data", onData);
    child.stderr.on("data", onData);
    child.on("exit", (code) => reject(new Error(program + " exited with " + code + ":\n" + seen)));
  });
}

function run(program, args, env) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, {env: {...process.env, ...env}, stdio: "inherit"});
    child.on("exit", (code) => (code === 0 ? resolve() : reject(new Error(program + " " + args + ": " + code))));
  });
}

function writeFile(file, size) {
  const block = Buffer.alloc(Math.min(size, 1 << 20));
  for (let i = 0; i < block.length; i += 97) block[i] = (i * 13) & 255;
  const fd = fs.openSync(file, "w");
  for (let left = size; left > 0; left -= block.length) fs.writeSync(fd, block, 0, Math.min(left, block.length));
  fs.closeSync(fd);
}

const samples = path.join(work, "samples");
const single = path.join(samples, "report <b>one.pdf");
const big = path.join(samples, "big.iso");
const folder = path.join(samples, "photos");
const badMember = path.join(folder, "bad\nname.jpg");
const secret = path.join(samples, "secret.txt");
// The bridge's chooser prints whatever the test put in `choice`, as a person
// picking that file or folder would.
const choice = path.join(work, "choice");
const chooser = path.join(work, "chooser.sh");

before(async () => {
  fs.mkdirSync(folder, {recursive: true});
  writeFile(single, 300 * 1024);
  writeFile(big, 8 << 20);
  writeFile(path.join(folder, "a.jpg"), 20000);
  writeFile(path.join(folder, "b.jpg"), 1 << 20);
  writeFile(badMember, 1000);  // a line break cannot be stored: this member fails
  writeFile(secret, 100);
  fs.writeFileSync(chooser, `#!/bin/sh\ncat '${choice}'\n`, {mode: 0o755});

  bridgePort = await freePort();
  bridgeUrl = `ws://127.0.0.1:${bridgePort}/`;
  const server = await start(process.env.VEXA_SERVER, [
    "--listen", "127.0.0.1:0", "--data", path.join(work, "server"), "--user", "demo:demo-password",
    "--user", "alice:alice-pw", "--user", "bob:bob-pw",
    "--admin-token", "t", "--faults", "bigupload:delay=250*1000",
  ], {VEXA_BRIDGE_URL: bridgeUrl}, /listening on (http:\/\/\S+)/);
  base = server[1];
  await run(process.env.VEXA_BRIDGE, ["register", "--user", "--origin", base], bridgeEnv);
  await startBridge();
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu"],
  });
});

after(async () => {
  if (browser) await browser.close();
  // The bridge saves its resume store as it stops: remove the folders only once every child has ended.
  await Promise.all(children.map((c) => c.exitCode !== null || c.signalCode !== null ? null
      : new Promise((done) => { c.once("exit", done); c.kill("SIGTERM"); })));
  fs.rmSync(work, {recursive: true, force: true});
});

const bridgeEnv = {XDG_CONFIG_HOME: path.join(work, "config"), VEXAUPLOAD_DATA_DIR: path.join(work, "client"),
                   VEXAUPLOAD_CHOOSER: chooser};

// The user picks `file` in the chooser that `button` opens.
async function choose(page, file, button) {
  fs.writeFileSync(choice, file + "\n");
  await page.click(button);
}

async function webLogin(page, account, password, origin = base) {
  await page.goto(origin + "/");
  await page.fill("input[name=account]", account);
  await page.fill("input[name=password]", password);
  await page.click("form.login button[type=submit]");
}

// Every text message the page receives from the bridge.
function recordFrames(page) {
  const frames = [];
  page.on("websocket", (ws) => ws.on("framereceived", (f) => frames.push(String(f.payload))));
  return frames;
}

async function startBridge() {
  await start(process.env.VEXA_BRIDGE, ["--listen", `127.0.0.1:${bridgePort}`, "--api", base], bridgeEnv,
              /listening on ws:/);
  return children[children.length - 1];
}

// The page may be between documents (a sign-in navigates) when the predicate runs: no element yet
// is "not yet", not an error.
function stateIs(page, pattern) {
  return page.waitForFunction((re) => new RegExp(re).test(document.getElementById("upload-state")?.textContent ?? ""),
                              pattern.source, {timeout: 30000});
}

function row(page, file) {
  return page.locator(`#upload-rows tr[data-path="${file.replace(/\n/g, "\\a ")}"]`);
}

async function statusOf(page, file) {
  return page.evaluate((p) => {
    for (const tr of document.querySelectorAll("#upload-rows tr")) {
      if (tr.dataset.path === p) return tr.querySelector(".c-status").textContent;
    }
    return null;
  }, file);
}

async function waitForStatus(page, file, pattern, timeout = 60000) {
  await page.waitForFunction(({p, re}) => {
    for (const tr of document.querySelectorAll("#upload-rows tr")) {
      if (tr.dataset.path === p) return new RegExp(re).test(tr.querySelector(".c-status").textContent);
    }
    return false;
  }, {p: file, re: pattern.source}, {timeout, polling: 50});
}

test("the upload page signs in, uploads files and a folder, stops and starts, lists failures", async () => {
  const page = await browser.newPage({viewport: {width: 1100, height: 900}});
  const errors = [];
  page.on("pageerror", (e) => errors.push(e));
  const frames = recordFrames(page);

  // The site's sign-in is the only one: the page signs the uploader in from
  // its own session, never showing a second password prompt.
  await webLogin(page, "demo", "demo-password");
  await page.waitForSelector("#upload-main:not([hidden])");
  await stateIs(page, /^Idle: nothing is uploading\.$/);
  assert.ok(await page.locator("#upload-login").isHidden());
  assert.equal(await page.textContent("#upload-account"), "demo");
  const storageBefore = await page.textContent("#storage");
  assert.match(storageBefore, /^Storage0 B of 64\.0 GiB used/);

  // The script and the type description agree with the control's table.
  const typelib = await (await fetch(bridgeUrl.replace("ws:", "http:") + "typelib.json")).json();
  const names = await page.evaluate(() => [VexaUpload.METHODS, VexaUpload.EVENTS]);
  assert.deepEqual(names[0], typelib.interfaces[0].methods.map((m) => m.name));
  assert.deepEqual(names[1], typelib.interfaces[1].methods.map((m) => m.name));

  // A typed path the user never picked is refused, without a row.
  await page.fill("#upload-path", secret);
  await page.click("#upload-add button[type=submit]");
  await stateIs(page, /Browse/);
  assert.equal(await row(page, secret).count(), 0);

  // A big file first, slow enough to be stopped and started again: picked
  // with Browse…, which fills in the path.
  await choose(page, big, "#upload-browse");
  await page.waitForFunction((p) => document.getElementById("upload-path").value === p, big);
  await page.click("#upload-add button[type=submit]");
  await waitForStatus(page, big, /^Uploading$/);
  await stateIs(page, /^Uploading 1 file…$/);
  await page.screenshot({path: path.join(output, "1-uploading.png")});
  await row(page, big).locator("[data-action=stop]").click();
  await waitForStatus(page, big, /^Stopped$/);
  await page.screenshot({path: path.join(output, "2-stopped.png")});
  await row(page, big).locator("[data-action=start]").click();
  await waitForStatus(page, big, /^(Waiting|Hashing|Uploading)/);

  // A file whose name looks like markup, and a folder with a failing member,
  // each queued straight from its chooser (one chooser at a time).
  await choose(page, single, "#upload-files");
  await waitForStatus(page, single, /./);
  await choose(page, folder, "#upload-folder");
  await waitForStatus(page, folder, /./);
  assert.equal(await page.locator("#upload-rows b").count(), 0, "names are shown as text, never as markup");
  // The summary rides on the next progress report, so wait for it rather than read it at once.
  await page.waitForFunction(() => /in the queue/.test(document.querySelector("#upload-summary").textContent));
  await page.screenshot({path: path.join(output, "3-queue.png")});

  // Each completed row shows 100 % and leaves the table.
  for (const p of [big, single]) {
    await page.waitForFunction((p) => {
      for (const tr of document.querySelectorAll("#upload-rows tr")) {
        if (tr.dataset.path === p) return tr.querySelector(".pct").textContent === "100.00%";
      }
      return false;
    }, p, {timeout: 120000, polling: "raf"});
    await page.waitForFunction((p) => ![...document.querySelectorAll("#upload-rows tr")].some((tr) => tr.dataset.path === p),
                               p, {timeout: 10000});
  }
  assert.match(await page.textContent("#upload-done"), /report <b>one\.pdf/);
  // The cards follow without a reload: the new files and the new total.
  await page.waitForFunction(() => {
    const names = [...document.querySelectorAll("#files bdi.name")].map((b) => b.textContent);
    return names.includes("report <b>one.pdf") && names.includes("big.iso");
  }, null, {timeout: 10000});
  assert.notEqual(await page.textContent("#storage"), storageBefore);
  assert.equal(await page.locator("#cards b").count(), 0, "names are shown as text, never as markup");

  // The folder ends failed for its one bad member, which is listed.
  await waitForStatus(page, folder, /^Failed/, 120000);
  await stateIs(page, /^Failed with 1 folder: see below\.$/);
  await page.waitForSelector("#upload-failures li");
  const failures = await page.locator("#upload-failures li").allTextContents();
  assert.equal(failures.length, 1);
  assert.ok(failures[0].includes("bad\nname.jpg"), failures[0]);
  // In English first, the system's text beside it (this browser's language is not Chinese).
  assert.ok(failures[0].endsWith("the file or folder name is not valid (文件或目录名称不正确)"), failures[0]);
  // The folder's stored members are there too, without a reload.
  await page.waitForSelector("#folders a:has-text('photos/')", {timeout: 10000});
  await page.screenshot({path: path.join(output, "4-finished.png"), fullPage: true});

  // The bridge restarts: the page reconnects by itself and signs the new
  // control in with the remembered account.
  children[children.length - 1].kill("SIGTERM");
  await stateIs(page, /not running/);
  await startBridge();
  await stateIs(page, /^Idle: nothing is uploading\.$/);
  assert.equal(await page.textContent("#upload-account"), "demo");

  // The same page in a narrow window.
  await page.setViewportSize({width: 380, height: 800});
  await page.screenshot({path: path.join(output, "5-narrow.png"), fullPage: true});

  // And after a reload.
  await page.reload();
  await stateIs(page, /^Idle: nothing is uploading\.$/);

  // The service holds the files.
  const exported = await (await fetch(base + "/admin/export", {headers: {"X-Admin-Token": "t"}})).text();
  for (const name of ["big.iso", "report <b>one.pdf", "a.jpg", "b.jpg"]) assert.ok(exported.includes(name), name);
  // The remembered password's digest logs in as the password: no page ever
  // receives it, though the page signed the uploader in again twice.
  const digest = crypto.createHash("sha1").update("demo-password").digest("hex");
  assert.ok(frames.length > 0);
  for (const f of frames) assert.ok(!f.toLowerCase().includes(digest), f);
  assert.deepEqual(errors, []);
  await page.close();
});

// The card row of the file named `name` in the open folder.
function fileRow(page, name) {
  return page.locator("#files tr").filter({has: page.locator("bdi.name", {hasText: name})});
}

test("uploaded files open, download whole or in part, and delete", async () => {
  const context = await browser.newContext({acceptDownloads: true});
  const page = await context.newPage();
  const errors = [];
  page.on("pageerror", (e) => errors.push(e));
  await webLogin(page, "demo", "demo-password");
  await page.waitForSelector("#files");

  // Folders open, with the way back.
  await page.click("#folders a:has-text('photos/')");
  await page.waitForFunction(() => document.querySelector("#folders nav strong")?.textContent === "photos");
  assert.deepEqual(await page.locator("#files bdi.name").allTextContents(), ["a.jpg", "b.jpg"]);
  await page.click("#folders nav a:has-text('Home')");
  await page.waitForSelector("#files bdi.name:text-is('big.iso')");

  // A download saves exactly the uploaded bytes, under the file's name.
  const [download] = await Promise.all([page.waitForEvent("download"),
                                        fileRow(page, "report <b>one.pdf").locator("a:has-text('Download')").click()]);
  assert.match(download.suggestedFilename(), /^report .b.one\.pdf$/);
  const saved = path.join(work, "downloaded.pdf");
  await download.saveAs(saved);
  assert.ok(fs.readFileSync(saved).equals(fs.readFileSync(single)), "the downloaded bytes");
  await page.screenshot({path: path.join(output, "6-download.png"), fullPage: true});

  // A resumed download asks for the rest: the same slice of the same file.
  const href = await fileRow(page, "big.iso").locator("a:has-text('Download')").getAttribute("href");
  const slice = await page.evaluate(async (href) => {
    const whole = await fetch(href);
    const tag = whole.headers.get("ETag");
    const r = await fetch(href, {headers: {Range: "bytes=5000000-5000999", "If-Range": tag}});
    return {status: r.status, range: r.headers.get("Content-Range"), bytes: [...new Uint8Array(await r.arrayBuffer())]};
  }, href);
  assert.equal(slice.status, 206);
  assert.equal(slice.range, "bytes 5000000-5000999/8388608");
  assert.ok(Buffer.from(slice.bytes).equals(fs.readFileSync(big).subarray(5000000, 5001000)), "the slice");

  // Delete asks first; declined, nothing goes.
  const storage = await page.textContent("#storage");
  page.once("dialog", (d) => d.dismiss());
  await fileRow(page, "big.iso").locator("button:has-text('Delete')").click();
  assert.equal(await fileRow(page, "big.iso").count(), 1);
  page.once("dialog", (d) => {
    assert.match(d.message(), /big\.iso/);
    d.accept();
  });
  await Promise.all([page.waitForNavigation(), fileRow(page, "big.iso").locator("button:has-text('Delete')").click()]);
  assert.equal(await fileRow(page, "big.iso").count(), 0);
  assert.equal(await fileRow(page, "report <b>one.pdf").count(), 1);
  const used = (text) => Number(/([\d.]+) MiB of/.exec(text)[1]);
  assert.ok(used(await page.textContent("#storage")) <= used(storage) - 7.9, await page.textContent("#storage"));
  assert.equal((await fetch(base + href)).status, 403, "no download without the page's session");
  assert.deepEqual(errors, []);
  await context.close();
});

test("failures read in English beside the system's text, or in Chinese alone", async () => {
  const cases = [[2, "", "the file was moved or deleted (文件已经移动或删除)", "文件已经移动或删除"],
                 [0, "参数错误", "the service refused a parameter of the request (参数错误)", "参数错误"],
                 [5, "", "access denied", "未知错误"],
                 [0, "未知错误", "unknown error (未知错误)", "未知错误"],
                 [7777, "未知错误", "unknown error (未知错误)", "未知错误"],
                 [0, "the service's own words", "the service's own words", "the service's own words"]];
  for (const [locale, column] of [["en-US", 2], ["zh-CN", 3]]) {
    const context = await browser.newContext({locale});
    const page = await context.newPage();
    await webLogin(page, "demo", "demo-password");
    await page.waitForFunction(() => typeof window.vexaReadableError === "function");
    for (const c of cases) {
      assert.equal(await page.evaluate(([code, text]) => window.vexaReadableError(code, text), c), c[column], locale);
    }
    await context.close();
  }
});

test("a page of an unregistered origin cannot create the control", async () => {
  // The same service under another name is another origin, never registered.
  const other = base.replace("127.0.0.1", "localhost");
  const page = await browser.newPage();
  await page.goto(other + "/vexaupload.js");
  const result = await page.evaluate((url) => new Promise((resolve) => {
    const ws = new WebSocket(url);
    ws.onopen = () => resolve("open");
    ws.onerror = () => resolve("refused");
  }), bridgeUrl);
  assert.equal(result, "refused");
  // Signed in there, the page names the command that registers its address.
  await webLogin(page, "demo", "demo-password", other);
  await stateIs(page, /^The uploader on this computer does not accept this page's address\. Allow it with: vexaupload-bridge register --user --origin http:\/\/localhost:\d+$/);
  await page.screenshot({path: path.join(output, "7-unregistered.png")});
  await page.close();
});

// Exported file paths per account.
async function storedFiles() {
  const v = await (await fetch(base + "/admin/export", {headers: {"X-Admin-Token": "t"}})).json();
  const out = {};
  for (const u of v.users) out[u.account] = (u.files || []).map((f) => f.path);
  return out;
}

test("a page never uploads into another account's storage", async () => {
  const alice = await (await browser.newContext()).newPage();
  await webLogin(alice, "alice", "alice-pw");
  // The uploader is signed in as demo, idle: alice's page signs it out and
  // signs it in as alice, without asking for her password again.
  await stateIs(alice, /^Idle: nothing is uploading\.$/);
  assert.ok(await alice.locator("#upload-login").isHidden());
  assert.equal(await alice.textContent("#upload-account"), "alice");
  const held = path.join(samples, "alice-held.bin");
  writeFile(held, 4 << 20);
  await choose(alice, held, "#upload-files");
  await waitForStatus(alice, held, /^(Waiting|Hashing|Uploading)/);
  await row(alice, held).locator("[data-action=stop]").click();
  await waitForStatus(alice, held, /^Stopped$/);

  // Bob's page finds the uploader busy with alice's upload: it says so and
  // offers nothing to upload with.
  const bob = await (await browser.newContext()).newPage();
  await webLogin(bob, "bob", "bob-pw");
  await stateIs(bob, /busy with another account/);
  assert.ok(await bob.locator("#upload-main").isHidden());
  assert.ok(await bob.locator("#upload-login").isHidden());

  // Once alice's queue is empty, bob's page signs the uploader in as bob.
  await row(alice, held).locator("[data-action=cancel]").click();
  await bob.reload();
  await stateIs(bob, /^Idle: nothing is uploading\.$/);
  // Alice's page heard bob's login: it no longer offers to upload.
  await stateIs(alice, /Another page signed the uploader in as another account/);
  assert.ok(await alice.locator("#upload-main").isHidden());
  assert.equal(await bob.textContent("#upload-account"), "bob");
  const mine = path.join(samples, "bobs-file.txt");
  writeFile(mine, 5000);
  await choose(bob, mine, "#upload-files");
  await bob.waitForFunction(() => /bobs-file/.test(document.getElementById("upload-done")?.textContent ?? ""),
                            null, {timeout: 60000});
  const stored = await storedFiles();
  assert.ok((stored.bob || []).some((p) => p.endsWith("bobs-file.txt")), JSON.stringify(stored));
  assert.ok(!(stored.alice || []).some((p) => p.includes("bobs-file")), JSON.stringify(stored));
  assert.ok(!(stored.alice || []).some((p) => p.includes("alice-held")), JSON.stringify(stored));
  await alice.close();
  await bob.close();
});
