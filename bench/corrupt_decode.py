#!/usr/bin/env python3
"""Corrupt-file campaign for `quillmor-speech decode`.

Makes real files in several formats with Debian's ffmpeg, derives truncated, bit-flipped,
overwritten and spliced variants of each (deterministic, from --seed), runs `decode` on every
one and checks what a host would see:

  - the process ends by itself within the time limit (10 s), with status 0 or 1, never a signal;
  - stderr is empty (so no sanitizer report either);
  - status 0: stdout holds whole 16-bit samples only;
  - status 1: stdout is whole samples followed by exactly one error line
    {"code":...,"message":...,"type":"error"} with a decode code, and no samples before a
    "decode_unsupported" line.

Prints the counts per format and per outcome, the slowest run and the largest peak RSS of any
run. Failing inputs are kept in --keep for replay.

  bench/corrupt_decode.py [--binary build-asan/quillmor-speech] [--variants 130] [--jobs 2]
"""

import argparse
import collections
import concurrent.futures
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

# name, ffmpeg source filter, codec arguments
SOURCES = [
    ("s16-8k-mono.wav", "0.5*sin(2*PI*440*t):s=8000", ["-c:a", "pcm_s16le"]),
    ("f32-22k-stereo.wav", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=22050", ["-c:a", "pcm_f32le"]),
    ("44k-stereo.flac", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=44100", ["-c:a", "flac"]),
    ("44k-stereo.mp3", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=44100", ["-c:a", "libmp3lame"]),
    ("22k-mono.mp3", "0.5*sin(2*PI*440*t):s=22050", ["-c:a", "libmp3lame"]),
    ("48k-stereo.ogg", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=48000", ["-c:a", "libvorbis"]),
    ("48k-stereo.opus", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=48000", ["-c:a", "libopus"]),
    ("44k-stereo.m4a", "0.5*sin(2*PI*440*t)|0.25*sin(2*PI*660*t):s=44100", ["-c:a", "aac"]),
]
SECONDS = 1.5
DECODE_CODES = {"decode_unsupported", "decode_failed"}
UNSUPPORTED_PREFIX = "这个音频格式系统解不开"


def make_sources(directory):
    paths = []
    for name, expression, codec in SOURCES:
        path = os.path.join(directory, name)
        subprocess.run(
            ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
             f"aevalsrc={expression}:d={SECONDS}", *codec, path],
            check=True)
        paths.append(path)
    return paths


def flip_bits(data, rng, count, window):
    data = bytearray(data)
    limit = min(len(data), window) if window else len(data)
    for _ in range(count):
        i = rng.randrange(limit)
        data[i] ^= 1 << rng.randrange(8)
    return bytes(data)


def variants(data, rng, count):
    """Yields (kind, bytes), `count` of them."""
    made = 0
    n = len(data)
    # Truncations: every byte count inside the first headers, then spread over the file.
    cuts = sorted(set([1, 2, 3, 4, 8, 11, 12, 16, 20, 24, 28, 32, 36, 40, 43, 44, 45, 48, 64, 100,
                       200, 512, 1024, 4096] +
                      [int(n * k / 12) for k in range(1, 12)]))
    for cut in cuts:
        if cut < n and made < count:
            made += 1
            yield "truncated", data[:cut]
    while made < count:
        kind = rng.choice(["flip-head", "flip-any", "flip-many", "overwrite", "splice",
                           "truncated+flip"])
        if kind == "flip-head":
            out = flip_bits(data, rng, rng.choice([1, 2, 4, 8]), 1024)
        elif kind == "flip-any":
            out = flip_bits(data, rng, rng.choice([1, 4, 16]), 0)
        elif kind == "flip-many":
            out = flip_bits(data, rng, rng.choice([64, 256, 1024]), 0)
        elif kind == "overwrite":
            start = rng.randrange(n)
            length = rng.choice([4, 16, 64, 256, 2048])
            fill = rng.choice([b"\x00", b"\xff", None])
            chunk = rng.randbytes(length) if fill is None else fill * length
            out = data[:start] + chunk[: max(0, n - start)] + data[start + length:]
        elif kind == "splice":
            a, b = sorted(rng.randrange(n) for _ in range(2))
            out = data[:a] + data[b:] if rng.random() < 0.5 else data[:b] + data[a:]
        else:
            out = flip_bits(data[: rng.randrange(1, n)], rng, rng.choice([1, 8]), 0)
        made += 1
        yield kind, out


def check(out, err, status):
    """The problem with what the host saw, or None; and the outcome's label."""
    if err:
        return "stderr: " + err[:300].decode("utf-8", "replace"), "stderr"
    if status == 0:
        if len(out) % 2:
            return "odd number of sample bytes", "status 0"
        return None, "status 0"
    if status != 1:
        return f"exit status {status}", f"status {status}"
    start = out.rfind(b'{"code":"')
    while start >= 0:
        line = out[start:]
        if line.endswith(b"\n") and line.count(b"\n") == 1:
            try:
                event = json.loads(line)
            except ValueError:
                event = None
            if isinstance(event, dict):
                break
        start = out.rfind(b'{"code":"', 0, start)
    if start < 0:
        return "status 1 without an error line", "status 1"
    if sorted(event) != ["code", "message", "type"] or event["type"] != "error":
        return f"malformed error line {line!r}", "status 1"
    code = event["code"]
    label = f"status 1 {code}"
    if code not in DECODE_CODES:
        return f"unexpected code {code}", label
    if start % 2:
        return "odd number of sample bytes before the error line", label
    if code == "decode_unsupported" and (start != 0 or
                                         not event["message"].startswith(UNSUPPORTED_PREFIX)):
        return "decode_unsupported after samples or with another message", label
    return None, label


def run_one(binary, path, timeout):
    started = time.monotonic()
    try:
        done = subprocess.run([binary, "decode", path], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return f"no end within {timeout} s", "timeout", timeout
    seconds = time.monotonic() - started
    if done.returncode < 0:
        return f"killed by signal {-done.returncode}", "signal", seconds
    problem, label = check(done.stdout, done.stderr, done.returncode)
    return problem, label, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default="build-asan/quillmor-speech")
    parser.add_argument("--variants", type=int, default=130, help="variants per source file")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--keep", default="build/corrupt-failures")
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        sys.exit(f"no binary at {binary}")
    os.environ.setdefault("ASAN_OPTIONS", "halt_on_error=1:abort_on_error=1:detect_leaks=1")
    os.environ.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")

    work = tempfile.mkdtemp(prefix="corrupt-decode-")
    try:
        rng = random.Random(args.seed)
        jobs = []
        for source in make_sources(work):
            data = open(source, "rb").read()
            base, ext = os.path.splitext(os.path.basename(source))
            for i, (kind, bytes_) in enumerate(variants(data, rng, args.variants)):
                path = os.path.join(work, f"{base}-{i:03d}-{kind}{ext}")
                with open(path, "wb") as f:
                    f.write(bytes_)
                jobs.append((ext[1:], kind, path))

        outcomes = collections.Counter()
        per_format = collections.defaultdict(collections.Counter)
        failures = []
        slowest = (0.0, "")
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            futures = {pool.submit(run_one, binary, path, args.timeout): (fmt, kind, path)
                       for fmt, kind, path in jobs}
            for future in concurrent.futures.as_completed(futures):
                fmt, kind, path = futures[future]
                problem, label, seconds = future.result()
                outcomes[label] += 1
                per_format[fmt][label] += 1
                slowest = max(slowest, (seconds, os.path.basename(path)))
                if problem:
                    failures.append((os.path.basename(path), problem))
                    os.makedirs(args.keep, exist_ok=True)
                    shutil.copy(path, args.keep)
        elapsed = time.monotonic() - started
        peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f"binary: {binary}")
    print(f"files tried: {len(jobs)} ({args.variants} variants of each of {len(SOURCES)} "
          f"files) in {elapsed:.0f} s with {args.jobs} jobs")
    for fmt in sorted(per_format):
        counts = ", ".join(f"{label}: {n}" for label, n in sorted(per_format[fmt].items()))
        print(f"  {fmt}: {counts}")
    print("outcomes: " + ", ".join(f"{label}: {n}" for label, n in sorted(outcomes.items())))
    print(f"slowest run: {slowest[0]:.2f} s ({slowest[1]})")
    print(f"largest peak RSS of a run: {peak_kb / 1024:.0f} MB")
    print(f"failures: {len(failures)}")
    for name, problem in sorted(failures)[:30]:
        print(f"  {name}: {problem}")
    if failures:
        print(f"failing inputs kept in {args.keep}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
