// traceview's page: draws views of a build that the server lays out, pans
// and zooms them through the SVG's viewBox, and shows the reports of the
// files a person clicks.  Text from the build always goes in as text.
'use strict';

const $ = (id) => document.getElementById(id);
const state = { build: '', nodes: {}, box: null, home: null, selected: null, picks: [], asked: {}, causes: new Set() };

// A number for each new request of a kind: an answer that comes after a
// newer request of its kind was sent is dropped.
function ask(kind) {
  state.asked[kind] = (state.asked[kind] || 0) + 1;
  const mine = state.asked[kind];
  return () => state.asked[kind] === mine;
}

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}

function status(message, isError, action) {
  const s = $('status');
  s.textContent = message || '';
  s.className = isError ? 'error' : '';
  if (action) {
    const b = el('button', action.label);
    b.addEventListener('click', action.run);
    s.append(b);
  }
}

// A JSON answer of the server; an error answer still carries a message.
async function api(path, options) {
  let res;
  try {
    res = await fetch(path, options);
  } catch (e) {
    return { error: 'the traceview server does not answer (' + e.message + ')' };
  }
  try {
    return await res.json();
  } catch (e) {
    return { error: 'the server answered ' + res.status + ' without JSON' };
  }
}

function query(params) {
  return new URLSearchParams(params).toString();
}

// ---- builds ----

async function loadBuilds() {
  const answer = await api('/api/builds');
  const select = $('build');
  select.replaceChildren();
  for (const b of answer.builds || []) {
    const o = el('option', b.title + ' (' + b.files + ' files)');
    o.value = b.key;
    select.append(o);
  }
  loadLabels();
  const first = answer.first || (answer.builds && answer.builds[0] && answer.builds[0].key);
  if (first) {
    select.value = first;
    openBuild(first);
  } else {
    status('No build is loaded: start traceview with --rsf FILE, or pick recorded builds.', true);
  }
}

async function loadLabels() {
  const box = $('labels');
  box.replaceChildren();
  const answer = await api('/api/labels');
  if (answer.error) {
    box.append(el('span', 'Recorded builds: ' + answer.error, 'failed'));
    return;
  }
  if (!answer.labels.length) {
    box.append(el('span', 'No recorded builds in the database.'));
    return;
  }
  const a = el('select'), b = el('select');
  a.id = 'label-a';
  b.id = 'label-b';
  b.append(el('option', '(none)'));
  b.options[0].value = '';
  for (const l of answer.labels) {
    for (const s of [a, b]) {
      const o = el('option', l.label);
      o.value = l.label;
      o.title = l.topdir + ': ' + l.cmdline;
      s.append(o);
    }
  }
  const go = el('button', 'Open recorded');
  go.type = 'button';
  go.addEventListener('click', async () => {
    const labels = b.value ? [a.value, b.value] : [a.value];
    status('Exporting ' + labels.join(' and ') + ' through tracemake...');
    const answer = await api('/api/open', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ labels }),
    });
    if (answer.error) return status(answer.error, true);
    const o = el('option', answer.title);
    o.value = answer.key;
    $('build').append(o);
    $('build').value = answer.key;
    openBuild(answer.key);
  });
  box.append(a, ' against ', b, ' ', go);
}

function openBuild(key) {
  state.build = key;
  state.picks = [];
  showPicks();
  showView('overview', '');
  loadChanges();
  loadCauses();
}

// ---- views ----

async function showView(kind, id, limit, then) {
  status('Drawing...');
  const params = { build: state.build, kind };
  if (id) params.id = id;
  if (limit) params.limit = limit;
  const current = ask('view');
  const answer = await api('/api/view?' + query(params));
  if (!current()) return false;
  if (answer.error) {
    const action = answer.timed_out
      ? { label: 'Draw a smaller view (' + answer.smaller_limit + ' nodes)', run: () => showView(kind, id, answer.smaller_limit, then) }
      : null;
    status(answer.error + (answer.timed_out ? '.' : ''), true, action);
    return false;
  }
  state.nodes = answer.nodes;
  placeSvg(answer.svg);
  markCauses();
  showCrumbs(answer.crumbs);
  const count = Object.keys(answer.nodes).length;
  status(count + ' of at most ' + answer.limit + ' nodes' + (answer.cached ? ', layout from the cache' : '') + ' (' + Math.round(answer.ms) + ' ms)' +
    (answer.note ? '. ' + answer.note : ''));
  if (then) then();
  return true;
}

function showCrumbs(crumbs) {
  const nav = $('crumbs');
  nav.replaceChildren();
  crumbs.forEach((c, i) => {
    if (i) nav.append(' / ');
    const b = el('button', c.name);
    b.type = 'button';
    b.title = c.id;
    b.addEventListener('click', () => showView(i === 0 ? 'overview' : 'dir', i === 0 ? '' : c.id));
    nav.append(b);
  });
}

// Graphviz escapes the names it writes; what could run is taken out all the same.
function cleanSvg(svg) {
  for (const bad of svg.querySelectorAll('script, foreignObject, iframe, a')) {
    if (bad.tagName === 'a') bad.replaceWith(...bad.childNodes);
    else bad.remove();
  }
  for (const node of svg.querySelectorAll('*')) {
    for (const attr of [...node.attributes]) {
      if (/^on/i.test(attr.name) || /href$/i.test(attr.name)) node.removeAttribute(attr.name);
    }
  }
}

function placeSvg(text) {
  const doc = new DOMParser().parseFromString(text, 'image/svg+xml');
  const svg = doc.documentElement;
  if (svg.nodeName !== 'svg') return status('the layout is not an SVG picture', true);
  cleanSvg(svg);
  const [x, y, w, h] = svg.getAttribute('viewBox').split(/[ ,]+/).map(Number);
  svg.removeAttribute('width');
  svg.removeAttribute('height');
  svg.setAttribute('preserveAspectRatio', 'xMidYMid meet');
  const graph = $('graph');
  graph.replaceChildren(document.importNode(svg, true));
  // A small margin, so that the outermost frame does not touch the edge.
  state.home = { x: x - w * 0.02, y: y - h * 0.02, w: w * 1.04, h: h * 1.04 };
  setBox(state.home);
  showPicks();
}

function titleOf(g) {
  const t = g.querySelector('title');
  return t ? t.textContent : '';
}

function svgEl() {
  return $('graph').querySelector('svg');
}

// ---- pan and zoom through the viewBox ----

function setBox(b) {
  state.box = b;
  const svg = svgEl();
  if (svg) svg.setAttribute('viewBox', [b.x, b.y, b.w, b.h].join(' '));
}

// The picture's point under a point of the screen.
function toPicture(clientX, clientY) {
  const svg = svgEl();
  const m = svg.getScreenCTM().inverse();
  const p = new DOMPoint(clientX, clientY).matrixTransform(m);
  return { x: p.x, y: p.y };
}

function zoom(factor, cx, cy) {
  const b = state.box;
  if (!b) return;
  const w = Math.min(Math.max(b.w * factor, state.home.w / 200), state.home.w * 20);
  const f = w / b.w;
  setBox({ x: cx - (cx - b.x) * f, y: cy - (cy - b.y) * f, w: b.w * f, h: b.h * f });
}

function zoomCentre(factor) {
  const b = state.box;
  if (b) zoom(factor, b.x + b.w / 2, b.y + b.h / 2);
}

function centreOn(g) {
  const r = g.getBBox();
  const w = Math.max(r.width * 4, 120);
  const h = w * (state.box.h / state.box.w);
  // Graphviz draws the graph under a transform: the box of a node is in its own coordinates.
  const m = g.getCTM(), root = svgEl().getCTM().inverse();
  const p = new DOMPoint(r.x + r.width / 2, r.y + r.height / 2).matrixTransform(m).matrixTransform(root);
  setBox({ x: p.x - w / 2, y: p.y - h / 2, w, h });
}

function installPanZoom() {
  const graph = $('graph');
  graph.addEventListener('wheel', (e) => {
    if (!svgEl()) return;
    e.preventDefault();
    const p = toPicture(e.clientX, e.clientY);
    zoom(e.deltaY > 0 ? 1.15 : 1 / 1.15, p.x, p.y);
  }, { passive: false });
  let drag = null;
  graph.addEventListener('pointerdown', (e) => {
    if (!svgEl() || e.button !== 0) return;
    drag = { x: e.clientX, y: e.clientY, box: state.box, moved: false };
  });
  window.addEventListener('pointermove', (e) => {
    if (!drag || drag.released) return;
    const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
    if (!drag.moved && Math.abs(dx) + Math.abs(dy) < 4) return;
    drag.moved = true;
    graph.classList.add('dragging');
    const scale = drag.box.w / svgEl().clientWidth;
    const s = Math.max(scale, drag.box.h / svgEl().clientHeight);
    setBox({ x: drag.box.x - dx * s, y: drag.box.y - dy * s, w: drag.box.w, h: drag.box.h });
  });
  window.addEventListener('pointerup', () => {
    graph.classList.remove('dragging');
    // The click that follows still needs to know whether this was a drag;
    // moves from now on (which may come before the timer) pan nothing.
    if (drag) drag.released = true;
    setTimeout(() => { drag = null; }, 0);
  });
  graph.addEventListener('click', (e) => {
    if (drag && drag.moved) return;
    const node = e.target.closest('g.node');
    if (node) return clickNode(node);
    const cluster = e.target.closest('g.cluster');
    if (cluster) {
      const id = titleOf(cluster).replace(/^cluster_/, '');
      showView('dir', id);
    }
  });
  graph.addEventListener('dblclick', (e) => {
    const node = e.target.closest('g.node');
    if (node && state.nodes[titleOf(node)] && state.nodes[titleOf(node)].kind === 'file') showView('file', titleOf(node));
  });
  $('fit').addEventListener('click', () => state.home && setBox(state.home));
  $('zoom-in').addEventListener('click', () => zoomCentre(1 / 1.5));
  $('zoom-out').addEventListener('click', () => zoomCentre(1.5));
  $('overview').addEventListener('click', () => showView('overview', ''));
}

// ---- a file and its reports ----

function clickNode(g) {
  const id = titleOf(g);
  const info = state.nodes[id];
  if (!info) return;
  if (info.kind === 'dir') return showView('dir', id);
  markSelected(g);
  selectFile(info);
}

function markSelected(g) {
  for (const s of $('graph').querySelectorAll('g.node.selected')) s.classList.remove('selected');
  g.classList.add('selected');
}

function describe(info) {
  let text = info.path;
  if (info.oids && info.oids.length) text += ' (OID ' + info.oids.join(' and ') + ')';
  if (info.changed) text += ', changed';
  if (info.only_in) text += ', only in ' + info.only_in;
  return text;
}

function selectFile(info) {
  state.selected = info;
  $('node-info').textContent = describe(info);
  $('node-actions').hidden = false;
  const reports = $('reports');
  reports.replaceChildren();
  if (!info.oids.length) {
    reports.append(el('p', 'Its node name holds no OID: there is nothing to ask the database.'));
    return;
  }
  for (const tool of ['recipeshow', 'procshow', 'envshow']) {
    runReport(reports, tool, info.oids.join(' '));
  }
  if (state.build.startsWith('label:')) {
    for (const oid of info.oids) runWhy(reports, oid);
  }
}

// Why the recorded build made the instance: its reasons and first causes.
async function runWhy(into, oid) {
  const box = el('div', undefined, 'report');
  const heading = el('h3', 'why ' + oid);
  const body = el('pre', '...');
  body.dataset.tool = 'why';
  box.append(heading, body);
  into.append(box);
  const answer = await api('/api/why?' + query({ build: state.build, oid }));
  if (answer.error) heading.append(el('span', ': ' + answer.error, 'failed'));
  body.textContent = [answer.text, answer.messages].filter((x) => x).join('\n') || '(empty)';
}

async function runReport(into, tool, oids) {
  const box = el('div', undefined, 'report');
  const heading = el('h3', tool + ' ' + oids);
  const body = el('pre', '...');
  body.dataset.tool = tool;
  box.append(heading, body);
  into.append(box);
  const answer = await api('/api/report?' + query({ tool, oids }));
  const parts = [];
  if (answer.error) {
    heading.append(el('span', ': ' + answer.error, 'failed'));
  }
  if (answer.text) parts.push(answer.text);
  if (answer.messages) parts.push(answer.messages);
  body.textContent = parts.join('\n') || '(empty)';
}

// ---- comparing ----

function showPicks() {
  const p = state.picks;
  $('picked').textContent = p.length
    ? 'Picked: ' + p.map((x) => x.path).join('  and  ')
    : 'Pick two files, or one file of two versions.';
  $('compare').disabled = !(p.length === 2 || (p.length === 1 && p[0].oids.length === 2));
  for (const g of $('graph').querySelectorAll('g.node')) {
    g.classList.toggle('picked', p.some((x) => x.id === titleOf(g)));
  }
}

function compareOids() {
  const p = state.picks;
  if (p.length === 1) return p[0].oids.join(' ');
  return p[0].oids[0] + ' ' + p[1].oids[0];
}

function installCompare() {
  $('pick').addEventListener('click', () => {
    const s = state.selected;
    if (!s || !s.oids.length || state.picks.some((x) => x.id === s.id)) return;
    state.picks.push(s);
    if (state.picks.length > 2) state.picks.shift();
    showPicks();
  });
  $('clear-picks').addEventListener('click', () => { state.picks = []; showPicks(); $('comparison').replaceChildren(); });
  $('compare').addEventListener('click', () => {
    const out = $('comparison');
    out.replaceChildren();
    const oids = compareOids();
    runReport(out, 'envdiff', oids);
    runReport(out, 'rulediff', oids);
  });
  $('neighbours').addEventListener('click', () => state.selected && showView('file', state.selected.id));
  $('zoom-node').addEventListener('click', () => {
    const g = state.selected && nodeInView(state.selected.id);
    if (g) centreOn(g);
  });
}

// ---- search and finding a node ----

function nodeInView(id) {
  for (const g of $('graph').querySelectorAll('g.node')) if (titleOf(g) === id) return g;
  return null;
}

function reveal(info) {
  const mark = () => {
    const g = nodeInView(info.id);
    if (!g) return status(info.path + ' is not drawn in this view', true);
    for (const f of $('graph').querySelectorAll('g.node.found')) f.classList.remove('found');
    g.classList.add('found');
    centreOn(g);
    if (info.kind === 'file') {
      markSelected(g);
      selectFile(state.nodes[info.id] || info);
    }
  };
  if (nodeInView(info.id)) return mark();
  if (info.kind === 'dir') return showView('dir', info.id);
  showView('file', info.id, undefined, mark);
}

function installSearch() {
  const input = $('search'), list = $('search-results');
  let timer = null;
  const run = async () => {
    const q = input.value.trim();
    if (!q || !state.build) { list.hidden = true; return; }
    const current = ask('search');
    const answer = await api('/api/search?' + query({ build: state.build, q }));
    if (!current()) return;
    list.replaceChildren();
    if (answer.error) {
      list.append(el('li', answer.error));
    } else if (!answer.matches.length) {
      list.append(el('li', 'nothing found'));
    }
    for (const m of answer.matches || []) {
      const li = el('li', m.name);
      li.append(el('span', m.path + (m.kind === 'dir' ? ' (directory)' : ''), 'path'));
      li.addEventListener('click', () => { list.hidden = true; reveal(m); });
      list.append(li);
    }
    list.hidden = false;
  };
  input.addEventListener('input', () => { clearTimeout(timer); timer = setTimeout(run, 200); });
  $('search-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    clearTimeout(timer);
    await run();
    const first = list.querySelector('li');
    if (first) first.click();
  });
  document.addEventListener('click', (e) => { if (!$('search-form').contains(e.target)) list.hidden = true; });
}

// ---- changed files ----

async function loadChanges() {
  const panel = $('changes-panel'), box = $('changes');
  const current = ask('changes');
  const answer = await api('/api/changes?' + query({ build: state.build }));
  if (!current()) return;
  box.replaceChildren();
  if (answer.error || !answer.layers || !answer.layers[1]) { panel.hidden = true; return; }
  panel.hidden = false;
  if (answer.note) box.append(el('p', answer.note, 'failed'));
  const groups = [['changed', 'Changed'], ['added', 'Added in ' + answer.layers[1]], ['removed', 'Removed (only in ' + answer.layers[0] + ')']];
  for (const [key, title] of groups) {
    box.append(el('h3', title + ' (' + answer[key].length + ')'));
    const ul = el('ul');
    for (const f of answer[key]) {
      const li = el('li', f.path);
      li.addEventListener('click', () => reveal(f));
      ul.append(li);
    }
    box.append(ul);
  }
}

// ---- first causes of a recorded build ----

async function loadCauses() {
  const panel = $('causes-panel'), box = $('causes');
  const current = ask('causes');
  state.causes = new Set();
  markCauses();
  box.replaceChildren();
  if (!state.build.startsWith('label:')) { panel.hidden = true; return; }
  panel.hidden = false;
  box.append(el('p', 'Asking tracemake why...'));
  const answer = await api('/api/causes?' + query({ build: state.build }));
  if (!current()) return;
  box.replaceChildren();
  if (answer.error) { box.append(el('p', answer.error, 'failed')); return; }
  const ul = el('ul'), listed = new Set();
  for (const f of answer.causes || []) {
    // Each instance of a cause is marked; the list names the file once.
    state.causes.add(f.id);
    if (listed.has(f.path)) continue;
    listed.add(f.path);
    const li = el('li', f.path + ' (' + f.targets + ' rebuilt)');
    li.addEventListener('click', () => reveal(f));
    ul.append(li);
  }
  box.append(ul, el('pre', answer.text));
  markCauses();
}

// First causes drawn in the current view get a mark of their own.
function markCauses() {
  for (const g of $('graph').querySelectorAll('g.node')) g.classList.toggle('cause', state.causes.has(titleOf(g)));
}

installPanZoom();
installCompare();
installSearch();
$('build').addEventListener('change', () => openBuild($('build').value));
loadBuilds();
