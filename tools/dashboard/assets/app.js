// The live page. It builds every element with createElement and puts every
// value in with textContent, so nothing that came over the air can become
// markup. Rows are keyed by call sign: an event touches only its own rows,
// and a text is written only when it changed. The event stream reconnects
// by itself and resumes from the last event seen; when the dashboard refuses
// the stream (too many viewers), the page polls the state instead.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const RECENT_HEADER_MS = 60000;  // without stream records: "keyed up n s ago" this long
  const POLL_MS = 5000;
  const STREAM_RETRY_MS = 60000;   // while polling, try the stream again this often
  const ANNOUNCE_GAP_MS = 5000;    // at most one spoken announcement this often
  const SILENT_STREAM_MS = 40000;  // a stream this long without even its ping is dead
  const WATCH_MS = 5000;           // the stream's liveness is looked at this often
  const MINUTE_MS = 60000;
  const HOUR_MS = 3600000;
  const view = {
    state: null,          // the last whole state, with the changes applied since
    offsetMs: 0,          // server clock minus this browser's clock
    utc: false,
    lastId: '',
    source: null,
    lastMessage: 0,
    polling: null,        // the polling timer while the stream is refused
    nodeRows: new Map(),  // call1 -> { tr, node, key, text }
    order: [],            // the node entries in display order
    filter: '',
    heardRows: new Map(), // my_call -> { tr, text }
    talkRows: new Map(),  // key -> { li, text }
    live: new Set(),      // { el, at, kind, next }: texts that change with time
    ticker: null,
  };

  // ---- small builders -------------------------------------------------

  function make(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function setText(e, text) {
    if (e.textContent !== text) e.textContent = text;
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

  // A call sign as plain text for announcements and search: trailing spaces off.
  const plainCall = (value) => (value || '').replace(/ +$/, '');

  const plural = (n, one, many) => n + ' ' + (n === 1 ? one : many || one + 's');

  // ---- time -------------------------------------------------------------

  const serverNow = () => Date.now() + view.offsetMs;

  function setServerNow(iso) {
    view.offsetMs = Date.parse(iso) - Date.now();
  }

  const two = (n) => String(n).padStart(2, '0');

  // A moment in the reader's zone (or in UTC when switched), with the date
  // only when it is not today.
  function clock(iso, withSeconds = true) {
    const d = new Date(iso);
    const utc = view.utc;
    const day = (x) => (utc
      ? [x.getUTCFullYear(), x.getUTCMonth() + 1, x.getUTCDate(), x.getUTCHours(), x.getUTCMinutes(), x.getUTCSeconds()]
      : [x.getFullYear(), x.getMonth() + 1, x.getDate(), x.getHours(), x.getMinutes(), x.getSeconds()]);
    const parts = day(d);
    const now = day(new Date(serverNow()));
    const today = now[0] === parts[0] && now[1] === parts[1] && now[2] === parts[2];
    const time = two(parts[3]) + ':' + two(parts[4]) + (withSeconds ? ':' + two(parts[5]) : '');
    const date = parts[0] + '-' + two(parts[1]) + '-' + two(parts[2]);
    return (today ? time : date + ' ' + time) + (utc ? ' UTC' : '');
  }

  // A span of time as words, and in how many ms that text changes: seconds
  // only in the first minute, then minutes, hours, days.
  function span(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    if (s < 60) return [s + ' s', 1000 - (ms % 1000)];
    if (s < 3600) return [Math.floor(s / 60) + ' min', MINUTE_MS - (ms % MINUTE_MS)];
    if (s < 86400) return [Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min', MINUTE_MS - (ms % MINUTE_MS)];
    return [Math.floor(s / 86400) + ' d', HOUR_MS - (ms % HOUR_MS)];
  }

  const LIVE_KINDS = {
    ago: (ms) => { const [t, n] = span(ms); return [t + ' ago', n]; },
    lasting: (ms) => span(ms),
    keyed: (ms) => { const [t, n] = span(ms); return ['keyed up ' + t + ' ago', n]; },
  };

  // An element whose text follows the time since `iso`; refreshed only
  // when its text would change.
  function live(el, iso, kind) {
    const entry = { el, at: Date.parse(iso), kind, next: 0 };
    view.live.add(entry);
    refreshLive(entry, serverNow());
    return el;
  }

  function refreshLive(entry, now) {
    const [text, next] = LIVE_KINDS[entry.kind](now - entry.at);
    setText(entry.el, text);
    entry.next = now + next;
  }

  function refreshTimes(all) {
    const now = serverNow();
    for (const entry of view.live) {
      if (!entry.el.isConnected) view.live.delete(entry);
      else if (all || entry.next <= now) refreshLive(entry, now);
    }
  }

  // A time cell: the moment, and under it how long ago (unless `withAgo` is
  // false: a thousand registration times need no ticking).
  function timeCell(td, iso, withAgo = true) {
    td.replaceChildren();
    if (!iso) {
      td.textContent = '\u2014';
      return td;
    }
    const t = make('time', 'at', clock(iso));
    t.dateTime = iso;
    td.appendChild(t);
    if (withAgo) td.appendChild(live(make('span', 'ago'), iso, 'ago'));
    return td;
  }

  function refreshClocks() {
    for (const t of document.querySelectorAll('time.at')) setText(t, clock(t.dateTime));
  }

  const seconds = (ms) => (ms === null || ms === undefined ? '\u2014' : (ms / 1000).toFixed(1) + ' s');

  // ---- announcements --------------------------------------------------

  // One polite status region: talkers and link changes, at most one
  // announcement every few seconds; a burst of talkers becomes
  // "X on air via Y and N more".
  const say = { talkers: [], notes: [], last: 0, timer: null };

  function announce(kind, text) {
    (kind === 'talker' ? say.talkers : say.notes).push(text);
    if (say.timer) return;
    say.timer = setTimeout(speak, Math.max(0, say.last + ANNOUNCE_GAP_MS - Date.now()));
  }

  function speak() {
    say.timer = null;
    const parts = [...say.notes];
    if (say.talkers.length) {
      const more = say.talkers.length - 1;
      parts.push(say.talkers[0] + (more ? ' and ' + more + ' more' : ''));
    }
    say.talkers = [];
    say.notes = [];
    if (!parts.length) return;
    $('announce').textContent = parts.join('. ');
    say.last = Date.now();
  }

  // ---- nodes ------------------------------------------------------------

  const talkOf = (call1) => (view.state.talking || []).find((t) => call1 && t.call1 === call1);

  // Active nodes first (the most recent header first), then the rest by call sign.
  const nodeKey = (node) => [node.last_header ? -Date.parse(node.last_header.at) : 0, node.call1];
  const before = (a, b) => a[0] < b[0] || (a[0] === b[0] && a[1] < b[1]);

  function place(entry) {
    const at = view.order.indexOf(entry);
    if (at >= 0) view.order.splice(at, 1);
    let lo = 0;
    let hi = view.order.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (before(view.order[mid].key, entry.key)) lo = mid + 1; else hi = mid;
    }
    view.order.splice(lo, 0, entry);
    const next = view.order[lo + 1];
    $('nodes').insertBefore(entry.tr, next ? next.tr : null);
  }

  // The mark beside a node's call sign: how long its talker has been on,
  // or, from a server that does not say when a stream ends, how long ago
  // its last header came.
  function markNode(entry) {
    const { tr, node, mark } = entry;
    const talk = talkOf(node.call1);
    const recent = !view.state.streams && node.last_header &&
      serverNow() - Date.parse(node.last_header.at) < RECENT_HEADER_MS;
    const state = talk ? 'talk ' + talk.since : recent ? 'keyed ' + node.last_header.at : '';
    tr.classList.toggle('on-air', !!talk || (recent && serverNow() - Date.parse(node.last_header.at) <
      view.state.on_air_seconds * 1000));
    if (entry.markState === state) return;
    entry.markState = state;
    mark.replaceChildren();
    mark.className = talk ? 'mark' : 'mark keyed';
    if (talk) mark.append('talking ', live(make('span'), talk.since, 'lasting'));
    else if (recent) mark.appendChild(live(make('span'), node.last_header.at, 'keyed'));
  }

  function fillNodeRow(entry) {
    const { tr, node } = entry;
    tr.replaceChildren();
    const call = tr.appendChild(make('div'));
    call.appendChild(callElement(node.call1));
    entry.mark = call.appendChild(make('span', 'mark'));
    entry.markState = null;
    const under = call.appendChild(make('span', 'under'));
    if (node.last_header) {
      under.append('last: ', callElement(node.last_header.my_call), ', ');
      under.appendChild(live(make('span'), node.last_header.at, 'ago'));
    }
    const cell = (className, label) => {
      const c = tr.appendChild(make('div', className + ' wide-only'));
      c.appendChild(make('span', 'visually-hidden', label + ': '));
      return c;
    };
    cell('', 'Node name').appendChild(callElement(node.call2));
    cell('address', 'Address').append(node.address === null ? 'hidden' : node.address);
    timeCell(cell('', 'Registered').appendChild(make('div')), node.since, false);
    const last = cell('', 'Last heard through it');
    if (node.last_header) {
      last.appendChild(callElement(node.last_header.my_call));
      timeCell(last.appendChild(make('div')), node.last_header.at);
    } else {
      last.append('\u2014');
    }
    markNode(entry);
  }

  function putNode(node) {
    let entry = view.nodeRows.get(node.call1);
    const text = JSON.stringify(node);
    if (entry && entry.text === text) return;
    if (!entry) {
      entry = { tr: make('li') };
      view.nodeRows.set(node.call1, entry);
    }
    const key = nodeKey(node);
    const moved = !entry.key || key[0] !== entry.key[0];
    Object.assign(entry, { node, key, text });
    fillNodeRow(entry);
    entry.tr.hidden = !matches(node);
    if (moved) place(entry);
  }

  function removeNode(call1) {
    const entry = view.nodeRows.get(call1);
    if (!entry) return;
    entry.tr.remove();
    view.nodeRows.delete(call1);
    view.order.splice(view.order.indexOf(entry), 1);
  }

  function nodeCount() {
    setText($('node-count'), '(' + view.nodeRows.size + ')');
    $('no-nodes').hidden = view.nodeRows.size > 0;
  }

  const matches = (node) => !view.filter ||
    plainCall(node.call1).toUpperCase().includes(view.filter) ||
    (node.last_header && plainCall(node.last_header.my_call).toUpperCase().includes(view.filter));

  function filterNodes() {
    view.filter = $('search').value.trim().toUpperCase();
    for (const entry of view.order) entry.tr.hidden = !matches(entry.node);
  }

  // ---- now talking and last heard ---------------------------------------

  // Keeps `body`'s children as `items` in order, reusing the element of each
  // key and refilling it only when its item changed.
  function reconcile(body, rows, items, keyOf, build) {
    const keep = new Set();
    items.forEach((item, i) => {
      const key = keyOf(item);
      const text = JSON.stringify(item);
      keep.add(key);
      let row = rows.get(key);
      if (!row || row.text !== text) {
        const fresh = build(item);
        if (row) row.el.replaceWith(fresh);
        row = { el: fresh, text };
        rows.set(key, row);
      }
      if (body.children[i] !== row.el) body.insertBefore(row.el, body.children[i] || null);
    });
    for (const [key, row] of rows) {
      if (!keep.has(key)) {
        row.el.remove();
        rows.delete(key);
      }
    }
  }

  function talkItem(t) {
    const li = make('li');
    li.append(callElement(t.my_call), ' via ', callElement(t.call1, 'an unregistered node'));
    if (t.since) li.appendChild(live(make('span', 'secs'), t.since, 'lasting'));
    else li.appendChild(live(make('span', 'secs'), t.at, 'keyed'));
    return li;
  }

  // The talkers: streams in progress, or, from a server that does not say
  // when a stream ends, the speakers whose header came in the last minute.
  function showTalking() {
    const s = view.state;
    const list = s.streams ? s.talking
      : s.heard_by_call.filter((h) => serverNow() - Date.parse(h.at) < RECENT_HEADER_MS);
    reconcile($('talking'), view.talkRows, list, (t) => t.my_call + '\n' + t.call1 + '\n' + (t.since || t.at), talkItem);
    setText($('no-talking'), s.streams ? 'Nobody is talking.' : 'Nobody keyed up in the last minute.');
    $('no-talking').hidden = list.length > 0;
    for (const entry of view.order.slice(0, 64)) markNode(entry);
  }

  function heardRow(h) {
    const tr = make('tr');
    timeCell(tr.appendChild(make('td')), h.at);
    const speaker = tr.appendChild(make('td'));
    speaker.appendChild(callElement(h.my_call));
    speaker.appendChild(make('span', 'under')).append('via ', callElement(h.call1, 'unregistered node'));
    const via = tr.appendChild(make('td', 'via'));
    via.appendChild(callElement(h.call1, 'unregistered node'));
    if (h.call2) via.append(' ', callElement(h.call2));
    tr.appendChild(make('td', '', String(h.overs_today)));
    tr.appendChild(make('td', 'last-over', seconds(h.duration_ms)));
    return tr;
  }

  function showHeard() {
    const list = view.state.heard_by_call;
    reconcile($('heard').tBodies[0], view.heardRows, list, (h) => h.my_call, heardRow);
    $('no-heard').hidden = list.length > 0;
  }

  // ---- chart, feed, server ----------------------------------------------

  function drawChart() {
    const hours = view.state.hourly;
    const top = Math.max(1, ...hours.map((h) => h.headers));
    const chart = $('chart');
    while (chart.children.length < hours.length) chart.appendChild(make('div', 'bar'));
    hours.forEach((h, i) => {
      chart.children[i].style.height = (100 * h.headers / top) + '%';
      chart.children[i].title = clock(h.hour, false) + ': ' + h.headers;
    });
    setText($('chart-top'), String(top));
    const today = (iso) => !clock(iso).includes('-');  // clock() gives a date only for other days
    const total = hours.filter((h) => today(h.hour)).reduce((n, h) => n + h.headers, 0);
    const busiest = hours.reduce((b, h) => (h.headers > b.headers ? h : b), { headers: 0 });
    setText($('chart-summary'), 'Today: ' + plural(total, 'transmission') + '. ' + (busiest.headers
      ? 'Busiest hour of the last ' + view.state.limits.hours + ': ' + clock(busiest.hour, false) +
        ' with ' + busiest.headers + '.'
      : 'None in the last ' + view.state.limits.hours + ' hours.'));
  }

  function countHour(hour) {
    const hours = view.state.hourly;
    const found = hours.find((h) => h.hour === hour.hour);
    if (found) {
      found.headers = hour.headers;
    } else {
      hours.push(hour);
      while (hours.length > view.state.limits.hours) hours.shift();
    }
    drawChart();
  }

  // Moves the chart on when an hour begins with no header in it.
  function rollHours() {
    const hours = view.state.hourly;
    const current = Math.floor(serverNow() / HOUR_MS) * HOUR_MS;
    let last = hours.length ? Date.parse(hours[hours.length - 1].hour) : current;
    if (last >= current) return;
    while (last < current) {
      last += HOUR_MS;
      hours.push({ hour: new Date(last).toISOString(), headers: 0 });
    }
    while (hours.length > view.state.limits.hours) hours.shift();
    drawChart();
  }

  function junkWarning(note, whatOne, whatMany) {
    if (!note || serverNow() - Date.parse(note.last) > view.state.limits.recent_junk_seconds * 1000) return null;
    const from = note.from ? ' from ' + note.from : '';
    return note.count === 1
      ? '1 datagram ' + whatOne + ' at ' + clock(note.last) + from + '.'
      : note.count + ' datagrams ' + whatMany + ' since ' + clock(note.first) + ', the last at ' +
        clock(note.last) + from + '.';
  }

  function warnings() {
    const s = view.state;
    const f = s.feed;
    const out = [];
    // No ticking numbers here: the alert is announced whenever its text changes.
    const silent = serverNow() - Date.parse(f.last_record || s.watching_since);
    if (silent > s.silence_warning_seconds * 1000) {
      out.push(f.last_record
        ? 'No record since ' + clock(f.last_record) + ': is the server\u2019s LogServer pointing here?'
        : 'No record since the dashboard started: is the server\u2019s LogServer pointing here?');
    }
    const v = s.server;
    if (v && !v.stopped_at && v.last_heartbeat && v.heartbeat_seconds &&
      serverNow() - Date.parse(v.last_heartbeat) > 2 * v.heartbeat_seconds * 1000 + 1000) {
      out.push('The server is silent: no heartbeat since ' + clock(v.last_heartbeat) + ' (one is due every ' +
        plural(v.heartbeat_seconds, 'second') + ').');
    }
    const stranger = 'rejected (not from an allowed server)';
    out.push(junkWarning(f.recent_rejected, stranger, stranger));
    out.push(junkWarning(f.recent_malformed, 'that was not a record', 'that were not records'));
    return out.filter((w) => w);
  }

  function showFeed() {
    const s = view.state;
    const f = s.feed;
    const last = f.last_record;
    setText($('feed'), last
      ? 'Last record ' + span(serverNow() - Date.parse(last))[0] + ' ago (' + clock(last) + ').'
      : 'No record received yet.');
    setText($('server'), serverText(s.server));
    const text = warnings().join(' ');
    setText($('warning'), text);  // an alert only when its text changes
    $('warning').hidden = !text;
    showCounters(f);
  }

  // What the records told of the server, and only that: a time not yet
  // known is left out, never shown as the epoch.
  function serverText(v) {
    if (!v) return '';
    if (v.stopped_at) return 'Server stopped at ' + clock(v.stopped_at) + '.';
    const known = [];
    if (v.up_since) known.push('up since ' + clock(v.up_since));
    if (v.last_heartbeat) known.push('last heartbeat ' + span(serverNow() - Date.parse(v.last_heartbeat))[0] + ' ago');
    return known.length ? 'Server ' + known.join('; ') + '.' : '';
  }

  function showCounters(f) {
    const r = f.records;
    const rows = [['Connects', r.ADD], ['Disconnects', r.DEL], ['Transmissions', r.ACC],
      ['Transmissions ended', r.END], ['Server starts', r.RUN], ['Heartbeats', r.HBT],
      ['Server stops', r.OFF], ['Datagrams rejected', f.rejected], ['Datagrams that were not records', f.malformed],
      ['Node rows dropped (at most ' + view.state.limits.node_rows + ' kept)', f.rows_dropped]];
    const list = $('counters');
    if (list.children.length !== 2 * rows.length) {
      list.replaceChildren();
      for (const [name] of rows) list.append(make('dt', '', name), make('dd'));
    }
    rows.forEach(([, value], i) => setText(list.children[2 * i + 1], String(value === undefined ? 0 : value)));
  }

  // ---- whole state and changes -----------------------------------------

  function showState(s) {
    const first = !view.state;
    view.state = s;
    document.title = s.title;
    setText($('title'), s.title);
    document.body.classList.toggle('hide-address', s.address_display === 'none');
    const present = new Set(s.nodes.map((n) => n.call1));
    for (const call1 of [...view.nodeRows.keys()]) if (!present.has(call1)) removeNode(call1);
    for (const n of s.nodes) putNode(n);
    nodeCount();
    showHeard();
    showTalking();
    drawChart();
    showFeed();
    if (first) {
      const footer = $('watching');
      footer.append(s.state_kept ? 'State kept since ' : 'Watching since ');
      timeCell(footer.appendChild(make('span')), s.watching_since);
    }
  }

  // ---- what one event changed -----------------------------------------

  const sameTalk = (a, b) => a.since === b.since && a.call1 === b.call1 && a.my_call === b.my_call;

  // A stream begun and streams ended; a restarted server's table is empty.
  function applyTalks(c) {
    const s = view.state;
    if (c.nodes_cleared) for (const call1 of [...view.nodeRows.keys()]) removeNode(call1);
    if (c.talks_gone) s.talking = s.talking.filter((t) => !c.talks_gone.some((g) => sameTalk(t, g)));
    if (c.talk && !s.talking.some((t) => sameTalk(t, c.talk))) {
      s.talking.push(c.talk);
      announce('talker', plainCall(c.talk.my_call) + ' on air via ' + (plainCall(c.talk.call1) || 'an unregistered node'));
    }
  }

  // An over's end gives the speaker's row its duration.
  function applyOverEnded(ended) {
    const h = view.state.heard_by_call.find((x) => x.my_call === ended.my_call && x.at === ended.at);
    if (h) h.duration_ms = ended.duration_ms;
    return !!h;
  }

  function applyChange(c) {
    const s = view.state;
    s.feed = c.feed;
    if (c.server !== undefined) s.server = c.server;
    if (c.streams !== undefined) s.streams = c.streams;
    applyTalks(c);
    if (c.heard_call) {
      s.heard_by_call = [c.heard_call, ...s.heard_by_call.filter((h) => h.my_call !== c.heard_call.my_call)]
        .slice(0, s.limits.last_heard);
      if (!s.streams) announce('talker', plainCall(c.heard_call.my_call) + ' keyed up via ' +
        (plainCall(c.heard_call.call1) || 'an unregistered node'));
    }
    const durationShown = c.over_ended && applyOverEnded(c.over_ended);
    if (c.node) putNode(c.node);
    if (c.removed !== undefined) removeNode(c.removed);
    if (c.node || c.removed !== undefined || c.nodes_cleared) nodeCount();
    if (c.heard_call || durationShown) showHeard();
    if (c.talk || c.talks_gone || c.heard_call) showTalking();
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

  // ---- the event stream, or polling -----------------------------------

  function setLink(up, text) {
    if ($('link-text').textContent === text) return;
    setText($('link-text'), text);
    $('link').className = 'link ' + (up ? 'up' : 'down');
    announce('note', 'Live updates: ' + text);
  }

  function connect() {
    if (view.source) view.source.close();
    const url = view.lastId ? '/events?last=' + encodeURIComponent(view.lastId) : '/events';
    const source = new EventSource(url);
    view.source = source;
    view.lastMessage = Date.now();
    source.onopen = () => {
      clearInterval(view.polling);
      view.polling = null;
      setLink(true, 'live');
    };
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
      if (view.polling) return;
      // The browser retries by itself unless the answer was an error, such
      // as the 503 of a dashboard with all its streams taken: then poll.
      if (source.readyState === EventSource.CLOSED) startPolling();
      else setLink(false, 'reconnecting');
    };
  }

  async function poll() {
    try {
      const answer = await fetch('/api/v1/state', { cache: 'no-store' });
      if (!answer.ok) throw new Error(String(answer.status));
      const s = await answer.json();
      s.type = 'state';
      handle(s);
      setLink(true, 'updated every ' + POLL_MS / 1000 + ' s (too many live viewers)');
    } catch (e) {
      setLink(false, 'reconnecting');
    }
  }

  function startPolling() {
    if (view.source) view.source.close();
    view.source = null;
    poll();
    view.polling = setInterval(poll, POLL_MS);
    setTimeout(connect, STREAM_RETRY_MS);
  }

  // A stream that carried nothing, not even its 15 s ping, for
  // SILENT_STREAM_MS is dead in a way the browser may not notice (a dropped
  // network): start anew.
  function watch() {
    if (view.source && Date.now() - view.lastMessage > SILENT_STREAM_MS) {
      setLink(false, 'reconnecting');
      connect();
    }
  }

  function everySecond() {
    if (!view.state) return;
    refreshTimes(false);
    rollHours();
    if (!view.state.streams) showTalking();
    showFeed();
  }

  // Nothing is redrawn while the page cannot be seen; all of it when it can.
  function startTicking() {
    clearInterval(view.ticker);
    view.ticker = null;
    if (document.hidden) return;
    if (view.state) {
      refreshTimes(true);
      refreshClocks();
      everySecond();
    }
    view.ticker = setInterval(everySecond, 1000);
  }

  $('zone').addEventListener('click', () => {
    view.utc = !view.utc;
    $('zone').setAttribute('aria-pressed', String(view.utc));
    if (view.state) {
      refreshClocks();
      drawChart();
      showFeed();
    }
  });
  $('search').addEventListener('input', filterNodes);
  document.addEventListener('visibilitychange', startTicking);

  connect();
  startTicking();
  setInterval(watch, WATCH_MS);
})();
