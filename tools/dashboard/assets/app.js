// The live page. It builds every element with createElement and puts every
// value in with textContent, so nothing that came over the air can become
// markup. Rows of the node table are keyed by call sign: an event touches
// only its own row. The event stream reconnects by itself and resumes from
// the last event seen; the server sends the whole state when it cannot.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const view = {
    state: null,          // the last whole state, with the changes applied since
    offsetMs: 0,          // server clock minus this browser's clock
    utc: false,
    lastId: '',
    source: null,
    lastMessage: 0,
    nodeRows: new Map(),  // call1 -> { tr, node }
  };

  // ---- small builders -------------------------------------------------

  function make(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // A call sign: printable ASCII as it is, every other byte as a marked
  // \xNN, so a control or high byte is seen and never interpreted.
  function callElement(value, emptyText) {
    const span = make('span', 'call');
    if (!value) {
      span.className = 'unregistered';
      span.textContent = emptyText || '';
      return span;
    }
    let run = '';
    for (const ch of value) {
      const code = ch.codePointAt(0);
      if (code >= 0x20 && code < 0x7f) {
        run += ch;
        continue;
      }
      if (run) span.appendChild(document.createTextNode(run));
      run = '';
      const hex = code.toString(16).padStart(2, '0');
      const mark = make('span', 'byte', '\\x' + hex);
      mark.title = 'byte 0x' + hex;
      span.appendChild(mark);
    }
    if (run) span.appendChild(document.createTextNode(run));
    return span;
  }

  // ---- time -------------------------------------------------------------

  function serverNow() {
    return Date.now() + view.offsetMs;
  }

  function setServerNow(iso) {
    view.offsetMs = Date.parse(iso) - Date.now();
  }

  function two(n) {
    return String(n).padStart(2, '0');
  }

  // A moment in the reader's zone (or in UTC when switched), with the date
  // only when it is not today.
  function clock(iso) {
    const d = new Date(iso);
    const utc = view.utc;
    const parts = utc
      ? [d.getUTCFullYear(), d.getUTCMonth() + 1, d.getUTCDate(), d.getUTCHours(), d.getUTCMinutes(), d.getUTCSeconds()]
      : [d.getFullYear(), d.getMonth() + 1, d.getDate(), d.getHours(), d.getMinutes(), d.getSeconds()];
    const now = new Date(serverNow());
    const today = utc
      ? now.getUTCFullYear() === parts[0] && now.getUTCMonth() + 1 === parts[1] && now.getUTCDate() === parts[2]
      : now.getFullYear() === parts[0] && now.getMonth() + 1 === parts[1] && now.getDate() === parts[2];
    const time = two(parts[3]) + ':' + two(parts[4]) + ':' + two(parts[5]);
    const date = parts[0] + '-' + two(parts[1]) + '-' + two(parts[2]);
    return (today ? time : date + ' ' + time) + (utc ? ' UTC' : '');
  }

  function ago(iso) {
    const s = Math.max(0, Math.round((serverNow() - Date.parse(iso)) / 1000));
    if (s < 60) return s + ' s ago';
    if (s < 3600) return Math.floor(s / 60) + ' min ago';
    if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min ago';
    return Math.floor(s / 86400) + ' d ago';
  }

  // A time cell: the moment, and under it how long ago; refreshed each second.
  function timeCell(td, iso) {
    td.replaceChildren();
    if (!iso) {
      td.textContent = '\u2014';
      return;
    }
    const t = make('time', 'at', clock(iso));
    t.dateTime = iso;
    td.appendChild(t);
    td.appendChild(make('span', 'ago', ago(iso)));
  }

  function refreshTimes() {
    for (const t of document.querySelectorAll('time.at')) {
      t.textContent = clock(t.dateTime);
      const next = t.nextElementSibling;
      if (next && next.className === 'ago') next.textContent = ago(t.dateTime);
    }
  }

  // ---- nodes ------------------------------------------------------------

  function onAir(node) {
    return !!node.last_header &&
      serverNow() - Date.parse(node.last_header.at) < view.state.on_air_seconds * 1000;
  }

  function fillNodeRow(tr, node) {
    tr.replaceChildren();
    const call = make('td');
    call.appendChild(callElement(node.call1));
    call.appendChild(make('span', 'on-air-mark', 'ON AIR'));
    tr.appendChild(call);
    const name = make('td');
    name.appendChild(callElement(node.call2));
    tr.appendChild(name);
    tr.appendChild(make('td', 'address', node.address === null ? 'hidden' : node.address));
    const since = make('td');
    timeCell(since, node.since);
    tr.appendChild(since);
    const last = make('td');
    if (node.last_header) {
      last.appendChild(callElement(node.last_header.my_call));
      timeCell(last.appendChild(make('div')), node.last_header.at);
    } else {
      last.textContent = '\u2014';
    }
    tr.appendChild(last);
    tr.classList.toggle('on-air', onAir(node));
  }

  function putNode(node) {
    const body = $('nodes').tBodies[0];
    let entry = view.nodeRows.get(node.call1);
    if (!entry) {
      entry = { tr: make('tr'), node };
      view.nodeRows.set(node.call1, entry);
      const after = [...view.nodeRows.keys()].sort().find((k) => k > node.call1);
      body.insertBefore(entry.tr, after ? view.nodeRows.get(after).tr : null);
    }
    entry.node = node;
    fillNodeRow(entry.tr, node);
    nodeCount();
  }

  function removeNode(call1) {
    const entry = view.nodeRows.get(call1);
    if (!entry) return;
    entry.tr.remove();
    view.nodeRows.delete(call1);
    nodeCount();
  }

  function nodeCount() {
    $('node-count').textContent = '(' + view.nodeRows.size + ')';
    $('no-nodes').hidden = view.nodeRows.size > 0;
  }

  function refreshOnAir() {
    for (const { tr, node } of view.nodeRows.values()) tr.classList.toggle('on-air', onAir(node));
  }

  // ---- last heard, chart, feed -----------------------------------------

  function heardRow(h) {
    const tr = make('tr');
    timeCell(tr.appendChild(make('td')), h.at);
    tr.appendChild(make('td')).appendChild(callElement(h.my_call));
    const via = tr.appendChild(make('td'));
    via.appendChild(callElement(h.call1, 'unregistered node'));
    if (h.call2) {
      via.appendChild(document.createTextNode(' '));
      via.appendChild(callElement(h.call2));
    }
    return tr;
  }

  function addHeard(h) {
    const body = $('heard').tBodies[0];
    body.insertBefore(heardRow(h), body.firstChild);
    while (body.rows.length > 50) body.lastElementChild.remove();
    $('no-heard').hidden = true;
  }

  function drawChart() {
    const hours = view.state.hourly;
    const top = Math.max(1, ...hours.map((h) => h.headers));
    const chart = $('chart');
    chart.replaceChildren();
    for (const h of hours) {
      const bar = make('div', 'bar');
      bar.style.height = (100 * h.headers / top) + '%';
      bar.title = clock(h.hour) + ': ' + h.headers;
      chart.appendChild(bar);
    }
  }

  function countHour(hour) {
    const hours = view.state.hourly;
    const found = hours.find((h) => h.hour === hour.hour);
    if (found) {
      found.headers = hour.headers;
    } else {
      hours.push(hour);
      while (hours.length > 24) hours.shift();
    }
    drawChart();
  }

  // Moves the chart on when an hour begins with no header in it.
  function rollHours() {
    const hours = view.state.hourly;
    const current = Math.floor(serverNow() / 3600000) * 3600000;
    let last = hours.length ? Date.parse(hours[hours.length - 1].hour) : current;
    if (last >= current) return;
    while (last < current) {
      last += 3600000;
      hours.push({ hour: new Date(last).toISOString(), headers: 0 });
    }
    while (hours.length > 24) hours.shift();
    drawChart();
  }

  function showFeed() {
    const s = view.state;
    const f = s.feed;
    $('feed').textContent = f.last_record
      ? 'Last record ' + ago(f.last_record) + ' (' + clock(f.last_record) + ').'
      : 'No record received yet.';
    const warnings = [];
    const silent = (serverNow() - Date.parse(f.last_record || s.watching_since)) / 1000;
    if (silent > s.silence_warning_seconds) {
      warnings.push(f.last_record
        ? 'No record for ' + ago(f.last_record).replace(' ago', '') + ': is the server\u2019s LogServer pointing here?'
        : 'No record since the dashboard started: is the server\u2019s LogServer pointing here?');
    }
    if (f.rejected > 0) warnings.push(f.rejected + ' datagrams rejected (not from an allowed server).');
    if (f.malformed > 0) warnings.push(f.malformed + ' datagrams were not records.');
    $('warning').textContent = warnings.join(' ');
    $('warning').hidden = warnings.length === 0;
    const counters = $('counters');
    counters.replaceChildren();
    for (const [name, value] of [['ADD', f.records.ADD], ['DEL', f.records.DEL], ['ACC (headers)', f.records.ACC],
      ['rejected', f.rejected], ['malformed', f.malformed]]) {
      counters.appendChild(make('dt', '', name));
      counters.appendChild(make('dd', '', String(value)));
    }
  }

  // ---- whole state and changes -----------------------------------------

  function showState(s) {
    view.state = s;
    document.title = s.title;
    $('title').textContent = s.title;
    document.body.classList.toggle('hide-address', s.address_display === 'none');
    view.nodeRows.clear();
    $('nodes').tBodies[0].replaceChildren();
    for (const n of s.nodes) putNode(n);
    nodeCount();
    $('heard').tBodies[0].replaceChildren();
    for (const h of [...s.last_heard].reverse()) addHeard(h);
    $('no-heard').hidden = s.last_heard.length > 0;
    drawChart();
    showFeed();
    const footer = $('watching');
    footer.replaceChildren();
    footer.appendChild(document.createTextNode(s.state_kept ? 'State kept since ' : 'Watching since '));
    timeCell(footer.appendChild(make('span')), s.watching_since);
  }

  function applyChange(c) {
    view.state.feed = c.feed;
    if (c.node) putNode(c.node);
    if (c.removed !== undefined) removeNode(c.removed);
    if (c.heard) addHeard(c.heard);
    if (c.hour) countHour(c.hour);
    showFeed();
  }

  function handle(message) {
    setServerNow(message.now);
    if (message.type === 'state') return showState(message);
    if (!view.state) return;
    if (message.type === 'change') applyChange(message);
    if (message.type === 'feed') {
      view.state.feed = message.feed;
      showFeed();
    }
  }

  // ---- the event stream ----------------------------------------------

  function setLink(up) {
    const link = $('link');
    link.textContent = up ? 'live' : 'reconnecting';
    link.className = 'link ' + (up ? 'up' : 'down');
  }

  function connect() {
    if (view.source) view.source.close();
    const url = view.lastId ? '/events?last=' + encodeURIComponent(view.lastId) : '/events';
    const source = new EventSource(url);
    view.source = source;
    view.lastMessage = Date.now();
    source.onopen = () => setLink(true);
    source.onmessage = (e) => {
      view.lastMessage = Date.now();
      if (e.lastEventId) view.lastId = e.lastEventId;
      handle(JSON.parse(e.data));
    };
    source.addEventListener('ping', (e) => {
      view.lastMessage = Date.now();
      setServerNow(JSON.parse(e.data).now);
    });
    source.onerror = () => {
      setLink(false);
      // The browser retries by itself unless the answer was an error; then
      // open a new stream that resumes from the last event seen.
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, 5000);
    };
  }

  // A stream that carried nothing, not even its 15 s ping, for 40 s is dead
  // in a way the browser may not notice (a dropped network): start anew.
  function watch() {
    if (Date.now() - view.lastMessage > 40000) {
      setLink(false);
      connect();
    }
  }

  function everySecond() {
    if (!view.state) return;
    refreshTimes();
    refreshOnAir();
    rollHours();
    showFeed();
  }

  $('zone').addEventListener('click', () => {
    view.utc = !view.utc;
    $('zone').textContent = view.utc ? 'Show local time' : 'Show UTC';
    if (view.state) {
      refreshTimes();
      drawChart();
      showFeed();
    }
  });

  connect();
  setInterval(everySecond, 1000);
  setInterval(watch, 5000);
})();
