// The page: live calls, the call log, the phonebook, the lines and click-to-dial, all through
// the JSON API and its event stream.
import { t, lang, translate, switchLanguage } from './i18n.js';
import { callerText, whereText, countText, historyText } from './phone.js';

const $ = (id) => document.getElementById(id);
const state = { csrf: '', role: 'none', lines: [], log: { pages: [], before: 0, next: null }, card: null };

// Figures the browser test reads: delay from the library's notification to the call in the DOM.
window.kalvixFigures = { callDelays: [] };

async function api(method, path, body, type = 'application/json') {
  const headers = {};
  if (method !== 'GET') headers['X-CSRF-Token'] = state.csrf;
  if (body !== undefined) headers['Content-Type'] = type;
  const response = await fetch(path, {
    method, headers, body: body === undefined ? undefined : (type === 'application/json' ? JSON.stringify(body) : body),
  });
  if (response.status === 401) { location.replace(`/login${location.hash}`); throw new Error('log in first'); }
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (key === 'dataset') Object.assign(node.dataset, value);
    else node[key] = value;
  }
  for (const child of children) if (child !== null && child !== undefined) node.append(child);
  return node;
}

function localTime(call, withDate = true) {
  const options = withDate
    ? { year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit', minute: '2-digit', second: '2-digit' }
    : { hour: '2-digit', minute: '2-digit', second: '2-digit' };
  return new Date(call.time).toLocaleString(lang === 'ja' ? 'ja-JP' : 'en-GB', options);
}

const isNumber = (call) => /^\d+$/.test(call.number);
const canDial = () => state.role === 'full' && state.lines.some((line) => line.dialPorts > 0);

// ---- lines --------------------------------------------------------------------------------------

// Why a line is down, in the page's language; the service's own words (with the device path and
// the library's text) stay in the tooltip.
function lineWhy(line) {
  if (!line.cause) return line.reason || '';
  return t(`cause:${line.cause}`).replace('{result}', line.openResult).replace('{error}', line.lineError);
}

function renderLines() {
  const chips = $('line-chips');
  chips.replaceChildren(...state.lines.map((line) => el('span', {
    class: `chip ${line.state}`, title: line.reason || '', dataset: { slot: line.slot },
  }, `${line.label}: ${t(line.state)}`)));
  const down = state.lines.filter((line) => line.state !== 'up');
  $('line-alert').hidden = down.length === 0;
  $('line-alert').textContent = down.map((line) => `${line.label}: ${t(line.state)}${lineWhy(line) ? ` — ${lineWhy(line)}` : ''}`).join(' / ');
  $('line-alert').title = down.map((line) => line.reason || '').join(' / ');
  $('line-rows').replaceChildren(...state.lines.map((line) => el('tr', { dataset: { slot: line.slot } },
    el('td', {}, line.label),
    el('td', {}, `${line.kind} ${line.kindName}`),
    el('td', { class: 'mono' }, line.port),
    el('td', {}, el('span', { class: `chip ${line.state}` }, t(line.state)), ' ', el('small', { title: line.reason || '' }, lineWhy(line))),
    el('td', {}, line.history ? el('button', {
      class: 'needs-full read-history', onclick: () => readHistory(line.slot),
    }, t('readHistory')) : ''),
  )));
}

function updateLine(line) {
  const index = state.lines.findIndex((other) => other.slot === line.slot);
  if (index >= 0) state.lines[index] = line; else state.lines.push(line);
  renderLines();
}

async function readHistory(slot) {
  try { await api('POST', `/api/lines/${slot}/history`); } catch (error) { $('import-status').textContent = error.message; }
}

// ---- live ---------------------------------------------------------------------------------------

// The caller's card: name, number, where it comes from, the phonebook's note, the caller's
// history, the line and time.
function showCard(call) {
  const now = $('now');
  now.classList.remove('idle');
  now.dataset.callId = call.id;
  $('now-number').textContent = callerText(call, lang);
  $('now-number').classList.toggle('reason', !isNumber(call));
  $('now-name').textContent = call.name || '';
  $('now-where').textContent = whereText(call, lang);
  $('now-note').textContent = call.note || '';
  $('now-history').textContent = historyText(call, lang);
  $('now-meta').textContent = `${call.line} · ${localTime(call, false)}`;
}

function showCall(call, live) {
  showCard(call);
  const item = el('li', { dataset: { callId: call.id } },
    el('span', { class: 'when' }, localTime(call)),
    el('span', { class: 'who' }, callerText(call, lang), el('small', {}, whereText(call, lang))),
    el('span', { class: 'name' }, call.name || ''),
    el('span', { class: 'line' }, call.line));
  const list = $('recent');
  list.prepend(item);
  while (list.children.length > 20) list.lastChild.remove();
  if (live && call.heardMs) {
    // The wall clock, as the service read it: the monotonic clock behind performance.now() may
    // drift from it while the page is open.
    const delay = Date.now() - call.heardMs;
    window.kalvixFigures.callDelays.push(delay);
  }
  if (live) ringChime();
  if (live && document.hidden && 'Notification' in window && Notification.permission === 'granted') {
    new Notification(callerText(call, lang), { body: `${call.name || ''} ${call.line}`.trim(), tag: `call-${call.id}` });
  }
}

// ---- chime and wall screen ----------------------------------------------------------------------

// The chime is on or off per browser. Browsers let a page play sound only once it has been
// used (a click, a key), so until then the page says so.
const chime = { on: localStorage.getItem('kalvix3d-chime') === 'on', context: null };

function renderChime() {
  $('chime').textContent = t(chime.on ? 'chimeOn' : 'chimeOff');
  $('chime').setAttribute('aria-pressed', String(chime.on));
  $('chime-note').hidden = !chime.on || chime.context?.state === 'running';
}

function wakeAudio() {
  if (!chime.on || !window.AudioContext) return;
  chime.context ??= new AudioContext();
  chime.context.resume().then(renderChime, renderChime);
}

// Two soft tones, as a desk phone's display chimes.
function ringChime() {
  const audio = chime.context;
  if (!chime.on || !audio || audio.state !== 'running') return;
  [[659.3, 0], [523.3, 0.28]].forEach(([pitch, delay]) => {
    const tone = audio.createOscillator();
    const level = audio.createGain();
    const start = audio.currentTime + delay;
    tone.frequency.value = pitch;
    level.gain.setValueAtTime(0.0001, start);
    level.gain.exponentialRampToValueAtTime(0.3, start + 0.02);
    level.gain.exponentialRampToValueAtTime(0.0001, start + 0.6);
    tone.connect(level).connect(audio.destination);
    tone.start(start);
    tone.stop(start + 0.65);
  });
}

function toggleChime() {
  chime.on = !chime.on;
  localStorage.setItem('kalvix3d-chime', chime.on ? 'on' : 'off');
  wakeAudio();
  renderChime();
  setTimeout(ringChime, 50); // a sample, so the desk hears what a call sounds like
}

// The wall screen: the card alone, full screen, readable from across the room. "wall" in the
// address's fragment opens the page so (a kiosk's start page: /#display=TOKEN&wall).
const hashParams = () => new URLSearchParams(location.hash.slice(1));

function setWall(on) {
  document.body.classList.toggle('wall', on);
  if (on) {
    showTab('live');
    document.documentElement.requestFullscreen?.().catch(() => {});
  } else if (document.fullscreenElement) {
    document.exitFullscreen().catch(() => {});
  }
  const params = hashParams();
  if (on) params.set('wall', ''); else params.delete('wall');
  const fragment = params.toString().replace(/=(?=&|$)/g, '');
  history.replaceState(null, '', fragment ? `#${fragment}` : location.pathname);
}

async function loadRecent() {
  const data = await api('GET', '/api/calls?limit=20');
  $('recent').replaceChildren();
  for (const call of data.calls.reverse()) showCall(call, false);
  // The log has no note or last-call time: the last call announced brings them.
  if (state.card && String(state.card.id) === $('now').dataset.callId) showCard(state.card);
}

// ---- call log -----------------------------------------------------------------------------------

function logFilter() {
  const params = new URLSearchParams();
  const q = $('log-q').value.trim();
  if (q) params.set('q', q);
  const day = (value, plus) => {
    const date = new Date(`${value}T00:00:00`);
    date.setDate(date.getDate() + plus);
    return date.toISOString().replace(/\.\d{3}Z$/, 'Z');
  };
  if ($('log-from').value) params.set('since', day($('log-from').value, 0));
  if ($('log-to').value) params.set('until', day($('log-to').value, 1));
  return params;
}

async function loadLog(before = 0) {
  const params = logFilter();
  for (const [encoding, id] of [['utf8bom', 'log-csv-utf8'], ['cp932', 'log-csv-cp932']]) {
    const csv = new URLSearchParams(params);
    csv.set('encoding', encoding);
    $(id).href = `/api/calls.csv?${csv}`;
  }
  params.set('limit', '50');
  if (before) params.set('before', before);
  const data = await api('GET', `/api/calls?${params}`);
  state.log.before = before;
  state.log.next = data.next;
  $('log-rows').replaceChildren(...data.calls.map(logRow));
  $('log-count').textContent = `${data.total} ${t('total')}`;
  $('log-newer').disabled = state.log.pages.length === 0;
  $('log-older').disabled = data.next === null;
}

function logRow(call) {
  const actions = el('td', { class: 'actions' });
  if (isNumber(call) && state.role === 'full') {
    if (!call.name) actions.append(el('button', { class: 'add-name', onclick: () => nameForm(actions, call) }, t('addName')));
    if (canDial()) actions.append(el('button', { class: 'dial', onclick: () => openDial(call.number, call.formatted) }, t('dial')));
  }
  return el('tr', { dataset: { callId: call.id, number: call.number } },
    el('td', {}, localTime(call)),
    el('td', { class: 'mono' }, callerText(call, lang), ' ', el('small', { class: 'where' }, whereText(call, lang))),
    el('td', {}, call.name || ''),
    el('td', { class: 'count' }, countText(call, lang)),
    el('td', {}, call.line),
    el('td', {}, t(call.origin === 'live' ? 'live_' : 'imported')),
    actions);
}

// One step from a call in the log to a name in the phonebook.
function nameForm(cell, call) {
  const input = el('input', { class: 'name-input', placeholder: t('name'), required: true });
  const form = el('form', {
    class: 'inline', onsubmit: async (event) => {
      event.preventDefault();
      const name = input.value.trim();
      await api('PUT', '/api/phonebook', { number: call.number, name });
      // The log keeps the name a call had when it came; the rows of this number show the new one.
      for (const row of document.querySelectorAll(`#log-rows tr[data-number="${call.number}"]`)) {
        if (!row.children[2].textContent) row.children[2].textContent = name;
        row.querySelector('.add-name, form.inline')?.remove();
      }
    },
  }, input, el('button', { type: 'submit' }, t('save')));
  cell.querySelector('.add-name').hidden = true;
  cell.prepend(form);
  input.focus();
}

// ---- phonebook ----------------------------------------------------------------------------------

async function loadPhonebook() {
  const data = await api('GET', '/api/phonebook');
  $('pb-rows').replaceChildren(...data.entries.map((entry) => {
    const name = el('td', {}, entry.name);
    const note = el('td', { class: 'note-cell' }, entry.note);
    const actions = el('td', { class: 'actions' });
    if (state.role === 'full') {
      actions.append(el('button', {
        class: 'edit', onclick: () => {
          const nameInput = el('input', { value: entry.name, required: true });
          const noteInput = el('input', { value: entry.note, placeholder: t('note') });
          const problem = el('span', { class: 'error' });
          name.replaceChildren(el('form', {
            class: 'inline', onsubmit: async (event) => {
              event.preventDefault();
              try {
                await api('PUT', '/api/phonebook', { ...entry, name: nameInput.value.trim(), note: noteInput.value.trim() });
                loadPhonebook();
              } catch (error) { problem.textContent = error.message; }
            },
          }, nameInput, noteInput, el('button', { type: 'submit' }, t('save')), problem));
          note.replaceChildren();
          nameInput.focus();
        },
      }, t('edit')));
      actions.append(el('button', {
        class: 'remove', onclick: async () => {
          if (!confirm(t('confirmRemove'))) return;
          await api('DELETE', `/api/phonebook?number=${entry.number}&prefix=${entry.prefix ? 1 : 0}`);
          loadPhonebook();
        },
      }, t('remove')));
      if (!entry.prefix && canDial()) actions.append(el('button', { class: 'dial', onclick: () => openDial(entry.number, entry.formatted) }, t('dial')));
    }
    return el('tr', { dataset: { number: entry.number } },
      el('td', { class: 'mono' }, entry.prefix ? `${entry.number}…` : entry.formatted), name, note, actions);
  }));
}

async function importPhonebook() {
  const file = $('pb-file').files[0];
  if (!file) return;
  try {
    const result = await api('POST', `/api/phonebook.csv?encoding=${$('pb-encoding').value}`, await file.arrayBuffer(), 'text/csv');
    const problems = result.problems.map((p) => `${p.line}: ${p.problem}`).join('; ');
    $('pb-result').textContent = `${result.stored} ${t('stored')}` + (result.problems.length ? `, ${result.problems.length} ${t('problems')} (${problems})` : '');
    loadPhonebook();
  } catch (error) { $('pb-result').textContent = error.message; }
}

// ---- dialing ------------------------------------------------------------------------------------

function openDial(number, formatted) {
  const lines = state.lines.filter((line) => line.dialPorts > 0);
  if (!lines.length) return;
  $('dial-dialog').returnValue = '';
  $('dial-number').textContent = formatted || number;
  $('dial-dialog').dataset.number = number;
  $('dial-line').replaceChildren(...lines.map((line) => el('option', { value: line.slot }, line.label)));
  const ports = () => {
    const line = lines.find((l) => String(l.slot) === $('dial-line').value) || lines[0];
    $('dial-port').replaceChildren(...Array.from({ length: line.dialPorts }, (_, i) => el('option', { value: i + 1 }, String(i + 1))));
    $('dial-port').closest('label').hidden = line.dialPorts < 2;
  };
  $('dial-line').onchange = ports;
  ports();
  $('dial-dialog').showModal();
}

async function placeDial() {
  const body = { slot: Number($('dial-line').value), port: Number($('dial-port').value), number: $('dial-dialog').dataset.number };
  try { await api('POST', '/api/dial', body); } catch (error) { showDial({ state: 'failed', number: body.number, problem: error.message }); }
}

function showDial(dial) {
  const banner = $('dial-status');
  const line = state.lines.find((l) => l.slot === dial.slot);
  const where = line ? ` (${line.label}${line.dialPorts > 1 ? `, ${t('telPort')} ${dial.port}` : ''})` : '';
  const text = { dialing: t('dialing'), ended: t('dialEnded'), failed: t('dialFailed') }[dial.state];
  banner.textContent = `${text}: ${dial.formatted || dial.number}${where}${dial.problem ? ` — ${dial.problem}` : ''}`;
  banner.className = `banner ${dial.state}`;
  banner.dataset.state = dial.state;
  banner.hidden = false;
  clearTimeout(showDial.timer);
  if (dial.state !== 'dialing') showDial.timer = setTimeout(() => { banner.hidden = true; }, 15000);
}

// ---- events -------------------------------------------------------------------------------------

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('hello', (event) => {
    const hello = JSON.parse(event.data);
    state.lines = hello.lines;
    renderLines();
    for (const dial of hello.dials) showDial(dial);
    state.card = hello.call;
    loadRecent();
  });
  events.addEventListener('call', (event) => {
    state.card = JSON.parse(event.data);
    showCall(state.card, true);
    if (!$('tab-log').hidden && state.log.pages.length === 0) loadLog();
  });
  events.addEventListener('line', (event) => updateLine(JSON.parse(event.data)));
  events.addEventListener('dial', (event) => showDial(JSON.parse(event.data)));
  events.addEventListener('import', (event) => {
    const report = JSON.parse(event.data);
    const line = state.lines.find((l) => l.slot === report.slot);
    $('import-status').textContent = report.state === 'reading'
      ? `${line ? line.label : report.slot}: ${t('reading')}…`
      : `${line ? line.label : report.slot}: ${report.read ? `${t('readDone')} (${report.records}, ${report.added} ${t('added')})` : report.problem}`;
    $('import-status').dataset.state = report.state;
    if (report.state === 'done' && report.added) { loadRecent(); if (!$('tab-log').hidden) loadLog(state.log.before); }
  });
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED) fetch('/api/session').then((r) => { if (r.status === 401) location.replace(`/login${location.hash}`); else setTimeout(listen, 2000); });
  };
}

// ---- start --------------------------------------------------------------------------------------

function showTab(name) {
  for (const button of document.querySelectorAll('.tabs button')) button.classList.toggle('active', button.dataset.tab === name);
  for (const section of document.querySelectorAll('.tab')) section.hidden = section.id !== `tab-${name}`;
  if (name === 'log') { state.log.pages = []; loadLog(); }
  if (name === 'phonebook') loadPhonebook();
}

async function start() {
  const session = await fetch('/api/session');
  if (!session.ok) return location.replace(`/login${location.hash}`);
  const info = await session.json();
  state.csrf = info.csrf;
  state.role = info.role;
  document.body.classList.toggle('display', info.role !== 'full');
  $('role-note').hidden = info.role === 'full';
  $('site').textContent = info.site;
  translate();
  for (const button of document.querySelectorAll('.tabs button')) button.addEventListener('click', () => showTab(button.dataset.tab));
  $('lang').addEventListener('click', () => { switchLanguage(); renderLines(); renderChime(); loadRecent(); });
  renderChime();
  $('chime').addEventListener('click', toggleChime);
  for (const kind of ['pointerdown', 'keydown']) document.addEventListener(kind, wakeAudio, { capture: true });
  $('wall').addEventListener('click', () => setWall(true));
  $('wall-exit').addEventListener('click', () => setWall(false));
  document.addEventListener('keydown', (event) => { if (event.key === 'Escape' && document.body.classList.contains('wall')) setWall(false); });
  document.addEventListener('fullscreenchange', () => { if (!document.fullscreenElement && document.body.classList.contains('wall')) setWall(false); });
  if (hashParams().has('wall')) setWall(true);
  $('logout').addEventListener('click', async () => { await api('POST', '/api/logout').catch(() => {}); location.replace('/login'); });
  if ('Notification' in window && Notification.permission === 'default') {
    $('notify').hidden = false;
    $('notify').addEventListener('click', () => Notification.requestPermission().then(() => { $('notify').hidden = true; }));
  }
  $('log-search').addEventListener('submit', (event) => { event.preventDefault(); state.log.pages = []; loadLog(); });
  $('log-older').addEventListener('click', () => { state.log.pages.push(state.log.before); loadLog(state.log.next); });
  $('log-newer').addEventListener('click', () => loadLog(state.log.pages.pop() || 0));
  $('pb-add').addEventListener('submit', async (event) => {
    event.preventDefault();
    try {
      await api('PUT', '/api/phonebook', { number: $('pb-number').value, name: $('pb-name').value.trim(), note: $('pb-note').value.trim(), prefix: $('pb-prefix').checked });
      $('pb-add').reset();
      $('pb-result').textContent = '';
      loadPhonebook();
    } catch (error) { $('pb-result').textContent = error.message; }
  });
  $('pb-import').addEventListener('click', importPhonebook);
  $('dial-dialog').addEventListener('close', () => { if ($('dial-dialog').returnValue === 'dial') placeDial(); });
  listen();
}

start();
