// The zflash page: talks to the server that served it, with its token on every request.
'use strict';

const token = document.body.dataset.token;
const $ = (id) => document.getElementById(id);
const ROW = 16, ROW_PX = 20, CHUNK = 4096;

const state = { image: { ranges: [], undo: [], redo: [] }, device: { configured: false }, running: null,
  chosen: new Set(), selected: -1, nibble: null, chunks: new Map(), rates: [], writing: false };

async function api(path, body) {
  const init = { method: body === undefined ? 'GET' : 'POST', headers: { 'X-Zflash-Token': token } };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const data = await res.json().catch(() => ({ error: `HTTP ${res.status}` }));
  if (!res.ok) {
    log('error', data.error || `HTTP ${res.status}`);
    throw new Error(data.error);
  }
  return data;
}
const act = (path, body) => api(path, body ?? {}).catch(() => null);

function log(kind, text) {
  const li = document.createElement('li');
  li.className = kind;
  li.textContent = text;
  $('log').append(li);
  $('log').scrollTop = $('log').scrollHeight;
}

const hex8 = (n) => n.toString(16).toUpperCase().padStart(8, '0');
const hex2 = (n) => n.toString(16).toUpperCase().padStart(2, '0');
const num = (text) => {
  const t = text.trim().replace(/^H'/i, '0x');
  if (!/^(0x[0-9a-f]+|\d+)$/i.test(t)) return NaN;
  return Number(t);
};

// ---- tabs
document.querySelectorAll('.tab').forEach((b) => b.addEventListener('click', () => {
  document.querySelectorAll('.tab, .panel').forEach((e) => e.classList.remove('active'));
  b.classList.add('active');
  $(b.dataset.tab).classList.add('active');
  if (b.dataset.tab === 'editor') drawHex();
}));

// ---- image
function viewSize() {
  const flash = state.device.configured ? state.device.flash_size : 0;
  const last = state.image.ranges.length ? state.image.ranges[state.image.ranges.length - 1][1] + 1 : 0;
  return Math.max(flash, 1 << 20, Math.ceil(last / ROW) * ROW);
}
const hasData = (a) => state.image.ranges.some(([f, l]) => a >= f && a <= l);

function showImage(image) {
  state.image = image;
  state.chunks.clear();
  $('undo').disabled = !image.undo.length;
  $('redo').disabled = !image.redo.length;
  $('undo').title = image.undo.length ? `Undo ${image.undo[image.undo.length - 1]}` : '';
  $('redo').title = image.redo.length ? `Redo ${image.redo[image.redo.length - 1]}` : '';
  $('undo').textContent = image.undo.length ? `Undo ${image.undo[image.undo.length - 1]}` : 'Undo';
  $('redo').textContent = image.redo.length ? `Redo ${image.redo[image.redo.length - 1]}` : 'Redo';
  $('readonly').hidden = !image.readonly;
  $('image-info').textContent = `${image.bytes} bytes in ${image.ranges.length} range(s)` +
    (image.files.length ? ` from ${image.files.join(', ')}` : '');
  drawMap();
  drawHex();
}

async function chunk(start) {
  if (!state.chunks.has(start)) {
    state.chunks.set(start, api(`/api/image/bytes?from=${start}&length=${CHUNK}`).then((r) => r.data).catch(() => null));
  }
  return state.chunks.get(start);
}

let drawPending = false;
function drawHex() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(async () => {
    drawPending = false;
    const view = $('hex');
    const rows = viewSize() / ROW;
    $('hex-spacer').style.height = `${rows * ROW_PX}px`;
    const first = Math.floor(view.scrollTop / ROW_PX);
    const count = Math.ceil(view.clientHeight / ROW_PX) + 1;
    const from = first * ROW, to = Math.min(rows, first + count) * ROW;
    const starts = [];
    for (let c = Math.floor(from / CHUNK) * CHUNK; c < to; c += CHUNK) starts.push(c);
    const data = await Promise.all(starts.map(chunk));
    const byte = (a) => {
      const d = data[Math.floor(a / CHUNK) - starts[0] / CHUNK];
      return d ? parseInt(d.substr((a % CHUNK) * 2, 2), 16) : 0xff;
    };
    const out = document.createDocumentFragment();
    for (let a = from; a < to; a += ROW) {
      const row = document.createElement('div');
      row.className = 'hr';
      let html = `<span class="a">${hex8(a)}</span>`, text = '';
      for (let i = 0; i < ROW; i++) {
        const v = byte(a + i), d = hasData(a + i);
        html += `<span class="b ${d ? 'd' : 'e'}${a + i === state.selected ? ' sel' : ''}" data-a="${a + i}">${hex2(v)}</span>`;
        text += d && v >= 32 && v < 127 ? String.fromCharCode(v) : '.';
      }
      row.innerHTML = html;
      const c = document.createElement('span');
      c.className = 'c';
      c.textContent = text;
      row.append(c);
      out.append(row);
    }
    $('hex-rows').style.top = `${first * ROW_PX}px`;
    $('hex-rows').replaceChildren(out);
  });
}
$('hex').addEventListener('scroll', drawHex);
$('hex').addEventListener('click', (e) => {
  const a = e.target.dataset.a;
  if (a === undefined) return;
  state.selected = Number(a);
  state.nibble = null;
  $('hex').focus();
  drawHex();
});
$('hex').addEventListener('keydown', async (e) => {
  if (state.selected < 0) return;
  const moves = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: ROW, ArrowUp: -ROW };
  if (moves[e.key]) {
    state.selected = Math.max(0, state.selected + moves[e.key]);
    state.nibble = null;
    e.preventDefault();
    drawHex();
    return;
  }
  if (!/^[0-9a-fA-F]$/.test(e.key)) return;
  e.preventDefault();
  if (state.nibble === null) {
    state.nibble = parseInt(e.key, 16);
    return;
  }
  const value = state.nibble * 16 + parseInt(e.key, 16);
  state.nibble = null;
  const address = state.selected;
  if (await act('/api/image/edit', { address, value })) state.selected = address + 1;
});
$('goto').addEventListener('change', () => {
  const a = num($('goto').value);
  if (Number.isNaN(a)) return log('error', 'not an address');
  $('hex').scrollTop = Math.floor(a / ROW) * ROW_PX;
  state.selected = a;
  drawHex();
});

$('open').addEventListener('click', () => {
  const body = { path: $('open-path').value, format: $('open-format').value };
  if ($('open-base').value) body.base = $('open-base').value;
  act('/api/image/open', body).then((r) => r && log('success', `Opened ${body.path}`));
});
$('new').addEventListener('click', () => act('/api/image/new'));
$('save').addEventListener('click', () => {
  act('/api/image/save', { path: $('save-path').value, format: $('save-format').value })
    .then((r) => r && log('success', `Saved ${r.bytes} bytes to ${r.saved} (${r.format})`));
});
$('undo').addEventListener('click', () => act('/api/image/undo'));
$('redo').addEventListener('click', () => act('/api/image/redo'));
$('fill').addEventListener('click', () => act('/api/image/fill', { from: $('fill-from').value, to: $('fill-to').value, value: $('fill-value').value }));
$('clear').addEventListener('click', () => act('/api/image/clear', { from: $('fill-from').value, to: $('fill-to').value }));

// ---- memory map
function blockState(b) {
  if (b.state !== 'unknown' && b.state !== 'blank') return b.state;
  return state.image.ranges.some(([f, l]) => f < b.start + b.size && l >= b.start) ? 'data' : 'empty';
}
function drawMap() {
  const map = $('map');
  map.replaceChildren();
  const blocks = state.device.blocks || [];
  const total = blocks.reduce((s, b) => s + b.size, 0) || 1;
  for (const b of blocks) {
    const d = document.createElement('div');
    const st = blockState(b);
    d.className = `st-${st}${state.chosen.has(b.name) ? ' chosen' : ''}`;
    d.style.flex = `${Math.max(b.size / total, 0.02)}`;
    d.title = `${b.name}  H'${hex8(b.start)}  ${b.size} bytes  ${st}` + (b.state === 'blank' ? ' (blank on the chip)' : '');
    d.textContent = b.name;
    d.addEventListener('click', () => {
      state.chosen.has(b.name) ? state.chosen.delete(b.name) : state.chosen.add(b.name);
      drawMap();
    });
    map.append(d);
  }
  const body = $('block-table').tBodies[0];
  body.replaceChildren(...blocks.map((b) => {
    const tr = document.createElement('tr');
    tr.innerHTML = `<td class="st-${blockState(b)}">&nbsp;&nbsp;</td><td>${b.name}</td><td>H'${hex8(b.start)}</td><td>${b.size}</td><td>${b.state}</td>`;
    return tr;
  }));
}

// ---- device
function showDevice(d) {
  state.device = d;
  if (!d.configured) {
    $('identity').textContent = 'No device set up.';
  } else {
    const id = d.identity;
    $('identity').textContent = `${d.name} (${d.definition}) on ${d.port === 'sim' ? `the virtual target ${d.line}` : d.port}, ` +
      `${d.connection}, FLASH ${d.flash_size} bytes - ` + (d.connected && id
      ? `connected: kernel word ${id.kernel_word}, line size ${id.line_size}, work area ${id.work_area}, ` +
        `handshake 0x${hex2(id.handshake)}, buffer ${id.buffer_size} bytes, protocol ${id.protocol === 1 ? 'B' : 'classic'}`
      : d.connected ? 'connected' : 'not connected');
  }
  drawMap();
  drawHex();
}

async function loadLists() {
  const defs = await api('/api/devices');
  $('definition').replaceChildren(...defs.map((n) => new Option(n, n, false, n === 'ZT31F256.ini')));
  const ports = await api('/api/ports');
  $('port').replaceChildren(...ports.map((p) => new Option(`${p.device} - ${p.description}`, p.device)));
}
$('ports-refresh').addEventListener('click', loadLists);

function deviceRequest() {
  const body = { definition: $('definition-path').value || $('definition').value, port: $('port').value,
    connection: $('connection').value, erase: $('erase-policy').value };
  if ($('baud').value) body.baud = $('baud').value;
  return body;
}
$('configure').addEventListener('click', () => act('/api/device', deviceRequest()));
$('connect').addEventListener('click', async () => {
  if (!state.device.configured && !(await act('/api/device', deviceRequest()))) return;
  act('/api/connect');
});
for (const name of ['disconnect', 'blocks', 'blank', 'verify']) $(name).addEventListener('click', () => act(`/api/${name}`));
$('program').addEventListener('click', () => act('/api/program'));
$('erase-all').addEventListener('click', () => act('/api/erase', { all: true }));
$('erase-chosen').addEventListener('click', () => act('/api/erase', { blocks: [...state.chosen] }));
$('read').addEventListener('click', () => {
  const body = {};
  if ($('read-start').value) body.start = $('read-start').value;
  if ($('read-length').value) body.length = $('read-length').value;
  act('/api/read', body);
});
$('cancel').addEventListener('click', () => act('/api/cancel'));
$('advanced').addEventListener('change', () => $('log').classList.toggle('show-advanced', $('advanced').checked));

// ---- operator
function verdict(kind, text) {
  $('verdict').className = `verdict ${kind}`;
  $('verdict').textContent = text;
}
$('go').addEventListener('click', async () => {
  if (!state.device.configured && !(await act('/api/device', deviceRequest()))) return;
  startJob();
});
function startJob() {
  state.rates = [];
  verdict('busy', 'WORKING');
  act('/api/program', { production: true, job: $('job').value, operator: $('operator-name').value, log: $('job-log').value })
    .then((r) => { if (!r) verdict('fail', 'FAIL'); });
}
function showJob(job) {
  $('units').textContent = `${job.units} units: ${job.passed} passed, ${job.failed} failed`;
  $('results').tBodies[0].replaceChildren(...job.results.map((r) => {
    const tr = document.createElement('tr');
    tr.innerHTML = `<td>${r.unit}</td><td></td><td>${r.time}</td><td class="${r.pass ? 'success' : 'error'}">${r.pass ? 'PASS' : 'FAIL'}</td>`;
    tr.children[1].textContent = r.job;
    return tr;
  }));
}
function drawChart() {
  const c = $('chart'), g = c.getContext('2d');
  g.clearRect(0, 0, c.width, c.height);
  const max = Math.max(1, ...state.rates);
  g.strokeStyle = '#1565c0';
  g.lineWidth = 2;
  g.beginPath();
  state.rates.forEach((r, i) => {
    const x = (i / Math.max(1, state.rates.length - 1)) * (c.width - 10) + 5;
    const y = c.height - 20 - (r / max) * (c.height - 40);
    i ? g.lineTo(x, y) : g.moveTo(x, y);
  });
  g.stroke();
  g.fillStyle = '#455a64';
  g.font = '12px sans-serif';
  const last = state.rates.length ? state.rates[state.rates.length - 1] : 0;
  g.fillText(`writing: ${Math.round(last)} bytes/s now, peak ${Math.round(max)} bytes/s (bytes the library reported written per second)`, 6, 14);
}

// ---- questions
function ask(q) {
  $('question-text').textContent = q.text;
  const names = { 'yes-no': ['yes', 'no'], 'yes-no-cancel': ['yes', 'no', 'cancel'], 'abort-retry-ignore': ['abort', 'retry', 'ignore'] }[q.style];
  $('question-buttons').replaceChildren(...names.map((n) => {
    const b = document.createElement('button');
    b.textContent = n[0].toUpperCase() + n.slice(1);
    b.id = `answer-${n}`;
    b.addEventListener('click', () => { $('question').close(); act('/api/answer', { id: q.id, answer: n }); });
    return b;
  }));
  $('question').dataset.id = q.id;
  if (!$('question').open) $('question').showModal();
}

// ---- events
function setRunning(name) {
  state.running = name;
  $('running').textContent = name ? `${name}...` : 'idle';
  $('cancel').disabled = !name;
  $('go').disabled = !!name;
  if (!name) {
    $('progress').value = 0;
    $('progress-text').textContent = '';
  }
}
function onEvent(e) {
  switch (e.event) {
  case 'message': log(e.kind, e.text); break;
  case 'notice': log(e.error ? 'error' : 'message', e.text); break;
  case 'question': ask(e); break;
  case 'answered': if ($('question').open && $('question').dataset.id === String(e.id)) $('question').close(); break;
  case 'started': setRunning(e.operation); if (e.operation === 'job') state.rates = []; break;
  case 'progress': {
    if (!state.running) break;
    const span = e.high - e.low;
    $('progress').value = span > 0 ? Math.min(100, ((e.position - e.low) / span) * 100) : 0;
    $('progress-text').textContent = e.text;
    if (e.rate !== undefined) { state.rates.push(e.rate); drawChart(); }
    break;
  }
  case 'finished':
    setRunning(null);
    log(e.ok ? 'success' : 'error', `${e.operation}: ${e.ok ? 'done' : e.cancelled ? 'cancelled' : e.error}` +
      (e.blank !== undefined ? (e.blank ? ' - device is blank' : ' - device is not blank') : ''));
    if (e.operation === 'job') verdict(e.pass ? 'pass' : 'fail', e.pass ? 'PASS' : 'FAIL');
    api('/api/state').then((s) => showJob(s.job)).catch(() => {});
    break;
  case 'device': showDevice(e.device); break;
  case 'image': showImage(e.image); break;
  default: break;
  }
}

async function start() {
  await loadLists();
  const s = await api('/api/state');
  showDevice(s.device);
  showImage(s.image);
  showJob(s.job);
  setRunning(s.running);
  const source = new EventSource(`/api/events?token=${token}&after=${s.seq}`);
  source.onmessage = (m) => onEvent(JSON.parse(m.data));
  source.onerror = () => log('warning', 'lost the server; trying again');
  document.body.dataset.ready = '1';
}
start().catch((err) => log('error', `cannot start: ${err.message}`));
