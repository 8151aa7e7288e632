// The tavelo serve page: gallery, capture, settings and status of the
// cameras, through the JSON API under /api/ only.
'use strict';

const $ = (id) => document.getElementById(id);
const state = { camera: 0, cameras: [], entries: [], folder: '', selected: new Set(), params: [] };

// The token comes once in the URL the server printed; it is kept for this tab
// and taken out of the address bar.
const token = (() => {
  const url = new URL(location.href);
  const given = url.searchParams.get('token');
  if (given) {
    sessionStorage.setItem('tavelo-token', given);
    url.searchParams.delete('token');
    history.replaceState(null, '', url.pathname + url.search);
  }
  return sessionStorage.getItem('tavelo-token') || '';
})();

function apiUrl(path, params = {}) {
  const url = new URL(path, location.origin);
  url.searchParams.set('camera', state.camera);
  for (const [k, v] of Object.entries(params)) url.searchParams.set(k, v);
  if (token) url.searchParams.set('token', token);
  return url.pathname + url.search;
}

async function api(path, { params = {}, body, raw } = {}) {
  const init = { headers: { 'X-Tavelo-Token': token || '-' } };
  if (body !== undefined || raw !== undefined) {
    init.method = 'POST';
    init.body = raw !== undefined ? raw : JSON.stringify(body);
    init.headers['Content-Type'] = raw !== undefined ? 'application/octet-stream' : 'application/json';
  }
  const url = new URL(path, location.origin);
  url.searchParams.set('camera', state.camera);
  for (const [k, v] of Object.entries(params)) url.searchParams.set(k, v);
  const response = await fetch(url.pathname + url.search, init);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) {
    const error = new Error(data.message || `HTTP ${response.status}`);
    error.status = response.status;
    throw error;
  }
  return data;
}

let toastTimer;
function toast(text, isError = false) {
  const el = $('toast');
  el.textContent = text;
  el.className = 'toast show' + (isError ? ' error' : '');
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { el.className = 'toast'; }, isError ? 6000 : 2500);
}

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') node.className = v; else if (k === 'text') node.textContent = v;
    else node.setAttribute(k, v);
  }
  node.append(...children);
  return node;
}

const folderOf = (path) => path.slice(0, path.lastIndexOf('/') + 1) || path.slice(0, path.indexOf(':') + 1);
const isPicture = (entry) => entry.kind === 'file' && entry.width !== undefined;
const sizeText = (n) => n === undefined ? '' : n < 1024 ? `${n} B` : n < 1048576 ? `${(n / 1024).toFixed(0)} KB` : `${(n / 1048576).toFixed(1)} MB`;

// ---- Cameras and connection ----

function setConnected(on) {
  const pill = $('link');
  pill.textContent = on ? 'connected' : 'disconnected';
  pill.className = 'pill ' + (on ? 'on' : 'off');
  $('capture').disabled = !on;
}

async function loadCameras() {
  state.cameras = await api('/api/cameras');
  const select = $('camera');
  select.replaceChildren(...state.cameras.map((c) =>
    el('option', { value: c.index, text: `${c.product || 'Camera'} ${c.serial ? '#' + c.serial : ''}`.trim() })));
  select.value = state.camera;
  select.hidden = state.cameras.length < 2;
  const current = state.cameras[state.camera];
  setConnected(Boolean(current && current.connected));
}

// ---- Gallery ----

// A thumbnail is fetched once its tile stays near the view for a moment, so
// that a fast scroll through thousands of pictures asks for none of those it
// passes.
const pending = new Map();
const thumbs = new IntersectionObserver((seen) => {
  for (const item of seen) {
    const img = item.target;
    if (!item.isIntersecting) {
      clearTimeout(pending.get(img));
      pending.delete(img);
    } else if (!pending.has(img)) {
      pending.set(img, setTimeout(() => {
        pending.delete(img);
        thumbs.unobserve(img);
        img.src = img.dataset.src;
      }, 150));
    }
  }
}, { root: $('grid'), rootMargin: '300px 0px' });

function tile(entry, fresh = false) {
  const thumb = el('div', { class: 'thumb' });
  if (isPicture(entry)) {
    const img = el('img', { alt: entry.name, 'data-src': apiUrl('/api/thumb', { path: entry.path, v: `${entry.size}-${entry.date || ''}` }) });
    thumbs.observe(img);
    thumb.append(img);
  } else {
    thumb.append(el('span', { class: 'type', text: entry.type || 'FILE' }));
  }
  const node = el('div', { class: 'tile' + (fresh ? ' new' : ''), 'data-path': entry.path, title: entry.path },
    thumb, el('div', { class: 'caption' }, el('span', { text: entry.name }), el('span', { text: sizeText(entry.size) })),
    el('div', { class: 'check' }));
  if (state.selected.has(entry.path)) node.classList.add('selected');
  return node;
}

function visibleEntries() {
  return state.entries.filter((e) => e.kind === 'file' && (!state.folder || folderOf(e.path) === state.folder));
}

function renderFolders() {
  const counts = new Map();
  for (const e of state.entries) {
    if (e.kind === 'directory') counts.set(e.path, counts.get(e.path) || 0);
    else counts.set(folderOf(e.path), (counts.get(folderOf(e.path)) || 0) + 1);
  }
  const select = $('folder');
  const options = [el('option', { value: '', text: `All folders (${state.entries.filter((e) => e.kind === 'file').length})` })];
  for (const [path, n] of [...counts].sort()) options.push(el('option', { value: path, text: `${path} (${n})` }));
  select.replaceChildren(...options);
  select.value = counts.has(state.folder) ? state.folder : '';
  state.folder = select.value;
}

function renderGrid() {
  const list = visibleEntries();
  const grid = $('grid');
  thumbs.disconnect();
  pending.forEach((timer) => clearTimeout(timer));
  pending.clear();
  grid.replaceChildren(...(list.length ? list.map((e) => tile(e)) : [el('div', { class: 'empty', text: 'No pictures here yet. Press Capture, or drop pictures to upload them.' })]));
  $('count-label').textContent = `${list.length} file${list.length === 1 ? '' : 's'}`;
  renderSelection();
}

function renderSelection() {
  for (const path of [...state.selected]) if (!state.entries.some((e) => e.path === path)) state.selected.delete(path);
  const n = state.selected.size;
  $('selection').textContent = n ? `${n} selected` : '';
  $('download').disabled = $('delete').disabled = n === 0;
}

async function loadFiles() {
  try {
    state.entries = await api('/api/ls', { params: { recursive: '1' } });
  } catch (error) {
    state.entries = [];
    if (error.status !== 503) toast(error.message, true);
  }
  renderFolders();
  renderGrid();
}

function addEntry(entry) {
  if (state.entries.some((e) => e.path === entry.path)) return;
  state.entries.push(entry);
  const folder = folderOf(entry.path);
  if (!state.entries.some((e) => e.kind === 'directory' && e.path === folder)) {
    state.entries.push({ path: folder, name: folder, kind: 'directory' });
  }
  const keep = state.folder;
  renderFolders();
  state.folder = $('folder').value = keep;
  if (!state.folder || state.folder === folder) {
    const grid = $('grid');
    grid.querySelector('.empty')?.remove();
    grid.append(tile(entry, true));
    $('count-label').textContent = `${visibleEntries().length} files`;
  }
}

$('folder').addEventListener('change', () => { state.folder = $('folder').value; renderGrid(); });

$('grid').addEventListener('click', (event) => {
  const node = event.target.closest('.tile');
  if (!node) return;
  const path = node.dataset.path;
  if (event.target.closest('.check') || event.ctrlKey || event.metaKey || state.selected.size > 0) {
    if (state.selected.has(path)) state.selected.delete(path); else state.selected.add(path);
    node.classList.toggle('selected', state.selected.has(path));
    renderSelection();
    return;
  }
  openViewer(state.entries.find((e) => e.path === path));
});

function openViewer(entry) {
  if (!entry) return;
  $('viewer-name').textContent = `${entry.path}  ${entry.width ? entry.width + '×' + entry.height : ''}  ${entry.date || ''}`;
  $('viewer-img').src = isPicture(entry) ? apiUrl('/api/file', { path: entry.path }) : '';
  $('viewer-save').href = apiUrl('/api/file', { path: entry.path, download: '1' });
  $('viewer-save').setAttribute('download', entry.name);
  $('viewer').hidden = false;
}
$('viewer-close').addEventListener('click', () => { $('viewer').hidden = true; $('viewer-img').src = ''; });
document.addEventListener('keydown', (e) => { if (e.key === 'Escape') $('viewer').hidden = true; });

$('download').addEventListener('click', () => {
  for (const path of state.selected) {
    const entry = state.entries.find((e) => e.path === path);
    const a = el('a', { href: apiUrl('/api/file', { path, download: '1' }), download: entry ? entry.name : '' });
    document.body.append(a);
    a.click();
    a.remove();
  }
});

$('delete').addEventListener('click', () => {
  const n = state.selected.size;
  $('confirm-text').textContent = `Delete ${n} file${n === 1 ? '' : 's'} from the camera? This cannot be undone.`;
  $('confirm').showModal();
});
$('confirm').addEventListener('close', async () => {
  if ($('confirm').returnValue !== 'ok') return;
  try {
    const result = await api('/api/delete', { body: { paths: [...state.selected] } });
    state.entries = state.entries.filter((e) => !result.removed.includes(e.path));
    state.selected.clear();
    toast(`Deleted ${result.removed.length} file(s)`);
  } catch (error) {
    toast(error.message, true);
    await loadFiles();
    return;
  }
  renderFolders();
  renderGrid();
});

// ---- Upload by drag and drop ----

function cameraName(name) {
  // The camera keeps 8.3 names in capitals.
  const dot = name.lastIndexOf('.');
  const clean = (s) => s.toUpperCase().replace(/[^A-Z0-9_-]/g, '');
  const base = clean(dot > 0 ? name.slice(0, dot) : name).slice(0, 8) || 'FILE';
  const ext = dot > 0 ? clean(name.slice(dot + 1)).slice(0, 3) : '';
  return ext ? `${base}.${ext}` : base;
}

const gallery = document.querySelector('.gallery');
gallery.addEventListener('dragover', (e) => { e.preventDefault(); gallery.classList.add('dragging'); });
gallery.addEventListener('dragleave', (e) => { if (!gallery.contains(e.relatedTarget)) gallery.classList.remove('dragging'); });
gallery.addEventListener('drop', async (e) => {
  e.preventDefault();
  gallery.classList.remove('dragging');
  const folders = state.entries.filter((x) => x.kind === 'directory').map((x) => x.path);
  const dir = state.folder || folders.find((f) => /DCIM/.test(f)) || folders[0] || '/';
  for (const file of e.dataTransfer.files) {
    try {
      const entry = await api('/api/upload', { params: { dir, name: cameraName(file.name) }, raw: file });
      addEntry(entry);
      toast(`Uploaded ${entry.name}`);
    } catch (error) {
      toast(`${file.name}: ${error.message}`, true);
    }
  }
});

// ---- Capture ----

function showModeFields() {
  const mode = $('mode').value;
  $('count').hidden = mode !== '2' && mode !== '3';
  $('interval').hidden = mode !== '3';
}
$('mode').addEventListener('change', showModeFields);

$('capture').addEventListener('click', async () => {
  const mode = Number($('mode').value);
  const body = { mode };
  if (mode === 1) body.count = 0xFFFFFFFF;
  if (mode === 2 || mode === 3) body.count = Math.max(1, Number($('count').value) || 1);
  if (mode === 3) body.interval = Math.max(1, Number($('interval').value) || 1);
  $('capture').disabled = true;
  try {
    const result = await api('/api/capture', { body });
    $('stop').hidden = mode === 0 || mode === 2;
    toast(mode === 0 ? 'Picture taken' : `Capture started (${result.added} so far)`);
  } catch (error) {
    toast(error.message, true);
  } finally {
    $('capture').disabled = false;
  }
  loadStatus();
});
$('stop').addEventListener('click', async () => {
  try { await api('/api/capture/stop', { body: {} }); $('stop').hidden = true; } catch (error) { toast(error.message, true); }
});

// ---- Status ----

async function loadStatus() {
  const list = $('status');
  try {
    const s = await api('/api/status');
    setConnected(true);
    const full = s.system_flags.includes('store full');
    const low = s.system_flags.includes('battery low');
    const meter = el('div', { class: 'meter' }, el('i', { style: `width:${Math.min(100, s.battery_percent)}%` }));
    const rows = [
      ['Battery', el('span', {}, el('span', { class: low ? 'warn' : '', text: `${s.battery_percent}%${low ? ' low' : ''}` }), meter)],
      ['Shots left', el('span', { class: full ? 'warn' : '', text: full ? `${s.shots_remaining} (store full)` : String(s.shots_remaining) })],
      ['Pictures', String(s.images)],
      ['Camera clock', s.time.replace('T', ' ')],
    ];
    if (s.capture_flags.length) rows.push(['Capture', s.capture_flags.join(', ')]);
    list.replaceChildren(...rows.flatMap(([k, v]) => [el('dt', { text: k }), el('dd', {}, v)]));
  } catch (error) {
    if (error.status === 503) setConnected(false);
    list.replaceChildren(el('dt', { text: 'Camera' }), el('dd', { class: 'warn', text: error.message }));
  }
}

// ---- Viewfinder ----

$('vf-refresh').addEventListener('click', () => { $('vf').src = apiUrl('/api/viewfinder', { t: Date.now() }); });

// ---- Settings, each control made from the parameter's capability ----

function checkValue(param, raw) {
  const cap = param.capability;
  if (param.type === 'text') return raw.length <= 31 ? null : 'at most 31 characters';
  if (cap.kind === 'list') return cap.items.some((i) => String(i.value) === String(raw)) ? null : 'not one of the choices';
  const n = Number(raw);
  if (raw === '' || !Number.isFinite(n) || (param.type !== 'real' && !Number.isInteger(n))) return 'not a number';
  if (cap.kind === 'range') {
    if (n < cap.low || n > cap.high) return `between ${cap.low} and ${cap.high}`;
    if (cap.step > 1 && (n - cap.low) % cap.step !== 0) return `in steps of ${cap.step}`;
  }
  if (cap.kind === 'single' && typeof cap.value === 'number' && n !== cap.value) return `only ${cap.value}`;
  return null;
}

function control(param) {
  const cap = param.capability;
  const id = `param-${param.tag}`;
  const hint = el('div', { class: 'hint' });
  const shown = el('span', { class: 'value' });
  let input;
  if (cap.kind === 'list') {
    input = el('select', { id });
    for (const item of cap.items) {
      input.append(el('option', { value: String(item.value), text: item.label || String(item.value) }));
    }
    input.value = String(param.type === 'bool' ? (param.value ? 1 : 0) : param.value);
  } else if (cap.kind === 'range') {
    input = el('input', { id, type: 'range', min: cap.low, max: cap.high, step: Math.max(1, cap.step) });
    input.value = param.value;
    shown.textContent = param.value;
    input.addEventListener('input', () => { shown.textContent = input.value; });
  } else {
    const fixed = param.type !== 'text' && typeof cap.value !== 'string';
    input = el('input', { id, type: 'text', maxlength: 31 });
    input.value = param.value ?? '';
    if (fixed) input.readOnly = true;
  }
  const box = el('div', { class: 'setting', 'data-tag': param.tag },
    el('label', { for: id }, el('span', { text: param.description || param.tag }), el('span', {}, shown, ' ', el('code', { text: param.tag }))),
    input, hint);
  input.addEventListener('change', async () => {
    const problem = checkValue(param, input.value);
    box.classList.toggle('invalid', Boolean(problem));
    hint.textContent = problem ? `Not sent: ${problem}` : '';
    if (problem) return;
    try {
      const updated = await api('/api/param', { body: { tag: param.tag, value: input.value } });
      Object.assign(param, updated);
      toast(`${param.description || param.tag} set`);
    } catch (error) {
      hint.textContent = error.message;
      input.value = param.type === 'bool' ? (param.value ? 1 : 0) : param.value;
    }
  });
  return box;
}

async function loadSettings() {
  try {
    state.params = await api('/api/params');
    $('settings').replaceChildren(...state.params.map(control));
  } catch (error) {
    $('settings').replaceChildren(el('p', { class: 'muted', text: error.message }));
  }
}
$('settings').addEventListener('submit', (e) => e.preventDefault());

// ---- Live events ----

function listen() {
  const source = new EventSource(apiUrl('/api/events'));
  source.onmessage = (message) => {
    const event = JSON.parse(message.data);
    if (event.camera !== state.camera) {
      if (event.connected !== undefined) loadCameras();
      return;
    }
    if (event.connected !== undefined) {
      setConnected(event.connected);
      if (event.connected) refreshAll(); else toast('The camera is disconnected', true);
    } else if (event.new_file && event.entry) {
      addEntry(event.entry);
      toast(event.saved ? `New picture ${event.entry.name}, saved as ${event.saved}` : `New picture ${event.entry.name}`);
      loadStatus();
    } else if (event.event === 3) {
      loadSettings();
    } else if (event.event) {
      loadStatus();
    }
  };
}

$('camera').addEventListener('change', () => { state.camera = Number($('camera').value); state.selected.clear(); refreshAll(); });

async function refreshAll() {
  await loadCameras().catch(() => setConnected(false));
  await Promise.all([loadFiles(), loadStatus(), loadSettings()]);
  $('vf').src = apiUrl('/api/viewfinder', { t: Date.now() });
}

showModeFields();
refreshAll().then(() => { document.body.dataset.ready = '1'; });
listen();
setInterval(loadStatus, 10000);
