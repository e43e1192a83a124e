// The upload section of the signed-in page: drives the local upload control
// through vexaupload.js. Every text that comes from the control (names, paths,
// error texts) goes into the page through textContent only.
(function () {
  "use strict";

  const section = document.getElementById("upload");
  if (!section || !window.VexaUpload) return;
  const $ = (id) => document.getElementById(id);
  const account = section.dataset.account || "";
  const formToken = section.dataset.token || "";
  const up = VexaUpload.connect({url: section.dataset.bridge});
  window.vexaUploadControl = up;  // for the console and for tests

  const rows = new Map();  // local path -> {tr, cells, progress}
  let target = "";

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // Binary units, as the service's cards and the command line print them.
  function formatBytes(n) {
    if (!(n > 0)) return "0 B";
    const units = ["B", "KiB", "MiB", "GiB", "TiB"];
    let i = 0;
    while (n >= (i === 0 ? 1024 : 1023.95) && i < units.length - 1) {
      n /= 1024;
      i++;
    }
    return (i === 0 ? String(n) : n.toFixed(1)) + " " + units[i];
  }

  // `command`, when given, follows the text as one unbroken piece of code.
  function setState(text, kind, command) {
    const s = $("upload-state");
    s.textContent = text;
    if (command) s.append(el("code", "", command));
    s.className = "state " + (kind || "");
  }

  // The status line while signed in: what the queue is doing now, from the
  // rows on the page (finished rows have left it).
  let ready = {text: "Ready.", kind: "ok"};
  function plural(n, one) {
    return n + " " + one + (n === 1 ? "" : "s");
  }
  // "2 files and 1 folder" for the rows of `status` (a list of them).
  function counted(status) {
    let files = 0, folders = 0;
    for (const r of rows.values()) {
      if (!status.includes(r.status)) continue;
      if (r.isFolder) folders++;
      else files++;
    }
    const parts = [];
    if (files) parts.push(plural(files, "file"));
    if (folders) parts.push(plural(folders, "folder"));
    return parts.join(" and ");
  }
  function updateState() {
    if (!mine) return;
    const running = counted([1, 2]), waiting = counted([0]), failed = counted([4]), stopped = counted([3]);
    if (running) {
      setState("Uploading " + running + (waiting ? ", " + waiting + " waiting" : "") + "…", "busy");
    } else if (waiting) {
      setState("Waiting to upload " + waiting + "…", "busy");
    } else if (failed) {
      setState("Failed with " + failed + ": see below.", "warn");
    } else if (stopped) {
      setState("Stopped: " + stopped + ".", "");
    } else {
      setState(ready.text === "Ready." ? "Idle: nothing is uploading." : ready.text, ready.kind);
    }
  }

  // A failure as a person reads it: "the file was moved or deleted
  // (文件已经移动或删除)", the system's text alone for a reader of Chinese.
  // The tables come from /error_texts.js; a code of 0 is found from the text
  // (a folder member's failure carries none), the text of the codes the table
  // lacks reads "unknown error (未知错误)", any other text they do not know
  // (the service's own message) stays as it is.
  const chinese = /^zh\b/i.test((navigator.languages && navigator.languages[0]) || navigator.language || "");
  function readableError(code, text) {
    const t = window.VexaErrorTexts || {english: {}, system: {}};
    if (!code && text) code = Number(Object.keys(t.system).find((k) => t.system[k] === text)) || 0;
    if (!code && text && text === t.unknown) return chinese ? text : "unknown error (" + text + ")";
    if (!code) return text || "unknown error";
    const system = text || t.system[code] || "";
    if (chinese) return system || "未知错误";
    const english = t.english[code] || "unknown error";
    return system ? english + " (" + system + ")" : english;
  }

  window.vexaReadableError = readableError;  // for tests

  function show(id, visible) {
    $(id).hidden = !visible;
  }

  // --- control login ---------------------------------------------------

  // Whether the uploader is signed in as this page's user. When it is signed
  // in as someone else it is signed out first, unless that account still has
  // uploads in its queue: then this page says so and uploads nothing, since
  // whatever it queued would go to the other account's storage.
  let mine = false;
  let probing = null;  // while set, LoadTask's rows are only counted
  // The way of this page's Login that is running ("remembered", "ticket" or
  // "password"), else null: every page hears every login, and one that
  // another page asked for is not this page's answer.
  let asked = null;
  const failedWays = new Set();  // automatic ways that failed are not tried again
  let lastLoginError = "";

  function login(way, name, secret, remember, auto) {
    asked = way;
    setState("Signing the uploader in…");
    up.Login(name, secret, remember, auto);
  }

  // A one-time ticket from the site's own session: the uploader signs in
  // with it as this page's user, so the password is asked for only once (at
  // the site's sign-in) and the page never holds a password digest.
  async function uploaderTicket() {
    try {
      const r = await fetch("/uploader-ticket", {method: "POST", headers: {"X-Form-Token": formToken},
                                                 credentials: "same-origin", cache: "no-store"});
      return r.ok ? String((await r.json()).ticket || "") : "";
    } catch (e) {
      return "";
    }
  }

  async function othersUploads() {
    let rows = 0;
    probing = () => rows++;
    try {
      await up.LoadTask();
    } finally {
      probing = null;
    }
    return rows;
  }

  async function refresh() {
    mine = false;
    const userId = await up.GetUserId();
    if (userId) {
      if ((await up.GetName()) === account) {
        signedIn();
        return;
      }
      if (await othersUploads()) {
        show("upload-login", false);
        show("upload-main", false);
        setState("The uploader on this computer is busy with another account's uploads. " +
                 "Sign in as that account to manage them, or wait until they finish.", "warn");
        return;
      }
      await up.Logout();
    }
    // The uploader's remembered login of this account first (it stays
    // remembered), else a ticket of the site's session, else the password.
    const [remembered, session, , auto] = (await up.GetAccountInfo()).split("|");
    if (remembered && remembered === account && session && !failedWays.has("remembered")) {
      login("remembered", remembered, session, 1, Number(auto) || 0);
      return;
    }
    const ticket = failedWays.has("ticket") ? "" : await uploaderTicket();
    if (ticket) {
      login("ticket", account, ticket, 0, 0);
      return;
    }
    setState("Sign the uploader in to start uploading.");
    $("upload-login-error").textContent = lastLoginError;
    show("upload-login", true);
    show("upload-main", false);
  }

  $("upload-login").addEventListener("submit", (e) => {
    e.preventDefault();
    $("upload-login-error").textContent = "";
    login("password", account, $("upload-password").value, $("upload-remember").checked ? 1 : 0, 0);
    $("upload-password").value = "";
  });

  up.LoginEvent = (payload) => {
    const text = VexaUpload.decodeText(payload);
    const way = asked;
    asked = null;
    if (!way) {
      // Another page's login: if it signed the uploader in as someone else,
      // this page stops uploading (and does not sign it back, which would
      // make the two pages take it from each other).
      if (text.startsWith("1|")) {
        up.GetName().then((name) => {
          if (name === account) {
            if (!mine) signedIn();
            return;
          }
          mine = false;
          show("upload-main", false);
          show("upload-login", false);
          setState("Another page signed the uploader in as another account. Reload this page to upload as " +
                   account + ".", "warn");
        }, () => {});
      }
      return;
    }
    if (text.startsWith("1|")) {
      signedIn();
      return;
    }
    lastLoginError = readableError(0, text.slice(2)) || "The uploader could not sign in.";
    if (way !== "password") {
      failedWays.add(way);  // try the next way
      refresh().catch(() => {});
      return;
    }
    show("upload-login", true);
    show("upload-main", false);
    $("upload-login-error").textContent = lastLoginError;
    setState("Not signed in.", "warn");
  };

  async function signedIn() {
    const [name, t, allowed] = await Promise.all([
      up.GetName(), up.GetTarget(), up.GetAllowUpload(),
    ]);
    if (name !== account) {  // signed in already, as someone else
      refresh().catch(() => {});
      return;
    }
    mine = true;
    show("upload-login", false);
    show("upload-main", true);
    target = t;
    ready = allowed ? {text: "Ready.", kind: "ok"} : {text: "This account may not upload.", kind: "warn"};
    $("upload-account").textContent = name;
    for (const r of rows.values()) r.tr.remove();
    rows.clear();
    updateState();
    up.LoadTask();
  }

  // --- queueing ----------------------------------------------------------

  $("upload-files").addEventListener("click", () => up.CreateUpload(1, target, 0, 1));
  $("upload-folder").addEventListener("click", () => up.CreateUpload(2, target, 0, 1));
  $("upload-browse").addEventListener("click", () => up.SelectUpload(1));
  up.SelectFileEvent = (payload) => ($("upload-path").value = VexaUpload.decodeText(payload));
  up.SelectFolderEvent = up.SelectFileEvent;
  // The uploader takes only what the user picked in its chooser: a typed
  // path is refused (code 5) unless it was chosen with Browse… first.
  $("upload-add").addEventListener("submit", (e) => {
    e.preventDefault();
    const path = $("upload-path").value.trim();
    if (!path || !mine) return;
    $("upload-path").value = "";
    up.AddUpload(path, target, 0, 1).then(updateState, (err) => {
      if (err.code === 5) setState("Choose that file with Browse… first: the uploader only takes what you pick.", "warn");
      else refresh().catch(() => {});  // signed in as someone else meanwhile
    });
  });

  // --- the table ------------------------------------------------------------

  function button(label, action) {
    const b = el("button", "small", label);
    b.type = "button";
    b.dataset.action = label.toLowerCase();
    b.addEventListener("click", action);
    return b;
  }

  function rowFor(p) {
    let r = rows.get(p.localPath);
    if (r) return r;
    const tr = el("tr");
    const cells = {};
    for (const key of ["name", "size", "progress", "speed", "left", "status", "actions"]) {
      cells[key] = el("td", "c-" + key);
      tr.appendChild(cells[key]);
    }
    const bar = el("div", "bar");
    const fill = el("div");
    bar.appendChild(fill);
    const percent = el("span", "pct");
    cells.progress.append(bar, percent);
    const path = p.localPath;
    cells.actions.append(
        button("Stop", () => up.StopUpload(path)),
        button("Start", () => up.StartUpload(path)),
        button("Cancel", () => {
          up.CancelUpload(path);
          removeRow(path);
        }));
    r = {tr, cells, fill, percent, failuresShown: false};
    tr.dataset.path = path;
    rows.set(path, r);
    $("upload-rows").appendChild(tr);
    return r;
  }

  function removeRow(path) {
    const r = rows.get(path);
    if (!r) return;
    rows.delete(path);
    r.tr.remove();
    updateEmpty();
    updateState();
  }

  function updateEmpty() {
    show("upload-empty", rows.size === 0);
  }

  function statusText(p) {
    switch (p.status) {
      case 1: return "Hashing " + p.hashPercent.toFixed(0) + "%";
      case 4:
        if (p.errorCode === 0) return p.isFolder ? "Failed: some files could not be uploaded" : "Failed";
        return "Failed: error " + p.errorCode + ": " + readableError(p.errorCode, p.errorText);
      default: return p.statusName;
    }
  }

  function showProgress(p) {
    if (!p) return;
    showRow(p);
    showSummary(p.queue);
    updateState();
  }

  function showRow(p) {
    if (p.status === 6) {  // cancelled
      removeRow(p.localPath);
      return;
    }
    const r = rowFor(p);
    // A task that ends, in any way, may have stored files (a folder's
    // members): the storage, folder and file cards show them.
    if (p.status !== r.status && p.status >= 3) document.dispatchEvent(new CustomEvent("vexa-upload-finished"));
    r.status = p.status;
    r.isFolder = p.isFolder;
    r.cells.name.textContent = p.fileName + (p.isFolder ? "/" : "");
    r.cells.name.title = p.localPath;
    r.cells.size.textContent = formatBytes(p.totalBytes);
    const percent = p.status === 5 ? 100 : p.uploadPercent;
    r.fill.style.width = Math.max(0, Math.min(100, percent)) + "%";
    r.percent.textContent = percent.toFixed(2) + "%";
    r.cells.speed.textContent = p.status === 2 ? formatBytes(p.speed) + "/s" : "";
    r.cells.left.textContent = p.status === 2 ? p.timeLeft : "";
    r.cells.status.textContent = statusText(p);
    r.tr.className = "s" + p.status;
    r.cells.actions.querySelector("[data-action=stop]").disabled = p.status >= 3;
    r.cells.actions.querySelector("[data-action=start]").disabled = p.status !== 3 && p.status !== 4;
    updateEmpty();
    if (p.status === 5) {  // completed: the row leaves, the name goes to the finished list
      rows.delete(p.localPath);
      setTimeout(() => r.tr.remove(), 1200);
      const li = el("li", "", p.fileName + (p.isFolder ? "/" : "") + " — " + formatBytes(p.totalBytes));
      $("upload-done").prepend(li);
      show("upload-done-box", true);
      setTimeout(updateEmpty, 1300);
    }
    if (p.isFolder && p.status === 4 && !r.failuresShown) {
      r.failuresShown = true;
      up.LoadUnfinishTask(p.localPath);
    }
  }

  up.ProgressEvent = (payload) => {
    if (mine) showProgress(VexaUpload.decodeProgress(payload));
  };
  up.LoadTaskEvent = (payload) => {
    if (probing) probing();
    else up.ProgressEvent(payload);
  };

  up.LoadUnfinishTaskEvent = (payload) => {
    const text = VexaUpload.decodeText(payload);
    const cut = text.lastIndexOf("|");
    const li = el("li");
    li.append(el("span", "path", cut < 0 ? text : text.slice(0, cut)),
              el("span", "err", cut < 0 ? "" : readableError(0, text.slice(cut + 1))));
    $("upload-failures").appendChild(li);
    show("upload-failures-box", true);
  };

  // Only while something runs: a stopped or failed queue has no speed.
  function showSummary(q) {
    if (!q) return;
    const running = [...rows.values()].some((r) => r.status <= 2);
    $("upload-summary").textContent = q.tasks > 0 && running
        ? q.tasks + (q.tasks === 1 ? " upload" : " uploads") + " in the queue · " + formatBytes(q.totalBytes) +
            " · " + formatBytes(q.speed) + "/s · " + q.timeLeft + " left"
        : q.tasks > 0 ? plural(q.tasks, "upload") + " in the queue, none running." : "The queue is empty.";
  }

  // --- the connection ---------------------------------------------------

  up.on("open", () => {
    setState("Connected to the uploader.", "ok");
    refresh().catch(() => {});
  });
  // A refused page and a bridge that does not run look alike to the
  // WebSocket: a plain request to the bridge tells them apart (its answer is
  // not readable here, only whether one came).
  const bridgeHttp = (section.dataset.bridge || "").replace(/^ws/, "http");
  up.on("close", () => {
    mine = false;
    show("upload-main", false);
    show("upload-login", false);
    const notRunning = () => setState("The uploader is not running here: start vexaupload-bridge. Retrying…", "warn");
    let probe;
    try {
      probe = fetch(new URL("typelib.json", bridgeHttp), {mode: "no-cors", cache: "no-store", credentials: "omit"});
    } catch (e) {
      notRunning();
      return;
    }
    probe.then(() => setState("The uploader on this computer does not accept this page's address. Allow it with: ",
                              "warn", "vexaupload-bridge register --user --origin " + location.origin),
               notRunning);
  });
  setState("Connecting to the uploader…");
})();
