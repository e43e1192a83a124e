// vexaupload.js: the upload control for a web page, reached through the local
// vexaupload-bridge over a WebSocket.
//
//   const up = VexaUpload.connect({url: "ws://127.0.0.1:18026/"});
//   up.ProgressEvent = (payload) => show(VexaUpload.decode(payload));
//   up.on("LoginEvent", (payload) => console.log(VexaUpload.decode(payload)));
//   await up.Login("account", "password", 1, 0);
//   const space = await up.GetSpaceInfo();
//
// Every method returns a Promise of its out-parameter (undefined for methods
// without one). AddUpload and StartUpload take only what the user picked in
// this page's chooser (SelectUpload, SelectFileEvent), what lies in a picked
// folder, or what is already queued; anything else is refused with an Error
// whose code is 5; while the uploader is signed in as another account than
// this page last saw (GetUserId, GetName, LoginEvent) they are refused too.
// GetAccountInfo gives a token in place of the remembered
// password, which Login accepts back for the same account. Calls made while the bridge is unreachable wait for the next
// connection; calls still unanswered when a connection drops are rejected.
// The connection is re-opened by itself when the bridge restarts.
(function (root, factory) {
  const api = factory();
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.VexaUpload = api;
})(typeof self !== "undefined" ? self : this, function () {
  "use strict";

  const DEFAULT_URL = "ws://127.0.0.1:18026/";

  // The control's methods in interface order (identifiers 1 to 18).
  const METHODS = [
    "LoadTask", "CreateUpload", "AddUpload", "StartUpload", "StopUpload", "CancelUpload", "Login",
    "GetSpaceInfo", "GetAccountInfo", "OpenLink", "LoadUnfinishTask", "SelectUpload", "GetTarget",
    "GetAllowUpload", "GetName", "GetUserId", "GetPluginVersion", "Logout",
  ];
  // Its events (identifiers 1 to 6).
  const EVENTS = [
    "ProgressEvent", "LoadTaskEvent", "LoginEvent", "LoadUnfinishTaskEvent", "SelectFileEvent",
    "SelectFolderEvent",
  ];
  // Connection state notices, delivered like events: "open" and "close".
  const STATES = ["open", "close"];

  // The fourteen fields of a progress payload, in order.
  const PROGRESS_FIELDS = [
    "fileName", "localPath", "totalBytes", "doneBytes", "speed", "timeLeft", "status",
    "uploadPercent", "hashPercent", "errorCode", "errorText", "pickCode", "isFolder", "summary",
  ];
  const STATUS_NAMES = ["Waiting", "Hashing", "Uploading", "Stopped", "Failed", "Completed", "Cancelled"];

  // "\u0041\u6587" -> "A文". Every UTF-16 unit is one group, so a character
  // beyond the basic plane arrives as its surrogate pair and joins up here.
  function decodeText(payload) {
    if (typeof payload !== "string") return "";
    return payload.replace(/\\u([0-9A-Fa-f]{4})/g, (_, hex) => String.fromCharCode(parseInt(hex, 16)));
  }

  const INTEGER = /^-?\d+$/;
  const DURATION = /^\d{2,}:\d{2}:\d{2}$/;
  const PERCENT = /^-?\d+\.\d{2}%$/;
  const SUMMARY = /^\d+,\d+,-?\d+,\d{2,}:\d{2}:\d{2}$/;

  // Whether parts[i..i+7] are the eight numeric fields 3 to 10.
  function numbersAt(parts, i) {
    return INTEGER.test(parts[i]) && INTEGER.test(parts[i + 1]) && INTEGER.test(parts[i + 2]) &&
        DURATION.test(parts[i + 3]) && INTEGER.test(parts[i + 4]) && PERCENT.test(parts[i + 5]) &&
        PERCENT.test(parts[i + 6]) && INTEGER.test(parts[i + 7]);
  }

  // The fields of a decoded progress text, or null when it is not one. Names,
  // paths and error texts may themselves hold "|": the numeric fields anchor
  // the split, and the name is the part that ends the path.
  function splitProgress(text) {
    const parts = text.split("|");
    const n = parts.length;
    if (n < 14 || !SUMMARY.test(parts[n - 1]) || !/^[01]$/.test(parts[n - 2])) return null;
    for (let i = 2; i + 8 <= n - 3; i++) {
      if (!numbersAt(parts, i)) continue;
      const head = parts.slice(0, i);
      let cut = 1;
      for (let k = 1; k < head.length; k++) {
        const name = head.slice(0, k).join("|");
        const path = head.slice(k).join("|");
        if (path === name || path.endsWith("/" + name) || path.endsWith("\\" + name)) {
          cut = k;
          break;
        }
      }
      const fields = [head.slice(0, cut).join("|"), head.slice(cut).join("|")]
          .concat(parts.slice(i, i + 8), [parts.slice(i + 8, n - 3).join("|")], parts.slice(n - 3));
      return fields;
    }
    return null;
  }

  function toProgress(fields) {
    const out = {fields};  // the fourteen texts as sent
    PROGRESS_FIELDS.forEach((name, k) => (out[name] = fields[k]));
    for (const key of ["totalBytes", "doneBytes", "status"]) out[key] = Number(out[key]);
    // Written unsigned after sign extension: -1 arrives as 18446744073709551615.
    for (const key of ["speed", "errorCode"]) out[key] = Number(BigInt.asIntN(64, BigInt(out[key])));
    out.isFolder = out.isFolder === "1";
    out.uploadPercent = parseFloat(out.uploadPercent);
    out.hashPercent = parseFloat(out.hashPercent);
    out.statusName = STATUS_NAMES[out.status] || String(out.status);
    const s = out.summary.split(",");
    out.queue = {tasks: Number(s[0]), totalBytes: Number(s[1]), speed: Number(s[2]), timeLeft: s[3]};
    return out;
  }

  // The progress fields of a payload, or null when it is not a progress payload.
  function decodeProgress(payload) {
    const fields = splitProgress(decodeText(payload));
    return fields ? toProgress(fields) : null;
  }

  // A progress payload becomes its named fields; any other payload its text.
  function decode(payload) {
    const text = decodeText(payload);
    const fields = splitProgress(text);
    return fields ? toProgress(fields) : text;
  }

  class Control {
    constructor(options) {
      this.url = (options && options.url) || DEFAULT_URL;
      this.reconnect = !(options && options.reconnect === false);
      this._WebSocket = (options && options.WebSocket) || globalThis.WebSocket;
      this._nextId = 1;
      this._pending = new Map();  // id -> {resolve, reject}, sent and unanswered
      this._waiting = [];         // requests made while not connected
      this._listeners = new Map();
      this._delay = 250;
      this._closed = false;
      this._ws = null;
      this._open();
    }

    get connected() {
      return this._ws !== null && this._ws.readyState === 1;
    }

    on(name, fn) {
      if (!this._listeners.has(name)) this._listeners.set(name, new Set());
      this._listeners.get(name).add(fn);
      return this;
    }

    off(name, fn) {
      const set = this._listeners.get(name);
      if (set) set.delete(fn);
      return this;
    }

    // Ends the connection for good: no reconnection, waiting calls rejected.
    close() {
      this._closed = true;
      clearTimeout(this._timer);
      if (this._ws) this._ws.close();
      this._failAll(new Error("closed"));
    }

    _emit(name, arg) {
      const handlers = [];
      // Only events have assignable handlers: "close" is also a method.
      if (EVENTS.includes(name) && typeof this[name] === "function") handlers.push(this[name]);
      for (const fn of this._listeners.get(name) || []) handlers.push(fn);
      for (const fn of handlers) {
        try {
          fn.call(this, arg);
        } catch (err) {
          setTimeout(() => { throw err; });  // one faulty handler does not stop the others
        }
      }
    }

    _call(method, params) {
      return new Promise((resolve, reject) => {
        const request = {id: this._nextId++, method, params};
        if (this._closed) reject(new Error("closed"));
        else if (this.connected) this._send(request, resolve, reject);
        else this._waiting.push({request, resolve, reject});
      });
    }

    _send(request, resolve, reject) {
      this._pending.set(request.id, {resolve, reject});
      this._ws.send(JSON.stringify(request));
    }

    _failAll(err) {
      for (const p of this._pending.values()) p.reject(err);
      this._pending.clear();
      if (this._closed) {
        for (const w of this._waiting) w.reject(err);
        this._waiting = [];
      }
    }

    _open() {
      let ws;
      try {
        ws = new this._WebSocket(this.url);
      } catch (err) {
        this._scheduleReconnect();
        return;
      }
      this._ws = ws;
      ws.onopen = () => {
        this._delay = 250;
        const waiting = this._waiting;
        this._waiting = [];
        for (const w of waiting) this._send(w.request, w.resolve, w.reject);
        this._emit("open");
      };
      ws.onmessage = (e) => this._receive(e.data);
      ws.onclose = (e) => {
        if (this._ws !== ws) return;
        this._ws = null;
        this._failAll(new Error("connection to the upload bridge lost"));
        this._emit("close", {code: e.code, reason: e.reason});
        if (!this._closed) this._scheduleReconnect();
      };
    }

    _scheduleReconnect() {
      if (!this.reconnect || this._closed) return;
      this._timer = setTimeout(() => this._open(), this._delay);
      this._delay = Math.min(this._delay * 2, 5000);
    }

    _receive(data) {
      let msg;
      try {
        msg = JSON.parse(data);
      } catch (err) {
        return;
      }
      if (msg && typeof msg.event === "string") {
        this._emit(msg.event, msg.payload);
        return;
      }
      const p = msg && this._pending.get(msg.id);
      if (!p) return;
      this._pending.delete(msg.id);
      if (msg.error !== undefined) {
        const err = new Error(String(msg.error.message || msg.error));
        if (typeof msg.code === "number") err.code = msg.code;  // 5: a path the user did not choose
        p.reject(err);
      } else {
        p.resolve(msg.result);
      }
    }
  }

  for (const name of METHODS) {
    Control.prototype[name] = function (...params) {
      return this._call(name, params);
    };
  }

  return {
    connect: (options) => new Control(options),
    decode,
    decodeText,
    decodeProgress,
    METHODS,
    EVENTS,
    STATES,
    PROGRESS_FIELDS,
    STATUS_NAMES,
    DEFAULT_URL,
  };
});
