#!/usr/bin/env python3
"""Checks what flvsplice writes with independent tools: ffmpeg, ffprobe, flvmeta.

    test_interop.py --binary B --fixtures DIR --make-vp6 G GROUP

GROUP is one of CopyFlv, Cut, Join, CopyAvi, CopyMp3, RefuseH264. The fixtures
are tests/fixtures/*.flv (made by make_fixtures.sh) and the two VP6 files that
G (make_vp6) writes into a temporary directory. A judge that is missing makes
the group skip (exit 77), or fail when CI=true is set.

Pictures are compared as ffmpeg's framemd5 hashes of the decoded frames,
timestamps ignored. VP6 fixtures carry arbitrary picture bytes, so they, and
all audio whose decoding depends on earlier packets, are compared as hashes of
the packets themselves (stream copy).
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY = FIXTURES = MAKE_VP6 = None
WORK = VP6_DIR = None
SKIPPED = 77

# Codec names as ffprobe gives them -> FLV codec identifiers.
VIDEO_IDS = {"flv1": 2, "flashsv": 3, "vp6f": 4, "vp6a": 5, "flashsv2": 6}
AUDIO_IDS = {"adpcm_swf": 1, "mp3": 2, "pcm_s16le": 3, "nellymoser": 6, "aac": 10}
AVI_SKIP = {2: 0, 4: 1, 5: 4}  # bytes of the packet that an AVI frame leaves out

H263 = ["h263_352x288_mp3", "h263_176x144_adpcm", "h263_128x96_nelly", "h263_320x240_pcm",
        "h263_160x120_aac", "h263_200x150", "h263_640x360"]
SCREEN = ["screen_160x120", "screen2_160x120"]
VP6 = ["vp6_pcm", "vp6_alpha"]


def source(name):
    return os.path.join(VP6_DIR if name in VP6 else FIXTURES, name + ".flv")


def output(name):
    return os.path.join(WORK, name)


def cli(*args):
    return subprocess.run([BINARY, "-q", *map(str, args)], capture_output=True, text=True)


def tool(*args):
    """(stdout, stderr) of a judge; a judge that fails fails the test."""
    done = subprocess.run(list(map(str, args)), capture_output=True)
    if done.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))}: {done.stderr.decode(errors='replace')}")
    return done.stdout, done.stderr.decode(errors="replace")


class Tag:
    def __init__(self, kind, time, payload):
        self.kind, self.time, self.payload = kind, time, payload

    @property
    def key(self):
        return self.kind == 9 and self.payload[0] >> 4 == 1

    @property
    def frame(self):
        """False for an AAC sequence header, which ffmpeg takes as codec setup."""
        return not (self.kind == 8 and self.payload[0] >> 4 == 10 and self.payload[1] == 0)


def read_tags(path):
    """Audio and video tags in file order, by our own reading of the layout."""
    data = open(path, "rb").read()
    offset, tags = int.from_bytes(data[5:9], "big") + 4, []
    while offset + 11 <= len(data):
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        time = int.from_bytes(data[offset + 4:offset + 7], "big") | data[offset + 7] << 24
        if data[offset] in (8, 9):
            tags.append(Tag(data[offset], time, data[offset + 11:offset + 11 + size]))
        offset += 11 + size + 4
    return tags


def streams(path):
    """The stream kinds the header announces: a subset of 'audio', 'video'."""
    flags = open(path, "rb").read(5)[4]
    return [k for k, bit in (("audio", 4), ("video", 1)) if flags & bit]


def probe(path):
    doc = json.loads(tool("ffprobe", "-v", "quiet", "-of", "json", "-show_streams",
                          "-show_entries", "packet=codec_type,pts,duration,flags", path)[0])
    return {s["codec_type"]: s for s in doc["streams"]}, doc["packets"]


def packets_of(packets, kind):
    return [p for p in packets if p["codec_type"] == kind]


def frames(path, kind, decode=True):
    """(hashes, stderr) of the stream's frames; packets when decode is false."""
    copy = [] if decode else ["-c", "copy"]
    out, err = tool("ffmpeg", "-v", "error", "-i", path, "-map", f"0:{kind[0]}", *copy,
                    "-f", "framemd5", "-")
    lines = [line.split(b",") for line in out.splitlines() if not line.startswith(b"#")]
    return [fields[5].strip().decode() for fields in lines], err  # the hash column


def decodable(name, kind):
    """ffmpeg reproduces the same decoded frames from any run of packets."""
    return kind == "video" and name not in VP6


def comparable(name, kind, path):
    """Hashes to compare a stream by: decoded frames or packets."""
    return frames(path, kind, decodable(name, kind))[0]


def find_including(tags, time):
    """The tag at `time`, else the last one before it (the first if none is
    before); None when every tag is earlier. Mirrors how a cut picks tags."""
    for i, tag in enumerate(tags):
        if tag.time == time:
            return tag
        if tag.time > time:
            return tags[i - 1] if i else tag
    return None


def expected_cut(tags, kinds, start, end):
    """The run of tags a cut from start to end keeps: from the key frame at or
    before start (or the audio tag that plays at that time, whichever comes
    first) to the last video and audio tags that contain end."""
    video = [t for t in tags if t.kind == 9]
    audio = [t for t in tags if t.kind == 8]
    first, last = [], []
    if "video" in kinds:
        key = find_including([t for t in video if t.key], start)
        start = min(start, key.time)
        first.append(key)
        last.append(find_including(video, end) or video[-1])
    if "audio" in kinds:
        first.append(find_including(audio, start))
        last.append(find_including(audio, end) or audio[-1])
    index = {id(t): i for i, t in enumerate(tags)}
    return tags[min(index[id(t)] for t in first):max(index[id(t)] for t in last) + 1], first[0]


def span_of(packets):
    """Playing time of one stream from ffprobe's packets, and its usual frame length."""
    times = [int(p["pts"]) for p in packets]
    last = int(packets[-1].get("duration") or 0) or times[-1] - times[-2]
    return times[-1] + last - times[0], sorted(b - a for a, b in zip(times, times[1:]))[
        len(times) // 2]


class Judged(unittest.TestCase):
    def assertRun(self, name, out, src_tags, run):
        """out's streams hold exactly the frames of `run`, a run of src_tags."""
        for kind, code in (("video", 9), ("audio", 8)):
            if kind not in streams(source(name)):
                continue
            media = [t for t in src_tags if t.kind == code and t.frame]
            src = comparable(name, kind, source(name))
            self.assertEqual(len(src), len(media), f"{kind} frames of the source")
            kept = [i for i, t in enumerate(media) if any(t is r for r in run)]
            self.assertEqual(comparable(name, kind, out), src[kept[0]:kept[-1] + 1],
                             f"{name}: {kind} frames")


class CopyFlvTests(Judged):
    def test_copy_keeps_every_frame_and_describes_it(self):
        for name in H263 + SCREEN + VP6 + ["mp3"]:
            with self.subTest(name):
                src, out = source(name), output(name + ".flv")
                done = cli("copy", src, "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                src_streams, src_packets = probe(src)
                out_streams, out_packets = probe(out)
                for kind in streams(src):
                    self.assertEqual(len(packets_of(out_packets, kind)),
                                     len(packets_of(src_packets, kind)), kind)
                    decode = name not in VP6 or kind == "audio"
                    self.assertEqual(frames(out, kind, decode)[0], frames(src, kind, decode)[0],
                                     f"{kind} frames")

                check = json.loads(tool("flvmeta", "--check", "--json", out)[0])
                self.assertEqual(check["errors"], 0, check["messages"])
                for message in check["messages"]:
                    print(f"flvmeta on {name}: {message['code']} {message['message']}")

                meta = json.loads(tool("flvmeta", "--dump", "--json", out)[0])
                spans = {k: span_of(packets_of(src_packets, k)) for k in streams(src)}
                if "video" in spans:
                    video = src_streams["video"]
                    self.assertEqual(meta["videocodecid"], VIDEO_IDS[video["codec_name"]])
                    self.assertEqual((meta["width"], meta["height"]),
                                     (video["width"], video["height"]))
                if "audio" in spans:
                    audio = src_streams["audio"]
                    self.assertEqual(meta["audiocodecid"], AUDIO_IDS[audio["codec_name"]])
                # The last tag's length is estimated from the others, so allow
                # one frame of the coarser stream.
                frame = max(step for _, step in spans.values())
                duration = max(span for span, _ in spans.values())
                if abs(meta["duration"] * 1000 - duration) > 1:
                    print(f"duration of {name}: ours {meta['duration']} s, ffprobe's packets "
                          f"{duration} ms")
                self.assertLessEqual(abs(meta["duration"] * 1000 - duration), frame,
                                     f"duration {meta['duration']} s, ffprobe {duration} ms")


class CutTests(Judged):
    CASES = [(name, None, None) for name in H263 + SCREEN + VP6 + ["mp3"]] + [
        # ADPCM packets last 186 ms: the one that plays at the key frame of
        # 1200 ms starts at 1115 and comes before the frames at 1120 and 1160.
        ("h263_176x144_adpcm", 1200, 1500),
        ("h263_352x288_mp3", 0, 0),  # one instant: the first key frame only
        ("h263_320x240_pcm", 1000, 10 ** 6),  # to beyond the end
    ]

    def test_cut_is_a_run_of_frames_from_a_key_frame(self):
        for name, start, end in self.CASES:
            src_tags = read_tags(source(name))
            length = max(t.time for t in src_tags)
            start = int(length * 0.55) if start is None else start
            end = int(length * 0.8) if end is None else end
            with self.subTest(f"{name} {start}-{end}"):
                out = output(f"{name}-{start}-{end}.flv")
                done = cli("cut", source(name), "--from", start, "--to", end, "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                kinds = streams(source(name))
                run, key = expected_cut(src_tags, kinds, start, end)
                packets = probe(out)[1]
                self.assertEqual(min(int(p["pts"]) for p in packets), 0, "timeline starts at 0")
                if "video" in kinds:
                    lead = [t.time for t in run[:run.index(key)] if t.kind == 9]
                    self.assertIn("K", packets_of(packets, "video")[0]["flags"],
                                  f"video starts on no key frame; frames {lead} ms lie between "
                                  f"the audio at {run[0].time} ms and the key frame at "
                                  f"{key.time} ms")
                    run = [t for t in run if t.kind == 8 or t.time >= key.time]
                self.assertRun(name, out, src_tags, run)
                if name not in VP6:
                    errors = tool("ffmpeg", "-v", "error", "-i", out, "-f", "null", "-")[1]
                    self.assertEqual(errors, "", "decodes without error")


class JoinTests(Judged):
    PAIRS = [("h263_352x288_mp3", "h263_352x288_mp3_b"), ("h263_176x144_adpcm",) * 2,
             ("h263_160x120_aac",) * 2, ("h263_200x150",) * 2, ("screen2_160x120",) * 2,
             ("vp6_pcm",) * 2, ("vp6_alpha",) * 2, ("mp3",) * 2]

    def test_join_plays_the_first_then_the_second(self):
        for first, second in self.PAIRS:
            with self.subTest(f"{first} + {second}"):
                out = output(f"{first}+{second}.flv")
                done = cli("join", source(first), source(second), "--strict", "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                packets = probe(out)[1]
                for kind in streams(source(first)):
                    joined = comparable(first, kind, out)
                    head = comparable(first, kind, source(first))
                    tail = comparable(second, kind, source(second))
                    # Keeping the second file's audio/video sync may leave out
                    # its leading audio frames, and nothing else.
                    dropped = len(head) + len(tail) - len(joined) if kind == "audio" else 0
                    self.assertGreaterEqual(dropped, 0)
                    self.assertEqual(joined, head + tail[dropped:], f"{kind} frames")
                    times = [int(p["pts"]) for p in packets_of(packets, kind)]
                    self.assertTrue(all(a < b for a, b in zip(times, times[1:])),
                                    f"{kind} timestamps: {times}")
                if "video" in streams(source(first)) and first not in VP6:
                    self.assertEqual(frames(out, "video")[1], "", "decodes without error")


class CopyAviTests(Judged):
    def test_avi_holds_the_video_frames(self):
        for name in H263 + VP6:
            with self.subTest(name):
                out = output(name + ".avi")
                done = cli("copy", source(name), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                video = [t for t in read_tags(source(name)) if t.kind == 9]
                skip = 1 + AVI_SKIP[video[0].payload[0] & 0x0F]
                info, packets = probe(out)
                fourcc = "VP6F" if name in VP6 else "FLV1"
                self.assertEqual(info["video"]["codec_tag_string"], fourcc)
                self.assertEqual(int(info["video"]["nb_frames"]), len(video))
                self.assertEqual(len(packets), len(video))
                self.assertEqual(frames(out, "video", decode=False)[0],
                                 [hashlib.md5(t.payload[skip:]).hexdigest() for t in video])
                self.assertEqual(["K" in p["flags"] for p in packets], [t.key for t in video])
                if name not in VP6:
                    decoded, errors = frames(out, "video")
                    self.assertEqual(errors, "")
                    self.assertEqual(decoded, frames(source(name), "video")[0])

    def test_screen_video_is_refused(self):
        for name in SCREEN:
            with self.subTest(name):
                done = cli("copy", source(name), "-o", output(name + ".avi"))
                self.assertNotEqual(done.returncode, 0)
                self.assertFalse(os.path.exists(output(name + ".avi")))


class CopyMp3Tests(unittest.TestCase):
    def test_mp3_is_the_audio_payloads(self):
        for name in ("h263_352x288_mp3", "mp3"):
            with self.subTest(name):
                out = output(name + ".mp3")
                done = cli("copy", source(name), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                audio = [t.payload[1:] for t in read_tags(source(name)) if t.kind == 8]
                self.assertEqual(open(out, "rb").read(), b"".join(audio))
                self.assertEqual(tool("ffmpeg", "-v", "error", "-i", out, "-f", "null", "-")[1], "")
                self.assertEqual(len(frames(out, "audio", decode=False)[0]), len(audio))


class RefuseH264Tests(unittest.TestCase):
    def test_outputs_h264_cannot_give_are_refused_and_nothing_is_written(self):
        src = source("h264")
        self.assertEqual(read_tags(src)[0].payload[0] & 0x0F, 7, "the fixture is H.264")
        for args, text in ((["copy", src, "--format", "avi"], "9025"),
                           (["copy", src, "--format", "aac"], "no audio")):
            with self.subTest(" ".join(args[:1] + args[2:])), tempfile.TemporaryDirectory() as d:
                done = cli(*args, "-o", os.path.join(d, "out.flv"))
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(text, done.stderr)
                self.assertEqual(os.listdir(d), [])


class IndexTests(Judged):
    """--index: flvmeta checks the index against the file; every entry names a
    key-frame tag at its time; ffmpeg seeks through it to the right frame."""
    JOBS = [("copy", "h263_352x288_mp3"), ("copy", "h263_640x360"),
            ("cut", "h263_176x144_adpcm", "--from", 900, "--to", 1700),
            ("join", "h263_352x288_mp3", "h263_352x288_mp3_b")]

    def test_indexed_outputs_agree_with_independent_tools(self):
        for command, name, *rest in self.JOBS:
            with self.subTest(f"{command} {name}"):
                inputs = [source(name)] + ([source(rest.pop(0))] if command == "join" else [])
                plain, indexed = output(f"{command}-{name}.flv"), output(f"{command}-{name}-i.flv")
                for out, extra in ((plain, []), (indexed, ["--index"])):
                    done = cli(command, *inputs, *rest, "-o", out, *extra)
                    self.assertEqual(done.returncode, 0, done.stderr)

                check = subprocess.run(["flvmeta", "--check", indexed], capture_output=True,
                                       text=True)
                self.assertIn("\n0 error(s)", "\n" + check.stdout + check.stderr)
                meta = json.loads(tool("flvmeta", "--dump", "--json", indexed)[0])
                for key in ("hasKeyframes", "canSeekToEnd", "filesize", "lastkeyframelocation"):
                    self.assertIn(key, meta)
                self.assertEqual(meta["filesize"], os.path.getsize(indexed))

                data = open(indexed, "rb").read()
                keys = [t for t in read_tags(indexed) if t.key]
                positions = meta["keyframes"]["filepositions"]
                self.assertEqual(len(positions), len(keys))
                for at, when, tag in zip(positions, meta["keyframes"]["times"], keys):
                    at = int(at)
                    stamp = int.from_bytes(data[at + 4:at + 7], "big") | data[at + 7] << 24
                    self.assertEqual((data[at], data[at + 11] >> 4), (9, 1), f"tag at {at}")
                    self.assertEqual(stamp, round(when * 1000))
                    self.assertEqual(stamp, tag.time)

                # The same tags as without --index, after the metadata tag.
                self.assertEqual([(t.kind, t.time, t.payload) for t in read_tags(indexed)],
                                 [(t.kind, t.time, t.payload) for t in read_tags(plain)])

                # The key frames are the ones flvmeta indexes in the plain output
                # (its positions differ: it adds a tag of its own), and ffmpeg
                # seeks through both indexes alike.
                peer = output(f"{command}-{name}-flvmeta.flv")
                tool("flvmeta", "--update", plain, peer)
                theirs = json.loads(tool("flvmeta", "--dump", "--json", peer)[0])["keyframes"]
                self.assertEqual(meta["keyframes"]["times"], theirs["times"])
                for seek in (0.3, 0.75, 1.0, 1.5):
                    seen = [tool("ffmpeg", "-v", "error", "-noaccurate_seek", "-ss", seek, "-i",
                                 path, "-map", "0:v", "-frames:v", "1", "-f", "framemd5", "-")[0]
                            .splitlines()[-1].split(b",")[5] for path in (indexed, peer)]
                    self.assertEqual(seen[0], seen[1], f"seek to {seek} s")


JUDGES = {"CopyFlv": ["ffmpeg", "ffprobe", "flvmeta"], "Index": ["ffmpeg", "ffprobe", "flvmeta"]}


def missing_judges(needed):
    """None when every judge is there; else the exit status: 1 under CI=true
    (which needs every judge), SKIPPED otherwise."""
    missing = [judge for judge in needed if not shutil.which(judge)]
    if not missing:
        return None
    if os.environ.get("CI") == "true":
        print(f"FAIL: {', '.join(missing)} not found; CI=true needs every judge")
        return 1
    print(f"SKIP: {', '.join(missing)} not found (Debian packages "
          f"{', '.join(sorted(set(missing) - {'ffprobe'}))})")
    return SKIPPED


def run_group_script(scope, description, judges, prefix):
    """The main of a group script that builds on this one: --binary,
    --fixtures and GROUP (a class GROUP + "Tests" of scope); judges(group)
    names the tools the group needs; its tests run in a temporary WORK."""
    global BINARY, FIXTURES, WORK
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("group", choices=[c[:-5] for c in scope if c.endswith("Tests")])
    args = parser.parse_args()
    BINARY, FIXTURES = args.binary, args.fixtures
    status = missing_judges(judges(args.group))
    if status is not None:
        return status
    with tempfile.TemporaryDirectory(prefix=prefix) as WORK:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(scope[args.group + "Tests"])
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


def main():
    global BINARY, FIXTURES, MAKE_VP6, WORK, VP6_DIR
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--make-vp6", required=True)
    parser.add_argument("group", choices=[c[:-5] for c in globals() if c.endswith("Tests")])
    args = parser.parse_args()
    BINARY, FIXTURES, MAKE_VP6 = args.binary, args.fixtures, args.make_vp6

    status = missing_judges(JUDGES.get(args.group, ["ffmpeg", "ffprobe"]))
    if status is not None:
        return status

    with tempfile.TemporaryDirectory(prefix="flvsplice-interop-") as WORK:
        VP6_DIR = os.path.join(WORK, "vp6")
        os.mkdir(VP6_DIR)
        subprocess.run([MAKE_VP6, VP6_DIR], check=True)
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(globals()[args.group + "Tests"])
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
