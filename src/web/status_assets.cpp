// The page's script and style sheet, compiled in: no file from disk is ever served.
#include "web/status_render.h"

namespace brisko {

// Polls every 2 s and rebuilds the changing parts through textContent only, so nothing the
// station reports can become markup.
const char kStatusPageScript[] = R"JS("use strict";
(function () {
  var query = window.location.search;
  var lastAnswer = null;
  function byId(id) { return document.getElementById(id); }
  function setText(id, text) { var e = byId(id); if (e && e.textContent !== text) e.textContent = text; }
  function el(tag, cls, text) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  // Words that are not plain ASCII go in a <bdi>, so a name's direction ends with the name.
  function addText(parent, text) {
    text.split(" ").forEach(function (word, i) {
      if (i) parent.appendChild(document.createTextNode(" "));
      if (/^[\x00-\x7f]*$/.test(word)) parent.appendChild(document.createTextNode(word));
      else parent.appendChild(el("bdi", "", word));
    });
    return parent;
  }
  function item(text, cls, time) {
    var li = el("li", cls);
    if (time !== undefined) {
      li.appendChild(el("time", "", time));
      li.appendChild(document.createTextNode(" "));
    }
    return addText(li, text);
  }
  function replaceChildren(list, items) {
    while (list.firstChild) list.removeChild(list.firstChild);
    items.forEach(function (i) { list.appendChild(i); });
  }
  // A photo moved on or unreadable has no thumbnail: its place stays blank, not a broken icon.
  function watch(img) {
    img.addEventListener("error", function () { img.classList.add("gone"); });
    if (img.complete && img.naturalWidth === 0 && img.getAttribute("src")) img.classList.add("gone");
  }
  Array.prototype.forEach.call(document.querySelectorAll("#placed img"), watch);
  function clock(iso) { return iso ? iso.substr(11, 8) : "-"; }
  function photos(n) { return n + (n === 1 ? " photo" : " photos"); }
  function actionRow(a) {
    var li = el("li", "action" + (a.failingPhotos ? " bad" : "") + (a.enabled ? "" : " off"));
    var b = el("b");
    b.appendChild(el("bdi", "", a.name));
    li.appendChild(b);
    li.appendChild(document.createTextNode(" "));
    li.appendChild(el("span", "what", a.type + ", " + a.schedule + (a.enabled ? "" : ", disabled")));
    if (a.source) {
      li.appendChild(el("br"));
      var src = el("span", "src", "from ");
      src.appendChild(el("bdi", "folder", a.source));
      if (a.sourceNote) {
        src.appendChild(document.createTextNode(" "));
        src.appendChild(addText(el("span", a.sourceIdle ? "idle" : "note"), a.sourceNote));
      }
      li.appendChild(src);
    }
    li.appendChild(el("br"));
    li.appendChild(el("span", "runs", "last run " + clock(a.lastRun) + ", last success " + clock(a.lastSuccess) +
                      ", " + photos(a.photosToday) + " today"));
    if (a.upload) {
      li.appendChild(el("br"));
      li.appendChild(addText(el("span", a.uploadLate ? "upload late" : "upload"), a.upload));
    }
    if (a.failingPhotos) {
      li.appendChild(el("br"));
      li.appendChild(addText(el("span", "why"), "failing since " + clock(a.failingSince) + " (" +
                             photos(a.failingPhotos) + "): " + a.failingWhy));
    }
    return li;
  }
  function show(s) {
    lastAnswer = null;
    document.body.classList.remove("stale");
    setText("host", s.host);
    setText("name", s.name);
    setText("version", s.version);
    document.title = s.host + " - " + s.name;
    var verdict = byId("verdict");
    replaceChildren(verdict, [addText(el("span"), s.verdict.text)]);
    verdict.className = "verdict " + s.verdict.level;
    var state = byId("state");
    replaceChildren(state, [addText(el("span"), s.stateText)]);
    state.className = "state " + (s.state === "running" ? "running" : "");
    var bar = byId("progress");
    var running = s.state === "running" && s.progress.range > 0;
    bar.hidden = !running;
    bar.max = running ? s.progress.range : 1;
    bar.value = running ? s.progress.position : 0;
    setText("progressText", running ? s.progress.text + " " + s.progress.position + " of " + s.progress.range : "");
    setText("lastPass", s.lastPassText);
    setText("day", s.today.day);
    ["moved", "copied", "checked", "deleted", "tagged", "rotated", "picturesMade"].forEach(function (k) {
      setText("count-" + k, String(s.today[k]));
    });
    setText("count-failures", photos(s.today.failures));
    byId("count-failures").parentNode.className = s.today.failures > 0 ? "bad" : "";
    replaceChildren(byId("failures"), s.failures.map(function (g) { return item(g.text, "bad"); }));
    var rows = s.actions.map(actionRow);
    if (rows.length === 0) rows.push(item("No actions", "none"));
    replaceChildren(byId("actions"), rows);
    var thumbs = s.placed.map(function (p) {
      var f = el("figure");
      var img = el("img");
      watch(img);
      img.alt = "";
      img.loading = "lazy";
      img.src = p.thumb + query;
      f.appendChild(img);
      var c = el("figcaption");
      c.appendChild(el("bdi", "", p.name));
      f.appendChild(c);
      return f;
    });
    var placed = byId("placed");
    var shown = Array.prototype.map.call(placed.querySelectorAll("img"), function (i) { return i.getAttribute("src"); });
    var wanted = s.placed.map(function (p) { return p.thumb + query; });
    if (shown.join("\n") !== wanted.join("\n")) {
      if (thumbs.length === 0) thumbs.push(el("p", "none", "None yet"));
      replaceChildren(placed, thumbs);
    }
    var dests = s.destinations.map(function (d) {
      var li = el("li", d.low || !d.known ? "bad" : "");
      var b = el("b");
      b.appendChild(el("bdi", "", d.action));
      li.appendChild(b);
      li.appendChild(document.createTextNode(" "));
      li.appendChild(el("bdi", "folder", d.folder));
      li.appendChild(document.createTextNode(" "));
      li.appendChild(el("span", "space", d.text));
      return li;
    });
    if (dests.length === 0) dests.push(item("No destinations", "none"));
    byId("printers-box").hidden = s.printers.length === 0;
    replaceChildren(byId("printers"), s.printers.map(function (p) {
      var li = el("li", p.canPrint ? "printer" : "printer bad");
      var b = el("b");
      b.appendChild(el("bdi", "", p.queue));
      li.appendChild(b);
      li.appendChild(document.createTextNode(": "));
      li.appendChild(addText(el("span", "pstate"), p.stateText));
      [["msg", p.message], ["figures", p.figuresText], ["supplies", p.suppliesText]].forEach(function (part) {
        if (!part[1]) return;
        li.appendChild(el("br"));
        li.appendChild(addText(el("span", part[0]), part[1]));
      });
      return li;
    }));
    replaceChildren(byId("destinations"), dests);
    replaceChildren(byId("log"), s.log.map(function (l) { return item(l.text, l.failed ? "failed" : "", l.time); }));
  }
  // Every figure is greyed and the verdict says since when, so old counts are not taken as news.
  function stale() {
    if (lastAnswer === null) {
      var d = new Date();
      lastAnswer = ("0" + d.getHours()).slice(-2) + ":" + ("0" + d.getMinutes()).slice(-2);
    }
    document.body.classList.add("stale");
    var verdict = byId("verdict");
    verdict.textContent = "Not answering since " + lastAnswer;
    verdict.className = "verdict stopped";
  }
  // A station that is frozen keeps the connection open and never answers: a request gets
  // 5 s, then the page says so.
  function poll() {
    var abort = typeof AbortController === "function" ? new AbortController() : null;
    var timer = abort ? window.setTimeout(function () { abort.abort(); }, 5000) : null;
    fetch("/status.json" + query, abort ? { cache: "no-store", signal: abort.signal } : { cache: "no-store" })
      .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
      .then(show)
      .catch(stale)
      .finally(function () {
        if (timer !== null) window.clearTimeout(timer);
        window.setTimeout(poll, 2000);
      });
  }
  window.setTimeout(poll, 2000);
})();
)JS";

const char kStatusPageStyle[] =
    R"CSS(body { font-family: sans-serif; margin: 0 auto; max-width: 60em; padding: 0.5em 1em; color: #222; background: #fafafa; }
header h1 { margin: 0.2em 0 0; font-size: 1.3em; overflow-wrap: anywhere; }
.sub { margin: 0; color: #666; }
.verdict { font-size: clamp(1.3em, 4.5vw, 2em); font-weight: bold; margin: 0.3em 0; padding: 0.3em 0.5em; border-radius: 6px; color: #fff; overflow-wrap: anywhere; }
.verdict.ok { background: #1b7f2a; }
.verdict.stuck { background: #a85a00; }
.verdict.failing { background: #c62828; }
.verdict.stopped { background: #777; }
.verdict.waiting { background: #b26a00; }
.upload.late { color: #8a4b00; font-weight: bold; }
h2 { font-size: 1.1em; margin: 1em 0 0.3em; border-bottom: 1px solid #ccc; }
.meta { margin: 0.3em 0; color: #444; }
.state { font-weight: bold; }
.state.running { color: #05610a; }
progress { width: 100%; height: 1.2em; }
#progressText:empty { display: none; }
.counts { display: grid; grid-template-columns: repeat(auto-fill, minmax(7em, 1fr)); gap: 0.4em; margin: 0; }
.counts div { background: #fff; border: 1px solid #ddd; border-radius: 4px; padding: 0.3em 0.5em; }
.counts dt { font-size: 0.85em; color: #555; }
.counts dd { margin: 0; font-size: 1.4em; font-weight: bold; }
.counts .bad, li.bad { background: #fde8e8; border-color: #d33; color: #900; }
ul, ol { padding-left: 0; list-style: none; margin: 0; }
li { padding: 0.2em 0.3em; border-bottom: 1px solid #eee; overflow-wrap: anywhere; font-size: 0.9em; }
#failures li { font-weight: bold; }
.action .what, .action .runs, .action .src { color: #555; font-size: 0.95em; }
.printer .pstate { font-weight: bold; }
.printer .msg, .printer .figures, .printer .supplies { color: #555; font-size: 0.95em; }
.action.off { opacity: 0.6; }
.action .why, .action .note { color: #900; font-weight: bold; }
.action .idle { color: #555; }
.folder { font-family: monospace; }
#placed { display: grid; grid-template-columns: repeat(auto-fill, minmax(6em, 1fr)); gap: 0.4em; }
#placed figure { margin: 0; text-align: center; }
#placed img { width: 100%; aspect-ratio: 4 / 3; object-fit: contain; background: #eee; }
#placed img.gone { visibility: hidden; }
#placed figcaption { font-size: 0.75em; overflow-wrap: anywhere; }
#log time { color: #777; font-family: monospace; margin-right: 0.3em; }
#log li.failed { background: #fde8e8; color: #900; font-weight: bold; }
#log li.failed::before { content: "\2716  "; }
body.stale .figures, body.stale .figures * { color: #999 !important; background: #f0f0f0 !important; border-color: #ddd !important; }
body.stale .figures img { opacity: 0.4; }
footer { margin: 1em 0; }
)CSS";

}  // namespace brisko
