// Compiled by `npm run typecheck` (tsc --strict, no output): uses of the typings that must
// compile, and misuses that must not (each marked @ts-expect-error, which fails when the line
// compiles).
import { Session, transcribe, decode, probe, QuillmorError } from '..';
import type { ServeEvent, ErrorCode, ClientErrorCode, LocaleStatus, StartRequest } from '..';

function describe(event: ServeEvent): string {
  switch (event.type) {
    case 'partial':
      return `${event.start}-${event.end} ${event.text}`;
    case 'final':
      return `${event.text} ${event.confidence?.toFixed(2) ?? ''}`;
    case 'status':
      return event.message;
    case 'done':
      return 'done';
    case 'error': {
      const code: ErrorCode = event.code;
      return `${code}: ${event.message}`;
    }
    default: {
      const unreachable: never = event;
      return unreachable;
    }
  }
}

async function host(): Promise<void> {
  const pcm: Buffer = await decode('sample.ogg', { binary: '/usr/bin/quillmor-speech' });
  const session = new Session({ locale: 'zh-CN', sampleRate: 48000, install: false, frameBytes: 960 });
  await session.write(new Int16Array(480));
  await session.write(pcm);
  for await (const event of session) console.log(describe(event));
  const { finals } = await session.end();
  const first: number | undefined = finals[0]?.confidence;
  console.log(first, session.pid, (await session.exited).signal);
  session.cancel({ killAfterMs: 100 });
  await transcribe(pcm, { onEvent: (e) => describe(e), signal: AbortSignal.timeout(1000) });
  const line = await probe();
  if (line.supported) {
    const status: LocaleStatus | undefined = line.locales['en-US'];
    console.log(status);
  } else {
    console.log(line.reason);
  }
  try {
    await transcribe(new Uint8Array(2));
  } catch (error) {
    if (error instanceof QuillmorError) {
      const code: ClientErrorCode = error.code;
      console.log(code, error.exitCode, error.signal);
    }
  }
  const request: StartRequest = { locale: 'en-US' };
  console.log(request);
}

function misuses(event: ServeEvent, session: Session): void {
  // @ts-expect-error: a code the program never writes
  const code: ErrorCode = 'timeout';
  // @ts-expect-error: partial lines carry no confidence
  if (event.type === 'partial') console.log(event.confidence);
  // @ts-expect-error: audio is PCM, not text
  void session.write('hello');
  // @ts-expect-error: the locale is text
  void new Session({ locale: 1 });
  // @ts-expect-error: an unsupported probe line has no locales
  void probe().then((line) => !line.supported && line.locales);
  console.log(code);
}

void host;
void misuses;
