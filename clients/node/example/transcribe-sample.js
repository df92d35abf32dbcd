// Transcribes the bundled sample: decode turns the Ogg Vorbis file into 16 kHz PCM, one serve
// session recognises it. Usage: node example/transcribe-sample.js [path of quillmor-speech]
'use strict';
const path = require('node:path');
const { decode, Session } = require('..');

async function main() {
  const binary = process.argv[2] ?? 'quillmor-speech';
  const sample = path.join(__dirname, '../../../samples/sense-and-sensibility.ogg');
  const pcm = await decode(sample, { binary });
  const session = new Session({ binary, locale: 'en-US', sampleRate: 16000 });
  const writing = session.write(pcm).then(() => session.end());
  const clear = process.stdout.isTTY ? '\r\x1b[K' : '';  // partials are shown only on a terminal
  for await (const event of session) {
    if (event.type === 'partial' && clear) process.stdout.write(`${clear}… ${event.text.slice(-70)}`);
    if (event.type === 'final') console.log(`${clear}[${event.start.toFixed(2)}–${event.end.toFixed(2)}] ${event.text}`);
  }
  await writing;
  const { finals } = await session.result;
  console.log(`${finals.length} utterances, ${(pcm.length / 32000).toFixed(1)} s of audio`);
}

main().catch((error) => { console.error(`${error.code}: ${error.message}`); process.exitCode = 1; });
