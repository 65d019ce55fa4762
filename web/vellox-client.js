// vellox-client.js: the web page's side of the Vellox agent's command channel.
//
// One dependency-free ES module for modern browsers; no build step. The agent listens on a
// local WebSocket port; this client finds it, sends commands as promises, hands the agent's
// events to listeners and reconnects when the agent goes away. See docs/protocol.md for the
// messages themselves.
//
//   import { VelloxClient } from './vellox-client.js';
//   const client = await VelloxClient.connect({ ports: [9086, 9087] });
//   client.on('uploaded-image', (event) => show(event.data));
//   await client.login({ SESSION: 'abc' });
//   await client.startScan({ batchno: 'B1', uploadUrl, unionKey: 'K1', paperVersion: 2 });

/** The agent's default port and the one it moves to when the default is taken. */
export const DEFAULT_PORTS = Object.freeze([9086, 9087]);

/** Every event the agent sends on its own (not in answer to a request). */
export const AGENT_EVENTS = Object.freeze([
  'can-use', 'scan-end', 'uploaded-image', 'uploaded-end', 'print-end', 'error',
]);

const DEFAULTS = Object.freeze({
  host: '127.0.0.1',
  ports: DEFAULT_PORTS,
  requestTimeoutMs: 30000,
  connectTimeoutMs: 3000,
  reconnect: true,
  backoffInitialMs: 500,
  backoffMaxMs: 10000,
  backoffFactor: 2,
  waitForAgent: false,
});

const OK = 200;

/**
 * A request that did not succeed. `code` says why:
 * "rejected" (the agent answered with a `ret` other than 200: see `ret` and `msg`),
 * "timeout" (no reply in time), "connection-lost" (the connection dropped before the reply),
 * "not-connected" (sent while no connection was open), "closed" (the client was closed),
 * "unreachable" (no port answered).
 */
export class VelloxError extends Error {
  constructor(message, { code, ret = 0, cmd = '', reqId = '', reply = null } = {}) {
    super(message);
    this.name = 'VelloxError';
    this.code = code;
    this.ret = ret;
    this.msg = reply ? reply.msg : message;
    this.cmd = cmd;
    this.reqId = reqId;
    this.reply = reply;
  }
}

function randomTag() {
  const bytes = new Uint8Array(4);
  globalThis.crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(36).padStart(2, '0')).join('');
}

function parseEnvelope(text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    return null;
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) return null;
  return {
    cmd: typeof value.cmd === 'string' ? value.cmd : '',
    ret: typeof value.ret === 'number' ? value.ret : 0,
    data: value.data !== null && typeof value.data === 'object' ? value.data : {},
    msg: typeof value.msg === 'string' ? value.msg : '',
    reqId: typeof value.reqId === 'string' ? value.reqId : '',
  };
}

export class VelloxClient extends EventTarget {
  /**
   * Creates a client and connects it: resolves once a port answered. Rejects with code
   * "unreachable" when none did, unless `waitForAgent` is set, in which case it keeps trying
   * with back-off until the agent appears or the client is closed.
   */
  static async connect(options = {}) {
    const client = new VelloxClient(options);
    await client.open();
    return client;
  }

  constructor(options = {}) {
    super();
    this.options = { ...DEFAULTS, ...options };
    if (!Array.isArray(this.options.ports) || this.options.ports.length === 0) {
      throw new TypeError('VelloxClient: "ports" must list at least one port');
    }
    this.WebSocketImpl = this.options.WebSocket || globalThis.WebSocket;
    /** "idle", "connecting", "open", "reconnecting" or "closed". */
    this.state = 'idle';
    /** The port of the open connection (null while none is open). */
    this.port = null;
    this.socket = null;
    this.pending = new Map();
    this.reqPrefix = `vx${randomTag()}-`;
    this.reqCounter = 0;
    this.reconnectTimer = null;
    this.reconnectAttempt = 0;
    this.openWaiters = null;
    this.listeners = new Map();
  }

  // --- connection -------------------------------------------------------------------------

  /** Connects (see connect()); resolves at once when already open. */
  open() {
    if (this.state === 'open') return Promise.resolve();
    if (this.openWaiters) return this.openWaiters.promise;
    let resolve;
    let reject;
    const promise = new Promise((res, rej) => { resolve = res; reject = rej; });
    this.openWaiters = { promise, resolve, reject };
    // While reconnecting, the next successful round settles it.
    if (this.state !== 'reconnecting') {
      this.state = 'connecting';
      this.connectRound(true);
    }
    return promise;
  }

  /** Closes the connection for good: no reconnection; pending requests reject ("closed"). */
  close() {
    const wasActive = this.state !== 'closed' && this.state !== 'idle';
    this.state = 'closed';
    clearTimeout(this.reconnectTimer);
    this.reconnectTimer = null;
    this.rejectPending('closed', 'the client was closed');
    if (this.openWaiters) {
      this.openWaiters.reject(new VelloxError('the client was closed', { code: 'closed' }));
      this.openWaiters = null;
    }
    const socket = this.socket;
    this.socket = null;
    this.port = null;
    if (socket) {
      this.detach(socket);
      socket.close(1000, 'client closed');
    }
    if (wasActive) this.emit('connection', { state: 'closed' });
  }

  get isOpen() {
    return this.state === 'open';
  }

  /** ws:// address of the open connection, or null. */
  get url() {
    return this.port === null ? null : this.addressOf(this.port);
  }

  addressOf(port) {
    const host = this.options.host.includes(':') ? `[${this.options.host}]` : this.options.host;
    return `ws://${host}:${port}/`;
  }

  // Tries every port once, in order; the first that completes a handshake wins.
  async connectRound(first) {
    for (const port of this.options.ports) {
      if (this.state === 'closed') return;
      const socket = await this.tryPort(port);
      if (this.state === 'closed') {
        if (socket) socket.close(1000, 'client closed');
        return;
      }
      if (socket) {
        this.attach(socket, port);
        return;
      }
    }
    if (first && !this.options.waitForAgent) {
      this.state = 'closed';
      const error = new VelloxError(
        `no Vellox agent answered on ${this.options.host} port ${this.options.ports.join(' or ')}`,
        { code: 'unreachable' });
      this.openWaiters.reject(error);
      this.openWaiters = null;
      return;
    }
    this.scheduleReconnect();
  }

  // Resolves with the open socket, or null when the port refused, failed or timed out.
  tryPort(port) {
    return new Promise((resolve) => {
      let socket;
      try {
        socket = new this.WebSocketImpl(this.addressOf(port));
      } catch {
        resolve(null);
        return;
      }
      let settled = false;
      const settle = (value) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        socket.onopen = socket.onerror = socket.onclose = null;
        resolve(value);
      };
      const timer = setTimeout(() => {
        settle(null);
        socket.close();
      }, this.options.connectTimeoutMs);
      socket.onopen = () => settle(socket);
      socket.onerror = () => settle(null);
      socket.onclose = () => settle(null);
    });
  }

  attach(socket, port) {
    this.socket = socket;
    this.port = port;
    this.state = 'open';
    this.reconnectAttempt = 0;
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = (event) => this.lost(socket, event);
    socket.onerror = () => {}; // a close event follows every error
    if (this.openWaiters) {
      this.openWaiters.resolve();
      this.openWaiters = null;
    }
    this.emit('connection', { state: 'open', port, url: this.addressOf(port) });
  }

  detach(socket) {
    socket.onopen = socket.onmessage = socket.onerror = socket.onclose = null;
  }

  lost(socket, event) {
    if (socket !== this.socket) return;
    this.detach(socket);
    const port = this.port;
    this.socket = null;
    this.port = null;
    // Nothing is sent again on the next connection: a scan or a print must not start twice.
    this.rejectPending('connection-lost', 'the connection to the agent was lost');
    this.emit('connection', { state: 'lost', port, code: event.code, reason: event.reason });
    if (this.state === 'closed') return;
    if (!this.options.reconnect) {
      this.state = 'closed';
      return;
    }
    this.scheduleReconnect();
  }

  scheduleReconnect() {
    this.state = 'reconnecting';
    this.reconnectAttempt += 1;
    const { backoffInitialMs, backoffFactor, backoffMaxMs } = this.options;
    const delayMs = Math.min(backoffMaxMs,
      backoffInitialMs * backoffFactor ** (this.reconnectAttempt - 1));
    this.emit('connection', { state: 'reconnecting', attempt: this.reconnectAttempt, delayMs });
    this.reconnectTimer = setTimeout(() => {
      this.reconnectTimer = null;
      if (this.state === 'reconnecting') this.connectRound(false);
    }, delayMs);
  }

  // --- messages ---------------------------------------------------------------------------

  receive(text) {
    if (typeof text !== 'string') return; // the agent sends text frames only
    this.emit('frame', { direction: 'in', text });
    const message = parseEnvelope(text);
    if (!message) return;
    this.emit('message', message);

    const waiting = this.pending.get(message.reqId);
    if (waiting && waiting.cmd === message.cmd) {
      this.pending.delete(message.reqId);
      clearTimeout(waiting.timer);
      if (message.ret === OK) {
        waiting.resolve(message);
      } else {
        waiting.reject(new VelloxError(message.msg || `${message.cmd} failed with ret ${message.ret}`, {
          code: 'rejected', ret: message.ret, cmd: message.cmd, reqId: message.reqId, reply: message,
        }));
      }
      return;
    }
    if (message.reqId.startsWith(this.reqPrefix)) {
      // The reply to a request that already timed out or was given up.
      this.emit('late-reply', message);
      return;
    }
    this.emit(message.cmd, message);
    if (message.cmd === 'error' && typeof message.data.errorType === 'string') {
      this.emit(`error:${message.data.errorType}`, message);
    }
  }

  nextReqId() {
    this.reqCounter += 1;
    return `${this.reqPrefix}${this.reqCounter}`;
  }

  transmit(cmd, reqId, data) {
    const envelope = { cmd, reqId };
    if (data !== undefined) envelope.data = data;
    const text = JSON.stringify(envelope);
    this.socket.send(text);
    this.emit('frame', { direction: 'out', text });
  }

  /**
   * Sends one command and resolves with the agent's reply ({cmd, ret, data, msg, reqId}) when
   * its ret is 200; rejects with a VelloxError otherwise, when no reply came within
   * `timeoutMs` (default `requestTimeoutMs`), or at once when the connection drops.
   */
  request(cmd, data, { timeoutMs = this.options.requestTimeoutMs } = {}) {
    const reqId = this.nextReqId();
    if (this.state !== 'open') {
      return Promise.reject(new VelloxError('not connected to the agent', { code: 'not-connected', cmd, reqId }));
    }
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(reqId);
        reject(new VelloxError(`no reply to ${cmd} within ${timeoutMs} ms`, { code: 'timeout', cmd, reqId }));
      }, timeoutMs);
      this.pending.set(reqId, { cmd, resolve, reject, timer });
      this.transmit(cmd, reqId, data);
    });
  }

  /** Sends a command without waiting for anything; returns its reqId. */
  send(cmd, data) {
    if (this.state !== 'open') throw new VelloxError('not connected to the agent', { code: 'not-connected', cmd });
    const reqId = this.nextReqId();
    this.transmit(cmd, reqId, data);
    return reqId;
  }

  rejectPending(code, text) {
    const waiting = [...this.pending.entries()];
    this.pending.clear();
    for (const [reqId, entry] of waiting) {
      clearTimeout(entry.timer);
      entry.reject(new VelloxError(`${entry.cmd}: ${text}`, { code, cmd: entry.cmd, reqId }));
    }
  }

  // --- commands ---------------------------------------------------------------------------

  /**
   * "login": hands the upload credentials (name → value, sent by the agent as one Cookie
   * header with uploads and print downloads) to the agent; an empty object clears them.
   * Resolves with the reply, whose data.canUse tells whether a scanner is open.
   */
  login(uploadCredentials = {}) {
    return this.request('login', { uploadCredentials });
  }

  /** "start-scan": {batchno, uploadUrl, unionKey, paperVersion (1 single-sided, 2 double)}. */
  startScan({ batchno, uploadUrl, unionKey, paperVersion } = {}) {
    const data = { batchno, uploadUrl, unionKey };
    if (paperVersion !== undefined) data.paperVersion = paperVersion;
    return this.request('start-scan', data);
  }

  /** "stop-scan": the scanner stops after the page it is on. */
  stopScan() {
    return this.request('stop-scan');
  }

  /** "print": one student, {studentName, studentId, imgList, config: {size, type}}. */
  print(student) {
    return this.request('print', student);
  }

  /** "printBatch": students printed strictly in this order; the first failure stops the batch. */
  printBatch(students) {
    return this.request('printBatch', students);
  }

  /**
   * "stop-print": stops the batches of this page's site (only `batchId` when given); each ends
   * with one "print-stopped" event. The agent gives no reply, so this resolves once it is sent.
   */
  async stopPrint(batchId) {
    this.send('stop-print', batchId === undefined ? undefined : { batchId });
  }

  /** "print-status": the batches of this page's site, with their students printed, failed and queued. */
  printStatus() {
    return this.request('print-status');
  }

  // --- events -----------------------------------------------------------------------------

  emit(name, detail) {
    this.dispatchEvent(new CustomEvent(name, { detail }));
  }

  /**
   * Calls `handler(detail, event)` for every event `name`: an agent event ("can-use",
   * "uploaded-image", "error", …, or "error:<errorType>"), "connection", "frame", "message"
   * or "late-reply". Returns a function that removes the handler; the same handler given
   * again for the same name replaces the earlier registration.
   */
  on(name, handler) {
    this.off(name, handler);
    const listener = (event) => handler(event.detail, event);
    if (!this.listeners.has(handler)) this.listeners.set(handler, new Map());
    this.listeners.get(handler).set(name, listener);
    this.addEventListener(name, listener);
    return () => this.off(name, handler);
  }

  off(name, handler) {
    const byName = this.listeners.get(handler);
    const listener = byName && byName.get(name);
    if (!listener) return;
    byName.delete(name);
    this.removeEventListener(name, listener);
  }

  /** Resolves with the detail of the next event `name` that `match` accepts. */
  once(name, match = () => true) {
    return new Promise((resolve) => {
      const off = this.on(name, (detail) => {
        if (!match(detail)) return;
        off();
        resolve(detail);
      });
    });
  }
}

export default VelloxClient;
