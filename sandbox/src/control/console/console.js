// The sandbox's console. It uses only the control port's own JSON API (docs/sandbox.md), so it
// doubles as an example of it. Everything the service stored is shown with textContent, never as
// HTML: message texts come from whatever client talked to the sandbox.
'use strict';

const POLL_MS = 500;         // without the event stream
const STREAM_POLL_MS = 5000; // with it: only what time alone changes (due reservations)
const MESSAGE_PAGE = 500;
const CALL_KEEP = 500;
const LOOKUP_PROC = 'sp_sproc_columns';

const PROCS = [
  'f_login', 'f_sms_janek', 'sp_sms_send', 'sp_lms_send', 'sp_mms_send', 'sp_result_data1',
  'sp_result_data2', 'sp_result_dataV2', 'sp_YaeyakData', 'sp_YaeyakDataV2', 'sp_YaeyakDelete',
  'sp_ibgum_data', 'sp_addmember', 'sp_sproc_columns',
];
const ROW_PROCS = [
  'sp_result_data1', 'sp_result_data2', 'sp_result_dataV2', 'sp_YaeyakData', 'sp_YaeyakDataV2',
  'sp_ibgum_data', 'sp_sproc_columns',
];
const MIRROR_MODES = ['up', 'down', '404', '500', 'no-sms-id', 'hang', 'html', 'binary', 'custom'];
const SFTP_MODES = ['up', 'refuse-writes', 'mute'];
const TDS_MODES = ['up', 'blackhole', 'close-new'];

const $ = (selector) => document.querySelector(selector);

// Builds an element; strings become text nodes, null/undefined/false children are skipped.
function el(tag, props, ...children) {
  const e = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') e.className = value;
    else if (key === 'text') e.textContent = value;
    else if (key.startsWith('on')) e.addEventListener(key.slice(2), value);
    else if (key in e && typeof value !== 'string') e[key] = value;
    else e.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    e.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return e;
}

async function api(method, path) {
  return (await apiFull(method, path)).data;
}

// The answer with the total the control port counted (X-Total-Count), when it sends one.
async function apiFull(method, path) {
  const init = { method, cache: 'no-store' };
  if (method !== 'GET') init.body = '';  // the control port wants a body length on POST
  const response = await fetch(path, init);
  const text = await response.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch (e) {
    data = null;
  }
  if (!response.ok) {
    throw new Error((data && data.error) || `HTTP ${response.status}`);
  }
  const total = response.headers.get('X-Total-Count');
  return { data, total: total === null ? null : Number(total) };
}

function query(params) {
  const parts = [];
  for (const [k, v] of Object.entries(params)) {
    if (v === undefined || v === null || v === '') continue;
    parts.push(`${encodeURIComponent(k)}=${encodeURIComponent(v)}`);
  }
  return parts.length ? `?${parts.join('&')}` : '';
}

let toastTimer = 0;
function toast(text, isError) {
  const t = $('#toast');
  t.textContent = text;
  t.className = `show${isError ? ' error' : ''}`;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { t.className = ''; }, isError ? 5000 : 2500);
}

// Runs a state-changing request, reports its outcome, refreshes at once.
async function act(method, path, done) {
  try {
    const answer = await api(method, path);
    if (done) toast(typeof done === 'function' ? done(answer) : done);
  } catch (e) {
    toast(e.message, true);
  }
  // The controls may show what the user picked rather than what the service did: redraw them.
  forgetControls();
  refreshNow();
}

function forgetControls() {
  state.last.mirrors = null;
  state.last.sftp = null;
  state.last.tds = null;
  state.last.faults = null;
  state.last.latency = null;
}

// ---- formatting ----

const won = new Intl.NumberFormat('en-US', { minimumFractionDigits: 2, maximumFractionDigits: 4 });
function money(v) {
  return v === null || v === undefined ? '' : won.format(v);
}

// One line of text with line breaks and tabs made visible.
function oneLine(s) {
  if (s === null || s === undefined) return [el('span', { class: 'muted', text: 'NULL' })];
  const out = [];
  let run = '';
  for (const ch of s) {
    const mark = ch === '\n' ? '↵' : ch === '\r' ? '␍' : ch === '\t' ? '⇥' : null;
    if (mark) {
      if (run) out.push(run);
      run = '';
      out.push(el('span', { class: 'ctl', text: mark }));
    } else {
      run += ch;
    }
  }
  if (run) out.push(run);
  return out;
}

function nullable(v) {
  return v === null || v === undefined ? el('span', { class: 'muted', text: 'NULL' }) : String(v);
}

// "640065006d006f00" (UTF-16LE bytes) -> "0064 0065 006D 006F" (code units as numbers).
function codeUnits(hex) {
  const units = [];
  for (let i = 0; i + 4 <= hex.length; i += 4) {
    units.push((hex.slice(i + 2, i + 4) + hex.slice(i, i + 2)).toUpperCase());
  }
  return units.join(' ');
}

function utf16Line(param) {
  if (param.utf16 === undefined) return null;
  const units = param.utf16.length / 4;
  return el('div', { class: 'utf16 mono', title: `UTF-16LE bytes: ${param.utf16}` },
    `${units} code unit${units === 1 ? '' : 's'}: ${codeUnits(param.utf16) || '(empty)'}`);
}

function paramValue(param) {
  if (param.null) return el('span', { class: 'muted', text: 'NULL' });
  if (param.value !== undefined && param.text === undefined) return String(param.value);
  return param.text;
}

function who(m) {
  return m.sub_id ? `${m.user_id} / ${m.sub_id}` : (m.user_id || '');
}

function resultCell(m) {
  if (m.result_code === null || m.result_code === undefined) return el('td', { class: 'muted', text: '—' });
  const text = `${m.result_code} ${m.result_msg || ''}`;
  return el('td', { class: `${m.result_code === 0 ? 'result-ok' : 'result-fail'} clip`, title: text }, text);
}

function basename(path) {
  return String(path).split(/[\\/]/).pop();
}

// ---- shared state ----

const state = {
  view: 'messages',
  clock: '',
  selected: null,       // message id in the detail pane
  showUtf16: false,
  seen: new Set(),      // message ids already drawn, to mark new ones
  firstDraw: true,
  uploads: [],          // names in the uploads folder
  last: {},             // last answer text per view, to skip needless redraws
  calls: [],
  callSeq: 0,
  openCall: null,
  messageLimit: MESSAGE_PAGE,  // grows by a page with "Load more"
  stream: null,                // the EventSource while it is open
  streamOpen: false,
  clockAt: 0,                  // performance.now() when the clock was read
};

function changed(key, data) {
  const text = JSON.stringify(data);
  if (state.last[key] === text) return false;
  state.last[key] = text;
  return true;
}

function fillBody(table, rows, emptyId) {
  const body = $(table).tBodies[0];
  body.replaceChildren(...rows);
  if (emptyId) $(emptyId).hidden = rows.length > 0;
}

// ---- header and side panel ----

// The service clock runs in real time between reads: tick it here instead of asking.
function clockText() {
  const m = /^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)/.exec(state.clock);
  if (!m) return state.clock;
  const base = Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
  const t = new Date(base + Math.max(0, performance.now() - state.clockAt));
  return t.toISOString().slice(0, 19).replace('T', ' ');
}

function renderState(s) {
  state.clock = s.clock;
  state.clockAt = performance.now();
  $('#clock').textContent = s.clock;
  $('#clock-set').placeholder = s.clock;  // the format, and a value to start from

  // A control being used is not redrawn under the pointer; it catches up once left.
  if (!$('#mirrors').contains(document.activeElement) && changed('mirrors', s.mirrors)) {
    const rows = s.mirrors.map((m) => {
      const select = el('select', {
        id: `mirror-${m.mirror}-mode`,
        class: m.mode === 'up' ? '' : 'mode-bad',
        onchange: (ev) => { ev.target.blur(); setMirrorMode(m.mirror, ev.target.value); },
      }, MIRROR_MODES.map((mode) => el('option', { value: mode, selected: mode === m.mode, text: mode })));
      return el('tr', { 'data-mirror': m.mirror },
        el('td', { text: `mirror${m.mirror}` }),
        el('td', { class: 'mono', text: m.port }),
        el('td', {}, select),
        el('td', { class: 'num', text: m.hits }),
        el('td', {}, el('button', {
          type: 'button', title: 'Set the hit count to 0',
          onclick: () => act('POST', `/mirrors/${m.mirror}/reset-hits`),
        }, 'reset')));
    });
    fillBody('#mirrors', rows);
  }

  if (!$('#sftp').contains(document.activeElement) && changed('sftp', s.sftp)) {
    const select = el('select', {
      id: 'sftp-mode', class: s.sftp.mode === 'up' ? '' : 'mode-bad',
      onchange: (ev) => {
        ev.target.blur();
        act('POST', `/sftp${query({ mode: ev.target.value })}`, `SFTP mode: ${ev.target.value}`);
      },
    }, SFTP_MODES.map((mode) => el('option', { value: mode, selected: mode === s.sftp.mode, text: mode })));
    $('#sftp').replaceChildren(
      el('span', { class: 'k', text: 'mode' }), el('span', {}, select),
      el('span', { class: 'k', text: 'port' }), el('span', { class: 'mono', text: s.sftp.port }),
      el('span', { class: 'k', text: 'sessions' }),
      el('span', { text: `${s.sftp.open_sessions} open, ${s.sftp.total_sessions} in all` }));
  }

  if (s.tds && !$('#tds').contains(document.activeElement) && changed('tds', s.tds)) {
    const t = s.tds;
    const select = el('select', {
      id: 'tds-mode', class: t.mode === 'up' ? '' : 'mode-bad',
      onchange: (ev) => {
        ev.target.blur();
        act('POST', `/tds${query({ mode: ev.target.value })}`, `database mode: ${ev.target.value}`);
      },
    }, TDS_MODES.map((mode) => el('option', { value: mode, selected: mode === t.mode, text: mode })));
    const closeAll = el('button', {
      type: 'button', title: 'Close every open connection, as a restart of the server does',
      onclick: () => act('POST', '/connections/close', (a) => `${a.closed} connections closed`),
    }, 'close all');
    $('#tds').replaceChildren(
      el('span', { class: 'k', text: 'mode' }), el('span', {}, select),
      el('span', { class: 'k', text: 'port' }), el('span', { class: 'mono', text: `${t.port} (database sms)` }),
      el('span', { class: 'k', text: 'connections' }),
      el('span', {}, `${t.open_connections} open, ${t.total_connections} in all `, closeAll),
      el('span', { class: 'k', text: 'sessions' }), el('span', { text: `${t.open_sessions} open` }),
      el('span', { class: 'k', text: 'logins' }),
      el('span', { text: `${t.total_logins} (${t.failed_logins} refused)` }),
      el('span', { class: 'k', text: 'encryption' }),
      el('span', { text: t.encryption, title: t.certificate || '' }),
      el('span', { class: 'k', text: 'round trips' }), el('span', { text: t.round_trips }));
  }

  if (s.latency && !$('#latency').contains(document.activeElement) && changed('latency', s.latency)) {
    for (const name of ['database', 'mirrors', 'sftp']) $('#latency').elements[name].value = s.latency[name];
  }
}

function encryptionText(c) {
  if (c.encryption === 'login') return 'login only';
  if (c.encryption === 'session') return 'whole session';
  return c.encryption || '';
}

async function refreshConnections() {
  const list = (await api('GET', '/connections')).connections;
  if (!changed('connections', list)) return;
  const rows = [];
  for (let i = list.length - 1; i >= 0; --i) {
    const c = list[i];
    const r = c.round_trips;
    rows.push(el('tr', { class: c.open ? '' : 'muted' },
      el('td', { class: 'num', text: c.number }), el('td', { class: 'num', text: c.connection || '' }),
      timeCell(c.connected_at), el('td', { text: c.user }), el('td', { text: c.state }),
      el('td', { class: c.encryption === 'none' ? 'muted' : '', text: encryptionText(c) }),
      el('td', { class: 'mono', text: c.tls ? `${c.tls} ${c.cipher}` : '' }),
      el('td', { class: 'num', text: r.total }),
      el('td', { class: 'mono', text: [r.prelogin, r.tls, r.login, r.sql, r.rpc, r.other].join(' / ') }),
      el('td', { class: c.closed_because ? 'result-fail' : '', text: c.closed_because || '' })));
  }
  fillBody('#connections', rows, '#connections-empty');
}

function setMirrorMode(n, mode) {
  let path = `/mirrors/${n}${query({ mode })}`;
  if (mode === 'custom') {
    // The body of a custom answer travels as the request body.
    const body = window.prompt(`Body mirror${n} serves as ip1.ini:`, '[ip]\r\n');
    if (body === null) { state.last.mirrors = null; return; }
    fetch(path, { method: 'POST', body }).then(async (r) => {
      if (!r.ok) throw new Error((await r.json()).error);
      toast(`mirror${n}: custom`);
    }).catch((e) => toast(e.message, true)).finally(() => { forgetControls(); refreshNow(); });
    return;
  }
  act('POST', path, `mirror${n}: ${mode}`);
}

function renderFaults(f) {
  if (!changed('faults', f)) return;
  const items = [];
  for (const r of f.raise) {
    items.push(`raise ${r.proc}: ${r.number} “${r.message}” × ${r.times}`);
  }
  for (const d of f.drop) {
    items.push(`drop execution ${d.after} from now of ${d.proc || 'any procedure'}`);
  }
  for (const r of f.rows) items.push(`${r.proc} returns ${r.count} generated rows`);
  for (const k of f.ack || []) {
    items.push(k.drop
      ? `acknowledgement ${k.after} from now drops its connection`
      : `acknowledgement ${k.after} from now raises ${k.number} “${k.message}”`);
  }
  if (f.janek_null) items.push('f_sms_janek returns NULL');
  $('#armed').replaceChildren(...(items.length
    ? items.map((t) => el('li', { text: t }))
    : [el('li', { class: 'none', text: 'nothing armed' })]));
  $('#fault-janek').checked = f.janek_null;
}

function setUpFaultForms() {
  for (const select of document.querySelectorAll('select.procs')) {
    const names = select.classList.contains('rows') ? ROW_PROCS : PROCS;
    if (select.classList.contains('any')) select.append(el('option', { value: '', text: 'any procedure' }));
    for (const n of names) select.append(el('option', { value: n, text: n }));
  }
  $('#fault-raise').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const f = ev.target.elements;
    act('POST', `/faults/raise${query({
      proc: f.proc.value, message: f.message.value, number: f.number.value, times: f.times.value,
    })}`, `armed: ${f.proc.value} raises`);
  });
  $('#fault-drop').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const f = ev.target.elements;
    act('POST', `/faults/drop${query({ after: f.after.value, proc: f.proc.value })}`, 'armed: drop');
  });
  $('#fault-rows').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const f = ev.target.elements;
    act('POST', `/faults/rows${query({ proc: f.proc.value, count: f.count.value })}`,
      `armed: ${f.proc.value} rows`);
  });
  $('#fault-janek').addEventListener('change', (ev) => {
    act('POST', `/faults/janek-null?on=${ev.target.checked ? 1 : 0}`,
      ev.target.checked ? 'balance answers NULL' : 'balance answers normally');
  });
  $('#faults-clear').addEventListener('click', () => act('DELETE', '/faults', 'faults cleared'));
}

// ---- messages ----

// The filters as typed; the search text is sent as typed (the service folds A-Z only).
function messageFilters() {
  const f = $('#message-filters').elements;
  return {
    user: f.user.value.trim(), kind: f.kind.value, state: f.state.value,
    recipient: f.recipient.value.trim(), q: f.q.value,
  };
}

function filtered(filters) {
  return Object.values(filters).some((v) => v !== '');
}

// A date-time on two lines, date over time, so three of them fit beside the text at 1,366 px.
function timeCell(text, extra, column) {
  const when = text ? text.slice(0, 19) : '';
  return el('td', { class: column ? `time ${column}` : 'time', title: when },
    when ? [el('div', { text: when.slice(0, 10) }), el('div', { text: when.slice(11) })]
      : el('span', { class: 'muted', text: '—' }),
    extra ? el('div', { class: 'muted', text: extra }) : null);
}

function messageRow(m, fresh) {
  return el('tr', {
    'data-id': m.id,
    class: [m.id === state.selected ? 'selected' : '', fresh ? 'fresh' : ''].join(' ').trim(),
    onclick: () => selectMessage(m.id),
  },
  el('td', { class: 'num', text: m.id }),
  el('td', {}, el('span', { class: `badge ${m.kind}`, text: m.kind })),
  el('td', {}, who(m), el('div', { class: 'muted', text: m.user_tel || '' })),
  el('td', {}, m.custom_tel || '', m.custom_nam ? el('div', { class: 'muted', text: m.custom_nam }) : null),
  el('td', { class: 'text', title: m.subject ? `${m.subject}\n${m.msg || ''}` : (m.msg || '') },
    m.subject ? el('span', { class: 'subject', text: m.subject }) : null, oneLine(m.msg)),
  timeCell(m.i_time, '', 'submitted'),
  timeCell(m.due, m.reserved ? 'reserved' : '', 'due'),
  timeCell(m.s_time),
  el('td', {}, el('span', { class: `badge ${m.state}`, text: m.state })),
  resultCell(m),
  el('td', { class: 'num fee', text: money(m.fee) }));
}

async function refreshMessages() {
  const filters = messageFilters();
  const { data: list, total } = await apiFull('GET', `/messages${query({ ...filters, limit: state.messageLimit })}`);
  const all = total === null ? list.length : total;
  $('#count-messages').textContent = all ? `(${all})` : '';
  $('#messages-shown').textContent = all > list.length ? `newest first, ${list.length} of ${all} shown` : 'newest first';
  $('#messages-more').hidden = all <= list.length;
  $('#messages-delete').textContent = filtered(filters) ? `Delete ${all} matching…` : 'Delete all…';
  if (!changed('messages', list)) return;
  const rows = [];
  for (let i = list.length - 1; i >= 0; --i) {
    const m = list[i];
    rows.push(messageRow(m, !state.firstDraw && !state.seen.has(m.id)));
    state.seen.add(m.id);
  }
  state.firstDraw = false;
  fillBody('#messages', rows, '#messages-empty');
}

// DELETE /messages with the filters shown (all messages without any), after asking.
function deleteMessages() {
  const filters = messageFilters();
  const what = filtered(filters) ? 'every message matching the filters' : 'every message';
  if (!window.confirm(`Delete ${what}? This cannot be undone.`)) return;
  act('DELETE', `/messages${query(filters)}`, (a) => `${a.deleted} message${a.deleted === 1 ? '' : 's'} deleted`);
}

function resetService() {
  if (!window.confirm('Reset the service to its seed state? Accounts, balances, messages, faults, ' +
      'the clock and the call log start over.')) return;
  state.calls = [];
  state.openCall = null;
  state.seen.clear();
  state.firstDraw = true;
  state.selected = null;
  act('POST', '/reset', 'service reset to its seed state');
}

function selectMessage(id) {
  state.selected = id;
  for (const tr of $('#messages').tBodies[0].rows) {
    tr.classList.toggle('selected', Number(tr.dataset.id) === id);
  }
  state.last.detail = null;
  refreshDetail().catch((e) => toast(e.message, true));
}

async function refreshDetail() {
  const pane = $('#detail');
  pane.parentElement.classList.toggle('with-detail', state.selected !== null);
  if (state.selected === null) {
    pane.hidden = true;
    return;
  }
  let m;
  try {
    m = await api('GET', `/messages/${state.selected}`);
  } catch (e) {
    // Gone (a sandbox started again with --reset): close the pane rather than fail every poll.
    state.selected = null;
    pane.hidden = true;
    return;
  }
  if (!changed('detail', m)) return;
  pane.hidden = false;
  $('#detail-title').textContent = `Message #${m.id} · ${m.kind.toUpperCase()} · ${m.proc}`;
  const fields = [
    ['state', el('span', { class: `badge ${m.state}`, text: m.state })],
    ['submitted', m.i_time],
    ['due', m.due + (m.reserved ? ' (reserved)' : '')],
    ['sent', nullable(m.s_time)],
    ['result', m.result_code === null ? nullable(null) : `${m.result_code} ${m.result_msg || ''}`],
    ['fee', money(m.fee)],
    ['acknowledged', m.reply ? 'yes' : 'no'],
    ['connection', nullable(m.connection)],
  ];
  $('#detail-fields').replaceChildren(...fields.flatMap(([k, v]) => [el('dt', { text: k }), el('dd', {}, v)]));
  const pictures = [m.fnam1, m.fnam2, m.fnam3].filter((f) => f);
  $('#detail-pictures').replaceChildren(...pictures.map((f) => thumbnail(f)));
  const rows = m.params.map((p) => el('tr', {},
    el('td', { class: 'mono', text: p.name }),
    el('td', { class: 'muted', text: p.type }),
    el('td', {}, el('div', { class: 'value' }, paramValue(p)), utf16Line(p))));
  fillBody('#detail-params', rows);
}

// A thumbnail of an uploaded file named like `path` (the part after the last separator; the
// uploads folder may hold it in another case).
function thumbnail(path) {
  const wanted = basename(path);
  const found = state.uploads.find((n) => n === wanted) ||
    state.uploads.find((n) => n.toLowerCase() === wanted.toLowerCase());
  if (!found) return el('figure', { class: 'broken' }, el('figcaption', { text: `${wanted} (not uploaded)` }));
  return el('figure', {}, pictureImg(found), el('figcaption', { text: found }));
}

function pictureImg(name) {
  return el('img', {
    src: `/uploads/${encodeURIComponent(name)}`, alt: name, loading: 'lazy',
    onerror: (ev) => ev.target.parentElement.classList.add('broken'),
  });
}

// ---- the other views ----

async function refreshUploads() {
  const u = await api('GET', '/uploads');
  state.uploads = u.files.map((f) => f.name);
  $('#count-pictures').textContent = u.files.length ? `(${u.files.length})` : '';
  return u.files;
}

async function refreshPictures() {
  const files = await refreshUploads();
  const mms = await api('GET', `/messages${query({ kind: 'mms', limit: MESSAGE_PAGE })}`);
  if (!changed('pictures', { files, mms: mms.map((m) => [m.id, m.fnam1, m.fnam2, m.fnam3]) })) return;
  const users = new Map();
  for (const m of mms) {
    for (const f of [m.fnam1, m.fnam2, m.fnam3]) {
      if (!f) continue;
      const key = basename(f).toLowerCase();
      if (!users.has(key)) users.set(key, []);
      users.get(key).push(m.id);
    }
  }
  const figures = files.map((f) => {
    const ids = users.get(f.name.toLowerCase()) || [];
    // A name that is not UTF-8 arrives escaped: no file has that name, so no picture is asked for.
    return el('figure', { 'data-name': f.name, class: f.escaped ? 'broken' : undefined },
      f.escaped ? null : pictureImg(f.name),
      el('figcaption', {}, el('div', { text: f.name }),
        el('div', { class: 'muted', text: `${f.size.toLocaleString('en-US')} bytes` }),
        ids.length ? el('div', { class: 'muted', text: `in message ${ids.map((i) => `#${i}`).join(', ')}` }) : null));
  });
  $('#pictures').replaceChildren(...figures);
  $('#pictures-empty').hidden = figures.length > 0;
}

async function refreshReservations() {
  const waiting = await api('GET', `/messages${query({ state: 'waiting', reserved: 1 })}`);
  // Pending: reserved and not yet due by the service clock (times compare as text).
  const pending = waiting.filter((m) => m.reserved && m.due > state.clock);
  pending.sort((a, b) => (a.due < b.due ? -1 : a.due > b.due ? 1 : a.id - b.id));
  $('#count-reservations').textContent = pending.length ? `(${pending.length})` : '';
  if (!changed('reservations', pending)) return;
  const rows = pending.map((m) => el('tr', { 'data-id': m.id },
    el('td', { class: 'num', text: m.id }),
    el('td', {}, el('span', { class: `badge ${m.kind}`, text: m.kind })),
    el('td', { text: who(m) }),
    el('td', {}, m.custom_tel || '', m.custom_nam ? el('div', { class: 'muted', text: m.custom_nam }) : null),
    el('td', { class: 'text' }, m.subject ? el('span', { class: 'subject', text: m.subject }) : null, oneLine(m.msg)),
    el('td', { class: 'mono', text: m.due }),
    el('td', { class: 'num', text: money(m.fee) }),
    el('td', {}, el('button', {
      type: 'button', class: 'cancel',
      onclick: () => act('POST', `/messages/${m.id}/cancel`, `reservation #${m.id} cancelled`),
    }, 'Cancel'))));
  fillBody('#reservations', rows, '#reservations-empty');
}

async function refreshAcks() {
  const acks = await api('GET', '/acks');
  if (!changed('acks', acks)) return;
  const rows = acks.slice().reverse().map((a) => el('tr', {},
    el('td', { class: 'num', text: a.seq }), el('td', { class: 'num', text: a.connection }),
    el('td', { class: 'num', text: a.id }), el('td', { class: 'mono', text: a.at || '' }),
    el('td', { class: 'num', text: a.rows })));
  fillBody('#acks', rows, '#acks-empty');
}

async function refreshAccounts() {
  // Redrawing would throw away what is being typed.
  if ($('#accounts').contains(document.activeElement)) return;
  const accounts = await api('GET', '/accounts');
  if (!changed('accounts', accounts)) return;
  const rows = accounts.map((a) => {
    const input = el('input', {
      class: 'balance', type: 'text', value: String(a.balance), inputmode: 'decimal',
      'aria-label': `balance of ${a.user_id}`,
    });
    const save = () => input.blur() || act('POST', `/accounts${query({ user: a.user_id, balance: input.value.trim() })}`,
      `${a.user_id}: balance ${input.value.trim()}`);
    input.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') save(); });
    return el('tr', { 'data-user': a.user_id },
      el('td', { text: a.user_id }),
      el('td', { class: 'mono', text: a.password || '' }),
      el('td', { class: 'num' }, input, ' ', el('button', { type: 'button', onclick: save }, 'Save')),
      el('td', {}, el('input', {
        type: 'checkbox', checked: a.blocked, 'aria-label': `${a.user_id} blocked`,
        onchange: (ev) => act('POST', `/accounts${query({ user: a.user_id, blocked: ev.target.checked ? 1 : 0 })}`,
          `${a.user_id}: ${ev.target.checked ? 'blocked' : 'unblocked'}`),
      })),
      el('td', { text: a.sub_accounts.join(', ') }));
  });
  fillBody('#accounts', rows);
}

async function refreshDeposits() {
  const deposits = await api('GET', '/deposits');
  if (!changed('deposits', deposits)) return;
  const rows = deposits.map((d) => el('tr', {},
    el('td', { class: 'num', text: d.id }), el('td', { text: d.user_id || '' }),
    el('td', { class: 'num' }, nullable(d.kunsu)), el('td', { class: 'num', text: money(d.ibgum) }),
    el('td', { class: 'mono', text: d.date ? d.date.slice(0, 10) : '' }),
    el('td', {}, oneLine(d.memo))));
  fillBody('#deposits', rows, '#deposits-empty');
}

async function refreshMembers() {
  const members = await api('GET', '/members');
  if (!changed('members', members)) return;
  const rows = members.slice().reverse().map((m) => el('tr', {},
    el('td', { class: 'num', text: m.seq }), el('td', { class: 'mono', text: m.i_time || '' }),
    el('td', {}, nullable(m.user_id)), el('td', {}, nullable(m.tax_ltd)), el('td', {}, nullable(m.tax_name)),
    el('td', {}, nullable(m.tax_tel)), el('td', {}, nullable(m.tax_mail)), el('td', { class: 'text', title: m.tax_juso || '' }, nullable(m.tax_juso)),
    el('td', {}, nullable(m.tax_damdang))));
  fillBody('#members', rows, '#members-empty');
}

function callParams(c) {
  return c.params.map((p) => `${p.name}=${p.null ? 'NULL' : (p.text !== undefined ? p.text : p.value)}`).join('  ');
}

async function refreshCalls() {
  // Only the newest the view keeps: a long log is never fetched whole.
  const fresh = await api('GET', `/calls${query({ since: state.callSeq, limit: CALL_KEEP })}`);
  if (fresh.length) {
    state.calls.push(...fresh);
    state.callSeq = fresh[fresh.length - 1].seq;
    if (state.calls.length > CALL_KEEP) state.calls.splice(0, state.calls.length - CALL_KEEP);
  }
  const wanted = $('#calls-proc').value.trim().toLowerCase();
  // The component asks for a procedure's parameters (sp_sproc_columns) before it calls it; those
  // look-ups are hidden unless asked for.
  const hideLookups = $('#calls-hide-lookups').checked;
  const matching = state.calls.filter((c) => !wanted || c.proc.toLowerCase().includes(wanted));
  const shown = matching.filter((c) => !hideLookups || c.proc.toLowerCase() !== LOOKUP_PROC);
  const hidden = matching.length - shown.length;
  $('#calls-hidden').textContent = hidden ? `(${hidden} hidden)` : '';
  if (!changed('calls', [shown.length && shown[shown.length - 1].seq, shown.length, wanted, hideLookups, state.openCall])) return;
  const rows = [];
  for (let i = shown.length - 1; i >= 0; --i) {
    const c = shown[i];
    rows.push(el('tr', {
      'data-seq': c.seq, class: c.seq === state.openCall ? 'selected' : '',
      onclick: () => { state.openCall = state.openCall === c.seq ? null : c.seq; refreshNow(); },
    },
    el('td', { class: 'num', text: c.seq }), timeCell(c.at), el('td', { class: 'num', text: c.connection }),
    el('td', { class: 'mono', text: c.proc }), el('td', { text: c.via }),
    el('td', { class: 'text', title: callParams(c) }, oneLine(callParams(c))),
    el('td', { class: c.error ? 'result-fail wrap' : '', text: c.error || '' })));
    if (c.seq === state.openCall) {
      rows.push(el('tr', { class: 'call-detail' }, el('td', { colspan: 7 },
        el('table', { class: 'grid params' }, el('tbody', {}, c.params.map((p) => el('tr', {},
          el('td', { class: 'mono', text: p.name }), el('td', { class: 'muted', text: p.type }),
          el('td', {}, el('div', { class: 'value' }, paramValue(p)),
            p.utf16 !== undefined ? el('div', { class: 'mono utf16' }, codeUnits(p.utf16) || '(empty)') : null))))))));
    }
  }
  fillBody('#calls', rows, '#calls-empty');
}

// ---- the poll loop ----

const VIEWS = {
  messages: async () => {
    await refreshUploads();
    await refreshMessages();
    await refreshDetail();
  },
  pictures: refreshPictures,
  reservations: refreshReservations,
  acks: refreshAcks,
  accounts: refreshAccounts,
  deposits: refreshDeposits,
  members: refreshMembers,
  calls: refreshCalls,
  connections: refreshConnections,
};

let polling = false;
let again = false;
let pollTimer = 0;

async function poll() {
  if (polling) { again = true; return; }
  polling = true;
  clearTimeout(pollTimer);
  const live = $('#live');
  try {
    renderState(await api('GET', '/state'));
    renderFaults(await api('GET', '/faults'));
    await VIEWS[state.view]();
    if (state.view !== 'reservations') await refreshReservations();
    live.textContent = state.streamOpen ? 'live' : 'live (polling)';
    live.className = 'live ok';
  } catch (e) {
    live.textContent = `no answer from the sandbox (${e.message})`;
    live.className = 'live down';
  } finally {
    polling = false;
    pollTimer = setTimeout(poll, again ? 0 : (state.streamOpen ? STREAM_POLL_MS : POLL_MS));
    again = false;
  }
}

// The control port pushes a "change" event whenever its state changes; each one fetches what
// the page shows. If the stream drops, the page polls until the browser reconnects it.
function listen() {
  if (!window.EventSource) return;
  const stream = new EventSource('/events');
  state.stream = stream;
  stream.addEventListener('change', () => {
    state.streamOpen = true;
    refreshNow();
  });
  stream.addEventListener('error', () => {
    state.streamOpen = false;
    if (stream.readyState === EventSource.CLOSED) {
      // Refused (too many streams, or the sandbox restarted): try again later, poll meanwhile.
      setTimeout(listen, 5000);
    }
    refreshNow();
  });
}

function refreshNow() {
  poll();
}

function showView(name) {
  state.view = name;
  for (const b of document.querySelectorAll('#tabs button')) b.classList.toggle('active', b.dataset.view === name);
  for (const v of document.querySelectorAll('.view')) v.classList.toggle('active', v.id === `view-${name}`);
  if (location.hash !== `#${name}`) history.replaceState(null, '', `#${name}`);
  refreshNow();
}

function setUp() {
  for (const b of document.querySelectorAll('#tabs button')) {
    b.addEventListener('click', () => showView(b.dataset.view));
  }
  $('#clock-10s').addEventListener('click', () => act('POST', '/clock?advance=10', (a) => `clock: ${a.now}`));
  $('#clock-1m').addEventListener('click', () => act('POST', '/clock?advance=60', (a) => `clock: ${a.now}`));
  $('#clock-set-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const text = $('#clock-set').value.trim();
    act('POST', `/clock${query({ set: text })}`, (a) => `clock: ${a.now}`);
  });
  const filters = $('#message-filters');
  filters.addEventListener('input', () => { state.messageLimit = MESSAGE_PAGE; refreshNow(); });
  filters.addEventListener('submit', (ev) => ev.preventDefault());
  filters.addEventListener('reset', () => { state.messageLimit = MESSAGE_PAGE; setTimeout(refreshNow, 0); });
  $('#detail-close').addEventListener('click', () => {
    state.selected = null;
    for (const tr of $('#messages').tBodies[0].rows) tr.classList.remove('selected');
    refreshDetail();
  });
  $('#utf16-toggle').addEventListener('click', (ev) => {
    state.showUtf16 = !state.showUtf16;
    $('#detail').classList.toggle('show-utf16', state.showUtf16);
    ev.target.setAttribute('aria-pressed', String(state.showUtf16));
    ev.target.textContent = state.showUtf16 ? 'Hide UTF-16' : 'Show UTF-16';
  });
  $('#calls-proc').addEventListener('input', () => refreshNow());
  $('#calls-hide-lookups').addEventListener('change', () => refreshNow());
  $('#latency').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const f = ev.target.elements;
    act('POST', `/latency${query({ database: f.database.value, mirrors: f.mirrors.value, sftp: f.sftp.value })}`,
      (a) => `latency: database ${a.database} ms, mirrors ${a.mirrors} ms, SFTP ${a.sftp} ms`);
  });
  $('#calls-clear').addEventListener('click', () => {
    state.calls = [];
    state.openCall = null;
    act('DELETE', '/calls', 'call log forgotten');
  });
  $('#messages-more').addEventListener('click', () => {
    state.messageLimit += MESSAGE_PAGE;
    refreshNow();
  });
  $('#messages-delete').addEventListener('click', deleteMessages);
  $('#reset').addEventListener('click', resetService);
  setInterval(() => { if (state.clock) $('#clock').textContent = clockText(); }, 1000);
  setUpFaultForms();
  listen();
  const start = location.hash.slice(1);
  showView(VIEWS[start] ? start : 'messages');
}

setUp();
