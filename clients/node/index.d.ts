// Types of the quillmor-speech Node.js client and of the lines the program writes.

/// <reference types="node" />

import type { Readable } from 'node:stream';

// ---- The wire protocol: one JSON object per line on stdout ----

/** Every code an error line can carry. */
export type ErrorCode =
  | 'usage'
  | 'unsupported'
  | 'bad_start'
  | 'locale_unsupported'
  | 'locale_not_installed'
  | 'recognition_failed'
  | 'decode_unsupported'
  | 'decode_failed'
  | 'probe_failed';

/** `{"code":…,"message":…,"type":"error"}`: the last line of a run that ends with status 1. */
export interface ErrorEvent {
  type: 'error';
  code: ErrorCode;
  message: string;
}

/** A model download has started: `{"message":"正在下载 zh-CN 语音模型…","type":"status"}`. */
export interface StatusEvent {
  type: 'status';
  message: string;
}

/**
 * The utterance so far. Each partial repeats its whole utterance, so a host shows the latest
 * one in place of the previous. `start` and `end` are seconds of audio from the session's
 * first sample.
 */
export interface PartialEvent {
  type: 'partial';
  text: string;
  start: number;
  end: number;
}

/** A finished utterance; `confidence` in [0, 1] when the engine gives one. */
export interface FinalEvent {
  type: 'final';
  text: string;
  start: number;
  end: number;
  confidence?: number;
}

/** The session is over; the program exits with status 0. */
export interface DoneEvent {
  type: 'done';
}

/** A line of `serve`. */
export type ServeEvent = PartialEvent | FinalEvent | StatusEvent | DoneEvent | ErrorEvent;

/** What probe says of a locale. */
export type LocaleStatus = 'installed' | 'downloadable' | 'downloading' | 'unsupported' | 'unknown';

/** The line of `probe` when recognition can run here. */
export interface SupportedProbeLine {
  type: 'probe';
  os: string;
  supported: true;
  locales: Record<string, LocaleStatus>;
}

/** The line of `probe` when recognition cannot run here. */
export interface UnsupportedProbeLine {
  type: 'probe';
  os: string;
  supported: false;
  reason: string;
}

export type ProbeLine = SupportedProbeLine | UnsupportedProbeLine;

/** The payload of the start frame. */
export interface StartRequest {
  locale: string;
  /** Hz, whole, 1000 to 768000; default 16000. */
  sampleRate?: number;
  /** Download a missing model; default true. */
  install?: boolean;
}

// ---- The client ----

/**
 * The code of a QuillmorError: an error line's code, or one of the client's own:
 * `exited` (the child exited or was killed without `done` or an error line) and
 * `spawn_failed` (the program could not be started).
 */
export type ClientErrorCode = ErrorCode | 'exited' | 'spawn_failed';

export class QuillmorError extends Error {
  readonly name: 'QuillmorError';
  readonly code: ClientErrorCode;
  /** The child's exit status when it had exited (code `exited`, or a decode/probe failure). */
  readonly exitCode: number | null;
  /** The signal that killed the child, for code `exited`. */
  readonly signal: NodeJS.Signals | null;
}

/** PCM: signed 16-bit mono samples (byte buffers are taken as little-endian). */
export type Pcm = Buffer | Uint8Array | Int16Array;

export interface ProgramOptions {
  /** The program to run; default `quillmor-speech` on PATH. */
  binary?: string;
  /** Variables added to the child's environment. */
  env?: Record<string, string>;
}

export interface SessionOptions extends ProgramOptions, Partial<StartRequest> {
  /** Default 'en-US'. */
  locale?: string;
  /** Bytes of audio per frame (even); default 100 ms at the sample rate. */
  frameBytes?: number;
  /** Receives every event as it arrives; the session is then not iterable. */
  onEvent?: (event: ServeEvent) => void;
  /** Aborting it cancels the session (as cancel()). */
  signal?: AbortSignal;
}

export interface SessionResult {
  /** Every final line of the session, in order. */
  finals: FinalEvent[];
}

export interface SessionExit {
  exitCode: number | null;
  signal: NodeJS.Signals | null;
}

/**
 * One recognition session: one `serve` child, started by the constructor, which also sends the
 * start frame. Iterate it for its events (all lines, until the child's stdout closes).
 */
export class Session implements AsyncIterable<ServeEvent> {
  constructor(options?: SessionOptions);
  readonly pid: number | undefined;
  /**
   * Settles exactly once, on the first of: `done` (resolves), an error line (rejects with its
   * code), the child's exit or a failed start (rejects with `exited` or `spawn_failed`).
   */
  readonly result: Promise<SessionResult>;
  /** Resolves when the child has exited. */
  readonly exited: Promise<SessionExit>;
  /** Sends PCM in frames; resolves when stdin took it, rejects once the session has failed. */
  write(pcm: Pcm): Promise<void>;
  /**
   * Writes every chunk, then ends the session. A stream that fails (or yields something that is
   * not PCM) cancels the session and rejects with its own error.
   */
  pipeFrom(stream: Readable | AsyncIterable<Pcm>): Promise<SessionResult>;
  /** Sends the end frame and closes stdin; returns `result`. */
  end(): Promise<SessionResult>;
  /** SIGTERM to the child, SIGKILL after `killAfterMs` (default 5000) if it is still running. */
  cancel(options?: { killAfterMs?: number }): void;
  [Symbol.asyncIterator](): AsyncIterator<ServeEvent>;
}

/** Transcribes PCM in one session; resolves with the final lines on `done`. */
export function transcribe(
  source: Pcm | Readable | AsyncIterable<Pcm>,
  options?: SessionOptions,
): Promise<SessionResult>;

/** The file's audio as signed 16-bit little-endian mono PCM at 16000 Hz. */
export function decode(path: string, options?: ProgramOptions): Promise<Buffer>;

/** The probe line. */
export function probe(options?: ProgramOptions): Promise<ProbeLine>;
