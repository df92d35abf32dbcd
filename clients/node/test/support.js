'use strict';
// What the client's tests share: where the programs are, scenarios for the scripted build, and
// a check of every line against the protocol.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '../../..');
const buildDir = process.env.QUILLMOR_BUILD_DIR ?? path.join(root, 'build');
const binary = path.join(buildDir, 'quillmor-speech');
// The program with the scripted test engine in place of the recognizer (tests/support).
const scripted = path.join(buildDir, 'tests/quillmor-speech-scripted');
const sample = path.join(root, 'samples/sense-and-sensibility.ogg');

// The keys each line type has, exactly; final lines may add confidence.
const KEYS = {
  partial: ['end', 'start', 'text', 'type'],
  final: ['end', 'start', 'text', 'type'],
  status: ['message', 'type'],
  done: ['type'],
  error: ['code', 'message', 'type'],
};

function checkLine(event) {
  const keys = Object.keys(event);
  assert.deepEqual(keys, [...keys].sort(), `keys in byte order: ${JSON.stringify(event)}`);
  const expected = [...KEYS[event.type]];
  if (event.type === 'final' && 'confidence' in event) {
    expected.push('confidence');
    assert.ok(event.confidence >= 0 && event.confidence <= 1, JSON.stringify(event));
  }
  assert.deepEqual([...keys].sort(), expected.sort(), JSON.stringify(event));
  if (event.type === 'partial' || event.type === 'final') {
    assert.equal(typeof event.text, 'string');
    assert.ok(event.start <= event.end, JSON.stringify(event));
  }
}

// Collects a session's events (as its onEvent) and lets a test wait for one of a type.
function eventLog() {
  const events = [];
  const waiting = [];
  const onEvent = (event) => {
    checkLine(event);
    events.push(event);
    for (const w of waiting.filter((w) => w.type === event.type)) {
      waiting.splice(waiting.indexOf(w), 1);
      w.resolve(event);
    }
  };
  const next = (type) => {
    const seen = events.find((e) => e.type === type);
    return seen ? Promise.resolve(seen) : new Promise((resolve) => waiting.push({ type, resolve }));
  };
  return { events, onEvent, next };
}

// A scenario file for the scripted build, and the path of its record.
function scenario(content) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quillmor-node-'));
  const record = path.join(dir, 'record.json');
  fs.writeFileSync(path.join(dir, 'scenario.json'), JSON.stringify({ record, ...content }));
  return {
    env: { QUILLMOR_SCENARIO: path.join(dir, 'scenario.json') },
    record: () => JSON.parse(fs.readFileSync(record, 'utf8')),
    remove: () => fs.rmSync(dir, { recursive: true, force: true }),
  };
}

// Resolves with 'timeout' after ms, for racing a promise that must settle in time.
const after = (ms) => new Promise((resolve) => setTimeout(() => resolve('timeout'), ms).unref());
const outcome = (promise) => promise.then(() => 'resolved', (error) => error);

module.exports = { root, binary, scripted, sample, checkLine, eventLog, scenario, after, outcome };
