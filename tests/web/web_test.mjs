// The web page end to end in Debian's chromium (headless): log in, live calls, the log, the
// phonebook, click-to-dial through the simulated Aterm, a line going down and coming back, the
// wall-screen display token; then the security rules as a table of raw requests, and the
// figures (call delay measured in the browser, page weight, memory with 100 open pages); last a
// dial that a USB adapter refuses.
import { spawn } from 'node:child_process';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { createInterface } from 'node:readline';
import { chromium } from 'playwright-core';

const args = Object.fromEntries(process.argv.slice(2).reduce((pairs, arg, i, all) =>
  (arg.startsWith('--') ? [...pairs, [arg.slice(2), all[i + 1]]] : pairs), []));
mkdirSync(args.artifacts, { recursive: true });
const failures = [];
const check = (ok, what) => { console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}`); if (!ok) failures.push(what); };
const started = Date.now();

// ---- the rig: kalvix3d and the simulated adapters ----------------------------------------------
const rigProcess = spawn(args.rig, [], { stdio: ['pipe', 'pipe', 'inherit'] });
const rigLines = createInterface({ input: rigProcess.stdout })[Symbol.asyncIterator]();
const next = async () => (await rigLines.next()).value;
const rig = async (command) => { rigProcess.stdin.write(`${command}\n`); return next(); };
const info = JSON.parse(await next());
const base = info.url.replace(/\/$/, '');
const { port } = new URL(base);

// A raw request, so nothing normalises the path or adds headers; from `from` (a loopback address).
function raw(text, from = '127.0.0.1') {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port: Number(port), localAddress: from });
    let data = '';
    socket.on('data', (chunk) => { data += chunk; });
    socket.on('close', () => resolve({ status: Number((/^HTTP\/1\.1 (\d+)/.exec(data) || [])[1] || 0), data }));
    socket.on('error', () => resolve({ status: 0, data }));
    socket.end(text);
  });
}
function request(method, path, { body = '', headers = {}, from } = {}) {
  const head = [`${method} ${path} HTTP/1.1`, `Host: 127.0.0.1:${port}`, 'Connection: close',
    `Content-Length: ${Buffer.byteLength(body)}`, ...Object.entries(headers).map(([k, v]) => `${k}: ${v}`)];
  return raw(`${head.join('\r\n')}\r\n\r\n${body}`, from);
}
async function login(body, from) {
  const response = await request('POST', '/api/login', { body: JSON.stringify(body), headers: { 'Content-Type': 'application/json' }, from });
  const cookie = (/Set-Cookie: ([^;]+)/i.exec(response.data) || [])[1];
  const json = JSON.parse(response.data.slice(response.data.indexOf('\r\n\r\n') + 4) || '{}');
  return { status: response.status, cookie, csrf: json.csrf };
}

// Waits until fn (run in the page) is truthy. The page's CSP forbids eval, which playwright's
// waitForFunction needs, so this polls with evaluate.
async function until(page, fn, arg, timeout = 5000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    if (await page.evaluate(fn, arg)) return true;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${fn.toString().slice(0, 80)}`);
    await new Promise((r) => setTimeout(r, 25));
  }
}

let browser;
const figures = {};
try {
  // ---- the security rules -----------------------------------------------------------------------
  // A request that never finishes is cut off (10 s); started first, checked at the end.
  const slowStart = Date.now();
  const slow = new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port: Number(port) }, () => socket.write('GET /api/calls HTTP/1.1\r\nHost: x\r\n'));
    let data = '';
    socket.on('data', (chunk) => { data += chunk; });
    socket.on('close', () => resolve({ seconds: (Date.now() - slowStart) / 1000, data }));
  });
  const full = await login({ password: info.password });
  const display = await login({ displayToken: info.displayToken });
  check(full.status === 200 && full.cookie && full.csrf, 'login with the password gives a session and a CSRF token');
  check(display.status === 200 && display.cookie, 'login with the display token gives a session');
  const fullHeaders = { Cookie: full.cookie, 'X-CSRF-Token': full.csrf, 'Content-Type': 'application/json' };
  const dialBody = JSON.stringify({ slot: 1, port: 1, number: '0312345678' });
  const rules = [
    ['no session: the call log', 'GET', '/api/calls', {}, 401],
    ['no session: the event stream', 'GET', '/api/events', {}, 401],
    ['no session: the page', 'GET', '/', {}, 303],
    ['no session: the page\'s script', 'GET', '/app.js', {}, 401],
    ['no session: dial', 'POST', '/api/dial', { body: dialBody, headers: { 'Content-Type': 'application/json' } }, 401],
    ['wrong CSRF token: edit the phonebook', 'PUT', '/api/phonebook',
      { body: '{"number":"0311112222","name":"x"}', headers: { ...fullHeaders, 'X-CSRF-Token': 'f'.repeat(64) } }, 403],
    ['no CSRF token: dial', 'POST', '/api/dial', { body: dialBody, headers: { Cookie: full.cookie, 'Content-Type': 'application/json' } }, 403],
    ['display token session: dial', 'POST', '/api/dial',
      { body: dialBody, headers: { Cookie: display.cookie, 'X-CSRF-Token': display.csrf, 'Content-Type': 'application/json' } }, 403],
    ['display token session: remove a name', 'DELETE', '/api/phonebook?number=0312345678',
      { headers: { Cookie: display.cookie, 'X-CSRF-Token': display.csrf } }, 403],
    ['display token as bearer: dial', 'POST', '/api/dial', { body: dialBody, headers: { Authorization: `Bearer ${info.displayToken}` } }, 403],
    ['display token as bearer: read the log', 'GET', '/api/calls', { headers: { Authorization: `Bearer ${info.displayToken}` } }, 200],
    ['oversized body (2 MiB)', 'POST', '/api/phonebook.csv', { body: 'x'.repeat(2 << 20), headers: fullHeaders }, 413],
    ['oversized header (16 KiB)', 'GET', '/api/calls', { headers: { Cookie: full.cookie, 'X-Padding': 'x'.repeat(16 << 10) } }, 431],
    ['path outside the set: ../', 'GET', '/../../etc/passwd', { headers: { Cookie: full.cookie } }, 404],
    ['path outside the set: %2e%2e', 'GET', '/%2e%2e/%2e%2e/etc/passwd', { headers: { Cookie: full.cookie } }, 404],
    ['path outside the set: the source folder', 'GET', '/static/app.js', { headers: { Cookie: full.cookie } }, 404],
    ['unknown endpoint', 'GET', '/api/nothing', { headers: { Cookie: full.cookie } }, 404],
    ['a form of another site (text/plain): login', 'POST', '/api/login',
      { body: JSON.stringify({ password: info.password }), headers: { 'Content-Type': 'text/plain' } }, 400],
    ['a form of another site (text/plain): dial', 'POST', '/api/dial', { body: dialBody, headers: { ...fullHeaders, 'Content-Type': 'text/plain' } }, 400],
    ['a number the library would not dial (20 digits)', 'POST', '/api/dial',
      { body: JSON.stringify({ slot: 1, port: 1, number: '0'.repeat(20) }), headers: fullHeaders }, 400],
    ['display token session: log out', 'POST', '/api/logout', { headers: { Cookie: display.cookie, 'X-CSRF-Token': display.csrf } }, 200],
    ['with a session: the log', 'GET', '/api/calls', { headers: { Cookie: full.cookie } }, 200],
  ];
  for (const [what, method, path, options, expected] of rules) {
    const { status } = await request(method, path, options);
    check(status === expected, `${what}: ${method} ${path.slice(0, 40)} -> ${status} (want ${expected})`);
  }
  // Failed logins from one address: refused, then limited; another address is not affected.
  const attempts = [];
  for (let i = 0; i < 6; i++) attempts.push((await login({ password: `wrong-${i}` }, '127.0.0.2')).status);
  check(attempts.slice(0, 5).every((s) => s === 401) && attempts[5] === 429, `failed logins: ${attempts.join(' ')} (want 401 x5, then 429)`);
  check((await login({ password: info.password }, '127.0.0.2')).status === 429, 'a limited address is refused even with the right password');
  check((await login({ password: info.password }, '127.0.0.3')).status === 200, 'another address still logs in');
  check(/Set-Cookie: [^\r]*HttpOnly; SameSite=Strict/i.test((await request('POST', '/api/login', {
    body: JSON.stringify({ password: info.password }), headers: { 'Content-Type': 'application/json' } })).data), 'the session cookie is HttpOnly and SameSite=Strict');

  // ---- the page in chromium ---------------------------------------------------------------------
  browser = await chromium.launch({
    executablePath: args.chromium, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
  const context = await browser.newContext({ viewport: { width: 1280, height: 860 }, locale: 'ja-JP' });
  const page = await context.newPage();
  page.on('pageerror', (error) => check(false, `no script error on the page: ${error.message}`));
  await page.goto(`${base}/`);
  check(page.url().endsWith('/login'), 'without a session the page sends the browser to the login');
  await page.fill('#password', 'not-the-password');
  await page.click('button[type=submit]');
  await page.waitForSelector('#login-error:not(:empty)');
  check((await page.textContent('#login-error')).includes('パスワード'), 'a wrong password is said in Japanese (browser language)');
  await page.fill('#password', info.password);
  await page.click('button[type=submit]');
  await page.waitForSelector('#line-chips .chip');
  check(!page.url().endsWith('/login'), 'logged in');

  // Live calls: each one on the page; the delay from the library's notification to the DOM.
  const nowText = () => page.textContent('#now-number');
  const waitNow = (text) => until(page, (want) => document.getElementById('now-number').textContent === want, text, 5000);
  await until(page, () => document.querySelectorAll('#line-chips .chip.up').length === 2, null, 5000);
  check(true, 'both lines shown up');
  const liveCalls = [['0312345678', '03-1234-5678'], ['P', '非通知'], ['09012345678', '090-1234-5678'], ['O', '表示圏外'],
    ['0120123456', '0120-123-456'], ['C', '公衆電話'], ['0312345678', '03-1234-5678'], ['0667778888', '06-6777-8888']];
  for (const [caller, shown] of [...liveCalls, ...liveCalls]) {
    await rig(`call 0 ${caller}`);
    const ok = await waitNow(shown).then(() => true, () => false);
    check(ok, `call ${caller} shown live as ${shown} (got ${await nowText()})`);
    await page.waitForTimeout(150);
  }
  const delays = await page.evaluate(() => window.kalvixFigures.callDelays);
  check(delays.length === 2 * liveCalls.length, `${delays.length} call delays measured in the browser`);
  // 100 ms is the aim for every call; the worst gets a margin, as the cores are shared with builds.
  const bound = 100 * Number(args.slowdown || 1);
  const median = [...delays].sort((a, b) => a - b)[Math.floor(delays.length / 2)];
  check(delays.every((d) => d >= 0) && median < bound && Math.max(...delays) < 2.5 * bound,
    `calls in the DOM after the notification: median ${median.toFixed(1)} ms (< ${bound}), worst ${Math.max(...delays).toFixed(1)} ms (< ${2.5 * bound})`);
  const sorted = [...delays].sort((a, b) => a - b);
  figures.callDelayMs = { median: sorted[Math.floor(sorted.length / 2)], worst: sorted[sorted.length - 1], calls: sorted.length };
  await page.screenshot({ path: `${args.artifacts}/live-desktop-1280.png` });

  // The call log: search by number, add a name in one step, see it on the next call.
  await rig('call 1 0455556666');
  await waitNow('045-555-6666');
  await page.click('button[data-tab=log]');
  await page.fill('#log-q', '045-555');
  await page.click('#log-search button[type=submit]');
  await until(page, () => document.querySelectorAll('#log-rows tr').length === 1, null, 5000);
  check((await page.textContent('#log-rows tr td:nth-child(2)')) === '045-555-6666 横浜', 'the log searched by number, its area beside it');
  await page.click('#log-rows tr .add-name');
  await page.fill('#log-rows .name-input', '田中商店');
  await page.press('#log-rows .name-input', 'Enter');
  await until(page, () => document.querySelector('#log-rows tr td:nth-child(3)')?.textContent === '田中商店', null, 5000);
  check(true, 'a name added to the phonebook from the log');
  await page.click('button[data-tab=live]');
  await rig('call 0 0455556666');
  await until(page, () => document.getElementById('now-name').textContent === '田中商店', null, 5000)
    .then(() => check(true, 'the next call from that number shows the name'), () => check(false, 'the next call shows the name'));

  // The caller's card: a note written on the phonebook tab, then the third call from the number
  // shows the name, the note, the area, and how often and when last the number called.
  await page.click('button[data-tab=phonebook]');
  await page.click('#pb-rows tr[data-number="0455556666"] .edit');
  await page.fill('#pb-rows tr[data-number="0455556666"] input[placeholder="メモ"]', '常連・領収書必要');
  await page.press('#pb-rows tr[data-number="0455556666"] input[placeholder="メモ"]', 'Enter');
  await until(page, () => document.querySelector('#pb-rows tr[data-number="0455556666"] .note-cell')?.textContent === '常連・領収書必要', null, 5000)
    .then(() => check(true, 'a note written on the phonebook tab'), () => check(false, 'a note written on the phonebook tab'));
  // On the terminal adapter: the number display drops a copy of the report it has just
  // acknowledged, and this would be one.
  await page.click('button[data-tab=live]');
  await rig('call 1 0455556666');
  await until(page, () => document.getElementById('now-note').textContent !== '', null, 5000).catch(() => {});
  const card = await page.evaluate(() => Object.fromEntries(['name', 'number', 'where', 'note', 'history']
    .map((part) => [part, document.getElementById(`now-${part}`).textContent])));
  check(card.name === '田中商店' && card.number === '045-555-6666' && card.where === '横浜' && card.note === '常連・領収書必要' &&
    /^3回目 · 前回 \d\d\/\d\d \d\d:\d\d$/.test(card.history), `the caller's card: ${JSON.stringify(card)}`);
  await page.screenshot({ path: `${args.artifacts}/card-desktop-1280.png` });
  await page.emulateMedia({ colorScheme: 'dark' });
  check(await page.evaluate(() => getComputedStyle(document.body).backgroundColor !== 'rgb(244, 246, 249)'), 'the dark theme follows the system setting');
  await page.screenshot({ path: `${args.artifacts}/card-desktop-1280-dark.png` });
  await page.emulateMedia({ colorScheme: 'light' });

  // The chime: off until chosen, remembered by the browser; until the page is clicked the page
  // says why it cannot sound yet.
  check((await page.textContent('#chime')) === '着信音: オフ', 'the chime is off at first');
  await page.click('#chime');
  await page.reload();
  await page.waitForSelector('#line-chips .chip');
  check((await page.textContent('#chime')) === '着信音: オン' && await page.isVisible('#chime-note'),
    'the chime stays on after a reload, and the page asks for a click before it can sound');
  await until(page, () => document.getElementById('now-note').textContent !== '', null, 3000).catch(() => {});
  check((await page.textContent('#now-note')) === '常連・領収書必要' && /^3回目 · 前回 /.test(await page.textContent('#now-history')),
    'a page opened after the call shows its whole card');
  await page.mouse.click(5, 400);
  await until(page, () => document.getElementById('chime-note').hidden, null, 3000)
    .then(() => check(true, 'one click on the page lets the chime sound'), () => check(false, 'one click lets the chime sound'));
  await page.click('button[data-tab=log]');
  await page.fill('#log-q', '田中');
  await page.click('#log-search button[type=submit]');
  await until(page, () => document.querySelectorAll('#log-rows tr').length === 2, null, 5000).catch(() => {});
  check((await page.$$('#log-rows tr')).length === 2, 'the log searched by name finds the two named calls');
  const tomorrow = new Date(Date.now() + 86400000);
  const day = `${tomorrow.getFullYear()}-${String(tomorrow.getMonth() + 1).padStart(2, '0')}-${String(tomorrow.getDate()).padStart(2, '0')}`;
  await page.fill('#log-q', '');
  await page.fill('#log-from', day);
  await page.click('#log-search button[type=submit]');
  await until(page, () => document.querySelectorAll('#log-rows tr').length === 0, null, 5000).then(() => true, () => false)
    .then((ok) => check(ok, 'a date range from tomorrow finds no call'));
  await page.fill('#log-from', '');
  // Paging: two pages of 5, newest first, without overlap, and the count of all.
  const pageOf = async (query) => {
    const response = await request('GET', `/api/calls?${query}`, { headers: { Cookie: full.cookie } });
    return JSON.parse(response.data.slice(response.data.indexOf('\r\n\r\n') + 4));
  };
  const first = await pageOf('limit=5');
  const second = await pageOf(`limit=5&before=${first.next}`);
  const ids = [...first.calls, ...second.calls].map((c) => c.id);
  check(first.total > 10 && second.calls.length === 5 && new Set(ids).size === 10 && ids.every((id, i) => i === 0 || id < ids[i - 1]),
    `the log in pages of 5: ${ids.join(' ')} of ${first.total}`);

  // Click-to-dial from the log through the Aterm's telephone port 2. The library's dial holds
  // its caller 5.4 s: meanwhile the page, the API and the other line go on.
  await page.click('button[data-tab=log]');
  await page.fill('#log-q', '');
  await page.click('#log-search button[type=submit]');
  await page.waitForSelector('#log-rows tr .dial');
  await page.screenshot({ path: `${args.artifacts}/log-desktop-1280.png` });
  await page.click('#log-rows tr:first-child .dial');
  await page.selectOption('#dial-line', '1');
  await page.selectOption('#dial-port', '2');
  const dialClicked = Date.now();
  await page.click('#dial-go');
  check(await until(page, () => document.getElementById('dial-status').dataset.state === 'dialing', null, 3000).then(() => true, () => false),
    'the page shows the dial in progress');
  check((await rig('received 1 AT!D2;0455556666\\r\\n 3000')) === 'yes', 'the Aterm received AT!D2;0455556666');
  const asked = Date.now();
  const lines = await request('GET', '/api/lines', { headers: { Cookie: full.cookie } });
  check(lines.status === 200 && Date.now() - asked < 1000, `the API answers during the dial (${Date.now() - asked} ms)`);
  await page.click('button[data-tab=live]');
  await rig('call 0 0667778888');
  check(await until(page, () => document.getElementById('now-number').textContent === '06-6777-8888', null, 3000).then(() => true, () => false) &&
    (await page.getAttribute('#dial-status', 'data-state')) === 'dialing', 'a call on the other line shows while the dial is under way');
  await until(page, () => document.getElementById('dial-status').dataset.state === 'ended', null, 15000)
    .then(() => check(Date.now() - dialClicked > 5000, `the page shows when the dial ended (${Date.now() - dialClicked} ms after the click)`),
      () => check(false, 'the dial ended'));

  // A line goes down and comes back.
  await page.click('button[data-tab=live]');
  await rig('unplug 1');
  await page.waitForSelector('#line-chips .chip.down[data-slot="1"]', 3000)
    .then(() => check(true, 'an unplugged adapter is shown down'), () => check(false, 'the unplugged adapter is shown down'));
  await until(page, () => document.getElementById('line-alert').textContent.includes('FAX: '), null, 3000).catch(() => {});
  const alert = await page.textContent('#line-alert');
  check(/アダプタが(外れました|接続されていません)/.test(alert) && !/adapter|device/.test(alert), `the Japanese page says why in Japanese: ${alert}`);
  await page.screenshot({ path: `${args.artifacts}/live-desktop-1280-line-down.png` });
  await rig('plug 1');
  await page.waitForSelector('#line-chips .chip.up[data-slot="1"]', 5000)
    .then(() => check(true, 'the adapter is shown up again when it is back'), () => check(false, 'the adapter is shown up again'));

  // The device's history, read now from the lines tab.
  await page.click('button[data-tab=lines]');
  await page.click('#line-rows tr[data-slot="0"] .read-history');
  await until(page, () => document.getElementById('import-status').dataset.state === 'done', null, 10000)
    .then(() => true, () => false);
  const imported = await page.textContent('#import-status');
  check(/履歴を読みました \(2, 0 件追加\)/.test(imported), `the history read again from the lines tab adds nothing: ${imported}`);

  // The phone width, and English.
  const phone = await browser.newContext({ viewport: { width: 390, height: 844 }, locale: 'en-US', deviceScaleFactor: 2 });
  await phone.addCookies([{ name: 'kalvix3d_session', value: full.cookie.split('=')[1], url: base }]);
  const small = await phone.newPage();
  await small.goto(`${base}/`);
  await small.waitForSelector('#line-chips .chip');
  await rig('call 0 0312345678');
  await until(small, () => document.getElementById('now-number').textContent === '03-1234-5678', null, 5000);
  check((await small.textContent('button[data-tab=log]')) === 'Call log', 'English from the browser language');
  await small.screenshot({ path: `${args.artifacts}/live-phone-390.png` });
  await rig('call 0 P');
  await until(small, () => document.getElementById('now-number').textContent === 'Withheld', null, 5000)
    .then(() => check(true, 'a withheld call in English'), () => check(false, 'withheld in English'));
  await small.screenshot({ path: `${args.artifacts}/live-phone-390-withheld.png` });

  // The wall screen with the display token: sees calls, no dial or edit controls.
  const wall = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
  await wall.goto(`${base}/#display=${info.displayToken}`);
  await wall.waitForSelector('#line-chips .chip');
  check(await wall.evaluate(() => document.body.classList.contains('display')), 'the display token opens a view-only page');
  await wall.click('button[data-tab=log]');
  await wall.waitForSelector('#log-rows tr');
  check((await wall.$$('#log-rows .dial, #log-rows .add-name')).length === 0, 'the view-only page offers no dial or edit');

  // The full-screen card of a wall screen, opened from its address; at 1280x800 and on a phone.
  for (const [width, height, least] of [[1280, 800, 80], [390, 844, 40]]) {
    const screen = await (await browser.newContext({ viewport: { width, height } })).newPage();
    await screen.goto(`${base}/#display=${info.displayToken}&wall`);
    await screen.waitForSelector('body.wall');
    await rig('call 1 0455556666');
    await until(screen, () => document.getElementById('now-note').textContent !== '', null, 5000).catch(() => {});
    const view = await screen.evaluate(() => ({
      name: parseFloat(getComputedStyle(document.getElementById('now-name')).fontSize),
      note: document.getElementById('now-note').textContent,
      tabs: getComputedStyle(document.querySelector('.top')).display,
      fits: document.documentElement.scrollWidth <= window.innerWidth,
    }));
    check(view.name >= least && view.note === '常連・領収書必要' && view.tabs === 'none' && view.fits,
      `the wall screen at ${width}x${height}: the name in ${view.name}px (>= ${least}), the note, nothing else, no sideways scrolling`);
    await screen.screenshot({ path: `${args.artifacts}/wall-${width}.png` });
    await screen.emulateMedia({ colorScheme: 'dark' });
    await screen.screenshot({ path: `${args.artifacts}/wall-${width}-dark.png` });
    await screen.context().close();
  }

  // Page weight: what the browser fetched for the live view.
  figures.pageWeightBytes = await page.evaluate(() => performance.getEntriesByType('resource')
    .filter((r) => !r.name.includes('/api/')).reduce((sum, r) => sum + r.encodedBodySize, 0) +
    performance.getEntriesByType('navigation')[0].encodedBodySize);
  await browser.close();
  browser = undefined;

  // The log as CSV for spreadsheets: UTF-8 with BOM, and code page 932.
  const csv = async (encoding) => new Promise((resolve) => http.get(`${base}/api/calls.csv?q=${encodeURIComponent('田中')}&encoding=${encoding}`,
    { headers: { Cookie: full.cookie } }, (res) => { const parts = []; res.on('data', (c) => parts.push(c)); res.on('end', () => resolve(Buffer.concat(parts))); }));
  const utf8 = await csv('utf8bom');
  check(utf8.subarray(0, 3).equals(Buffer.from([0xef, 0xbb, 0xbf])) && utf8.includes(Buffer.from('0455556666,,田中商店,live,045-555-6666,fixed-line,横浜,2\r\n')),
    'the log exported as UTF-8 CSV with BOM');
  const sjis = await csv('cp932');
  check(sjis.includes(Buffer.from([0x93, 0x63, 0x92, 0x86, 0x8f, 0xa4, 0x93, 0x58])) && !sjis.includes(Buffer.from([0xef, 0xbb, 0xbf])),
    'the log exported as Shift_JIS CSV');

  // The phonebook from a Shift_JIS CSV as a spreadsheet writes it: the good row stored, the
  // broken one reported by its line.
  const csvBody = Buffer.concat([Buffer.from('number,name,prefix\r\n03-1111-2222,'), Buffer.from([0x8e, 0x52, 0x93, 0x63]),
    Buffer.from(',0\r\nno digits here,x,0\r\n')]);
  const csvImport = await new Promise((resolve) => {
    const req = http.request(`${base}/api/phonebook.csv?encoding=auto`, { method: 'POST',
      headers: { Cookie: full.cookie, 'X-CSRF-Token': full.csrf, 'Content-Type': 'text/csv', 'Content-Length': csvBody.length } },
    (res) => { let text = ''; res.on('data', (c) => { text += c; }); res.on('end', () => resolve(JSON.parse(text))); });
    req.end(csvBody);
  });
  check(csvImport.stored === 1 && csvImport.problems.length === 1 && csvImport.problems[0].line === 3,
    `phonebook CSV in Shift_JIS imported: ${JSON.stringify(csvImport)}`);
  const book = await request('GET', '/api/phonebook', { headers: { Cookie: full.cookie } });
  const entries = JSON.parse(book.data.slice(book.data.indexOf('\r\n\r\n') + 4)).entries;
  check(entries.some((e) => e.number === '0311112222' && e.name === '山田' && !e.prefix && e.formatted === '03-1111-2222'),
    'the imported name is in the phonebook');

  // Memory of the service with 100 open pages (their event streams).
  const rss = () => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${info.pid}/status`, 'utf8'))[1]);
  const before = rss();
  const streams = [];
  for (let i = 0; i < 100; i++) {
    streams.push(new Promise((resolve) => {
      const req = http.get(`${base}/api/events`, { headers: { Cookie: full.cookie }, agent: false }, (res) => {
        res.once('data', () => resolve(req));
      });
      req.on('error', () => resolve(null));
    }));
  }
  const open = (await Promise.all(streams)).filter(Boolean);
  await rig('call 0 0312345678');
  await new Promise((r) => setTimeout(r, 500));
  const after = rss();
  check(open.length === 100, `100 pages hold an event stream (${open.length})`);
  figures.memoryKiB = { before: before, with100Pages: after };
  for (const req of open) req.destroy();

  const cut = await slow;
  check(cut.data === '' && cut.seconds > 8 && cut.seconds < 15, `a request not sent in time is cut off (${cut.seconds.toFixed(1)} s)`);
} catch (error) {
  check(false, `the test ran through: ${error.stack || error}`);
} finally {
  if (browser) await browser.close().catch(() => {});
  const exit = await rig('quit');
  check(exit === 'exit 0', `kalvix3d stopped cleanly (${exit})`);
  rigProcess.stdin.end();
}

// A dial the adapter refuses (the USB Aterm through the stand-in driver): the page hears that it
// failed and why, in the library's words, instead of a dial that seemed placed. Then the bound
// on connections.
async function usbDialRefused() {
  const usbRig = spawn(args.rig, ['usb'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const usbLines = createInterface({ input: usbRig.stdout })[Symbol.asyncIterator]();
  try {
    const usb = JSON.parse((await usbLines.next()).value);
    const url = new URL(usb.url);
    const call = (method, path, headers, body = '') => new Promise((resolve) => {
      const req = http.request({ host: '127.0.0.1', port: url.port, path, method, agent: false,
        headers: { ...headers, 'Content-Length': Buffer.byteLength(body) } }, (res) => {
        let text = ''; res.on('data', (c) => { text += c; }); res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, text }));
      });
      req.on('error', () => resolve({ status: 0, headers: {}, text: '' }));
      req.end(body);
    });
    const login = await call('POST', '/api/login', { 'Content-Type': 'application/json' }, '{"password":"any"}');
    const cookie = (login.headers['set-cookie'] || [''])[0].split(';')[0];
    const { csrf } = JSON.parse(login.text || '{}');
    let events = '';
    const stream = http.get({ host: '127.0.0.1', port: url.port, path: '/api/events', headers: { Cookie: cookie }, agent: false },
      (res) => res.on('data', (c) => { events += c; }));
    stream.on('error', () => {});
    const placed = await call('POST', '/api/dial', { Cookie: cookie, 'X-CSRF-Token': csrf, 'Content-Type': 'application/json' },
      JSON.stringify({ slot: 0, port: 1, number: '0312345678' }));
    check(placed.status === 202, `a dial through the USB Aterm is accepted (${placed.status})`);
    const deadline = Date.now() + 10000 * Number(args.slowdown);
    while (!events.includes('"state":"failed"') && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
    const failed = events.split('\n').find((line) => line.includes('"state":"failed"')) || '';
    check(failed.includes('受話器を置いた状態で発信ボタンを押してください'), `a dial the adapter refused is shown as failed, with why: ${failed.slice(0, 160)}`);
    stream.destroy();

    // This rig allows 3 connections: of 5 held open at once, at least 2 are told 503 and closed
    // (more when a connection closed just before is still being let go).
    const refusals = [];
    const held = [];
    for (let i = 0; i < 5; i++) {
      held.push(await new Promise((resolve) => {
        const socket = net.connect({ host: '127.0.0.1', port: Number(url.port) }, () => resolve(socket));
        let data = '';
        socket.on('data', (chunk) => { data += chunk; });
        socket.on('close', () => { if (/^HTTP\/1\.1 503 /.test(data)) refusals.push(i); });
        socket.on('error', () => resolve(socket));
      }));
    }
    const refusedBy = Date.now() + 5000 * Number(args.slowdown);
    while (refusals.length < 2 && Date.now() < refusedBy) await new Promise((r) => setTimeout(r, 25));
    check(refusals.length >= 2, `connections over max-clients get 503 (${refusals.length} of 5 refused)`);
    for (const socket of held) socket.destroy();
  } catch (error) {
    check(false, `the USB dial test ran through: ${error.stack || error}`);
  } finally {
    usbRig.stdin.write('quit\n');
    const exit = (await usbLines.next()).value;
    check(exit === 'exit 0', `kalvix3d on the USB Aterm stopped cleanly (${exit})`);
    usbRig.stdin.end();
  }
}
await usbDialRefused();

figures.seconds = (Date.now() - started) / 1000;
writeFileSync(`${args.artifacts}/figures.json`, `${JSON.stringify(figures, null, 2)}\n`);
// Rows for docs/PERFORMANCE.md (scripts/perf.sh): section, what, figure, floor, target, verdict.
if (args.rows && figures.callDelayMs && figures.memoryKiB) {
  const section = 'The web page (kalvix3d and Debian\'s chromium, headless)';
  const verdict = (ok) => (ok ? 'met' : 'MISSED');
  const perPage = (figures.memoryKiB.with100Pages - figures.memoryKiB.before) / 100;
  const rows = [
    [`library's notification to the caller's card in the page's DOM, median (${figures.callDelayMs.calls} calls, a log of ${info.logCalls || 0} calls before)`, `${figures.callDelayMs.median.toFixed(1)} ms`,
      'the call committed to the log first (time to durable, above)', '< 100 ms', verdict(figures.callDelayMs.median < 100)],
    ['the same, worst', `${figures.callDelayMs.worst.toFixed(1)} ms`, 'the same', '< 100 ms', verdict(figures.callDelayMs.worst < 100)],
    ['page weight of the live view (HTML, CSS, JavaScript modules; not compressed)', `${(figures.pageWeightBytes / 1024).toFixed(1)} KiB`,
      'no framework, no build step, nothing from the internet', '< 100 KiB', verdict(figures.pageWeightBytes < 100 * 1024)],
    ['service memory with 100 open pages (their event streams), resident', `${(figures.memoryKiB.with100Pages / 1024).toFixed(1)} MiB (${perPage.toFixed(1)} KiB a page over ${(figures.memoryKiB.before / 1024).toFixed(1)} MiB)`,
      'kernel socket buffers not counted', '< 64 KiB a page', verdict(perPage < 64)],
  ];
  const notes = [
    'tests/web/run.sh with service/driver/web_rig.cpp: kalvix3d runs as its own process on a simulated number-display adapter; each call is placed after the previous one is on the page. The page takes the time when the card is in its DOM (Date.now(), the wall clock the service reads too; performance.timeOrigin + performance.now() drifted from it by up to 10 ms) and subtracts the moment the library\'s notification reached kalvix3d, which the call carries in its event (same machine, same clock). Memory: VmRSS of kalvix3d before and after 100 event streams are open and a call has gone to all of them.',
    'The card (the how-manieth call from the number and when the last came) is read from the log in the commit that comes before the event; the log held the calls said above before the test (KALVIX3_WEB_LOG_CALLS, one a minute from 50,000 numbers, a few calling often).',
  ];
  writeFileSync(args.rows, [...rows.map((row) => [section, ...row].join('\t')), ...notes.map((note) => [section, '#note', note].join('\t'))].join('\n') + '\n');
}
console.log(`figures: ${JSON.stringify(figures)}`);
console.log(failures.length ? `${failures.length} check(s) failed` : 'all checks passed');
process.exit(failures.length ? 1 : 0);
