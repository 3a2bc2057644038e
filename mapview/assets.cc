// assets.cc - the pages, style sheet and scripts the service serves, built into the program.
// Nothing is fetched from elsewhere; the scripts only call this service.
#include "assets.h"

#include "applet_relay.h"
#include "markup.h"

namespace mapview {

std::string_view indexPage() {
  return R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestara map</title>
<link rel="stylesheet" href="/static/app.css">
</head>
<body>
<header>
  <h1>Kestara map</h1>
  <span id="session"></span>
  <span id="live" class="live off">connecting</span>
</header>
<div id="layout">
  <nav>
    <h2>Submaps</h2>
    <ul id="submaps"></ul>
    <h2>Selection</h2>
    <p id="selection">nothing selected</p>
    <h2>Events</h2>
    <ol id="events" reversed></ol>
  </nav>
  <main>
    <p id="status" role="status"></p>
    <div id="picture"></div>
    <p class="hint">Click a symbol to select it in the session. Double-click a node to open its
    submap. The orange "V" is the Varnis Console icon of a Kestara device: it opens the applet
    page of its device.</p>
    <ul class="legend">
      <li><span class="swatch flagged"></span>Kestara device (isKestaraDevice)</li>
      <li><span class="swatch plain"></span>other node</li>
      <li><span class="swatch icon"></span>Varnis Console icon</li>
    </ul>
  </main>
</div>
<script src="/static/app.js"></script>
</body>
</html>
)html";
}

std::string_view styleSheet() {
  return R"css(body { font-family: sans-serif; margin: 0; color: #212121; background: #eceff1; }
header { display: flex; gap: 1em; align-items: baseline; padding: 0.5em 1em; background: #263238;
  color: #fff; }
header h1 { font-size: 1.3em; margin: 0; }
.live { margin-left: auto; padding: 0.1em 0.6em; border-radius: 1em; background: #2e7d32; }
.live.off { background: #b71c1c; }
#layout { display: flex; gap: 1em; padding: 1em; align-items: flex-start; }
nav { width: 18em; background: #fff; padding: 0.5em 1em; border-radius: 6px; }
nav h2 { font-size: 1em; margin: 0.8em 0 0.3em; }
nav ul { list-style: none; padding: 0; margin: 0; }
nav li { margin: 0.2em 0; }
nav a { color: #1565c0; cursor: pointer; text-decoration: none; }
nav a.current { font-weight: bold; }
.flag { color: #2e7d32; font-weight: bold; }
#events { font-size: 0.85em; padding-left: 1.5em; max-height: 20em; overflow: auto; }
main { flex: 1; background: #fff; padding: 0.5em 1em; border-radius: 6px; overflow: auto; }
#picture svg { max-width: 100%; height: auto; }
g.symbol { cursor: pointer; }
.hint { color: #546e7a; font-size: 0.9em; }
.legend { list-style: none; padding: 0; display: flex; gap: 1.5em; font-size: 0.9em; }
.swatch { display: inline-block; width: 1em; height: 1em; margin-right: 0.4em;
  vertical-align: middle; border: 1px solid #37474f; }
.swatch.flagged { background: #2e7d32; } .swatch.plain { background: #90a4ae; }
.swatch.icon { background: #ef6c00; }
#applet { max-width: 60em; margin: 1em auto; background: #fff; padding: 1em 2em;
  border-radius: 6px; }
#applet dl { display: grid; grid-template-columns: 16em 1fr; gap: 0.4em 1em; }
#applet dt { font-weight: bold; } #applet dd { margin: 0; font-family: monospace; }
#applet table { border-collapse: collapse; width: 100%; font-family: monospace; }
#applet td, #applet th { border: 1px solid #cfd8dc; padding: 0.2em 0.5em; text-align: left; }
.failed { color: #b71c1c; }
)css";
}

std::string_view mapScript() {
  return R"js('use strict';
(() => {
  const state = { map: null, submap: 0, busy: false, again: false };
  const $ = (id) => document.getElementById(id);
  const eventNames = { 1: 'session ended', 3: 'map opened', 4: 'map closed',
    15: 'objects deleted', 18: 'object created', 30: 'submap opened' };

  function objectOf(id) {
    return state.map ? state.map.objects.find((o) => o.id === id) : undefined;
  }
  function nameOf(id) {
    const o = objectOf(id);
    return (o && (o.selection_name || o.hostname)) || String(id);
  }
  function status(text) { $('status').textContent = text; }

  async function post(path, body) {
    const r = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body) });
    const data = await r.json().catch(() => ({}));
    if (!r.ok) throw new Error(data.error || r.statusText);
    return data;
  }

  function wantedSubmap() {
    const id = Number(new URLSearchParams(location.hash.slice(1)).get('submap'));
    return Number.isInteger(id) && id > 0 ? id : 0;
  }

  async function drawSubmap() {
    const picture = $('picture');
    if (!state.map.map) {
      picture.replaceChildren();
      status('No map is open in session ' + state.map.session + '.');
      return;
    }
    let id = wantedSubmap();
    if (!state.map.submaps.some((s) => s.id === id)) id = state.map.root_submap;
    state.submap = id;
    const r = await fetch('/submap/' + id + '.svg', { cache: 'no-store' });
    if (!r.ok) { status('Submap ' + id + ' is not on the map.'); return; }
    const doc = new DOMParser().parseFromString(await r.text(), 'image/svg+xml');
    if (doc.documentElement.nodeName !== 'svg') { status('The submap could not be drawn.'); return; }
    const svg = document.importNode(doc.documentElement, true);
    wire(svg);
    picture.replaceChildren(svg);
    status('');
  }

  function wire(svg) {
    for (const g of svg.querySelectorAll('g.symbol')) {
      const object = Number(g.dataset.object);
      g.addEventListener('click', async (event) => {
        const link = event.target.closest('a');
        if (link) event.preventDefault();
        try {
          await post('/api/select', { objects: [object] });
          if (link) window.open(link.getAttribute('href'), '_blank');
          // A selection posts no map event: draw it now.
          refresh();
        } catch (e) {
          status('Could not select ' + nameOf(object) + ': ' + e.message);
        }
      });
      if (g.dataset.submap) {
        g.addEventListener('dblclick', () => { location.hash = 'submap=' + g.dataset.submap; });
      }
    }
  }

  function renderNav() {
    const map = state.map;
    $('session').textContent = 'session ' + map.session + (map.map ? ', map ' + map.map : '');
    const list = $('submaps');
    list.replaceChildren();
    for (const s of map.submaps) {
      const li = document.createElement('li');
      const a = document.createElement('a');
      a.textContent = s.parent_object ? nameOf(s.parent_object) : 'Root: ' + s.name;
      a.href = '#submap=' + s.id;
      if (s.id === state.submap) a.className = 'current';
      li.append(a);
      if (s.parent_flagged) {
        const flag = document.createElement('span');
        flag.className = 'flag';
        flag.textContent = ' \u2714 Kestara';
        li.append(flag);
      }
      list.append(li);
    }
    $('selection').textContent = map.selection.length
      ? map.selection.map(nameOf).join(', ') : 'nothing selected';
  }

  async function refresh() {
    if (state.busy) { state.again = true; return; }
    state.busy = true;
    try {
      do {
        state.again = false;
        const r = await fetch('/api/map', { cache: 'no-store' });
        if (!r.ok) throw new Error(r.statusText);
        state.map = await r.json();
        await drawSubmap();
        renderNav();
      } while (state.again);
    } catch (e) {
      status('The map could not be read: ' + e.message);
    } finally {
      state.busy = false;
    }
  }

  function logEvent(data) {
    const li = document.createElement('li');
    const what = eventNames[data.event] || 'event ' + data.event;
    li.textContent = new Date().toLocaleTimeString() + ' ' + what +
      (data.objects && data.objects.length ? ' (' + data.objects.join(', ') + ')' : '');
    const list = $('events');
    list.prepend(li);
    while (list.children.length > 50) list.lastChild.remove();
  }

  function connect() {
    const source = new EventSource('/events');
    source.addEventListener('hello', () => {
      $('live').textContent = 'live';
      $('live').className = 'live';
      refresh();
    });
    source.addEventListener('map', () => refresh());
    source.addEventListener('ovw', (e) => logEvent(JSON.parse(e.data)));
    source.onerror = () => {
      $('live').textContent = source.readyState === EventSource.CLOSED ? 'offline' : 'reconnecting';
      $('live').className = 'live off';
    };
  }

  window.addEventListener('hashchange', () => { if (state.map) drawSubmap().then(renderNav); });
  refresh();
  connect();
})();
)js";
}

std::string_view appletScript() {
  return R"js('use strict';
(() => {
  const root = document.getElementById('applet');
  const log = document.getElementById('log');
  const button = document.getElementById('run');
  const show = (id, text) => { document.getElementById(id).textContent = text; };

  async function call(body) {
    const row = log.insertRow();
    const request = row.insertCell();
    const reply = row.insertCell();
    const time = row.insertCell();
    request.textContent = body.command;
    try {
      const r = await fetch('/api/applet', { method: 'POST',
        headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
      const data = await r.json().catch(() => ({}));
      if (data.request) request.textContent = data.request;
      if (data.elapsed_ms !== undefined) time.textContent = data.elapsed_ms + ' ms';
      if (r.ok && data.answered) {
        reply.textContent = data.reply;
        return data.reply;
      }
      reply.textContent = '(' + (data.error || r.statusText) + ')';
    } catch (e) {
      reply.textContent = '(' + e.message + ')';
    }
    reply.className = 'failed';
    return null;
  }

  async function run() {
    button.disabled = true;
    log.replaceChildren();
    for (const id of ['name', 'sysname', 'probe', 'ip']) show(id, '\u2026');
    const name = await call({ command: 'getHostName' });
    show('name', name === null ? '(no answer)' : name);
    const node = document.getElementById('node').value;
    const session = await call({ command: 'openSnmpSession', node });
    if (session === null || !/^[0-9]+$/.test(session)) {
      for (const id of ['sysname', 'probe', 'ip']) show(id, '(no session)');
    } else {
      const sysname = await call({ command: 'getSnmpData', session, oid: root.dataset.sysname });
      show('sysname', sysname === null ? '(no answer)' : sysname);
      const probe = await call({ command: 'getSnmpData', session, oid: root.dataset.probe });
      show('probe', probe === null ? '(no answer)' : probe);
      const index = document.getElementById('ifindex').value.trim();
      const ip = /^[0-9]{1,9}$/.test(index)
        ? await call({ command: 'getIpAddress', session, oid: root.dataset.ifphys + '.' + index })
        : null;
      show('ip', ip === null ? '(no answer)' : ip);
      await call({ command: 'closeSession', session });
    }
    button.disabled = false;
  }

  button.addEventListener('click', run);
  run();
})();
)js";
}

std::string appletPage(const MapView &view, const ObjectView &node) {
  const std::string name = escapeMarkup(view.nameOf(node.id));
  const std::string host = escapeMarkup(node.hostname.value_or(""));
  std::string page = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Varnis Console - )html";
  page += name;
  page += R"html(</title>
<link rel="stylesheet" href="/static/app.css">
</head>
<body>
<main id="applet" data-node=")html";
  page += std::to_string(node.id) + "\" data-probe=\"" + kProbeVariable + "\" data-ifphys=\"" +
          kIfPhysAddress + "\" data-sysname=\"" + kSysName +
          "\">\n<h1>Varnis Console: <span class=\"device\">" + name + "</span></h1>\n<p>Object " +
          std::to_string(node.id) + ", host <code>" + host + "</code>, isKestaraDevice: <strong>" +
          (node.flagged ? "true" : "false") +
          "</strong>. The requests below go to the gateway as the applet sends them, and each "
          "reply is shown as it came.</p>\n";
  page += R"html(<p>
<label>Node for the SNMP session <input id="node" size="32" value=")html";
  page += host;
  page += R"html("></label>
<label>Interface index (its MAC address picks the interface)
<input id="ifindex" size="4" value="1" inputmode="numeric"></label>
<button id="run" type="button">Ask the gateway again</button>
</p>
<dl>
<dt>Device name (getHostName)</dt><dd id="name"></dd>
<dt>System name (sysName)</dt><dd id="sysname"></dd>
<dt>Probe variable</dt><dd id="probe"></dd>
<dt>IPv4 address of the interface</dt><dd id="ip"></dd>
</dl>
<h2>Requests and replies</h2>
<table>
<thead><tr><th>Request</th><th>Reply</th><th>Time</th></tr></thead>
<tbody id="log"></tbody>
</table>
</main>
<script src="/static/applet.js"></script>
</body>
</html>
)html";
  return page;
}

}  // namespace mapview
