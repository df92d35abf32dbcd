'use strict';
// The client against the real program (build/quillmor-speech) and its scripted build.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const { Session, transcribe, decode, probe, QuillmorError } = require('..');
const { root, binary, scripted, sample, eventLog, scenario, after, outcome } = require('./support');

const SECOND = 32000; // bytes of one second of 16 kHz 16-bit mono

let samplePcm;
async function samplePcmOnce() {
  samplePcm ??= await decode(sample, { binary });
  return samplePcm;
}

let sampleRun;
function transcribeSampleOnce() {
  sampleRun ??= samplePcmOnce().then((pcm) => {
    const log = eventLog();
    return transcribe(pcm, { binary, locale: 'en-US', onEvent: log.onEvent })
      .then(({ finals }) => ({ finals, events: log.events }));
  });
  return sampleRun;
}

test('decode gives the sample as 16 kHz PCM; a session transcribes it', async () => {
  const pcm = await samplePcmOnce();
  assert.equal(pcm.length % 2, 0);
  assert.ok(pcm.length > 28 * SECOND && pcm.length < 29.5 * SECOND, `${pcm.length} bytes`);

  const { finals, events } = await transcribeSampleOnce();
  assert.deepEqual(events.at(-1), { type: 'done' });
  assert.ok(events.some((e) => e.type === 'partial'));
  assert.deepEqual(finals, events.filter((e) => e.type === 'final'));
  assert.ok(finals.length >= 4, JSON.stringify(finals));
  for (let i = 1; i < finals.length; i++) assert.ok(finals[i - 1].end <= finals[i].start);
  // start and end are seconds of audio from the first sample: the last words end near the end.
  assert.ok(finals.at(-1).end > 27 && finals.at(-1).end <= pcm.length / SECOND);
  assert.match(finals.map((f) => f.text).join(' '), /might even have been made/);
});

test('a session streamed from a readable stream and iterated gives the same finals', async () => {
  const pcm = await samplePcmOnce();
  const stream = require('node:stream').Readable.from(
    Array.from({ length: Math.ceil(pcm.length / 7777) }, (_, i) => pcm.subarray(i * 7777, (i + 1) * 7777)));
  const session = new Session({ binary });
  const piping = session.pipeFrom(stream);
  const events = [];
  for await (const event of session) events.push(event);
  const { finals } = await piping;
  assert.deepEqual(events.at(-1), { type: 'done' });
  assert.deepEqual(finals, (await transcribeSampleOnce()).finals);
});

test('PCM reaches the program sample for sample, across odd chunk sizes and Int16Array', async (t) => {
  const s = scenario({ statuses: { 'en-US': 'installed' } });
  t.after(s.remove);
  const samples = Int16Array.from({ length: 5001 }, (_, i) => ((i * 7919) % 65536) - 32768);
  const bytes = Buffer.from(samples.buffer);
  const session = new Session({ binary: scripted, env: s.env, frameBytes: 640 });
  await session.write(samples.subarray(0, 1000));
  for (let at = 2000, step = 1; at < bytes.length; at += step, step = (step * 3) % 997 + 1) {
    await session.write(bytes.subarray(at, Math.min(at + step, bytes.length)));
  }
  await session.end();
  assert.deepEqual((await session.exited), { exitCode: 0, signal: null });
  const record = s.record();
  assert.equal(record.frames, samples.length);
  assert.deepEqual(record.samples, Array.from(samples));
  assert.ok(record.buffers >= Math.ceil(bytes.length / 640), `${record.buffers} frames`);
});

test('a host that writes faster than the session reads waits for it, then all audio arrives', async (t) => {
  // stdin is not read while the model downloads.
  const s = scenario({
    statuses: { 'en-US': 'downloadable' },
    operations: { downloadAndInstall: { do: 'succeed', waitMs: 1500 } },
  });
  t.after(s.remove);
  const log = eventLog();
  const session = new Session({ binary: scripted, env: s.env, onEvent: log.onEvent });
  const audio = Buffer.alloc(60 * SECOND, 1);
  const writing = session.write(audio);
  assert.equal(await Promise.race([outcome(writing), after(700)]), 'timeout');
  await log.next('status');
  assert.equal(await outcome(writing), 'resolved');
  await session.end();
  assert.equal(s.record().frames, audio.length / 2);
});

test('a child that fails while the host waits on a full stdin settles at once', async (t) => {
  const s = scenario({
    statuses: { 'en-US': 'downloadable' },
    operations: { downloadAndInstall: { do: 'throw', description: 'mirror gone', waitMs: 1000 } },
  });
  t.after(s.remove);
  const session = new Session({ binary: scripted, env: s.env });
  const writing = session.write(Buffer.alloc(30 * SECOND));
  const failure = await Promise.race([outcome(writing), after(10000)]);
  assert.ok(failure instanceof QuillmorError, String(failure));
  assert.equal(failure.code, 'recognition_failed');
  assert.equal(failure.message, 'mirror gone');
  await assert.rejects(session.result, { code: 'recognition_failed', message: 'mirror gone' });
  assert.deepEqual(await session.exited, { exitCode: 1, signal: null });
});

test('a child killed mid-session settles the session and every pending write', async (t) => {
  for (const [name, options] of [
    ['while reading audio', { binary }],
    ['while stdin is full', { binary: scripted, ...downloadingScenario(t) }],
  ]) {
    const session = new Session(options);
    const writing = session.write(Buffer.alloc(60 * SECOND, 3));
    await new Promise((resolve) => setTimeout(resolve, 400));
    process.kill(session.pid, 'SIGKILL');
    const settled = await Promise.race([outcome(session.result), after(5000)]);
    assert.ok(settled instanceof QuillmorError, `${name}: ${settled}`);
    assert.equal(settled.code, 'exited', name);
    assert.equal(settled.signal, 'SIGKILL', name);
    assert.notEqual(await Promise.race([outcome(writing), after(1000)]), 'timeout', name);
    await assert.rejects(session.write(Buffer.alloc(2)), { code: 'exited' }, name);
  }
});

function downloadingScenario(t) {
  const s = scenario({
    statuses: { 'en-US': 'downloadable' },
    operations: { downloadAndInstall: { do: 'succeed', waitMs: 60000 } },
  });
  t.after(s.remove);
  return { env: s.env };
}

test('cancel during the audio ends the session with its last final and done', async () => {
  const pcm = await samplePcmOnce();
  const log = eventLog();
  const session = new Session({ binary, onEvent: log.onEvent });
  // The first 9 s (the first utterance and a pause), with stdin left open.
  await session.write(pcm.subarray(0, 9 * SECOND));
  await log.next('final');
  const cancelled = Date.now();
  session.cancel();
  const { finals } = await session.result;
  assert.ok(Date.now() - cancelled < 3000, `${Date.now() - cancelled} ms`);
  assert.ok(finals.length >= 1);
  assert.deepEqual(log.events.at(-1), { type: 'done' });
  assert.deepEqual(await session.exited, { exitCode: 0, signal: null });
});

test('cancel during a model download fails the session with recognition_failed', async (t) => {
  const controller = new AbortController();
  const logs = [eventLog(), eventLog()];
  const sessions = [
    new Session({ binary: scripted, ...downloadingScenario(t), onEvent: logs[0].onEvent }),
    new Session({ binary: scripted, ...downloadingScenario(t), onEvent: logs[1].onEvent,
      signal: controller.signal }),
  ];
  await Promise.all(logs.map((log) => log.next('status')));
  sessions[0].cancel();
  controller.abort();
  for (const session of sessions) {
    const failure = await Promise.race([outcome(session.result), after(3000)]);
    assert.ok(failure instanceof QuillmorError, String(failure));
    assert.equal(failure.code, 'recognition_failed');
    assert.equal(failure.message, '收到 SIGTERM，模型下载已取消');
    assert.deepEqual(await session.exited, { exitCode: 1, signal: null });
  }
});

test('error lines reject with their code and message', async () => {
  const cases = [
    ['an unknown locale', () => transcribe(Buffer.alloc(SECOND), { binary, locale: 'xx-XX' }),
      { code: 'locale_unsupported', message: '本机不支持 xx-XX 识别' }],
    ['a rate out of range', () => transcribe(Buffer.alloc(SECOND), { binary, sampleRate: 999 }),
      { code: 'bad_start', message: '第一帧必须是 start' }],
    ['decode of a missing file', () => decode(path.join(root, 'no-such.ogg'), { binary }),
      { code: 'decode_unsupported', message: /^这个音频格式系统解不开：cannot open the file: / }],
    ['decode of text', () => decode(path.join(root, 'README.md'), { binary }),
      { code: 'decode_unsupported', message: /^这个音频格式系统解不开：/ }],
    ['a program that is not there', () => transcribe(Buffer.alloc(2), { binary: '/nonexistent/q' }),
      { code: 'spawn_failed' }],
  ];
  for (const [name, run, expected] of cases) {
    await assert.rejects(run(), (error) => {
      assert.ok(error instanceof QuillmorError, name);
      assert.equal(error.code, expected.code, name);
      if (typeof expected.message === 'string') assert.equal(error.message, expected.message, name);
      else if (expected.message) assert.match(error.message, expected.message, name);
      return true;
    });
  }
});

test('a source that fails cancels its session and rejects with its own error', async (t) => {
  const s = scenario({
    statuses: { 'en-US': 'installed' },
    results: [{ runs: [{ text: 'so far' }], start: 0, duration: 1, isFinal: false, afterBuffers: 1 }],
  });
  t.after(s.remove);
  const log = eventLog();
  async function* failing() {
    yield Buffer.alloc(3200);
    await log.next('partial'); // the session is reading audio
    throw new Error('microphone unplugged');
  }
  const session = new Session({ binary: scripted, env: s.env, onEvent: log.onEvent });
  await assert.rejects(session.pipeFrom(failing()), { message: 'microphone unplugged' });
  assert.deepEqual(await Promise.race([session.exited, after(5000)]), { exitCode: 0, signal: null });
  await assert.rejects(transcribe('not audio', { binary: scripted, env: s.env }), TypeError);
});

test('probe gives the probe line', async () => {
  const line = await probe({ binary });
  assert.equal(line.type, 'probe');
  assert.equal(line.supported, true);
  assert.equal(line.locales['en-US'], 'installed');
});

test('the typings name every error code of the README and no other', () => {
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  const table = readme.split('### Error lines')[1].split('\n\n')[1];
  const documented = new Set([...table.matchAll(/^\| `([a-z_]+)` \|/gm)].map((m) => m[1]));
  const typings = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'utf8');
  const union = typings.split('export type ErrorCode =')[1].split(';')[0];
  const typed = new Set([...union.matchAll(/'([a-z_]+)'/g)].map((m) => m[1]));
  assert.ok(documented.size >= 9);
  assert.deepEqual([...typed].sort(), [...documented].sort());
});
