#!/usr/bin/env python3
"""Field benchmark of the recognizer: the audio hosts really send, against PocketSphinx's own
batch decoder (pocketsphinx_batch, one model load for all the pieces) on the same audio with the
same model, measured in the same run. Prints figures, asserts nothing.

All audio is made here with ffmpeg from Debian's pocketsphinx-testdata:
1. WER of the finals on the test clips (LibriVox and cards) at their recorded level and scaled
   by -34 dB, each clip a session of its own, and on the clips streamed back to back in one
   session with 0.3 s of silence between them in 20 ms frames (the batch decoder given the
   same stream in 20 s pieces); on that stream, how often a final differs from the utterance's
   last partial and the share of partials that change a word the previous one showed (partials
   are emitted by audio position, so the pace the audio is sent at does not change them).
   With --compare, another build (say main's) is measured in the same run.
2. Whether the final lines of the same audio are identical in 5, 20, 100 and 1000 ms frames.
3. Continuous overlapping speech (the LibriVox clips one after another, mixed with themselves
   1.7 s later) of each length asked for, pushed at full speed in 20 ms frames: RTF, peak RSS,
   number of finals, longest stretch of audio without a final, output KB per audio minute;
   the batch decoder on the same audio cut in 20 s pieces for the RTF and RSS.
4. Session start (a start frame and an end frame, no audio) against the engine's tool
   (pocketsphinx_continuous) loading the same model on 0.1 s of silence, interleaved: wall time
   and peak RSS.
5. Confidence of the finals' words (recognizer_bench --finals of the same build), each word
   marked right or wrong by aligning the finals with the reference: mean confidence of right and
   of wrong words, the share of wrong words above 0.8, and how often a right word ranks above a
   wrong one (AUC), on the clips at their level, at -34 dB, under pink noise and under another
   voice 12 dB lower.
6. Words invented per minute of synthetic music (four kinds), white, pink and brown noise,
   silence and a -60 dB room tone; and what the music rule costs: the words of the LibriVox clips
   with the first kind of music under them at -20, -12 and -6 dB, against the same clips alone.
7. At real-time pace (the clips back to back with 1.5 s gaps, sent in 20 ms frames as the audio
   clock allows): median delay from the end of a clip's audio to its final; and the RTF of the
   recognizer (both passes) pinned to one core at full speed against the batch decoder's on the
   same core.

    bench/field_bench.py [BUILD_DIR] [--compare OTHER_BUILD_DIR] [--minutes 3 [30 ...]] [--runs N]
                         [--only wer|frames|continuous|start|confidence|invented|pace]
"""
import argparse
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

MODEL = "/usr/share/pocketsphinx/model/en-us"
TESTDATA = "/usr/share/pocketsphinx/test/data"
MODEL_ARGUMENTS = ["-hmm", f"{MODEL}/en-us", "-lm", f"{MODEL}/en-us.lm.bin",
                   "-dict", f"{MODEL}/cmudict-en-us.dict", "-logfn", "/dev/null"]
CONTINUOUS = ["pocketsphinx_continuous"] + MODEL_ARGUMENTS
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "samples",
                      "sense-and-sensibility.ogg")


def references():
    """(wav path, reference words) of every test clip."""
    clips = []
    for folder, listing in (("librivox", "transcription"), ("cards", "cards.transcription")):
        with open(f"{TESTDATA}/{folder}/{listing}") as f:
            for line in f:
                match = re.match(r"<s>(.*)</s>\s*\((.*)\)", line.strip())
                if match:
                    clips.append((f"{TESTDATA}/{folder}/{match.group(2)}.wav",
                                  match.group(1).split()))
    return clips


def pcm16(argv_input, filters=None):
    argv = ["ffmpeg", "-v", "error"] + argv_input
    if filters:
        argv += ["-filter_complex", filters]
    argv += ["-f", "s16le", "-ac", "1", "-ar", "16000", "-"]
    return subprocess.run(argv, check=True, capture_output=True).stdout


def write_wav(path, pcm):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "s16le", "-ar", "16000", "-ac", "1",
                    "-i", "-", path], input=pcm, check=True)


def frames(pcm, ms=20):
    request = b'{"locale":"en-US"}'
    out = bytearray(struct.pack(">BI", 1, len(request)) + request)
    step = 16 * ms * 2
    for at in range(0, len(pcm), step):
        piece = pcm[at:at + step]
        out += struct.pack(">BI", 2, len(piece)) + piece
    out += struct.pack(">BI", 3, 0)
    return bytes(out)


def run_measured(argv, stdin_bytes=b""):
    """stdout, wall time and peak RSS (MiB, from GNU time) of one child (argv may begin with
    taskset and its arguments)."""
    began = time.perf_counter()
    child = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, input=stdin_bytes,
                           capture_output=True)
    wall = time.perf_counter() - began
    if child.returncode != 0:
        sys.exit(f"{argv[0]} failed with status {child.returncode}")
    return child.stdout, wall, int(child.stderr.split()[-1]) / 1024


def batch_decode(work, pieces, prefix=()):
    """The batch decoder's hypothesis of every piece of PCM (one model load), its wall time and
    peak RSS."""
    folder = f"{work}/batch"
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with open(f"{folder}/ctl", "w") as ctl:
        for n, pcm in enumerate(pieces):
            with open(f"{folder}/{n:05}.raw", "wb") as f:
                f.write(pcm)
            ctl.write(f"{n:05}\n")
    _, wall, rss = run_measured(list(prefix) + ["pocketsphinx_batch", "-adcin", "yes", "-cepdir", folder,
                                 "-cepext", ".raw", "-adchdr", "0", "-ctl", f"{folder}/ctl",
                                 "-hyp", f"{folder}/hyp"] + MODEL_ARGUMENTS)
    hyps = {}
    with open(f"{folder}/hyp") as f:
        for line in f:
            match = re.match(r"(.*)\((\d+) [-\d]+\)\s*$", line)
            if match:
                hyps[int(match.group(2))] = match.group(1).split()
    return [hyps.get(n, []) for n in range(len(pieces))], wall, rss


def finals(out):
    """(start, end, text) of every final line."""
    result = []
    for line in out.decode().splitlines():
        event = json.loads(line)
        if event.get("type") == "final":
            result.append((event["start"], event["end"], event["text"]))
    return result


def agreement(out):
    """(finals differing from their utterance's last partial, finals with a partial before them,
    partials changing a word the previous partial of the utterance showed, partials following
    another of the same utterance)."""
    differing = with_partial = changing = following = 0
    previous = None
    for line in out.decode().splitlines():
        event = json.loads(line)
        if event.get("type") == "partial":
            words = event["text"].split()
            if previous is not None:
                following += 1
                shown = previous[:len(words)]
                if len(words) < len(previous) or words[:len(shown)] != shown:
                    changing += 1
            previous = words
        elif event.get("type") == "final":
            if previous is not None:
                with_partial += 1
                differing += event["text"].split() != previous
            previous = None
    return differing, with_partial, changing, following


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (x != y))
    return row[len(b)]


def wer_section(binaries, work):
    print("== 1. WER of finals on the test clips (LibriVox and cards) against the batch decoder")
    clips = references()
    words = sum(len(reference) for _, reference in clips)
    for label, volume in (("recorded level", "volume=1"), ("-34 dB", "volume=-34dB")):
        pcms = [pcm16(["-i", path], f"[0:a]{volume}") for path, _ in clips]
        hyps, _, _ = batch_decode(work, pcms)
        batch = sum(edit_distance(ref, hyp) for (_, ref), hyp in zip(clips, hyps))
        figures = []
        for name, binary in binaries:
            errors = 0
            for pcm, (_, reference) in zip(pcms, clips):
                out = run_measured([binary, "serve"], frames(pcm))[0]
                errors += edit_distance(reference, " ".join(t for _, _, t in finals(out)).split())
            figures.append(f"{name} WER {errors / words:.3f}")
        print(f"one by one, {label:14}: {'   '.join(figures)}   batch decoder WER "
              f"{batch / words:.3f}   ({len(clips)} clips, {words} words)")

    gap = bytes(int(0.3 * 16000) * 2)
    stream = b"".join(pcm16(["-i", path]) + gap for path, _ in clips)
    reference = [word for _, clip_words in clips for word in clip_words]
    pieces = [stream[at:at + 20 * 32000] for at in range(0, len(stream), 20 * 32000)]
    hyps, _, _ = batch_decode(work, pieces)
    batch = edit_distance(reference, [word for hyp in hyps for word in hyp])
    figures, agreements = [], []
    for name, binary in binaries:
        out, wall, _ = run_measured([binary, "serve"], frames(stream))
        hyp = " ".join(t for _, _, t in finals(out)).split()
        figures.append(f"{name} WER {edit_distance(reference, hyp) / len(reference):.3f}")
        differing, with_partial, changing, following = agreement(out)
        agreements.append(f"{name}: {differing}/{with_partial} finals differ from their last "
                          f"partial, {changing}/{following} partials change a shown word, "
                          f"RTF {wall / (len(stream) / 32000):.3f}")
    print(f"back to back, 0.3 s gaps, 20 ms frames: {'   '.join(figures)}   batch decoder WER "
          f"{batch / len(reference):.3f} (in 20 s pieces)   ({len(stream) / 32000:.1f} s)")
    for line in agreements:
        print(f"  {line}")


def aligned_right(reference, hypothesis):
    """For each hypothesis word, whether the alignment with the reference matches it."""
    n, m = len(reference), len(hypothesis)
    d = [[i + j if i == 0 or j == 0 else 0 for j in range(m + 1)] for i in range(n + 1)]
    for i in range(1, n + 1):
        for j in range(1, m + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (reference[i - 1] != hypothesis[j - 1]))
    right, i, j = [False] * m, n, m
    while i > 0 and j > 0:
        if d[i][j] == d[i - 1][j - 1] + (reference[i - 1] != hypothesis[j - 1]):
            right[j - 1] = reference[i - 1] == hypothesis[j - 1]
            i, j = i - 1, j - 1
        elif d[i][j] == d[i - 1][j] + 1:
            i -= 1
        else:
            j -= 1
    return right


def bench_finals(build, work, pcm):
    """The finals of recognizer_bench --finals: (start, end, [(word, confidence)])."""
    path = f"{work}/finals.raw"
    with open(path, "wb") as f:
        f.write(pcm)
    out = subprocess.run([f"{build}/bench/recognizer_bench", "--finals", path], check=True,
                         capture_output=True).stdout.decode()
    return [(e["start"], e["end"], e["words"]) for e in map(json.loads, out.splitlines())]


def confidence_section(build, work):
    print("\n== 5. confidence of right and wrong words in finals")
    clips = references()
    other = f"{TESTDATA}/cards/005.wav"
    conditions = [("recorded level", [], "[0:a]anull"), ("-34 dB", [], "[0:a]volume=-34dB"),
                  ("pink noise", ["-f", "lavfi", "-i", "anoisesrc=c=pink:a=0.08:d=40"],
                   "[0:a][1:a]amix=inputs=2:duration=first:normalize=0"),
                  ("another voice", ["-i", other],
                   "[1:a]volume=-12dB[b];[0:a][b]amix=inputs=2:duration=first:normalize=0")]
    every_right, every_wrong = [], []
    for label, under, graph in conditions:
        right, wrong = [], []
        for path, reference in clips:
            words = [w for _, _, ws in bench_finals(build, work, pcm16(["-i", path] + under, graph))
                     for w in ws]
            for (_, confidence), ok in zip(words, aligned_right(reference, [w for w, _ in words])):
                (right if ok else wrong).append(confidence)
        every_right += right
        every_wrong += wrong
        print(f"{label:15} {confidence_figures(right, wrong)}")
    print(f"{'all':15} {confidence_figures(every_right, every_wrong)}")


def confidence_figures(right, wrong):
    if not right or not wrong:
        return f"{len(right)} right, {len(wrong)} wrong words"
    above = sum(r > w for r in right for w in wrong) + 0.5 * sum(
        r == w for r in right for w in wrong)
    return (f"right words {len(right):3} mean {statistics.mean(right):.3f}   wrong words "
            f"{len(wrong):3} mean {statistics.mean(wrong):.3f}, above 0.8: "
            f"{sum(w > 0.8 for w in wrong) / len(wrong):.2f}   AUC {above / (len(right) * len(wrong)):.3f}")


# Synthetic music, one aevalsrc expression per kind, shared with the tests' fixtures.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data",
                       "synthetic_music.txt")) as music_file:
    MUSIC = [line.strip() for line in music_file if line.strip() and not line.startswith("#")]


def invented_section(binary):
    print("\n== 6. words invented per minute, and what the music rule costs")
    sources = [(f"music {n + 1}", f"aevalsrc='{e}':s=16000:d=60") for n, e in enumerate(MUSIC)]
    sources += [(f"{color} noise", f"anoisesrc=c={color}:a=0.3:d=60")
                for color in ("white", "pink", "brown")]
    sources += [("silence", "anullsrc=r=16000:d=60"),
                ("-60 dB room tone", "anoisesrc=c=pink:a=0.001:d=60")]
    for label, source in sources:
        out = run_measured([binary, "serve"], frames(pcm16(["-f", "lavfi", "-i", source])))[0]
        words = " ".join(t for _, _, t in finals(out)).split()
        print(f"{label:17} {len(words):3} words per minute  {' '.join(words)[:60]}")
    clips = [(path, reference) for path, reference in references() if "librivox" in path]
    music = ["-f", "lavfi", "-i", f"aevalsrc='{MUSIC[0]}':s=16000:d=40"]
    for label, graph in [("alone", "[0:a]anull")] + [
            (f"music at {db} dB", f"[1:a]volume={db}dB[m];[0:a][m]amix=inputs=2:duration=first:"
             "normalize=0") for db in (-20, -12, -6)]:
        delivered = errors = total = 0
        for path, reference in clips:
            out = run_measured([binary, "serve"], frames(pcm16(["-i", path] + music, graph)))[0]
            hypothesis = " ".join(t for _, _, t in finals(out)).split()
            delivered += len(hypothesis)
            errors += edit_distance(reference, hypothesis)
            total += len(reference)
        print(f"LibriVox clips, {label:15}: {delivered:3} words delivered for {total}, "
              f"WER {errors / total:.3f}")


def pace_section(binary, work):
    print("\n== 7. real-time pace: clip or phrase end to final; one core: RTF of both passes")
    gap = bytes(int(1.5 * 16000) * 2)
    stream, ends = gap, []
    for path, _ in references():
        stream += pcm16(["-i", path])
        ends.append(len(stream) / 32000)
        stream += gap
    delays = paced_final_delays(binary, stream, ends)
    print(f"{len(delays)} of {len(ends)} clips have a final after their end; delay from the end "
          f"of the clip's audio to its final: median {statistics.median(delays):.2f} s, "
          f"max {max(delays):.2f} s" if delays else "no finals")
    sample = pcm16(["-i", SAMPLE])
    ends = sample_phrase_ends(sample)
    delays = paced_final_delays(binary, sample + bytes(32000), ends)
    print(f"bundled sample: {len(delays)} of {len(ends)} phrases have a final after their end; "
          f"delay from the end of the phrase's audio to its final: median "
          f"{statistics.median(delays):.2f} s, max {max(delays):.2f} s" if delays else "no finals")
    _, wall, _ = run_measured(["taskset", "-c", "0", binary, "serve"], frames(stream))
    pieces = [stream[at:at + 20 * 32000] for at in range(0, len(stream), 20 * 32000)]
    _, batch_wall, _ = batch_decode(work, pieces, ["taskset", "-c", "0"])
    seconds = len(stream) / 32000
    print(f"one core, full speed: ours RTF {wall / seconds:.3f} (live and second pass), batch "
          f"decoder RTF {batch_wall / seconds:.3f} (20 s pieces)")


def sample_phrase_ends(pcm):
    """Where the phrases of the bundled sample end: before each run of at least 0.5 s of digital
    silence (the pauses that join them) and at the end."""
    samples = struct.unpack(f"<{len(pcm) // 2}h", pcm)
    ends, quiet_from = [], None
    for at in range(0, len(samples), 800):
        silent = max(abs(x) for x in samples[at:at + 800]) < 4
        if silent and quiet_from is None:
            quiet_from = at
        elif not silent and quiet_from is not None:
            if at - quiet_from >= 8000:
                ends.append(quiet_from / 16000)
            quiet_from = None
    return ends + [len(samples) / 16000]


def paced_final_delays(binary, stream, ends):
    """Sends the stream at real-time pace; for each clip end, the delay to the first final that
    arrives after it."""
    child = subprocess.Popen([binary, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    arrivals = []

    def read():
        for line in child.stdout:
            if b'"final"' in line:
                arrivals.append(time.perf_counter())

    reader = threading.Thread(target=read)
    reader.start()
    data = frames(stream)
    header = 5 + len(b'{"locale":"en-US"}')
    child.stdin.write(data[:header])
    began = time.perf_counter()
    step = 5 + 640
    for n, at in enumerate(range(header, len(data) - 5, step)):
        delay = began + (n + 1) * 0.02 - time.perf_counter()
        if delay > 0:
            time.sleep(delay)
        child.stdin.write(data[at:at + step])
        child.stdin.flush()
    child.stdin.write(data[-5:])
    child.stdin.close()
    reader.join()
    child.wait()
    delays = []
    for end in ends:
        after = [a - began - end for a in arrivals if a - began > end]
        if after:
            delays.append(min(after))
    return delays


def frame_size_section(binary):
    print("\n== 2. the same audio in 5, 20, 100 and 1000 ms frames")
    pcm = b"".join(pcm16(["-i", path]) + bytes(16000) for path, _ in references())
    outcomes = {ms: finals(run_measured([binary, "serve"], frames(pcm, ms))[0])
                for ms in (5, 20, 100, 1000)}
    same = all(outcome == outcomes[20] for outcome in outcomes.values())
    print(f"{len(pcm) / 32000:.1f} s of audio, {len(outcomes[20])} finals in 20 ms frames; "
          f"finals identical across frame sizes: {'yes' if same else 'no'}")


def continuous_speech(minutes):
    """16 kHz PCM of `minutes` of two overlapping voices."""
    clips = [path for path, _ in references() if "librivox" in path]
    one = b"".join(pcm16(["-i", path]) for path in clips)
    repeated = one * (int(minutes * 60 * 32000 / len(one)) + 2)
    inputs = ["-f", "s16le", "-ar", "16000", "-ac", "1", "-i", "-"]
    mixed = subprocess.run(["ffmpeg", "-v", "error"] + inputs + [
        "-filter_complex", "asplit[a][b];[b]adelay=1700[c];[a][c]amix=inputs=2:duration=first",
        "-f", "s16le", "-"], input=repeated, check=True, capture_output=True).stdout
    return mixed[:int(minutes * 60) * 32000]


def continuous_section(binary, work, minutes, peer=True):
    pcm = continuous_speech(minutes)
    seconds = len(pcm) / 32000
    print(f"\n== 3. {minutes} min of continuous overlapping speech at full speed")
    out, wall, rss = run_measured([binary, "serve"], frames(pcm))
    result = finals(out)
    ends = [0.0] + [end for _, end, _ in result] + [seconds]
    longest = max(b - a for a, b in zip(ends, ends[1:]))
    print(f"ours:  RTF {wall / seconds:.3f}  peak RSS {rss:.1f} MiB  {len(result)} finals  "
          f"longest stretch without a final {longest:.1f} s  "
          f"output {len(out) / 1024 / (seconds / 60):.1f} KB per audio minute")
    if not peer:
        return
    pieces = [pcm[at:at + 20 * 32000] for at in range(0, len(pcm), 20 * 32000)]
    _, piece_wall, piece_rss = batch_decode(work, pieces)
    print(f"batch decoder on 20 s pieces: RTF {piece_wall / seconds:.3f}  peak RSS "
          f"{piece_rss:.1f} MiB; ours takes {wall / piece_wall:.2f}x its time")


def start_section(binary, work, runs):
    print(f"\n== 4. session start with no audio, {runs} interleaved runs (median)")
    wav = f"{work}/silence.wav"
    write_wav(wav, bytes(3200))
    session = frames(b"")
    ours, batch = [], []
    for _ in range(runs):
        ours.append(run_measured([binary, "serve"], session)[1:])
        batch.append(run_measured(CONTINUOUS + ["-infile", wav])[1:])
    our_wall, batch_wall = (statistics.median(w for w, _ in x) for x in (ours, batch))
    our_rss, batch_rss = (statistics.median(r for _, r in x) for x in (ours, batch))
    print(f"ours:                    {our_wall:.3f} s  {our_rss:.1f} MiB")
    print(f"pocketsphinx_continuous: {batch_wall:.3f} s  {batch_rss:.1f} MiB")
    print(f"ratio: time {our_wall / batch_wall:.2f}x, peak RSS {our_rss / batch_rss:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--compare", help="another build directory measured in the WER section")
    parser.add_argument("--minutes", type=float, nargs="+", default=[3])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=["wer", "frames", "continuous", "start", "confidence",
                                           "invented", "pace"])
    parser.add_argument("--no-peer", action="store_true",
                        help="continuous speech: ours only, without the batch decoder")
    options = parser.parse_args()
    binary = os.path.abspath(f"{options.build}/quillmor-speech")
    work = tempfile.mkdtemp(prefix="field-bench-")
    try:
        if options.only in (None, "wer"):
            binaries = [("ours", binary)]
            if options.compare:
                binaries.append(("compared", os.path.abspath(f"{options.compare}/quillmor-speech")))
            wer_section(binaries, work)
        if options.only in (None, "frames"):
            frame_size_section(binary)
        if options.only in (None, "continuous"):
            for minutes in options.minutes:
                continuous_section(binary, work, minutes, peer=not options.no_peer)
        if options.only in (None, "start"):
            # The first session derives the dictionary; the measured ones find it cached.
            run_measured([binary, "serve"], frames(b""))
            start_section(binary, work, options.runs)
        if options.only in (None, "confidence"):
            confidence_section(os.path.abspath(options.build), work)
        if options.only in (None, "invented"):
            invented_section(binary)
        if options.only in (None, "pace"):
            pace_section(binary, work)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
