// What the dashboard page costs the browser: main-thread time per second
// with 1,000 registered nodes and a steady conference (two overs a second,
// heartbeats), in Debian's headless Chromium at 1366x768. Prints figures,
// asserts nothing. Run it against two builds to compare pages:
//   node bench/dashboard/page_cost.js MIRX_DASHBOARD [SECONDS] [LABEL]
// It needs tests/browser/node_modules (npm ci there).
'use strict';

const { spawn } = require('node:child_process');
const dgram = require('node:dgram');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const puppeteer = require(path.join(__dirname, '../../tests/browser/node_modules/puppeteer-core'));
const [binary, secondsText = '20', label = path.basename(path.dirname(path.resolve(process.argv[2] || '.')))] =
  process.argv.slice(2);
const NODES = 1000;
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const freePort = (udp) => new Promise((resolve) => {
  const s = udp ? dgram.createSocket('udp4') : net.createServer();
  s[udp ? 'bind' : 'listen'](0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});

// A 32-byte record: tag, then 8-byte fields; numbers as [offset, value, width].
function record(tag, calls, numbers = []) {
  const b = Buffer.alloc(32);
  b.write(tag, 0, 'latin1');
  calls.forEach((c, i) => b.write(c, 8 + 8 * i, 'latin1'));
  for (const [at, value, width] of numbers) b.writeUIntBE(value, at, width);
  return b;
}

const call = (i) => 'N' + String(i).padStart(5, '0');
const hex = (text) => Buffer.from(text, 'latin1').toString('hex');

// A state file of nodes registered an hour ago, as a conference that has
// been running looks: their times change once a minute, not every second.
function stateFile() {
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'page-cost-')), 'state.json');
  const hourAgo = Date.now() - 3600000;
  const nodes = Array.from({ length: NODES }, (_, i) => [hex(call(i)), hex('GW'), 0x0200007f, hourAgo, 0, '']);
  fs.writeFileSync(file, JSON.stringify({ version: 1, watching_since: hourAgo, last_record: hourAgo, nodes,
    heard: [], hours: [], counts: [NODES, 0, 0, 0, 0] }));
  return file;
}

async function main() {
  const [udpPort, httpPort] = [await freePort(true), await freePort(false)];
  const dashboard = spawn(binary, ['--listen', '127.0.0.1:' + udpPort, '--http', '127.0.0.1:' + httpPort,
    '--state', stateFile()]);
  const out = dgram.createSocket('udp4');
  const send = (b) => new Promise((r) => out.send(b, udpPort, '127.0.0.1', r));
  const beat = () => send(record('HBT ', [], [[8, NODES, 4], [12, 3600, 4], [20, 30, 4], [24, 1500, 4]]));
  await sleep(500);
  await beat();

  const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run'] });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1366, height: 768 });
    await page.goto('http://127.0.0.1:' + httpPort + '/');
    await page.waitForFunction((n) => document.querySelectorAll('#nodes li, #nodes tbody tr').length >= n, { timeout: 30000 }, NODES);
    const cdp = await page.target().createCDPSession();
    await cdp.send('Performance.enable');
    const busy = async () => (await cdp.send('Performance.getMetrics')).metrics.find((m) => m.name === 'TaskDuration').value;
    const seconds = Number(secondsText);
    const start = await busy();
    const began = Date.now();
    // Two overs a second through random nodes, each ending 1.5 s later.
    for (let t = 0; t < seconds * 2; ++t) {
      const a = call(Math.floor(Math.random() * NODES));
      await send(record('ACC ', [a, 'GW', 'SPK' + (t % 40)]));
      setTimeout(() => send(record('END ', [a, 'GW', 'SPK' + (t % 40)], [[4, 1, 1], [5, 1500, 3]])), 1500);
      if (t % 60 === 0) await beat();
      await sleep(500);
    }
    await sleep(1600);  // the last ends
    const used = (await busy()) - start;
    const elapsed = (Date.now() - began) / 1000;
    console.log(`${label}: ${NODES} nodes, ${elapsed.toFixed(1)} s: page main thread ` +
      `${(1000 * used / elapsed).toFixed(1)} ms per second (${(100 * used / elapsed).toFixed(2)} %)`);
  } finally {
    await browser.close();
    out.close();
    dashboard.kill('SIGTERM');
  }
}

main().catch((e) => { console.error(e); process.exitCode = 1; });
