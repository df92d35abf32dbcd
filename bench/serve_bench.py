#!/usr/bin/env python3
"""Benchmarks of serve; prints figures, asserts nothing.

1. Protocol and conversion overhead: 10 minutes of 44.1 kHz audio in 20 ms frames streamed at
   full speed through `serve` of the test binary (the scripted engine does no recognition, so
   this is frame reading, 44.1 -> 16 kHz conversion and queueing), against `cat` of the same
   bytes into /dev/null; throughput in MB/s and the ratio.
2. End to end with PocketSphinx on at least 60 s of real speech: the real-time factor of the
   whole decode -> client -> serve chain (tools/transcribe.py --fast) against PocketSphinx's own
   batch decoder (pocketsphinx_continuous -infile) on the same audio with the same model.
3. Peak RSS of `serve` with the real engine when 10 minutes of speech are pushed at full speed
   (the input backlog grows while the recognizer catches up), and with the scripted engine.

    bench/serve_bench.py [BUILD_DIR] [--runs N] [--skip-long]
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

MODEL = "/usr/share/pocketsphinx/model/en-us"
TESTDATA = "/usr/share/pocketsphinx/test/data"
CLIPS = [f"{TESTDATA}/librivox/sense_and_sensibility_01_austen_64kb-{n}.wav"
         for n in ("0870", "0880", "0890", "0920", "0930")] + [f"{TESTDATA}/goforward.raw"]


def frames(rate, pcm, request):
    out = bytearray(struct.pack(">BI", 1, len(request)) + request)
    step = rate // 50 * 2
    for at in range(0, len(pcm), step):
        piece = pcm[at:at + step]
        out += struct.pack(">BI", 2, len(piece)) + piece
    out += struct.pack(">BI", 3, 0)
    return bytes(out)


def run_measured(argv, stdin_path, env=None):
    """Wall time and peak RSS (MiB) of one child. The RSS comes from GNU time: a child forked
    straight from this (large) Python process would inherit its high-water mark."""
    with open(stdin_path, "rb") as stdin, open(os.devnull, "wb") as devnull:
        began = time.perf_counter()
        child = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdin=stdin, stdout=devnull,
                               stderr=subprocess.PIPE, env=env)
        wall = time.perf_counter() - began
    if child.returncode != 0:
        sys.exit(f"{argv} failed with status {child.returncode}")
    return wall, int(child.stderr.split()[-1]) / 1024


def pcm16(path, rate, seconds=None):
    argv = ["ffmpeg", "-v", "error"]
    if path.endswith(".raw"):
        argv += ["-f", "s16le", "-ar", "16000", "-ac", "1"]
    argv += ["-i", path]
    if seconds:
        argv += ["-t", str(seconds)]
    argv += ["-f", "s16le", "-ac", "1", "-ar", str(rate), "-"]
    return subprocess.run(argv, check=True, capture_output=True).stdout


def speech(seconds):
    """16 kHz PCM of the CMU recordings, with 0.5 s pauses, repeated to at least `seconds`."""
    pause = bytes(16000)
    one = b"".join(pcm16(c, 16000) + pause for c in CLIPS)
    return one * (int(seconds * 32000 / len(one)) + 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip-long", action="store_true", help="skip the 10-minute RSS run")
    options = parser.parse_args()
    binary = os.path.abspath(f"{options.build}/quillmor-speech")
    scripted = os.path.abspath(f"{options.build}/tests/quillmor-speech-scripted")
    work = tempfile.mkdtemp(prefix="serve-bench-")
    try:
        scenario = f"{work}/scenario.json"
        with open(scenario, "w") as f:
            json.dump({"statuses": {"en-US": "installed"}}, f)
        env = dict(os.environ, QUILLMOR_SCENARIO=scenario)

        print("== 1. protocol and conversion overhead: 10 min of 44.1 kHz audio, full speed")
        tone = subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                               "sine=frequency=440:sample_rate=44100:duration=600",
                               "-f", "s16le", "-ac", "1", "-"], check=True,
                              capture_output=True).stdout
        stream = f"{work}/tone44.frames"
        with open(stream, "wb") as f:
            f.write(frames(44100, tone, b'{"locale":"en-US","sampleRate":44100}'))
        size_mb = os.path.getsize(stream) / 1e6
        serve_runs = [run_measured([scripted, "serve"], stream, env) for _ in range(options.runs)]
        cat_runs = [run_measured(["cat"], stream) for _ in range(options.runs)]
        serve_best = min(w for w, _ in serve_runs)
        cat_best = min(w for w, _ in cat_runs)
        print(f"stream {size_mb:.1f} MB, {options.runs} runs each (best, median)")
        print(f"serve (scripted engine): {size_mb / serve_best:8.1f} MB/s  "
              f"{serve_best:.3f} s / {statistics.median(w for w, _ in serve_runs):.3f} s  "
              f"peak RSS {max(r for _, r in serve_runs):.1f} MiB")
        print(f"cat > /dev/null:         {size_mb / cat_best:8.1f} MB/s  "
              f"{cat_best:.3f} s / {statistics.median(w for w, _ in cat_runs):.3f} s")
        print(f"serve takes {serve_best / cat_best:.1f}x the time of cat; "
              f"{600 / serve_best:.0f}x faster than real time")

        print("\n== 2. end to end on real speech: decode -> client -> serve vs pocketsphinx_continuous")
        pcm = speech(60)
        seconds = len(pcm) / 32000
        wav = f"{work}/speech.wav"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "s16le", "-ar", "16000", "-ac", "1",
                        "-i", "-", wav], input=pcm, check=True)
        chain, batch = [], []
        for _ in range(options.runs):
            began = time.perf_counter()
            out = subprocess.run([sys.executable, "tools/transcribe.py", "--binary", binary,
                                  "--fast", "--raw", wav], check=True, capture_output=True).stdout
            chain.append(time.perf_counter() - began)
            began = time.perf_counter()
            subprocess.run(["pocketsphinx_continuous", "-infile", wav, "-hmm", f"{MODEL}/en-us",
                            "-lm", f"{MODEL}/en-us.lm.bin", "-dict", f"{MODEL}/cmudict-en-us.dict",
                            "-logfn", "/dev/null"], check=True, capture_output=True)
            batch.append(time.perf_counter() - began)
        finals = sum(1 for line in out.splitlines() if b'"type":"final"' in line)
        print(f"speech {seconds:.1f} s; {finals} final lines; {options.runs} runs (best, median)")
        print(f"chain:  RTF {min(chain) / seconds:.3f} / {statistics.median(chain) / seconds:.3f}")
        print(f"batch:  RTF {min(batch) / seconds:.3f} / {statistics.median(batch) / seconds:.3f}")
        print(f"overhead of the chain: {min(chain) / min(batch):.2f}x (best), "
              f"{statistics.median(chain) / statistics.median(batch):.2f}x (median)")

        if not options.skip_long:
            print("\n== 3. peak RSS of serve with 10 min of speech pushed at full speed")
            long_pcm = speech(600)[:600 * 32000]
            stream = f"{work}/speech10.frames"
            with open(stream, "wb") as f:
                f.write(frames(16000, long_pcm, b'{"locale":"en-US"}'))
            wall, rss = run_measured([binary, "serve"], stream)
            print(f"real engine:     peak RSS {rss:.1f} MiB, {wall:.1f} s "
                  f"(RTF {wall / 600:.3f}); the PCM itself is {len(long_pcm) / 2**20:.1f} MiB")
            wall, rss = run_measured([scripted, "serve"], stream, env)
            print(f"scripted engine: peak RSS {rss:.1f} MiB, {wall:.2f} s")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
