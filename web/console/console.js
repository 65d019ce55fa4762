// The Vellox web console: drives the agent through vellox-client.js and shows every event.
// Plain DOM code; every text from the agent is shown as it came (textContent, never HTML).
import { VelloxClient, DEFAULT_PORTS } from '../vellox-client.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const servedOverHttp = location.protocol === 'http:' || location.protocol === 'https:';
const MAX_LOG_ENTRIES = 2000;

let client = null;
const batches = new Map(); // batch number → { root, summary, error, thumbs, pages: Map, uploadUrl }
let currentBatch = null;

// --- small DOM helpers ------------------------------------------------------------------------

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') node.textContent = value;
    else if (name === 'dataset') Object.assign(node.dataset, value);
    else node.setAttribute(name, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function setStatus(id, kind, text) {
  const node = $(id);
  node.dataset.kind = kind;
  node.textContent = text;
}

function describeFailure(error) {
  return error && error.code === 'rejected' ? `rejected (${error.ret}): ${error.msg}` : `failed: ${error.message}`;
}

// Shows the outcome of one request in a form's status line.
async function runRequest(statusId, action, acceptedText) {
  setStatus(statusId, 'pending', 'sending…');
  try {
    const reply = await action();
    setStatus(statusId, 'ok', acceptedText(reply));
    return reply;
  } catch (error) {
    setStatus(statusId, 'error', describeFailure(error));
    return null;
  }
}

function pad(number, width = 2) {
  return String(number).padStart(width, '0');
}

function timestamp(date = new Date()) {
  return `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}.${pad(date.getMilliseconds(), 3)}`;
}

// --- connection ------------------------------------------------------------------------------

function portsFrom(text) {
  const ports = text.split(/[\s,]+/).map(Number).filter((port) => Number.isInteger(port) && port > 0 && port < 65536);
  return ports.length ? ports : [...DEFAULT_PORTS];
}

function showConnection(detail) {
  const badge = $('connection-state');
  badge.dataset.state = detail.state;
  const texts = {
    open: `connected on port ${detail.port}`,
    lost: 'connection lost',
    reconnecting: `reconnecting (attempt ${detail.attempt}, in ${detail.delayMs} ms)`,
    connecting: 'connecting…',
    closed: 'disconnected',
  };
  badge.textContent = texts[detail.state] || detail.state;
  logSystem(`connection ${detail.state}${detail.port ? ` (port ${detail.port})` : ''}`);
}

function showCanUse(canUse, text) {
  const badge = $('can-use');
  badge.dataset.canUse = String(canUse);
  badge.textContent = canUse ? 'scanner ready' : `no scanner${text ? `: ${text}` : ''}`;
}

function connect() {
  if (client) client.close();
  const host = $('agent-host').value.trim() || '127.0.0.1';
  const ports = portsFrom($('agent-ports').value);
  client = new VelloxClient({ host, ports, waitForAgent: true });
  client.on('connection', showConnection);
  client.on('frame', logFrame);
  client.on('can-use', (event) => showCanUse(event.data.canUse === true, event.msg));
  client.on('uploaded-image', onUploadedImage);
  client.on('uploaded-end', onUploadedEnd);
  client.on('scan-end', onScanEnd);
  client.on('print-end', onPrintEnd);
  client.on('error', onAgentError);
  showConnection({ state: 'connecting' });
  client.open().catch(() => {}); // waits for the agent; the badge tells the state
}

function requireClient() {
  if (!client) throw new Error('not connected');
  return client;
}

// --- event log -------------------------------------------------------------------------------

function appendLog(entry) {
  const log = $('log');
  log.append(entry);
  while (log.childElementCount > MAX_LOG_ENTRIES) log.firstElementChild.remove();
  if ($('log-follow').checked) log.scrollTop = log.scrollHeight;
}

function logSystem(text) {
  appendLog(element('li', { dataset: { direction: 'system' } },
    element('span', { class: 'time', text: timestamp() }), text));
}

function logFrame({ direction, text }) {
  let summary = text;
  let parsed = null;
  try {
    parsed = JSON.parse(text);
  } catch {
    // not JSON: shown as it is
  }
  if (parsed && typeof parsed === 'object') {
    const parts = [parsed.cmd === '' ? '(no cmd)' : String(parsed.cmd)];
    if (parsed.ret !== undefined) parts.push(`ret ${parsed.ret}`);
    if (parsed.data && parsed.data.errorType) parts.push(parsed.data.errorType);
    if (parsed.msg) parts.push(parsed.msg);
    summary = parts.join(' · ');
  }
  const details = element('details', {},
    element('summary', { text: summary }),
    element('pre', { text: parsed ? JSON.stringify(parsed, null, 2) : text }));
  appendLog(element('li', { dataset: { direction, cmd: parsed && typeof parsed.cmd === 'string' ? parsed.cmd : '' } },
    element('span', { class: 'time', text: timestamp() }),
    element('span', { class: 'arrow', text: direction === 'out' ? '→' : '←' }),
    details));
}

// --- login -----------------------------------------------------------------------------------

function addRemovableRow(tbody, cells) {
  const remove = element('button', { type: 'button', class: 'remove', title: 'Remove', text: '×' });
  const row = element('tr', {}, ...cells.map((cell) => element('td', {}, cell)), element('td', {}, remove));
  remove.addEventListener('click', () => row.remove());
  tbody.append(row);
  return row;
}

function addCredentialRow(name = '', value = '') {
  addRemovableRow($('credential-rows').tBodies[0], [
    element('input', { class: 'credential-name', value: name, placeholder: 'name' }),
    element('input', { class: 'credential-value', value, placeholder: 'value' }),
  ]);
}

function credentials() {
  const result = {};
  for (const row of $('credential-rows').tBodies[0].rows) {
    const name = row.querySelector('.credential-name').value.trim();
    if (name) result[name] = row.querySelector('.credential-value').value;
  }
  return result;
}

// --- scanning and pages ----------------------------------------------------------------------

function defaultBatchNumber() {
  const now = new Date();
  return `demo-${now.getFullYear()}${pad(now.getMonth() + 1)}${pad(now.getDate())}-${pad(now.getHours())}${pad(now.getMinutes())}${pad(now.getSeconds())}`;
}

function batchView(batchNo) {
  let batch = batches.get(batchNo);
  if (batch) return batch;
  const hint = $('batches').querySelector('.hint');
  if (hint) hint.remove();
  const summary = element('span', { class: 'batch-summary', text: 'scanning…' });
  const error = element('span', { class: 'batch-error' });
  const thumbs = element('div', { class: 'thumbs' });
  const root = element('div', { class: 'batch', dataset: { batch: batchNo } },
    element('div', { class: 'batch-head' }, element('h3', { text: `Batch ${batchNo}` }), summary, error),
    thumbs);
  $('batches').prepend(root);
  batch = { root, summary, error, thumbs, pages: new Map(), uploadUrl: location.href };
  batches.set(batchNo, batch);
  return batch;
}

// "…/<batch>/Image<n>.jpg": where the agent keeps a page, which names its batch and number.
function pageFromPath(path) {
  const parts = String(path || '').split(/[\\/]/);
  const match = /^Image(\d+)\.jpg$/i.exec(parts[parts.length - 1] || '');
  return { batch: parts.length > 1 ? parts[parts.length - 2] : null, sortNo: match ? Number(match[1]) : null };
}

function pageOf(data) {
  const fromPath = pageFromPath(data.localFIle);
  return {
    batch: typeof data.batchNumber === 'string' && data.batchNumber ? data.batchNumber : (fromPath.batch ?? currentBatch),
    sortNo: Number.isInteger(data.sortNo) ? data.sortNo : fromPath.sortNo,
  };
}

function showPage(batchNo, sortNo, state, caption, imageUrl) {
  const batch = batchView(batchNo ?? '(unknown batch)');
  const key = sortNo ?? `?${batch.pages.size + 1}`;
  let figure = batch.pages.get(key);
  if (!figure) {
    figure = element('figure', { class: 'page', dataset: { sortNo: String(sortNo ?? '') } });
    batch.pages.set(key, figure);
    // Pages arrive in upload order; they are shown in page order.
    const later = [...batch.thumbs.children].find((other) => Number(other.dataset.sortNo) > Number(sortNo));
    batch.thumbs.insertBefore(figure, later || null);
  }
  figure.dataset.state = state;
  const picture = imageUrl
    ? element('img', { src: new URL(imageUrl, batch.uploadUrl).href, alt: `page ${sortNo}` })
    : element('div', { class: 'placeholder', text: sortNo ? `#${sortNo}` : '?' });
  figure.replaceChildren(picture, element('figcaption', { text: caption }));
}

function onUploadedImage(event) {
  const { batch, sortNo } = pageOf(event.data);
  showPage(batch, sortNo, 'uploaded', `#${sortNo ?? '?'} uploaded in ${event.data.time} ms`, event.data.url);
}

function onUploadedEnd(event) {
  const { batchNo, imageCount, succeedCount } = event.data;
  const batch = batchView(batchNo);
  batch.summary.textContent = `uploaded-end: ${succeedCount} of ${imageCount} pages accepted`;
  batch.summary.dataset.complete = String(succeedCount === imageCount);
  batch.summary.dataset.imageCount = String(imageCount);
  batch.summary.dataset.succeedCount = String(succeedCount);
}

function onScanEnd(event) {
  // The end names its batch: an earlier batch's end never closes the one just started.
  const ended = typeof event.data.batchNo === 'string' ? event.data.batchNo : currentBatch;
  if (ended !== null) {
    const batch = batchView(ended);
    if (!batch.summary.dataset.imageCount) batch.summary.textContent = 'scan ended, uploads finishing…';
  }
  // A scanner error of this batch stays in view.
  if (ended === currentBatch && $('scan-status').dataset.kind !== 'error') setStatus('scan-status', 'ok', 'scan ended');
}

function onAgentError(event) {
  const type = event.data.errorType;
  if (type === 'scan-error') {
    setStatus('scan-status', 'error', event.msg);
    if (currentBatch !== null) batchView(currentBatch).error.textContent = event.msg;
  } else if (type === 'auth-error' || type === 'timeout') {
    const { batch, sortNo } = pageOf(event.data);
    const reason = type === 'timeout' ? `${event.msg}: ${event.data.curlMsg} (${event.data.curlRet})` : `${event.msg} (${event.ret})`;
    showPage(batch, sortNo, 'failed', `#${sortNo ?? '?'} failed: ${reason}`);
  } else if (type === 'print-error') {
    addPrintResult('error', `${event.data.studentName ?? ''}${event.data.studentId ? ` (${event.data.studentId})` : ''}: ${event.msg}`);
  }
}

// --- printing --------------------------------------------------------------------------------

function sampleUrl(number) {
  return servedOverHttp ? `${location.origin}/samples/sheet-${number}.jpg` : '';
}

function addStudentRow(name = '', id = '', images = '') {
  addRemovableRow($('student-rows').tBodies[0], [
    element('input', { class: 'student-name', value: name, placeholder: 'name' }),
    element('input', { class: 'student-id', value: id, placeholder: 'id', size: '6' }),
    element('input', { class: 'student-images', value: images, placeholder: 'image URLs' }),
  ]);
}

function batchStudents() {
  const config = { size: $('batch-size').value, type: $('batch-type').value };
  return [...$('student-rows').tBodies[0].rows].map((row) => ({
    studentName: row.querySelector('.student-name').value.trim(),
    studentId: row.querySelector('.student-id').value.trim(),
    imgList: row.querySelector('.student-images').value.split(/\s+/).filter(Boolean),
    config,
  }));
}

function addPrintResult(kind, text) {
  const list = $('print-results');
  list.prepend(element('li', { dataset: { kind }, text: `${timestamp()} ${text}` }));
}

function onPrintEnd(event) {
  addPrintResult('ok', `${event.msg}${event.data.studentId ? ` (${event.data.studentId})` : ''}`);
}

// --- wiring ----------------------------------------------------------------------------------

function setUp() {
  if (params.has('host')) $('agent-host').value = params.get('host');
  if (params.has('ports')) $('agent-ports').value = params.get('ports');

  $('connection-form').addEventListener('submit', (event) => {
    event.preventDefault();
    connect();
  });
  $('disconnect').addEventListener('click', () => {
    if (client) client.close(); // its "connection" event updates the badge
    client = null;
  });

  addCredentialRow('SESSION', 'demo-session');
  $('add-credential').addEventListener('click', () => addCredentialRow());
  $('login-form').addEventListener('submit', (event) => {
    event.preventDefault();
    runRequest('login-status', () => requireClient().login(credentials()), (reply) => {
      showCanUse(reply.data.canUse === true, '');
      return `logged in; scanner ${reply.data.canUse ? 'ready' : 'not ready'}`;
    });
  });

  let generatedBatchNo = defaultBatchNumber();
  $('batchno').value = generatedBatchNo;
  if (servedOverHttp) $('upload-url').value = `${location.origin}/upload`;
  $('scan-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const batchno = $('batchno').value.trim();
    const uploadUrl = $('upload-url').value.trim();
    const started = await runRequest('scan-status', () => requireClient().startScan({
      batchno,
      uploadUrl,
      unionKey: $('union-key').value.trim(),
      paperVersion: Number($('paper-version').value),
    }), () => 'scanning…');
    if (!started) return;
    currentBatch = batchno;
    const batch = batchView(batchno);
    batch.uploadUrl = uploadUrl || location.href;
    batch.error.textContent = '';
    // A fresh number for the next scan, unless the user typed one of their own.
    if (batchno === generatedBatchNo) {
      generatedBatchNo = defaultBatchNumber();
      if (generatedBatchNo === batchno) generatedBatchNo += '-2';
      $('batchno').value = generatedBatchNo;
    }
  });
  $('stop-scan').addEventListener('click', () => {
    runRequest('scan-status', () => requireClient().stopScan(), () => 'stopping after the current page');
  });

  $('print-images').value = [sampleUrl(1), sampleUrl(2)].filter(Boolean).join('\n');
  $('print-form').addEventListener('submit', (event) => {
    event.preventDefault();
    runRequest('print-status', () => requireClient().print({
      studentName: $('print-name').value.trim(),
      studentId: $('print-id').value.trim(),
      imgList: $('print-images').value.split('\n').map((line) => line.trim()).filter(Boolean),
      config: { size: $('print-size').value, type: $('print-type').value },
    }), () => 'accepted; waiting for print-end');
  });
  $('stop-print').addEventListener('click', () => {
    runRequest('print-status', async () => { await requireClient().stopPrint(); return null; },
      () => 'stop-print sent (the agent does not answer it)');
  });

  addStudentRow('张三', 'S001', [sampleUrl(1), sampleUrl(2)].join(' '));
  addStudentRow('李四', 'S002', sampleUrl(3));
  addStudentRow('王五', 'S003', sampleUrl(4));
  $('add-student').addEventListener('click', () => addStudentRow());
  $('batch-form').addEventListener('submit', (event) => {
    event.preventDefault();
    runRequest('batch-status', () => requireClient().printBatch(batchStudents()),
      () => 'accepted; results arrive one student at a time');
  });

  $('log-clear').addEventListener('click', () => $('log').replaceChildren());

  // For a look from the browser's developer tools.
  window.velloxConsole = { get client() { return client; }, batches };
  connect();
}

setUp();
