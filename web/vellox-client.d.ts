// Types of vellox-client.js, the web page's side of the Vellox agent's command channel.
// Message fields are described in docs/protocol.md.

/** The agent's default port and the one it moves to when the default is taken. */
export declare const DEFAULT_PORTS: readonly number[];
/** Every event the agent sends on its own. */
export declare const AGENT_EVENTS: readonly AgentEventName[];

/** One reply or event as the agent sends it. */
export interface Envelope<Data = Record<string, unknown>> {
  cmd: string;
  /** 200 for success, 400 for a rejected request or a failure, other values where documented. */
  ret: number;
  data: Data;
  msg: string;
  /** A reply carries its request's reqId; an event a fresh, time-based one. */
  reqId: string;
}

export type ErrorCode =
  | 'rejected'        // the agent answered with a ret other than 200 (see ret and msg)
  | 'timeout'         // no reply within the request's time-out
  | 'connection-lost' // the connection dropped before the reply; the request is not sent again
  | 'not-connected'   // sent while no connection was open
  | 'closed'          // the client was closed
  | 'unreachable';    // no port answered

export declare class VelloxError extends Error {
  readonly name: 'VelloxError';
  readonly code: ErrorCode;
  /** The reply's ret ("rejected"), else 0. */
  readonly ret: number;
  /** The reply's msg ("rejected"), else the error's message. */
  readonly msg: string;
  readonly cmd: string;
  readonly reqId: string;
  readonly reply: Envelope | null;
}

export interface ClientOptions {
  /** Host of the agent; default "127.0.0.1". */
  host?: string;
  /** Ports tried in order on every (re)connection; default [9086, 9087]. */
  ports?: readonly number[];
  /** Default time-out of a request's reply; default 30000 ms. */
  requestTimeoutMs?: number;
  /** How long one port may take to complete the handshake; default 3000 ms. */
  connectTimeoutMs?: number;
  /** Reconnect when the connection drops; default true. */
  reconnect?: boolean;
  /** Back-off between reconnection rounds: initial × factor^(attempt − 1), at most max. */
  backoffInitialMs?: number;  // default 500
  backoffMaxMs?: number;      // default 10000
  backoffFactor?: number;     // default 2
  /** connect()/open() keep trying instead of rejecting when no port answers; default false. */
  waitForAgent?: boolean;
  /** A WebSocket implementation other than the global one. */
  WebSocket?: typeof WebSocket;
}

export type ConnectionState = 'idle' | 'connecting' | 'open' | 'reconnecting' | 'closed';

export type ConnectionDetail =
  | { state: 'open'; port: number; url: string }
  | { state: 'lost'; port: number | null; code: number; reason: string }
  | { state: 'reconnecting'; attempt: number; delayMs: number }
  | { state: 'closed' };

export interface FrameDetail {
  direction: 'in' | 'out';
  text: string;
}

// --- command data ----------------------------------------------------------------------------

export interface ScanBatch {
  /** Batch number; the agent names the batch by the time when it is empty. */
  batchno?: string;
  /** Where every page is posted. */
  uploadUrl: string;
  unionKey: string;
  /** 1 single-sided, otherwise double-sided (2 when absent, zero or not numeric). */
  paperVersion?: number | string;
}

export type PaperSize = 'A3' | 'A4' | '8K' | '16K';
export type PrintType = 'part' | 'whole';

export interface PrintConfig {
  size?: PaperSize | string;
  type?: PrintType | string;
}

export interface Student {
  studentName: string;
  studentId?: string;
  /** Addresses of the student's page images, in page order. */
  imgList: string[];
  config?: PrintConfig;
}

export interface BatchStudent extends Student {
  /** Required and unique within a batch. */
  studentId: string;
}

// --- event data -----------------------------------------------------------------------------

export interface CanUseData { canUse: boolean }

/** The upload server's "data" object, plus the two members the agent adds. */
export interface UploadedImageData {
  /** Milliseconds the upload took. */
  time: number;
  /** The page's file on this PC (the member is spelled this way). */
  localFIle: string;
  [serverField: string]: unknown;
}

export interface UploadedEndData {
  batchNo: string;
  imageCount: number;
  succeedCount: number;
}

export interface PrintEndData {
  studentName: string;
  /** Only for students of a printBatch. */
  studentId?: string;
  /** Only for students of a printBatch. */
  batchId?: string;
  remote_key: string;
}

export interface PrintWaitingData {
  studentName: string;
  studentId: string;
  printerName: string;
  /** "media-empty", "media-jam", "door-open", "marker-supply-empty", "offline", "warming-up",
   *  "needs-attention", "no-response"; "" once the printer goes on. */
  reason: string;
  batchId?: string;
  remote_key: string;
}

export interface PrintStoppedData {
  batchId: string;
  printedCount: number;
  notPrinted: string[];
  remote_key: string;
}

export interface PrintBatchStatus {
  batchId: string;
  studentCount: number;
  printed: string[];
  failed: string[];
  /** The student at the printer, "" when none. */
  current: string;
  queued: string[];
  stopped: boolean;
}

export type ErrorType = 'scan-error' | 'print-error' | 'auth-error' | 'timeout';

export interface ErrorData {
  errorType: ErrorType | string;
  /** scan-error of a failed start: the TWAIN return code and its name. */
  ret?: number;
  msg?: string;
  /** print-error */
  studentName?: string;
  studentId?: string;
  /** print-error of a printBatch student */
  batchId?: string;
  /** print-error of an image that could not be had */
  imgUrl?: string;
  /** auth-error and timeout (upload failures) */
  time?: number;
  localFIle?: string;
  /** timeout: the transfer library's result code and text */
  curlRet?: number;
  curlMsg?: string;
}

/** The batch whose scan ended (a "start-scan" may end the previous batch before its reply). */
export interface ScanEndData {
  batchNo: string;
}

export type AgentEventName = 'can-use' | 'scan-end' | 'uploaded-image' | 'uploaded-end' | 'print-end' | 'error';

export interface EventDetails {
  'can-use': Envelope<CanUseData>;
  'scan-end': Envelope<ScanEndData>;
  'uploaded-image': Envelope<UploadedImageData>;
  'uploaded-end': Envelope<UploadedEndData>;
  'print-end': Envelope<PrintEndData>;
  'print-waiting': Envelope<PrintWaitingData>;
  'print-stopped': Envelope<PrintStoppedData>;
  'error': Envelope<ErrorData>;
  'error:scan-error': Envelope<ErrorData>;
  'error:print-error': Envelope<ErrorData>;
  'error:auth-error': Envelope<ErrorData>;
  'error:timeout': Envelope<ErrorData>;
  'connection': ConnectionDetail;
  'frame': FrameDetail;
  /** Every message received, replies included. */
  'message': Envelope;
  /** A reply that came after its request timed out or was given up. */
  'late-reply': Envelope;
}

export type Handler<Detail> = (detail: Detail, event: CustomEvent<Detail>) => void;

export declare class VelloxClient extends EventTarget {
  /** Creates a client and resolves once a port answered (see ClientOptions.waitForAgent). */
  static connect(options?: ClientOptions): Promise<VelloxClient>;
  constructor(options?: ClientOptions);

  readonly state: ConnectionState;
  readonly isOpen: boolean;
  /** The port of the open connection, or null. */
  readonly port: number | null;
  /** ws:// address of the open connection, or null. */
  readonly url: string | null;

  open(): Promise<void>;
  /** No reconnection afterwards; pending requests reject with code "closed". */
  close(): void;

  /** Resolves with the reply when its ret is 200; rejects with a VelloxError otherwise. */
  request<Data = Record<string, unknown>>(cmd: string, data?: unknown, options?: { timeoutMs?: number }): Promise<Envelope<Data>>;
  /** Sends without waiting; returns the reqId. Throws a VelloxError when not connected. */
  send(cmd: string, data?: unknown): string;

  /** An empty object clears the credentials. */
  login(uploadCredentials?: Record<string, string>): Promise<Envelope<CanUseData>>;
  startScan(batch: ScanBatch): Promise<Envelope<Record<string, never>>>;
  stopScan(): Promise<Envelope<Record<string, never>>>;
  print(student: Student): Promise<Envelope<Record<string, never>>>;
  printBatch(students: BatchStudent[]): Promise<Envelope<Record<string, never>>>;
  /** Stops this site's batches (or one): each ends with "print-stopped". No reply: resolves once sent. */
  stopPrint(batchId?: string): Promise<void>;
  printStatus(): Promise<Envelope<{ batches: PrintBatchStatus[] }>>;

  on<Name extends keyof EventDetails>(name: Name, handler: Handler<EventDetails[Name]>): () => void;
  on(name: string, handler: Handler<Envelope>): () => void;
  off(name: string, handler: Handler<any>): void;
  once<Name extends keyof EventDetails>(name: Name, match?: (detail: EventDetails[Name]) => boolean): Promise<EventDetails[Name]>;
  once(name: string, match?: (detail: Envelope) => boolean): Promise<Envelope>;
}

export default VelloxClient;
