'use strict';
// A Node.js host for quillmor-speech: spawns the program, speaks its framing on stdin and reads
// its JSON lines from stdout. No dependencies beyond Node's own modules. See README.md.

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const os = require('node:os');

const FRAME_START = 1;
const FRAME_AUDIO = 2;
const FRAME_END = 3;

// After the child has exited, how long its stdout may stay open (held by a process it left
// behind) before the session settles without it.
const STDOUT_GRACE_MS = 1000;

class QuillmorError extends Error {
  constructor(code, message, details = {}) {
    super(message);
    this.name = 'QuillmorError';
    this.code = code;
    this.exitCode = details.exitCode ?? null;
    this.signal = details.signal ?? null;
  }
}

// 1 type byte, a 4-byte big-endian length, the payload.
function frame(type, payload = Buffer.alloc(0)) {
  const header = Buffer.allocUnsafe(5);
  header.writeUInt8(type, 0);
  header.writeUInt32BE(payload.length, 1);
  return Buffer.concat([header, payload]);
}

// The bytes of a PCM chunk in wire order (signed 16-bit little-endian).
function pcmBytes(chunk) {
  if (chunk instanceof Int16Array) {
    const view = Buffer.from(chunk.buffer, chunk.byteOffset, chunk.byteLength);
    return os.endianness() === 'LE' ? view : Buffer.from(view).swap16();
  }
  if (Buffer.isBuffer(chunk)) return chunk;
  if (chunk instanceof Uint8Array) return Buffer.from(chunk.buffer, chunk.byteOffset, chunk.byteLength);
  throw new TypeError('PCM must be a Buffer, a Uint8Array or an Int16Array');
}

// Splits a byte stream into lines and hands each parsed JSON object to onLine. A line that is
// not JSON (which the program never writes) is handed over as {type: "invalid", line}.
function lineSplitter(onLine) {
  let pending = [];
  return (chunk) => {
    let from = 0;
    for (let i = chunk.indexOf(0x0a); i !== -1; i = chunk.indexOf(0x0a, from)) {
      pending.push(chunk.subarray(from, i));
      const text = Buffer.concat(pending).toString('utf8');
      pending = [];
      from = i + 1;
      let parsed;
      try {
        parsed = JSON.parse(text);
      } catch {
        parsed = { type: 'invalid', line: text };
      }
      onLine(parsed);
    }
    if (from < chunk.length) pending.push(chunk.subarray(from));
  };
}

// Resolves with {exitCode, signal} once the child has exited and its stdout has closed, or
// STDOUT_GRACE_MS after the exit when stdout stays open; with {spawnError} when it never ran.
function watchChild(child) {
  return new Promise((resolve) => {
    let exit = null;
    let stdoutClosed = false;
    let timer = null;
    const finish = () => {
      if (timer) clearTimeout(timer);
      resolve(exit);
    };
    child.on('error', (error) => {
      if (child.pid === undefined) resolve({ exitCode: null, signal: null, spawnError: error });
    });
    child.stdout.once('close', () => {
      stdoutClosed = true;
      if (exit) finish();
    });
    child.once('exit', (exitCode, signal) => {
      exit = { exitCode, signal };
      if (stdoutClosed) finish();
      else timer = setTimeout(finish, STDOUT_GRACE_MS);
    });
  });
}

function spawnProgram(options, args) {
  const binary = options.binary ?? 'quillmor-speech';
  const env = options.env ? { ...process.env, ...options.env } : process.env;
  return spawn(binary, args, { stdio: ['pipe', 'pipe', 'ignore'], env });
}

function exitError(what, exit) {
  if (exit.spawnError) {
    return new QuillmorError('spawn_failed', `cannot start the program: ${exit.spawnError.message}`);
  }
  const how = exit.signal ? `was killed by ${exit.signal}` : `exited with status ${exit.exitCode}`;
  return new QuillmorError('exited', `${what} ${how} without a result`, exit);
}

// One recognition session: one `serve` child. Events are read with `for await (const event of
// session)` (or given to options.onEvent instead); the outcome is `session.result`.
class Session {
  #child;
  #options;
  #frameBytes;
  #writing = Promise.resolve();
  #ended = false;
  #settled = false;
  #settledWith = null; // the error that rejected the result, or null after done
  #settledSignal; // resolves (never rejects) when the result settles
  #events = [];
  #waiters = [];
  #eventsOver = false;
  #iterationStopped = false; // a loop over the session broke off: events are no longer kept
  #carry = null; // a last odd byte, kept for the next chunk
  #finals = [];
  #resolve;
  #reject;
  #killTimer = null;

  constructor(options = {}) {
    this.#options = options;
    const sampleRate = options.sampleRate ?? 16000;
    this.#frameBytes = options.frameBytes ?? Math.max(2, Math.floor(sampleRate / 10) * 2);
    if (this.#frameBytes % 2 !== 0) throw new RangeError('frameBytes must be even');
    let signalSettled;
    this.#settledSignal = new Promise((resolve) => { signalSettled = resolve; });
    this.result = new Promise((resolve, reject) => {
      this.#resolve = (value) => { signalSettled(); resolve(value); };
      this.#reject = (error) => { signalSettled(); reject(error); };
    });
    // A host that awaits only end() or transcribe() must not see an unhandled rejection here.
    this.result.catch(() => {});

    const child = spawnProgram(options, ['serve']);
    this.#child = child;
    child.stdin.on('error', () => {}); // EPIPE when the child is gone: its exit settles
    child.stdout.on('data', lineSplitter((event) => this.#onEvent(event)));
    this.exited = watchChild(child).then((exit) => {
      if (this.#killTimer) clearTimeout(this.#killTimer);
      this.#settle(exitError('the session', exit));
      this.#eventsOver = true;
      for (const wake of this.#waiters.splice(0)) wake();
      return { exitCode: exit.exitCode, signal: exit.signal };
    });
    if (options.signal) {
      if (options.signal.aborted) this.cancel();
      else options.signal.addEventListener('abort', () => this.cancel(), { once: true });
    }

    const start = { locale: options.locale ?? 'en-US' };
    if (options.sampleRate !== undefined) start.sampleRate = options.sampleRate;
    if (options.install !== undefined) start.install = options.install;
    this.#writing = this.#send(frame(FRAME_START, Buffer.from(JSON.stringify(start))));
  }

  get pid() {
    return this.#child.pid;
  }

  // Sends PCM (signed 16-bit little-endian mono at the session's rate) in frames. Resolves when
  // the child's stdin has taken it (backpressure); rejects when the session has already ended.
  write(pcm) {
    let bytes = pcmBytes(pcm);
    if (this.#carry) {
      bytes = Buffer.concat([this.#carry, bytes]);
      this.#carry = null;
    }
    if (bytes.length % 2 === 1) {
      this.#carry = Buffer.from(bytes.subarray(bytes.length - 1));
      bytes = bytes.subarray(0, bytes.length - 1);
    }
    return this.#queue(async () => {
      if (this.#ended) throw new Error('write after end');
      for (let offset = 0; offset < bytes.length; offset += this.#frameBytes) {
        await this.#send(frame(FRAME_AUDIO, bytes.subarray(offset, offset + this.#frameBytes)));
      }
    });
  }

  // Writes every chunk of a readable stream (or any async iterable of PCM chunks), then ends.
  // A stream that fails (or yields something that is not PCM) cancels the session and rejects
  // with its error.
  async pipeFrom(stream) {
    try {
      for await (const chunk of stream) await this.write(chunk);
    } catch (error) {
      if (!this.#settled) this.cancel();
      throw error;
    }
    return this.end();
  }

  // Sends the end frame and closes stdin; resolves (or rejects) as `result` does.
  end() {
    this.#queue(async () => {
      if (this.#ended) return;
      this.#ended = true;
      await this.#send(frame(FRAME_END));
      this.#child.stdin.end();
    }).catch(() => {});
    return this.result;
  }

  // Asks the child to stop with SIGTERM, then SIGKILL after killAfterMs if it has not exited.
  cancel({ killAfterMs = 5000 } = {}) {
    const child = this.#child;
    if (child.exitCode !== null || child.signalCode !== null || child.pid === undefined) return;
    child.kill('SIGTERM');
    if (!this.#killTimer) {
      this.#killTimer = setTimeout(() => child.kill('SIGKILL'), killAfterMs);
    }
  }

  [Symbol.asyncIterator]() {
    return {
      next: async () => {
        for (;;) {
          if (this.#events.length > 0) return { value: this.#events.shift(), done: false };
          if (this.#eventsOver) return { value: undefined, done: true };
          await new Promise((wake) => this.#waiters.push(wake));
        }
      },
      return: async () => {
        this.#events = [];
        this.#iterationStopped = true;
        return { value: undefined, done: true };
      },
    };
  }

  #queue(step) {
    const run = this.#writing.then(() => {
      if (this.#settled && this.#settledWith) throw this.#settledWith;
      return step();
    });
    this.#writing = run.catch(() => {});
    return run;
  }

  // One write; when stdin is full, waits for `drain` or for the result to settle, whichever
  // comes first, so that a child that stopped reading or died never blocks the host.
  async #send(bytes) {
    const stdin = this.#child.stdin;
    if (this.#settled || stdin.destroyed || stdin.writableEnded) {
      if (this.#settledWith) throw this.#settledWith;
      return;
    }
    if (!stdin.write(bytes)) {
      await Promise.race([once(stdin, 'drain').catch(() => {}), this.#settledSignal]);
    }
  }

  #onEvent(event) {
    if (event.type === 'final') this.#finals.push(event);
    if (this.#options.onEvent) this.#options.onEvent(event);
    else if (!this.#iterationStopped) {
      this.#events.push(event);
      for (const wake of this.#waiters.splice(0)) wake();
    }
    if (event.type === 'done') this.#settle(null);
    else if (event.type === 'error') {
      this.#settle(new QuillmorError(event.code, event.message));
    }
  }

  #settle(error) {
    if (this.#settled) return;
    this.#settled = true;
    this.#settledWith = error;
    if (error) this.#reject(error);
    else this.#resolve({ finals: this.#finals });
  }
}

// Transcribes PCM (a Buffer, Uint8Array or Int16Array, or a readable stream / async iterable
// of chunks) in one session; resolves with the final lines on done.
async function transcribe(source, options = {}) {
  const streamed = source != null && typeof source[Symbol.asyncIterator] === 'function' &&
    !ArrayBuffer.isView(source);
  const pcm = streamed ? null : pcmBytes(source); // a TypeError before any child is started
  const session = new Session(options);
  if (streamed) {
    try {
      await session.pipeFrom(source);
    } catch (error) {
      if (!(error instanceof QuillmorError)) throw error; // the stream's own failure
    }
  } else {
    await session.write(pcm).catch(() => {});
    session.end();
  }
  return session.result;
}

function collect(child) {
  const chunks = [];
  child.stdout.on('data', (chunk) => chunks.push(chunk));
  return watchChild(child).then((exit) => ({ exit, stdout: Buffer.concat(chunks) }));
}

function errorFromLine(line, exit) {
  try {
    const event = JSON.parse(line.toString('utf8'));
    if (event.type === 'error') return new QuillmorError(event.code, event.message, exit);
  } catch {
    // not an error line: reported as an exit below
  }
  return null;
}

// The file's audio as signed 16-bit little-endian mono PCM at 16000 Hz.
async function decode(path, options = {}) {
  const child = spawnProgram(options, ['decode', path]);
  child.stdin.end();
  const { exit, stdout } = await collect(child);
  if (exit.exitCode === 0) return stdout;
  // The samples written before a failure come first; the error line is the last line.
  const at = stdout.lastIndexOf('{"code":');
  const error = at === -1 ? null : errorFromLine(stdout.subarray(at), exit);
  throw error ?? exitError('decode', exit);
}

// The probe line: what this machine can recognise.
async function probe(options = {}) {
  const child = spawnProgram(options, ['probe']);
  child.stdin.end();
  const { exit, stdout } = await collect(child);
  const lines = stdout.toString('utf8').split('\n').filter((line) => line !== '');
  const last = lines.length > 0 ? JSON.parse(lines[lines.length - 1]) : null;
  if (exit.exitCode === 0 && last && last.type === 'probe') return last;
  if (last && last.type === 'error') throw new QuillmorError(last.code, last.message, exit);
  throw exitError('probe', exit);
}

module.exports = { Session, transcribe, decode, probe, QuillmorError };
