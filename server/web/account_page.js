// The signed-in page's storage, folder and file cards: fetched again when an
// upload completes (so they never need a reload), and a delete asks first.
// The cards are the service's own escaped markup; nothing here builds HTML.
(function () {
  "use strict";

  const cards = () => document.getElementById("cards");
  let queued = false;

  async function refresh() {
    const current = cards();
    if (!current) return;
    const r = await fetch("/cards?folder=" + encodeURIComponent(current.dataset.folder || ""),
                          {credentials: "same-origin", cache: "no-store"});
    if (!r.ok) return;
    const doc = new DOMParser().parseFromString(await r.text(), "text/html");
    const fresh = doc.getElementById("cards");
    const now = cards();
    if (fresh && now) now.replaceWith(document.importNode(fresh, true));
    document.dispatchEvent(new CustomEvent("vexa-cards-updated"));
  }

  // Completions that arrive together make one request.
  document.addEventListener("vexa-upload-finished", () => {
    if (queued) return;
    queued = true;
    Promise.resolve().then(() => {
      queued = false;
      return refresh();
    }).catch(() => {});
  });

  document.addEventListener("submit", (e) => {
    const form = e.target;
    if (!(form instanceof HTMLFormElement) || !form.classList.contains("delete")) return;
    const button = form.querySelector("button[data-name]");
    const name = button ? button.dataset.name : "this file";
    if (!window.confirm("Delete “" + name + "”? This cannot be undone.")) e.preventDefault();
  });

  window.vexaRefreshCards = refresh;  // for the console and for tests
})();
