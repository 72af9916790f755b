// The dashboard page in a real headless Chromium, fed by a real mirx_server
// whose log server it is, with mirx_node nodes on 127.0.0.x:
//   node dashboard.test.js MIRX_DASHBOARD MIRX_SERVER MIRX_NODE OUT_DIR
// Exit status 0 passed, 1 failed, 77 skipped (no chromium or no node_modules).
'use strict';

const { spawn } = require('node:child_process');
const dgram = require('node:dgram');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = '/usr/bin/chromium';
const [dashboardBin, serverBin, nodeBin, outDir] = process.argv.slice(2).map((a) => path.resolve(a));

const skip = (why) => { console.log('skipped: ' + why); process.exit(77); };
let puppeteer;
try { puppeteer = require('puppeteer-core'); } catch { skip('puppeteer-core missing (run npm ci in tests/browser)'); }
if (!fs.existsSync(CHROMIUM)) skip(CHROMIUM + ' missing (apt-get install chromium)');

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'dashboard-browser-'));
const children = new Set();
let browser = null;

function run(bin, args, name) {
  const child = Object.assign(spawn(bin, args, { cwd: work }), { name, output: '' });
  const keep = (d) => { child.output = (child.output + d).slice(-20000); };
  child.stdout.on('data', keep);
  child.stderr.on('data', keep);
  child.on('error', (e) => keep('cannot start: ' + e.message));
  children.add(child);
  child.on('exit', () => children.delete(child));
  return child;
}

async function until(what, test, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await new Promise((r) => setTimeout(r, 50)))
    if (await test()) return;
  throw new Error('timed out waiting for ' + what);
}

function stop(child, signal) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  const ended = new Promise((r) => child.once('exit', r));
  child.kill(signal);
  return Promise.race([ended, new Promise((r) => setTimeout(r, 5000))]);
}

const freePort = (udp) => new Promise((resolve, reject) => {
  const s = udp ? dgram.createSocket('udp4') : net.createServer();
  s.on('error', reject);
  s[udp ? 'bind' : 'listen'](0, '127.0.0.1', () => { const p = s.address().port; s.close(() => resolve(p)); });
});

// A call-sign field: the bytes (a string's as Latin-1), zero-filled to 8.
const field = (bytes) => Buffer.concat([Buffer.from(bytes, 'latin1'), Buffer.alloc(8)]).subarray(0, 8);

async function main() {
  const [logPort, httpPort, inPort, outPort] =
    [await freePort(true), await freePort(false), await freePort(true), await freePort(true)];
  const base = 'http://127.0.0.1:' + httpPort + '/';
  const dashboardArgs = ['--listen', '127.0.0.1:' + logPort, '--http', '127.0.0.1:' + httpPort,
    '--from', '127.0.0.1', '--state', path.join(work, 'state.json'), '--title', 'Test conference',
    '--show-address', 'network', '--max-streams', '4'];
  const startDashboard = async () => {
    const d = run(dashboardBin, dashboardArgs, 'dashboard');
    await until('the dashboard', () => d.output.includes('page on'));
    return d;
  };
  let dashboard = await startDashboard();
  fs.writeFileSync(path.join(work, 'mirx_server.cfg'),
    `InPort=${inPort};\nOutPort=${outPort};\nLogServer=127.0.0.1;\nLogPort=${logPort};\n`);
  run(serverBin, ['-f', 'mirx_server.cfg'], 'server');

  const nodeArgs = (cmd, ip, extra) => [cmd, '--server', '127.0.0.1', '--bind', ip, '--in-port', inPort,
    '--out-port', outPort, '--timeout', '5', ...extra].map(String);
  const listen = (ip, call) => {
    const n = run(nodeBin, nodeArgs('listen', ip, ['--call1', call]), call);
    return until(call + ' registered', () => n.output.includes('registered')).then(() => n);
  };
  const transmit = (ip, call, myCall) => new Promise((resolve, reject) => {
    const t = run(nodeBin, nodeArgs('transmit', ip, ['--call1', call, '--my-call', myCall, '--frames', '5', '--flat-out', '--stay-registered']), myCall);
    t.on('exit', (code) => (code === 0 ? resolve() : reject(new Error('transmit failed: ' + t.output))));
  });

  browser = await puppeteer.launch({ executablePath: CHROMIUM, headless: true, userDataDir: path.join(work, 'profile'),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('request', (r) => { if (!r.url().startsWith(base)) problems.push('request elsewhere: ' + r.url()); });
  await page.evaluateOnNewDocument(() => {
    window.violations = [];
    document.addEventListener('securitypolicyviolation', (e) => window.violations.push(e.violatedDirective));
  });
  const policy = (await page.goto(base)).headers()['content-security-policy'] || '';
  if (!policy.includes("script-src 'self'") || policy.includes('unsafe-inline')) throw new Error('policy: ' + policy);
  await page.evaluate(() => { window.sameDocument = true; });
  const text = (selector) => page.$eval(selector, (e) => e.textContent);
  const waitText = (what, selector, test) => until(what, async () => test(await text(selector)));
  await waitText('the live stream', '#link', (t) => t === 'live');
  console.log('ok - page open, stream live');

  const nodeA = await listen('127.0.0.2', 'N0AAA');
  await listen('127.0.0.3', 'N0BBB');
  await waitText('two rows', '#nodes tbody', (t) => t.includes('N0AAA') && t.includes('N0BBB'));
  console.log('ok - two nodes appear without a reload');

  await transmit('127.0.0.4', 'N0CCC', 'SPEAKER1');
  await waitText('last heard', '#heard tbody', (t) => t.includes('SPEAKER1') && t.includes('N0CCC'));
  await until('on air', () => page.$eval('#nodes tbody', (b) =>
    [...b.rows].some((r) => r.classList.contains('on-air') && r.textContent.includes('N0CCC'))));
  console.log('ok - a transmission shows in last heard and on air');

  await stop(nodeA, 'SIGINT');  // listen disconnects when it ends
  await waitText('the row removed', '#nodes tbody', (t) => !t.includes('N0AAA') && t.includes('N0BBB'));
  console.log('ok - a disconnect removes the row');

  // A node with markup, quotes and bytes above 127 in its call signs.
  const hostile = dgram.createSocket('udp4');
  await new Promise((r) => hostile.bind(outPort, '127.0.0.5', r));
  hostile.send(Buffer.concat([field('RS\x01\x02'), field('<i>&"\'\xff\xe9'), field('<script>'), Buffer.alloc(16)]),
    inPort, '127.0.0.1');
  hostile.send(Buffer.concat([Buffer.alloc(42), field('</td><b>'), Buffer.alloc(6)]), inPort, '127.0.0.1');
  await waitText('the hostile row', '#nodes tbody', (t) => t.includes('<i>&"\'\\xff\\xe9') && t.includes('<script>'));
  await waitText('the hostile speaker', '#heard tbody', (t) => t.includes('</td><b>'));
  const injected = await page.evaluate(() =>
    [document.scripts.length, document.querySelectorAll('main i, main b').length, window.violations.length].join());
  if (injected !== '1,0,0') throw new Error('markup from a call sign (scripts, elements, violations): ' + injected);
  hostile.close();
  console.log('ok - hostile call signs show as text, nothing injected');

  fs.mkdirSync(outDir, { recursive: true });
  await page.screenshot({ path: path.join(outDir, 'dashboard.png'), fullPage: true });
  await page.setViewport({ width: 390, height: 844 });
  await page.screenshot({ path: path.join(outDir, 'dashboard-phone.png'), fullPage: true });

  await stop(dashboard, 'SIGTERM');
  if (dashboard.exitCode !== 0) throw new Error('dashboard ended with ' + dashboard.exitCode + ': ' + dashboard.output);
  await waitText('the stream down', '#link', (t) => t !== 'live');
  dashboard = await startDashboard();
  await waitText('the stream back', '#link', (t) => t === 'live');
  await listen('127.0.0.6', 'N0DDD');
  await waitText('a row after the restart', '#nodes tbody', (t) => t.includes('N0DDD') && t.includes('N0BBB'));
  if (!(await page.evaluate(() => window.sameDocument === true))) throw new Error('the page was reloaded');
  console.log('ok - the event stream survives a dashboard restart');

  // Bounded: with the page's stream open, 3 more streams get in, the rest
  // get 503; a plain request still gets through, and only GET and HEAD do.
  const opened = new AbortController();
  const streams = await Promise.all(Array.from({ length: 8 }, () => fetch(base + 'events', { signal: opened.signal })));
  const statuses = streams.map((s) => s.status).sort().join();
  if (statuses !== '200,200,200,503,503,503,503,503') throw new Error('streams: ' + statuses);
  const plain = [(await fetch(base + 'api/v1/state')).status, (await fetch(base + 'api/v1/state', { method: 'POST' })).status].join();
  opened.abort();
  if (plain !== '200,405') throw new Error('requests: ' + plain);
  console.log('ok - event streams are bounded, other requests still answered');

  if (problems.length) throw new Error(problems.join('\n'));
}

async function cleanUp() {
  if (browser) await browser.close().catch(() => {});
  for (const child of [...children]) await stop(child, child.name === 'dashboard' ? 'SIGTERM' : 'SIGINT');
  for (const child of [...children]) child.kill('SIGKILL');
  fs.rmSync(work, { recursive: true, force: true });
}

const watchdog = setTimeout(() => {
  console.log('not ok - the whole test took over 120 s');
  for (const child of children) child.kill('SIGKILL');
  process.exit(1);
}, 120000);

main().catch((e) => {
  console.log('not ok - ' + e.message);
  for (const child of children) console.log('--- ' + child.name + ':\n' + child.output.slice(-2000));
  process.exitCode = 1;
}).finally(async () => {
  await cleanUp();
  clearTimeout(watchdog);
  if (!process.exitCode) console.log('dashboard browser test passed');
});
