#!/usr/bin/env python3
"""A reference host for quillmor-speech: transcribes an audio file.

It runs `quillmor-speech decode FILE` to get 16 kHz mono PCM, starts `quillmor-speech serve`,
sends the start frame, the audio in 20 ms frames (at real-time pace, or as fast as the pipe
takes them with --fast), and an end frame, and prints every event line as it arrives.

Frames on serve's stdin: 1 type byte (1 start, 2 audio, 3 end), a 4-byte big-endian payload
length, then the payload. Events on its stdout: one JSON object per line; "done" is the last
line of a successful session. The exit status is 0 or 1.

    tools/transcribe.py [--binary PATH] [--locale en-US] [--fast] [--raw] FILE
"""
import argparse
import json
import struct
import subprocess
import sys
import threading
import time

START, AUDIO, END = 1, 2, 3
RATE = 16000
FRAME_BYTES = RATE // 50 * 2  # 20 ms of 16-bit mono samples


def frame(kind, payload=b""):
    return struct.pack(">BI", kind, len(payload)) + payload


def print_events(stream, show_raw):
    for line in stream:
        event = json.loads(line)
        if show_raw:
            print(line.decode().rstrip("\n"), flush=True)
        elif event["type"] == "partial":
            print(f"  … {event['text']}", flush=True)
        elif event["type"] == "final":
            confidence = event.get("confidence")
            shown = f" (confidence {confidence:.2f})" if confidence is not None else ""
            print(f"[{event['start']:7.2f} – {event['end']:7.2f}] {event['text']}{shown}",
                  flush=True)
        else:
            print(json.dumps(event, ensure_ascii=False), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--binary", default="quillmor-speech")
    parser.add_argument("--locale", default="en-US")
    parser.add_argument("--fast", action="store_true", help="send audio at full speed")
    parser.add_argument("--raw", action="store_true", help="print event lines unchanged")
    options = parser.parse_args()

    decoded = subprocess.run([options.binary, "decode", options.file], capture_output=True)
    if decoded.returncode != 0:
        sys.stdout.write(decoded.stdout.decode(errors="replace"))
        return decoded.returncode

    serve = subprocess.Popen([options.binary, "serve"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
    reader = threading.Thread(target=print_events, args=(serve.stdout, options.raw))
    reader.start()
    start = json.dumps({"locale": options.locale, "sampleRate": RATE}).encode()
    try:
        serve.stdin.write(frame(START, start))
        began = time.monotonic()
        pcm = decoded.stdout
        for offset in range(0, len(pcm), FRAME_BYTES):
            serve.stdin.write(frame(AUDIO, pcm[offset:offset + FRAME_BYTES]))
            if not options.fast:
                serve.stdin.flush()
                due = began + (offset + FRAME_BYTES) / 2 / RATE
                time.sleep(max(0.0, due - time.monotonic()))
        serve.stdin.write(frame(END))
        serve.stdin.close()
    except BrokenPipeError:
        pass  # serve ended early; its error line says why
    reader.join()
    return serve.wait()


if __name__ == "__main__":
    sys.exit(main())
