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
  const ANNOUNCE_GAP_MS = 1000;    // at most one spoken announcement this often
  const ANNOUNCE_CLEAR_MS = 4000;  // the status region is emptied this long after, once nobody talks
  const SILENT_STREAM_MS = 40000;  // a stream this long without even its ping is dead
  const WATCH_MS = 5000;           // the stream's liveness is looked at this often
  const MINUTE_MS = 60000;
  const HOUR_MS = 3600000;
  const QUARTER_MS = 900000;       // every zone's midnight falls on a quarter hour
  const NODES_OPEN_MAX = 50;       // a longer node list opens collapsed
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
    recentRows: new Map(),// my_call, call1, time and which of that time -> { li, text }
    talkRows: new Map(),  // key -> { li, text }
    downSince: null,      // server time the live updates were lost, while they are
    shownUnknown: null,   // the unknownSince() the talkers were last drawn with
    endedSinceBeat: 0,    // talkers begun before the last heartbeat and gone since
    day: 0,               // the dayStart() the counts of today were drawn for
    footerKey: '',
    nodesChosen: false,   // the viewer opened or closed the node list
    live: new Set(),      // { el, at, kind, next }: texts that change with time
    ticker: null,
    junkSaid: {},         // kind of junk -> the first datagram of the burst last said
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

  // A call sign, wherever it is shown: printable ASCII as it is, every
  // other byte as \xNN, so a control or high byte is seen and never
  // interpreted. As text (the status region, the tab's title) or as an
  // element, where each such byte is marked.
  function callPieces(value) {
    const pieces = [];  // [text, is a byte]
    let run = '';
    for (const ch of plainCall(value)) {  // the spaces a node pads its call sign with are not shown
      const code = ch.codePointAt(0);
      if (code >= 0x20 && code < 0x7f) {
        run += ch;
        continue;
      }
      if (run) pieces.push([run, false]);
      run = '';
      pieces.push(['\\x' + code.toString(16).padStart(2, '0'), true]);
    }
    if (run) pieces.push([run, false]);
    return pieces;
  }

  const callText = (value) => callPieces(value).map(([text]) => text).join('');

  function callElement(value, emptyText) {
    const pieces = callPieces(value);
    const span = make('span', pieces.length ? 'call' : 'unregistered');
    if (!pieces.length) span.textContent = emptyText || '';
    for (const [text, byte] of pieces) {
      if (!byte) {
        span.appendChild(document.createTextNode(text));
        continue;
      }
      const mark = span.appendChild(make('span', 'byte', text));
      mark.title = 'byte 0x' + text.slice(2);
    }
    return span;
  }

  // A call sign as plain text: trailing spaces off.
  const plainCall = (value) => (value || '').replace(/ +$/, '');

  const plural = (n, one, many) => n + ' ' + (n === 1 ? one : many || one + 's');

  // ---- time -------------------------------------------------------------

  const serverNow = () => Date.now() + view.offsetMs;

  function setServerNow(iso) {
    view.offsetMs = Date.parse(iso) - Date.now();
  }

  const two = (n) => String(n).padStart(2, '0');

  // A moment in the reader's zone (or in UTC when switched), with the date
  // only when it is not today; on a line of its own with `lines` (for a time
  // cell, which keeps the break: white-space: pre).
  function clock(iso, withSeconds = true, lines = false, utc = view.utc) {
    const d = new Date(iso);
    const day = (x) => (utc
      ? [x.getUTCFullYear(), x.getUTCMonth() + 1, x.getUTCDate(), x.getUTCHours(), x.getUTCMinutes(), x.getUTCSeconds()]
      : [x.getFullYear(), x.getMonth() + 1, x.getDate(), x.getHours(), x.getMinutes(), x.getSeconds()]);
    const parts = day(d);
    const now = day(new Date(serverNow()));
    const today = now[0] === parts[0] && now[1] === parts[1] && now[2] === parts[2];
    const time = two(parts[3]) + ':' + two(parts[4]) + (withSeconds ? ':' + two(parts[5]) : '');
    const date = parts[0] + '-' + two(parts[1]) + '-' + two(parts[2]);
    return (today ? time : date + (lines ? '\n' : ' ') + time) + (utc ? ' UTC' : '');
  }

  // Midnight of the viewer's day (of the UTC day when times are in UTC).
  function dayStart(utc = view.utc) {
    const d = new Date(serverNow());
    return utc ? Date.UTC(d.getUTCFullYear(), d.getUTCMonth(), d.getUTCDate())
      : new Date(d.getFullYear(), d.getMonth(), d.getDate()).getTime();
  }

  // The browser may name a zone by a spelling it has long given up; the
  // reader knows the one in use.
  const RENAMED = { 'Asia/Katmandu': 'Asia/Kathmandu', 'Asia/Calcutta': 'Asia/Kolkata',
    'Asia/Saigon': 'Asia/Ho_Chi_Minh', 'Asia/Rangoon': 'Asia/Yangon', 'Europe/Kiev': 'Europe/Kyiv',
    'America/Godthab': 'America/Nuuk', 'Atlantic/Faeroe': 'Atlantic/Faroe', 'Pacific/Truk': 'Pacific/Chuuk',
    'Pacific/Ponape': 'Pacific/Pohnpei', 'Etc/UTC': 'UTC', 'Etc/GMT': 'UTC', GMT: 'UTC' };
  const localZone = () => {
    const zone = Intl.DateTimeFormat().resolvedOptions().timeZone;
    return RENAMED[zone] || zone || 'local time';
  };
  const zoneName = () => (view.utc ? 'UTC' : localZone());

  // A reader whose clock is UTC the year round has nothing to switch to.
  const localIsUtc = () => {
    const year = new Date(serverNow()).getFullYear();
    return [0, 6].every((month) => new Date(year, month, 1).getTimezoneOffset() === 0);
  };

  // The server counts UTC hours: in a zone not a whole number of hours off
  // UTC (Kathmandu, Kolkata) such an hour is no local one, so the chart
  // stays in UTC and says so.
  const chartInUtc = () => view.utc || new Date(serverNow()).getTimezoneOffset() % 60 !== 0;

  // A span of time as words, and in how many ms that text changes: seconds
  // only in the first minute, then minutes, hours, days.
  function span(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    if (s < 60) return [s + ' s', 1000 - (ms % 1000)];
    if (s < 3600) return [Math.floor(s / 60) + ' min', MINUTE_MS - (ms % MINUTE_MS)];
    if (s < 86400) return [Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min', MINUTE_MS - (ms % MINUTE_MS)];
    return [Math.floor(s / 86400) + ' d', HOUR_MS - (ms % HOUR_MS)];
  }

  // How long an over has lasted: to the second for the first hour.
  function lasting(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    if (s < 60 || s >= 3600) return span(ms);
    return [Math.floor(s / 60) + ' min ' + two(s % 60) + ' s', 1000 - (ms % 1000)];
  }

  const LIVE_KINDS = {
    ago: (ms) => { const [t, n] = span(ms); return [t + ' ago', n]; },
    lasting,
    keyed: (ms) => { const [t, n] = span(ms); return ['keyed up ' + t + ' ago', n]; },
    registered: (ms) => { const [t, n] = span(ms); return ['for ' + t, n]; },
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
    const t = make('time', 'at', clock(iso, true, true));
    t.dateTime = iso;
    td.appendChild(t);
    // Spaces between the pieces a line or a margin parts on screen: a
    // screen reader would run them together.
    if (withAgo) td.append(' ', live(make('span', 'ago'), iso, 'ago'));
    return td;
  }

  function refreshClocks() {
    for (const t of document.querySelectorAll('time.at')) setText(t, clock(t.dateTime, true, true));
  }

  const seconds = (ms) => (ms === null || ms === undefined ? '\u2014' : (ms / 1000).toFixed(1) + ' s');

  // ---- announcements --------------------------------------------------

  // One polite status region. A talker is announced when it comes on air and
  // when it goes off; what happens within ANNOUNCE_GAP_MS is said together,
  // and only as it now stands: an over that began and ended in the gap is
  // said as one over, a station keying again is one station. Once nobody
  // talks the region is emptied, so it never holds stale news.
  const say = { on: new Map(), off: new Map(), notes: [], last: 0, timer: null, clear: null };

  const talkKey = (t) => t.my_call + '\n' + t.call1 + '\n' + t.since;
  const via = (t) => ' via ' + (callText(t.call1) || 'an unregistered node');

  function announce(text) {
    say.notes.push(text);
    schedule();
  }

  // Notes the talkers that came and went between two lists. `endOf(t)`
  // tells what is known of a gone talker's end: the over's length from its
  // end record, null when it ended unseen (a start or a stop of the server,
  // a lost end record), undefined when it may not have ended at all (the
  // dashboard restarted and knows nothing of it). Only a length the server
  // measured is ever announced: the time until the page noticed is no over's.
  function noteTalkers(before, after, endOf) {
    const old = new Set(before.map(talkKey));
    const still = new Set(after.map(talkKey));
    for (const t of after) if (!old.has(talkKey(t))) say.on.set(talkKey(t), t);
    for (const t of before) if (!still.has(talkKey(t))) say.off.set(talkKey(t), { t, ms: endOf(t) });
    if (say.on.size || say.off.size) schedule();
  }

  // The length of `t`'s over as `overs` (the last overs) tell it, null when
  // its end is not known, undefined when the over is not among them.
  function lengthIn(overs, t) {
    const over = (overs || []).find((h) => h.my_call === t.my_call && h.at === t.since);
    if (!over) return undefined;
    return over.duration_ms === null || over.duration_ms === undefined ? null : over.duration_ms;
  }

  function schedule() {
    if (say.timer) return;
    say.timer = setTimeout(speak, Math.max(0, say.last + ANNOUNCE_GAP_MS - Date.now()));
  }

  // The talkers' news, one phrase per station and node.
  function talkerNews() {
    const byName = new Map();
    const entry = (t) => {
      const name = callText(t.my_call) + '\n' + via(t);
      if (!byName.has(name)) byName.set(name, { t, on: false, overs: [], wasOn: false });
      return byName.get(name);
    };
    const parts = [];
    for (const [key, t] of say.on) if (!say.off.has(key)) entry(t).on = true;
    for (const [key, { t, ms }] of say.off) {
      // An end not seen is said as such, never given a length.
      if (typeof ms !== 'number') {
        parts.push(callText(t.my_call) + via(t) + (ms === null ? ': end not known'
          : ': not known whether still on air'));
        continue;
      }
      const e = entry(t);
      e.overs.push(ms);
      if (!say.on.has(key)) e.wasOn = true;
    }
    for (const { t, on, overs, wasOn } of byName.values()) {
      const call = callText(t.my_call);
      if (on) parts.push(call + ' on air' + via(t));
      else if (overs.length > 1) parts.push(call + via(t) + ': ' + overs.length + ' overs, now off air');
      else if (wasOn) parts.push(call + ' off air after ' + seconds(overs[0]));
      else parts.push(call + via(t) + ': an over of ' + seconds(overs[0]));
    }
    return parts;
  }

  function speak() {
    say.timer = null;
    const parts = [...say.notes, ...talkerNews()];
    say.notes = [];
    say.on.clear();
    say.off.clear();
    if (!parts.length) return;
    const region = $('announce');
    const text = parts.join('. ');
    // The same text again would be no change, and so not said.
    if (region.textContent !== text) {
      region.textContent = text;
    } else {
      region.textContent = '';
      setTimeout(() => { region.textContent = text; }, 100);
    }
    say.last = Date.now();
    clearTimeout(say.clear);
    say.clear = setTimeout(clearAnnouncement, ANNOUNCE_CLEAR_MS);
  }

  function clearAnnouncement() {
    const s = view.state;
    if (s && s.streams && s.talking.length) return;
    $('announce').textContent = '';
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
    const talk = view.shownUnknown === null ? talkOf(node.call1) : null;
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

  const DEXTRA = { dextra_client: 'DExtra client', dextra_link: 'DExtra link' };

  function fillNodeRow(entry) {
    const { tr, node } = entry;
    tr.replaceChildren();
    const call = tr.appendChild(make('div'));
    call.append(callElement(node.call1), '\u00a0');
    entry.mark = call.appendChild(make('span', 'mark'));
    entry.markState = null;
    call.append(' ');
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
    // A DExtra client or link is no registered node: said as what it is.
    const dextra = DEXTRA[node.connection];
    if (dextra) cell('', 'Connected as').append(dextra + (node.module ? ', module ' + callText(node.module) : ''));
    else cell('', 'Node name').appendChild(callElement(node.call2));
    cell('address', 'Address').append(node.address === null ? 'hidden' : node.address);
    const since = cell('', 'Registered');
    if (node.since) {
      timeCell(since.appendChild(make('div')), node.since, false);
      since.append(' ', live(make('span', 'ago'), node.since, 'registered'));
    } else {
      since.append('before the dashboard watched');
    }
    const last = cell('', 'Last heard through it');
    if (node.last_header) {
      last.append(callElement(node.last_header.my_call), ' ');
      timeCell(last.appendChild(make('div')), node.last_header.at);
      last.append(' ', make('span', 'ago', nodeOvers(node)));
    } else {
      last.append('\u2014');
    }
    markNode(entry);
  }

  // The server's node counts are per UTC day: said so where the viewer's day is another.
  function nodeOvers(node) {
    const d = new Date(serverNow());
    const today = node.overs_day && Date.parse(node.overs_day) === Date.UTC(d.getUTCFullYear(), d.getUTCMonth(), d.getUTCDate());
    return plural(today ? node.overs : 0, 'over') + ' today' + (view.utc || localIsUtc() ? '' : ' (UTC)');
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
    const hide = !matches(node);
    if (entry.tr.hidden !== hide) entry.tr.hidden = hide;
    if (moved) place(entry);
  }

  function removeNode(call1) {
    const entry = view.nodeRows.get(call1);
    if (!entry) return;
    entry.tr.remove();
    view.nodeRows.delete(call1);
    view.order.splice(view.order.indexOf(entry), 1);
  }

  // The rows shown, and beside them the server's own count while rows are
  // missing (a dashboard that started after the nodes registered learns
  // them a slice per heartbeat).
  function nodeCount() {
    const rows = view.nodeRows.size;
    const v = view.state.server;
    // The server's count is of its table alone, without DExtra clients and links.
    let nodes = 0;
    for (const entry of view.nodeRows.values()) nodes += DEXTRA[entry.node.connection] ? 0 : 1;
    const table = v && !v.stopped_at && v.table_size > nodes ? v.table_size + rows - nodes : 0;
    setText($('node-count'), '(' + (table ? rows + ' of ' + table : rows) + ')');
    setText($('no-nodes'), table ? 'The server has ' + plural(table, 'node') +
      '; their rows come with its next heartbeats.' : 'No node registered.');
    $('no-nodes').hidden = rows > 0;
    if (!view.nodesChosen && $('nodes-box').open !== rows <= NODES_OPEN_MAX) $('nodes-box').open = rows <= NODES_OPEN_MAX;
    showMatches();
  }

  // The search looks at what is shown: a node's call sign and name, and who spoke through it last.
  const matches = (node) => !view.filter ||
    [node.call1, node.call2, node.last_header && node.last_header.my_call]
      .some((call) => call && callText(call).toUpperCase().includes(view.filter));

  function filterNodes() {
    view.filter = $('search').value.trim().toUpperCase();
    for (const entry of view.order) {
      const hide = !matches(entry.node);
      if (entry.tr.hidden !== hide) entry.tr.hidden = hide;
    }
    showMatches();
  }

  function showMatches() {
    let shown = 0;
    if (view.filter) for (const entry of view.order) shown += entry.tr.hidden ? 0 : 1;
    setText($('matches'), !view.filter ? '' : shown ? plural(shown, 'node') + ' match.'
      : 'No call sign or node name matches \u201c' + view.filter + '\u201d.');
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
    const li = make('li', t.unknown === undefined ? '' : 'unknown');
    // A no-break space: a plain one before an inline block is lost to screen readers.
    li.append(callElement(t.my_call), ' via ', callElement(t.call1, 'an unregistered node'), '\u00a0');
    const secs = li.appendChild(make('span', 'secs'));
    if (t.unknown === undefined) {
      live(secs, t.since || t.at, t.since ? 'lasting' : 'keyed');
    } else {  // stopped where the page last knew
      secs.textContent = lasting(t.unknown - Date.parse(t.since || t.at))[0];
      li.append(' ', make('span', 'note', 'state unknown since ' + clock(new Date(t.unknown).toISOString())));
    }
    return li;
  }

  const heartbeatOverdue = (v) => !!(v && !v.stopped_at && v.last_heartbeat && v.heartbeat_seconds &&
    serverNow() - Date.parse(v.last_heartbeat) > 2 * v.heartbeat_seconds * 1000 + 1000);

  // Since when (server time, ms) the page cannot vouch for who is on air:
  // its live updates are lost, or the server's heartbeat is overdue; null
  // while it can.
  function unknownSince() {
    const v = view.state.server;
    const times = view.downSince === null ? [] : [view.downSince];
    if (heartbeatOverdue(v)) times.push(Date.parse(v.last_heartbeat));
    return times.length ? Math.min(...times) : null;
  }

  // Streams the server's last heartbeat counted that the page has no header
  // of: begun before the dashboard was watching.
  function unseenStreams(s) {
    const v = s.server;
    if (!s.streams || !v || v.stopped_at || !v.last_heartbeat) return 0;
    const beat = Date.parse(v.last_heartbeat);
    const seen = s.talking.filter((t) => Date.parse(t.since) <= beat).length + view.endedSinceBeat;
    return Math.max(0, v.streams_open - seen);
  }

  // The talkers: streams in progress, or, from a server that does not say
  // when a stream ends, the speakers whose header came in the last minute.
  // Talkers the page can no longer vouch for are shown stopped, not on air.
  function showTalking() {
    const s = view.state;
    const unknown = unknownSince();
    view.shownUnknown = unknown;
    const list = (s.streams ? s.talking
      : s.heard_by_call.filter((h) => serverNow() - Date.parse(h.at) < RECENT_HEADER_MS))
      .map((t) => (unknown === null ? t : { ...t, unknown }));
    reconcile($('talking'), view.talkRows, list, (t) => t.my_call + '\n' + t.call1 + '\n' + (t.since || t.at), talkItem);
    const unseen = unknown === null ? unseenStreams(s) : 0;
    setText($('no-talking'), unseen ? plural(unseen, 'over') + ' in progress began before the dashboard ' +
      'was watching: who talks is not known.' : s.streams ? 'Nobody is talking.' : 'Nobody keyed up in the last minute.');
    $('no-talking').hidden = list.length > 0 && !unseen;
    const first = unknown === null && list[0];
    document.title = first ? callText(first.my_call) + (list.length > 1 ? ' +' + (list.length - 1) : '') +
      ' on air \u00b7 ' + s.title : s.title;
    for (const entry of view.order.slice(0, 64)) markNode(entry);
  }

  // The server names its ways of ending (ended_by); these read better, and
  // a way this page does not know yet is shown by its name.
  const ENDED = { mark: 'end mark', silence: 'went silent', superseded: 'superseded by a new over',
    timed_out: 'timed out' };
  const endedText = (key) => (key ? ENDED[key] || key.replace(/_/g, ' ') : '');

  // How a speaker's last over stands: on air, its length, and how it ended.
  function lastOver(td, h) {
    if (h.on_air) {
      td.append(h.unknown ? 'not known' : 'on air');
      return;
    }
    td.append(seconds(h.duration_ms));
    const how = endedText(h.ended_by) || (view.state.streams ? 'end not known' : '');
    if (how) td.append(' ', make('span', 'ago', how));
  }

  function heardRow(h) {
    const tr = make('tr');
    timeCell(tr.appendChild(make('td')), h.at);
    const speaker = tr.appendChild(make('td'));
    speaker.append(callElement(h.my_call));
    // What the radio sent beside the call sign: its suffix, to whom, its text message.
    if (h.suffix && callText(h.suffix)) speaker.append('/', callElement(h.suffix));
    speaker.append(' ');
    if (h.your_call && callText(h.your_call)) {
      speaker.appendChild(make('span', 'detail')).append('to ', callElement(h.your_call));
      speaker.append(' ');
    }
    if (h.message && callText(h.message)) {
      speaker.appendChild(make('span', 'detail message')).append('\u201c', callElement(h.message), '\u201d');
      speaker.append(' ');
    }
    speaker.appendChild(make('span', 'under')).append('via ', callElement(h.call1, 'unregistered node'));
    const via = tr.appendChild(make('td', 'via'));
    via.appendChild(callElement(h.call1, 'unregistered node'));
    // The node's name under its call sign, bracketed, so the two are read as two.
    if (callText(h.call2)) {
      const name = make('span', 'node-name');
      name.append('(', callElement(h.call2), ')');
      via.append(' ', name);
    }
    tr.appendChild(make('td', '', String(h.overs)));
    lastOver(tr.appendChild(make('td', 'last-over')), h);
    return tr;
  }

  // A speaker's overs since the viewer's midnight: the server counts them per
  // quarter hour (an older one per UTC day only).
  function oversToday(h) {
    if (!h.overs_by_quarter) return h.overs_today;
    const start = dayStart();
    return h.overs_by_quarter.reduce((n, [quarter, count]) => (quarter * QUARTER_MS >= start ? n + count : n), 0);
  }

  // The last overs, one line each, newest first.
  function recentItem(h) {
    const li = make('li');
    timeCell(li.appendChild(make('span', 'when')), h.at, false);
    li.append(' ', callElement(h.my_call), ' via ', callElement(h.call1, 'an unregistered node'), ': ');
    lastOver(li.appendChild(make('span', 'how')), h);
    return li;
  }

  function showRecent() {
    const s = view.state;
    const unknown = unknownSince() !== null;
    const list = (s.last_heard || []).map((h) => ({ ...h, unknown,
      on_air: s.streams && s.talking.some((t) => t.my_call === h.my_call && t.since === h.at) }));
    // Two overs of a station can bear one time stamp (a header superseding
    // another within the millisecond): each is keyed by its place among them.
    const count = new Map();
    const keyOf = (h) => {
      const same = h.my_call + '\n' + h.call1 + '\n' + h.at;
      count.set(same, (count.get(same) || 0) + 1);
      return same + '\n' + count.get(same);
    };
    reconcile($('recent'), view.recentRows, list, keyOf, recentItem);
    setText($('recent-count'), '(' + list.length + ')');
  }

  // What the conference rules did, newest first: no conference talk, so
  // neither a speaker heard nor an over.
  function noteItem(n) {
    const li = make('li');
    timeCell(li.appendChild(make('span')), n.at, false);
    li.append(' ', callElement(n.my_call), ...(n.kind === 'refused'
      ? [' tried to talk over ', callElement(n.talker)]
      : [' made an echo test (' + seconds(n.duration_ms) + ')']));
    return li;
  }

  function showNotes() {
    const notes = view.state.conference_notes || [];
    $('rules').hidden = notes.length === 0;
    $('notes').replaceChildren(...notes.map(noteItem));
  }

  function showHeard() {
    const s = view.state;
    const unknown = unknownSince() !== null;
    const list = s.heard_by_call.map((h) => ({ ...h, overs: oversToday(h), unknown,
      on_air: s.streams && s.talking.some((t) => t.my_call === h.my_call && t.since === h.at) }));
    reconcile($('heard').tBodies[0], view.heardRows, list, (h) => h.my_call, heardRow);
    $('no-heard').hidden = list.length > 0;
    // An empty table is no place to stop at with the Tab key.
    const region = $('heard').parentElement;
    if (region.hidden !== !list.length) region.hidden = !list.length;
    view.day = dayStart();
    showRecent();
  }

  // ---- chart, feed, server ----------------------------------------------

  function drawChart() {
    const hours = view.state.hourly;
    const utc = chartInUtc();
    const top = Math.max(1, ...hours.map((h) => h.headers));
    const chart = $('chart');
    while (chart.children.length < hours.length) chart.appendChild(make('div', 'bar'));
    hours.forEach((h, i) => {
      chart.children[i].style.height = (100 * h.headers / top) + '%';
      chart.children[i].title = clock(h.hour, false, false, utc) + ': ' + h.headers;
    });
    setText($('chart-top'), String(top));
    drawAxis(hours, utc);
    const start = dayStart(utc);
    const total = hours.filter((h) => Date.parse(h.hour) >= start).reduce((n, h) => n + h.headers, 0);
    const busiest = hours.reduce((b, h) => (h.headers > b.headers ? h : b), { headers: 0 });
    setText($('zone-name'), 'Times in ' + zoneName());
    setText($('chart-summary'), 'Today (' + (utc ? 'UTC' : zoneName()) + '): ' + plural(total, 'transmission') + '. ' +
      (busiest.headers ? 'Busiest hour of the last ' + view.state.limits.hours + ': ' + clock(busiest.hour, false, false, utc) +
        ' with ' + busiest.headers + '.'
      : 'None in the last ' + view.state.limits.hours + ' hours.'));
  }

  // Hour labels under the bars, every sixth hour, readable without hovering.
  function drawAxis(hours, utc) {
    const axis = $('chart-axis');
    while (axis.children.length < hours.length) axis.appendChild(make('span'));
    hours.forEach((h, i) => {
      const label = clock(h.hour, false, false, utc).replace(/^\S+ (?=\d\d:)/, '');
      setText(axis.children[i], /^(00|06|12|18):/.test(label) ? label.slice(0, 5) : '');
      // A label is wider than three hours' bars on a phone: near the right
      // end it ends at the chart's edge instead of running past the screen.
      axis.children[i].classList.toggle('end', i >= hours.length - 3);
    });
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
    // While the page's own updates are lost, no heartbeat reaching it says
    // nothing of the server.
    if (view.downSince === null && heartbeatOverdue(v)) {
      out.push('The server is silent: no heartbeat since ' + clock(v.last_heartbeat) + ' (one is due every ' +
        plural(v.heartbeat_seconds, 'second') + ').');
    }
    return out;
  }

  // Datagrams that were no records, or from a stranger: the sysop's matter,
  // so shown beside the feed's line and said once a burst, politely, not
  // as an alert at every datagram.
  function showJunk(f) {
    const stranger = 'rejected (not from an allowed server)';
    const kinds = [['rejected', f.recent_rejected, stranger, stranger],
      ['malformed', f.recent_malformed, 'that was not a record', 'that were not records']];
    const shown = [];
    for (const [kind, note, one, many] of kinds) {
      const text = junkWarning(note, one, many);
      if (!text) continue;
      shown.push(text);
      if (view.junkSaid[kind] !== note.first) announce(text);
      view.junkSaid[kind] = note.first;
    }
    setText($('junk'), shown.join(' '));
  }

  function showFeed() {
    const s = view.state;
    const f = s.feed;
    const last = f.last_record;
    setText($('feed'), last
      ? 'Last record ' + span(serverNow() - Date.parse(last))[0] + ' ago (' + clock(last) + ').'
      : 'No record received yet.');
    setText($('server'), serverText(s.server));
    showJunk(f);
    const text = warnings().join(' ');
    setText($('warning'), text);  // an alert only when its text changes
    if ($('warning').hidden !== !text) $('warning').hidden = !text;
    showCounters(f);
  }

  // What the records told of the server, and only that: a time not yet
  // known is left out, never shown as the epoch.
  function serverText(v) {
    if (!v) return '';
    // Its nodes' rows stay as the stop left them: no record tells of them since.
    if (v.stopped_at) return 'Server stopped at ' + clock(v.stopped_at) + '; the nodes listed are as of then.';
    const known = [];
    if (v.up_since) known.push('up ' + span(serverNow() - Date.parse(v.up_since))[0] + ' (since ' + clock(v.up_since) + ')');
    if (v.last_heartbeat) known.push('last heartbeat ' + span(serverNow() - Date.parse(v.last_heartbeat))[0] + ' ago');
    return known.length ? 'Server ' + known.join('; ') + '.' : '';
  }

  function showCounters(f) {
    // Every tag the server sends comes in f.records; these read better, and
    // a record this page does not know yet is shown by its tag.
    const names = { ADD: 'Connects', DEL: 'Disconnects', ACC: 'Transmissions', END: 'Transmissions ended',
      RUN: 'Server starts', HBT: 'Heartbeats', OFF: 'Server stops', NOD: 'Nodes re-announced',
      REF: 'Talkers refused', ECH: 'Echo tests' };
    const order = Object.keys(names);
    const rank = ([tag]) => (order.includes(tag) ? order.indexOf(tag) : order.length);
    const tags = Object.entries(f.records).sort((a, b) => rank(a) - rank(b));
    const rows = [...tags.map(([tag, n]) => [names[tag] || tag + ' records', n]),
      ['Datagrams rejected', f.rejected],
      ['Datagrams that were not records', f.malformed],
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
    const old = view.state;
    // Polling, or a new start. An over the new state does not list may be
    // going on still: a restarted dashboard has not seen it end.
    if (old && old.streams && s.streams) noteTalkers(old.talking, s.talking, (t) => lengthIn(s.last_heard, t));
    const beat = (x) => x && x.server && x.server.last_heartbeat;
    const sameBeat = !!beat(old) && beat(old) === beat(s);  // a poll between two heartbeats
    view.state = s;
    if (sameBeat) countEnded(old.talking, s.talking);
    else view.endedSinceBeat = 0;
    setText($('title'), s.title);
    document.body.classList.toggle('hide-address', s.address_display === 'none');
    const present = new Set(s.nodes.map((n) => n.call1));
    for (const call1 of [...view.nodeRows.keys()]) if (!present.has(call1)) removeNode(call1);
    for (const n of s.nodes) putNode(n);
    nodeCount();
    showHeard();
    showNotes();
    showTalking();
    drawChart();
    showFeed();
    showFooter(s);
  }

  // The footer follows the dashboard: a restarted one watches anew.
  function showFooter(s) {
    const key = s.state_kept + ' ' + s.watching_since;
    if (view.footerKey === key) return;
    view.footerKey = key;
    const footer = $('watching');
    footer.replaceChildren(s.state_kept ? 'State kept since ' : 'Watching since ');
    timeCell(footer.appendChild(make('span')), s.watching_since);
  }

  // Talkers that began before the last heartbeat and ended after it are
  // still in its count of open streams.
  function countEnded(before, after) {
    const v = view.state.server;
    const beat = v && v.last_heartbeat ? Date.parse(v.last_heartbeat) : 0;
    const still = new Set(after.map(talkKey));
    view.endedSinceBeat += before.filter((t) => !still.has(talkKey(t)) && Date.parse(t.since) <= beat).length;
  }

  // ---- what one event changed -----------------------------------------

  const sameTalk = (a, b) => a.since === b.since && a.call1 === b.call1 && a.my_call === b.my_call;

  // A stream begun and streams ended; a restarted server's table is empty.
  function applyTalks(c) {
    const s = view.state;
    if (c.nodes_cleared) for (const call1 of [...view.nodeRows.keys()]) removeNode(call1);
    if (c.talks_gone) s.talking = s.talking.filter((t) => !c.talks_gone.some((g) => sameTalk(t, g)));
    if (c.talk && !s.talking.some((t) => sameTalk(t, c.talk))) s.talking.push(c.talk);
    // A heartbeat (not a start or a stop) that no longer counts a stream:
    // its end record was lost.
    if (c.talks_gone && c.server && !c.server.stopped_at && !c.nodes_cleared) {
      for (const t of c.talks_gone) applyOverEnded({ my_call: t.my_call, at: t.since, ended_by: 'timed_out' });
    }
  }

  // An over's end gives the speaker's row its duration.
  function applyOverEnded(ended) {
    const over = (view.state.last_heard || []).find((x) => x.my_call === ended.my_call && x.at === ended.at);
    if (over && ended.duration_ms !== undefined) over.duration_ms = ended.duration_ms;
    if (over) over.ended_by = ended.ended_by;
    const h = view.state.heard_by_call.find((x) => x.my_call === ended.my_call && x.at === ended.at);
    if (h && ended.duration_ms !== undefined) h.duration_ms = ended.duration_ms;
    if (h) h.ended_by = ended.ended_by;
    return !!h;
  }

  // An over's suffix, your_call or message, for its rows.
  function applyDetails(d) {
    const s = view.state;
    for (const h of [...(s.last_heard || []), ...s.heard_by_call]) {
      if (h.my_call === d.my_call && h.at === d.at) Object.assign(h, { suffix: d.suffix, your_call: d.your_call, message: d.message });
    }
  }

  function applyChange(c) {
    const s = view.state;
    s.feed = c.feed;
    if (c.server !== undefined) {
      s.server = c.server;
      view.endedSinceBeat = 0;
    }
    if (c.streams !== undefined) s.streams = c.streams;
    const before = [...s.talking];
    applyTalks(c);
    // Only an end record tells an over's length; a stream gone otherwise
    // (a server's start or stop, a heartbeat that no longer counts it) ended
    // unseen.
    const ended = c.over_ended;
    noteTalkers(before, s.talking, (t) =>
      (ended && ended.my_call === t.my_call && ended.at === t.since ? ended.duration_ms : null));
    if (c.server === undefined) countEnded(before, s.talking);
    if (c.heard) s.last_heard = [c.heard, ...(s.last_heard || [])].slice(0, s.limits.last_heard);
    if (c.heard_call) {
      s.heard_by_call = [c.heard_call, ...s.heard_by_call.filter((h) => h.my_call !== c.heard_call.my_call)]
        .slice(0, s.limits.last_heard);
      if (!s.streams) announce(callText(c.heard_call.my_call) + ' keyed up' + via(c.heard_call));
    }
    const durationShown = (c.over_ended && applyOverEnded(c.over_ended)) || !!c.over_details;
    if (c.over_details) applyDetails(c.over_details);
    if (c.node) putNode(c.node);
    if (c.removed !== undefined) removeNode(c.removed);
    for (const call1 of c.nodes_gone || []) removeNode(call1);
    if (c.node || c.removed !== undefined || c.nodes_cleared || c.server !== undefined) nodeCount();
    if (c.heard_call || durationShown || c.talk || c.talks_gone) showHeard();
    if (c.talk || c.talks_gone || c.heard_call || c.server !== undefined) showTalking();
    if (c.hour) countHour(c.hour);
    if (c.note) {
      s.conference_notes = [c.note, ...(s.conference_notes || [])].slice(0, s.limits.last_heard);
      showNotes();
    }
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
    if (up) view.downSince = null;
    else if (view.downSince === null) view.downSince = serverNow();
    if ($('link-text').textContent === text) return;
    setText($('link-text'), text);
    $('link').className = 'link ' + (up ? 'up' : 'down');
    announce('Live updates: ' + text);
    if (view.state) showTalking();
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
    if (unknownSince() !== view.shownUnknown || view.day !== dayStart()) {
      // Past midnight a time of yesterday is shown with its date, and a node's count starts anew.
      if (view.day !== dayStart()) {
        refreshClocks();
        for (const entry of view.order) fillNodeRow(entry);
      }
      showHeard();
      drawChart();
    }
    if (!view.state.streams || unknownSince() !== view.shownUnknown) showTalking();
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

  $('zone').hidden = localIsUtc();
  $('zone').addEventListener('click', () => {
    view.utc = !view.utc;
    $('zone').setAttribute('aria-pressed', String(view.utc));
    if (view.state) {
      refreshClocks();
      drawChart();
      showHeard();
      showFeed();
    }
  });
  $('nodes-box').querySelector('summary').addEventListener('click', () => { view.nodesChosen = true; });
  $('search').addEventListener('input', filterNodes);
  document.addEventListener('visibilitychange', startTicking);

  connect();
  startTicking();
  setInterval(watch, WATCH_MS);
})();
