// The page's script and style sheet, compiled in: no file from disk is ever served.
#include "web/status_render.h"

namespace brisko {

// Polls every 2 s and rebuilds the changing parts through textContent only, so nothing the
// station reports can become markup.
const char kStatusPageScript[] = R"JS("use strict";
(function () {
  var query = window.location.search;
  function byId(id) { return document.getElementById(id); }
  function setText(id, text) { var e = byId(id); if (e && e.textContent !== text) e.textContent = text; }
  function item(text, cls, time) {
    var li = document.createElement("li");
    if (cls) li.className = cls;
    if (time !== undefined) {
      var t = document.createElement("time");
      t.textContent = time;
      li.appendChild(t);
      li.appendChild(document.createTextNode(" "));
    }
    li.appendChild(document.createTextNode(text));
    return li;
  }
  function replaceChildren(list, items) {
    while (list.firstChild) list.removeChild(list.firstChild);
    items.forEach(function (i) { list.appendChild(i); });
  }
  function show(s) {
    setText("host", s.host);
    setText("name", s.name);
    setText("version", s.version);
    document.title = s.host + " - " + s.name;
    var state = byId("state");
    setText("state", s.stateText);
    state.className = "state " + (s.state === "running" ? "running" : "");
    var bar = byId("progress");
    var running = s.state === "running" && s.progress.range > 0;
    bar.hidden = !running;
    bar.max = running ? s.progress.range : 1;
    bar.value = running ? s.progress.position : 0;
    setText("progressText", running ? s.progress.text + " " + s.progress.position + " of " + s.progress.range : "");
    setText("lastPass", s.lastPass ? s.lastPass.replace("T", " ") : "none yet");
    setText("day", s.today.day);
    ["moved", "copied", "deleted", "tagged", "rotated", "picturesMade", "failures"].forEach(function (k) {
      setText("count-" + k, String(s.today[k]));
    });
    byId("count-failures").parentNode.className = s.today.failures > 0 ? "bad" : "";
    var dests = s.destinations.map(function (d) {
      var li = item("", d.low || !d.known ? "bad" : "");
      var f = document.createElement("span");
      f.className = "folder";
      f.textContent = d.folder;
      var sp = document.createElement("span");
      sp.className = "space";
      sp.textContent = d.text;
      li.appendChild(f);
      li.appendChild(document.createTextNode(" "));
      li.appendChild(sp);
      return li;
    });
    if (dests.length === 0) dests.push(item("No destinations", "none"));
    replaceChildren(byId("destinations"), dests);
    replaceChildren(byId("log"), s.log.map(function (l) { return item(l.text, l.failed ? "failed" : "", l.time); }));
    document.body.classList.remove("stale");
  }
  function poll() {
    fetch("/status.json" + query, { cache: "no-store" })
      .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
      .then(show)
      .catch(function () { document.body.classList.add("stale"); })
      .finally(function () { window.setTimeout(poll, 2000); });
  }
  window.setTimeout(poll, 2000);
})();
)JS";

const char kStatusPageStyle[] =
    R"CSS(body { font-family: sans-serif; margin: 0 auto; max-width: 60em; padding: 0.5em 1em; color: #222; background: #fafafa; }
header h1 { margin: 0.2em 0 0; font-size: 1.5em; overflow-wrap: anywhere; }
.sub { margin: 0; color: #666; }
h2 { font-size: 1.1em; margin: 1em 0 0.3em; border-bottom: 1px solid #ccc; }
.state { font-size: 1.3em; font-weight: bold; margin: 0.3em 0; overflow-wrap: anywhere; }
.state.running { color: #05610a; }
progress { width: 100%; height: 1.2em; }
.counts { display: grid; grid-template-columns: repeat(auto-fill, minmax(7em, 1fr)); gap: 0.4em; margin: 0; }
.counts div { background: #fff; border: 1px solid #ddd; border-radius: 4px; padding: 0.3em 0.5em; }
.counts dt { font-size: 0.85em; color: #555; }
.counts dd { margin: 0; font-size: 1.4em; font-weight: bold; }
.counts .bad, li.bad { background: #fde8e8; border-color: #d33; color: #900; }
ul, ol { padding-left: 0; list-style: none; margin: 0; }
li { padding: 0.2em 0.3em; border-bottom: 1px solid #eee; overflow-wrap: anywhere; font-size: 0.9em; }
.folder { font-family: monospace; }
#log time { color: #777; font-family: monospace; margin-right: 0.3em; }
#log li.failed { background: #fde8e8; color: #900; font-weight: bold; }
#log li.failed::before { content: "\2716  "; }
body.stale header::after { content: "Station not answering"; display: block; color: #900; font-weight: bold; }
footer { margin: 1em 0; }
)CSS";

}  // namespace brisko
