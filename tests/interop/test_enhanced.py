#!/usr/bin/env python3
"""HEVC (codec 12 and enhanced 'hvc1'), AV1 and VP9 in enhanced FLV, and
multitrack tags: flvsplice's copies, cuts, joins and elementary-stream exports
judged by ffmpeg and ffprobe.

    test_enhanced.py --binary B GROUP

GROUP is one of Hevc12, HevcEnhanced, HevcOpenGop, AudioStreams, Damaged, Av1,
Vp9, HevcSizes, Multitrack, and for MP4 output Mp4Hevc, Mp4Av1, Mp4Vp9,
Mp4Opus, Mp4Ac3, Mp4HevcEdit. The
inputs are built when the tests run (enhanced_flv.py) from what ffmpeg's
encoders write; a missing encoder or judge skips the group (exit 77), or
fails it when CI=true is set.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
import enhanced_flv as eflv  # noqa: E402

BINARY = None
WORK = None
FPS = 25
KEYINT = 10

ENCODERS = {
    "hevc": ["-c:v", "libx265", "-x265-params",
             f"bframes=0:keyint={KEYINT}:min-keyint={KEYINT}:scenecut=0:open-gop=0:log-level=none",
             "-f", "hevc"],
    "hevc_open": ["-c:v", "libx265", "-x265-params",
                  f"bframes=3:keyint={KEYINT}:min-keyint={KEYINT}:scenecut=0:open-gop=1:"
                  "log-level=none", "-f", "hevc"],
    "av1": ["-c:v", "libaom-av1", "-usage", "realtime", "-cpu-used", "8", "-g", str(KEYINT),
            "-f", "ivf"],
    "vp9": ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-g", str(KEYINT),
            "-auto-alt-ref", "0", "-f", "ivf"],
}


def path(name):
    return os.path.join(WORK, name)


def run(*args):
    return subprocess.run(list(map(str, args)), capture_output=True)


def cli(*args):
    return subprocess.run([BINARY, "-q", *map(str, args)], capture_output=True, text=True)


def encode(codec, name, size="160x120", seconds=2, extra=()):
    out = path(name)
    done = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
               f"testsrc=size={size}:rate={FPS}", "-t", seconds, *extra, *ENCODERS[codec], out)
    if done.returncode != 0:
        raise unittest.SkipTest(f"ffmpeg cannot encode {codec}: {done.stderr.decode()[-200:]}")
    return open(out, "rb").read()


def write(name, tags, audio=False, video=None):
    with open(path(name), "wb") as f:
        f.write(eflv.flv(tags, audio, video))
    return path(name)


def hashes(source):
    """framemd5 hashes of the decoded video; ffmpeg -v error must print nothing."""
    done = run("ffmpeg", "-v", "error", "-i", source, "-map", "0:v", "-f", "framemd5", "-")
    assert done.returncode == 0 and done.stderr == b"", done.stderr.decode()
    lines = [line.split(b",") for line in done.stdout.splitlines() if not line.startswith(b"#")]
    return [fields[5].strip() for fields in lines]


def audio_hashes(source):
    done = run("ffmpeg", "-v", "error", "-i", source, "-map", "0:a", "-f", "framemd5", "-")
    assert done.returncode == 0 and done.stderr == b"", done.stderr.decode()
    return [line.split(b",")[5] for line in done.stdout.splitlines() if not line.startswith(b"#")]


def tag_payloads(file):
    data, at, out = open(file, "rb").read(), 13, []
    while at + 11 <= len(data):
        size = int.from_bytes(data[at + 1:at + 4], "big")
        if data[at] in (8, 9):
            out.append((data[at], data[at + 11:at + 11 + size]))
        at += 15 + size
    return out


def ok(done):
    assert done.returncode == 0, done.stderr
    return done


class Codec:
    """Copy, cut, join and export of one codec's FLV, against the decoded
    elementary stream it was built from."""

    def check_copy(self, flv, stream, ext):
        ok(cli("copy", flv, "-o", path("copy.flv")))
        self.assertEqual(tag_payloads(flv), tag_payloads(path("copy.flv")))
        ok(cli("copy", path("copy.flv"), "-o", path("copy" + ext)))
        self.assertEqual(hashes(path("copy" + ext)), hashes(stream))

    def check_cut(self, flv, stream, ext):
        # Key frames every 400 ms: a cut from 1 s starts at 800 ms.
        ok(cli("cut", flv, "--from", "1000", "-o", path("cut.flv")))
        ok(cli("copy", path("cut.flv"), "-o", path("cut" + ext)))
        source = hashes(stream)
        self.assertEqual(hashes(path("cut" + ext)), source[800 * FPS // 1000:])

    def check_join(self, flv, stream, ext):
        ok(cli("join", flv, flv, "--strict", "-o", path("join.flv")))
        ok(cli("copy", path("join.flv"), "-o", path("join" + ext)))
        source = hashes(stream)
        self.assertEqual(hashes(path("join" + ext)), source + source)

    def check_refusals(self, flv, wrong):
        for ext in wrong:
            done = cli("copy", flv, "-o", path("wrong" + ext))
            self.assertNotEqual(done.returncode, 0, ext)
            self.assertIn("9029", done.stderr + done.stdout, ext)
            self.assertFalse(os.path.exists(path("wrong" + ext)))


class Hevc12(unittest.TestCase, Codec):
    def setUp(self):
        self.stream = path("src.hevc")
        data = encode("hevc", "src.hevc")
        self.flv = write("hevc12.flv", eflv.hevc_tags(data, enhanced=False))

    def test_info(self):
        info = json.loads(ok(cli("info", "--json", self.flv)).stdout)[0]["video"]
        self.assertEqual((info["codec_id"], info["width"], info["height"]), (12, 160, 120))
        self.assertEqual(info["key_frames"], 5)
        # The profile and level are HEVC's, as ffprobe reads them from the
        # stream, not an H.264 reading of its record.
        probe = json.loads(run("ffprobe", "-v", "error", "-of", "json", "-show_streams",
                               self.stream).stdout)["streams"][0]
        self.assertEqual((info["profile"], round(info["level"] * 30)),
                         (probe["profile"], probe["level"]))
        self.assertIn(f"{probe['profile']}@L", ok(cli("info", self.flv)).stdout)

    def test_copy_cut_join(self):
        self.check_copy(self.flv, self.stream, ".h265")
        self.check_cut(self.flv, self.stream, ".hevc")
        self.check_join(self.flv, self.stream, ".h265")
        self.check_refusals(self.flv, [".h264", ".ivf", ".obu"])

    def test_enhanced_rewrite(self):
        ok(cli("copy", "--enhanced", self.flv, "-o", path("enh.flv")))
        before, after = tag_payloads(self.flv), tag_payloads(path("enh.flv"))
        self.assertEqual(len(before), len(after))
        for (_, old), (_, new) in zip(before, after):
            self.assertTrue(new[0] & 0x80)
            self.assertEqual(new[1:5], b"hvc1")
            self.assertEqual(old[5:], new[5 + (3 if new[0] & 0x0F == 1 else 0):])
        ok(cli("copy", path("enh.flv"), "-o", path("enh.h265")))
        self.assertEqual(hashes(path("enh.h265")), hashes(self.stream))


class HevcEnhanced(unittest.TestCase, Codec):
    def setUp(self):
        self.stream = path("src.hevc")
        data = encode("hevc", "src.hevc")
        audio = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=r=48000", "-t", 2,
                    "-c:a", "aac", "-f", "adts", path("src.aac"))
        self.assertEqual(audio.returncode, 0)
        tags = eflv.merge(eflv.hevc_tags(data, enhanced=True),
                          eflv.aac_tags(open(path("src.aac"), "rb").read()))
        self.flv = write("hevc.flv", tags, audio=True)

    def test_copy_cut_join(self):
        info = json.loads(ok(cli("info", "--json", self.flv)).stdout)[0]
        self.assertEqual(info["video"]["codec_id"], int.from_bytes(b"hvc1", "big"))
        self.assertEqual(info["audio"]["format_id"], int.from_bytes(b"mp4a", "big"))
        self.assertEqual((info["video"]["width"], info["video"]["height"]), (160, 120))
        self.check_copy(self.flv, self.stream, ".h265")
        self.check_cut(self.flv, self.stream, ".h265")
        self.check_join(self.flv, self.stream, ".h265")
        # The enhanced AAC as ADTS decodes to the samples of the source's.
        ok(cli("copy", self.flv, "-o", path("out.aac")))
        self.assertEqual(audio_hashes(path("out.aac")), audio_hashes(path("src.aac")))


class HevcOpenGop(unittest.TestCase):
    """libx265 open GOPs: a CRA picture is a cut point; the RASL pictures
    after the CRA picture a cut or a join's appended file starts at refer to
    pictures that are gone, and are left out."""

    def test_cut_and_join_at_cra(self):
        data = encode("hevc_open", "og.hevc")
        types = [next((u[0] >> 1) & 0x3F for u in units if (u[0] >> 1) & 0x3F < 32)
                 for _, units in eflv.hevc_access_units(data)[1]]
        tags = eflv.hevc_tags(data, enhanced=True)
        flv = write("og.flv", tags)
        irap = sum(16 <= t <= 21 for t in types)
        info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["video"]
        self.assertEqual(info["key_frames"], irap)
        # The key-frame index names the same pictures, and info's check of an
        # index reads codec-12 HEVC as HEVC.
        classic = write("og12.flv", eflv.hevc_tags(data, enhanced=False))
        for source in (flv, classic):
            ok(cli("copy", "--index", source, "-o", path("indexed.flv")))
            index = json.loads(ok(cli("info", "--json", path("indexed.flv"))).stdout)[0]["index"]
            self.assertEqual((index["consistent"], index["entries"]), (True, irap), source)
            os.remove(path("indexed.flv"))
        # Frames in decode order every 40 ms: the cut starts at the last CRA
        # picture at or before 1 s, without the RASL pictures that follow it.
        cra = max(i for i, t in enumerate(types) if t == 21 and i * 1000 // FPS <= 1000)
        leading = next(i for i in range(cra + 1, len(types)) if not 6 <= types[i] <= 9)
        rasl = sum(types[i] in (8, 9) for i in range(cra + 1, leading))
        self.assertGreater(rasl, 0)
        kept = len(types) - cra - rasl
        source = hashes(path("og.hevc"))
        done = run(BINARY, "cut", flv, "--from", "1000", "-o", path("cut.flv"))
        self.assertIn(f"left out {rasl} RASL pictures", done.stdout.decode())
        ok(cli("copy", path("cut.flv"), "-o", path("cut.h265")))
        self.assertEqual(hashes(path("cut.h265")), source[-kept:])
        # A recording that starts at that CRA picture, RASL pictures and all,
        # joined onto the whole stream.
        start = cra * 1000 // FPS
        tail = write("tail.flv", tags[:1] + [(k, t - start, p) for k, t, p in tags[1 + cra:]])
        ok(cli("join", flv, tail, "-o", path("join.flv")))
        ok(cli("copy", path("join.flv"), "-o", path("join.h265")))
        self.assertEqual(hashes(path("join.h265")), source + source[-kept:])
        # The same written straight from the two files.
        ok(cli("join", flv, tail, "-o", path("join2.h265")))
        self.assertEqual(hashes(path("join2.h265")), source + source[-kept:])
        # MP4 samples carry the rewritten picture too (the fixture's times
        # have no composition offsets: the frames are counted, not hashed).
        for extra in ([], ["--fragmented"]):
            ok(cli("join", flv, tail, "-o", path("join.mp4"), *extra))
            done = run("ffprobe", "-v", "error", "-count_frames", "-show_entries",
                       "stream=nb_read_frames", "-of", "csv=p=0", path("join.mp4"))
            self.assertEqual((done.stderr, done.stdout.strip()),
                             (b"", str(len(source) + kept).encode()), extra)
            os.remove(path("join.mp4"))


class AudioStreams(unittest.TestCase):
    """Enhanced FLAC, AC-3 and E-AC-3 audio written as the bare streams that
    decoders read: they decode to the samples of ffmpeg's encodes."""

    def packets(self, name, codec, extra=()):
        source = path(name)
        done = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=r=48000:f=440",
                   "-t", 1, "-ac", 2, "-c:a", codec, *extra, source)
        if done.returncode != 0:
            raise unittest.SkipTest(f"ffmpeg cannot encode {codec}")
        done = run("ffprobe", "-v", "error", "-show_entries", "packet=pts_time,pos,size",
                   "-of", "csv=p=0", source)
        data = open(source, "rb").read()
        frames = []
        for line in done.stdout.decode().split():
            time, size, pos = line.split(",")[:3]
            frames.append((round(float(time) * 1000), data[int(pos):int(pos) + int(size)]))
        return source, data, frames

    def test_exports(self):
        source, data, frames = self.packets("src.flac", "flac")
        # The STREAMINFO alone, as a block (not the last: more follow in the
        # source), and with the marker in front.
        for config in (data[8:42], data[4:42], data[:42]):
            flac = write("flac.flv", eflv.audio_tags(b"fLaC", config, frames), audio=True)
            ok(cli("copy", flac, "-o", path("out.flac")))
            self.assertEqual(audio_hashes(path("out.flac")), audio_hashes(source))
            os.remove(path("out.flac"))
        for ext, fourcc, codec in ((".ac3", b"ac-3", "ac3"), (".eac3", b"ec-3", "eac3")):
            source, _, frames = self.packets("src" + ext, codec)
            flv = write(codec + ".flv", eflv.audio_tags(fourcc, None, frames), audio=True)
            ok(cli("copy", flv, "-o", path("out" + ext)))
            self.assertEqual(audio_hashes(path("out" + ext)), audio_hashes(source))
        # What the input cannot give is refused, and nothing is written.
        for ext in (".ac3", ".aac"):
            done = cli("copy", flac, "-o", path("wrong" + ext))
            self.assertIn("9029", done.stderr)
            self.assertFalse(os.path.exists(path("wrong" + ext)))
        done = cli("copy", flac, "-o", path("wrong.opus"))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("Ogg Opus is not written yet", done.stderr)
        self.assertFalse(os.path.exists(path("wrong.opus")))


def is_subsequence(short, long):
    it = iter(long)
    return all(item in it for item in short)


class Damaged(unittest.TestCase):
    """check and repair of damaged codec-12 and enhanced hvc1, av01 and vp09
    recordings: a truncated tail, zeros over a stretch of frames, a repeated
    and a changed sequence start."""

    def damage(self, tags, audio=False):
        """(name, FLV bytes, problem kind that check must report)."""
        clean = eflv.flv(tags, audio)
        body = eflv.flv(tags[:13], audio)  # the zeros start in the 12th frame
        middle = bytearray(clean)
        middle[len(body) + 20:len(body) + 3000] = bytes(len(middle[len(body) + 20:len(body) + 3000]))
        repeated = eflv.flv(tags[:26] + [(9, tags[26][1], tags[0][2])] + tags[26:], audio)
        return [("tail", clean[:-200], "truncated-tail"), ("zeros", bytes(middle), "skipped-bytes"),
                ("repeated", repeated, "repeated-config")]

    def check_repair(self, label, data, kind, ext, source):
        damaged = path(f"{label}.flv")
        with open(damaged, "wb") as f:
            f.write(data)
        done = cli("check", "--json", damaged)
        self.assertEqual(done.returncode, 1, label)
        kinds = [(p["kind"], p["repair"]) for p in json.loads(done.stdout)[0]["problems"]]
        self.assertIn(kind, [k for k, _ in kinds], label)
        ok(cli("repair", damaged, "-o", path(f"{label}_fixed.flv")))
        ok(cli("info", path(f"{label}_fixed.flv")))
        ok(cli("copy", path(f"{label}_fixed.flv"), "-o", path(f"{label}_fixed{ext}")))
        frames = hashes(path(f"{label}_fixed{ext}"))
        self.assertTrue(frames and (source is None or is_subsequence(frames, source)), label)
        return kinds, frames

    def test_codecs(self):
        cases = [("hevc12", eflv.hevc_tags(encode("hevc_open", "d.hevc"), enhanced=False),
                  ".h265", "d.hevc"),
                 ("hvc1", eflv.hevc_tags(encode("hevc", "e.hevc"), enhanced=True), ".h265",
                  "e.hevc"),
                 ("av01", eflv.av1_tags(encode("av1", "a.ivf")), ".obu", "a.ivf"),
                 ("vp09", eflv.vp9_tags(encode("vp9", "v.ivf")), ".ivf", "v.ivf")]
        for name, tags, ext, stream in cases:
            source = hashes(path(stream))
            for label, data, kind in self.damage(tags):
                kinds, frames = self.check_repair(f"{name}_{label}", data, kind, ext, source)
                if label == "repeated":
                    # Dropped: the repaired file has one configuration left.
                    self.assertIn(("repeated-config", "dropped"), kinds)
                    starts = [p for kind, p in tag_payloads(path(f"{name}_{label}_fixed.flv"))
                              if kind == 9 and (p[0] & 0x8F == 0x80 or p[1] == 0)]
                    self.assertEqual(len(starts), 1, name)
                    self.assertEqual(frames, source, name)
                if label == "zeros":
                    # The video resumes at the next cut point.
                    self.assertIn(("undecodable-frames", "dropped"), kinds, name)
                    self.assertEqual(frames[-20:], source[-20:], name)
        # A changed configuration: a second stream of another size goes on.
        small = eflv.hevc_tags(encode("hevc", "s.hevc"), enhanced=True)
        large = eflv.hevc_tags(encode("hevc", "l.hevc", size="320x240"), enhanced=True)
        shifted = [(k, t + 2000, p) for k, t, p in large]
        kinds, _ = self.check_repair("changed", eflv.flv(small + shifted), "changed-config",
                                     ".h265", None)
        self.assertIn(("changed-config", "kept"), kinds)
        done = run("ffprobe", "-v", "error", "-show_entries", "frame=width,height", "-of",
                   "csv=p=0", path("changed_fixed.h265"))
        sizes = [size.rstrip(",") for size in done.stdout.decode().split()]
        self.assertEqual(sizes, ["160,120"] * 50 + ["320,240"] * 50)


class HevcSizes(unittest.TestCase):
    def test_join_two_sizes(self):
        small = write("small.flv", eflv.hevc_tags(encode("hevc", "s.hevc"), enhanced=True))
        large = write("large.flv",
                      eflv.hevc_tags(encode("hevc", "l.hevc", size="320x240"), enhanced=True))
        self.assertNotEqual(cli("join", "--strict", small, large, "-o", path("j.flv")).returncode,
                            0)
        self.assertFalse(os.path.exists(path("j.flv")))
        ok(cli("join", small, large, "-o", path("j.flv")))
        ok(cli("copy", path("j.flv"), "-o", path("j.h265")))
        done = run("ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                   "frame=width,height", "-of", "csv=p=0", path("j.h265"))
        self.assertEqual(done.stderr, b"")
        sizes = [size.rstrip(",") for size in done.stdout.decode().split()]
        self.assertEqual(sizes.count("160,120"), 50)
        self.assertEqual(sizes.count("320,240"), 50)


class Av1(unittest.TestCase, Codec):
    def setUp(self):
        self.stream = path("src.ivf")
        self.flv = write("av1.flv", eflv.av1_tags(encode("av1", "src.ivf")))

    def test_copy_cut_join(self):
        info = json.loads(ok(cli("info", "--json", self.flv)).stdout)[0]["video"]
        self.assertEqual((info["width"], info["height"]), (160, 120))
        self.check_copy(self.flv, self.stream, ".ivf")
        self.check_copy(self.flv, self.stream, ".obu")
        self.check_cut(self.flv, self.stream, ".obu")
        self.check_join(self.flv, self.stream, ".ivf")
        self.check_refusals(self.flv, [".h264", ".h265"])


class Vp9(unittest.TestCase, Codec):
    def setUp(self):
        self.stream = path("src.ivf")
        self.flv = write("vp9.flv", eflv.vp9_tags(encode("vp9", "src.ivf")))

    def test_copy_cut_join(self):
        info = json.loads(ok(cli("info", "--json", self.flv)).stdout)[0]["video"]
        self.assertEqual((info["width"], info["height"]), (160, 120))
        self.check_copy(self.flv, self.stream, ".ivf")
        self.check_cut(self.flv, self.stream, ".ivf")
        self.check_join(self.flv, self.stream, ".ivf")
        self.check_refusals(self.flv, [".h265", ".obu"])
        # AVI carries none of these codecs (an enhanced tag's packet type is no codec id).
        self.assertIn("9025", cli("copy", self.flv, "-o", path("v.avi")).stderr)


class Multitrack(unittest.TestCase):
    def test_copy_and_info(self):
        tags = eflv.two_tracks(eflv.hevc_tags(encode("hevc", "m.hevc"), enhanced=True))
        flv = write("multi.flv", tags)
        ok(cli("copy", flv, "-o", path("multi_copy.flv")))
        self.assertEqual(tag_payloads(flv), tag_payloads(path("multi_copy.flv")))
        info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]
        self.assertEqual(info["tracks"], [{"kind": "video", "id": 0, "codec": "hvc1"},
                                          {"kind": "video", "id": 1, "codec": "hvc1"}])
        self.assertIn("track     video 1: hvc1", ok(cli("info", flv)).stdout)

    def test_cut_join_two_codecs(self):
        """HEVC and AV1 tracks with key frames every 400 ms: the cut and the
        join keep both, each decoding as its source from the cut point."""
        hevc = eflv.hevc_tags(encode("hevc", "m0.hevc"), enhanced=True)
        av1 = eflv.av1_tags(encode("av1", "m1.ivf", size="320x240"))
        flv = write("mc.flv", eflv.multitrack([hevc, av1], many_codecs=True))
        ok(cli("cut", flv, "--from", "1000", "-o", path("mc_cut.flv")))
        ok(cli("join", flv, flv, "-o", path("mc_join.flv")))
        sources = {0: hashes(path("m0.hevc")), 1: hashes(path("m1.ivf"))}
        for name, expected in (("mc_cut.flv", lambda s: s[800 * FPS // 1000:]),
                               ("mc_join.flv", lambda s: s + s)):
            tracks = eflv.tracks_of(open(path(name), "rb").read())
            self.assertEqual(sorted(tracks), [0, 1])
            for track, ext in ((0, ".h265"), (1, ".ivf")):
                # Split out here, and by --track.
                ok(cli("copy", write(f"t{track}.flv", tracks[track]), "-o", path(f"t{track}{ext}")))
                self.assertEqual(hashes(path(f"t{track}{ext}")), expected(sources[track]), name)
                ok(cli("copy", path(name), "--track", track, "-o", path(f"k{track}{ext}")))
                self.assertEqual(hashes(path(f"k{track}{ext}")), expected(sources[track]), name)
        # A track taken from each input before a cut or join.
        ok(cli("cut", flv, "--track", "1", "--from", "1000", "-o", path("t1_cut.obu")))
        self.assertEqual(hashes(path("t1_cut.obu")), sources[1][800 * FPS // 1000:])
        done = cli("copy", flv, "--track", "7", "-o", path("t7.h265"))
        self.assertIn("9029", done.stderr)
        self.assertFalse(os.path.exists(path("t7.h265")))

    def test_refusals(self):
        """Key frames that never agree refuse the cut; other tracks refuse
        the join; nothing is written."""
        data = encode("hevc", "r.hevc")
        tags = eflv.hevc_tags(data, enhanced=True)
        late = tags[:1] + [None] * 5 + tags[1:-5]  # track 1's key frames 200 ms later
        flv = write("late.flv", eflv.multitrack([tags, late]))
        done = cli("cut", flv, "--from", "1000", "-o", path("late_cut.flv"))
        self.assertIn("9023", done.stderr)
        self.assertFalse(os.path.exists(path("late_cut.flv")))
        one = write("one.flv", eflv.two_tracks(tags))
        self.assertEqual(cli("cut", one, "--from", "1000", "-o", path("one_cut.flv")).returncode, 0)
        # The writers of one stream take no multitrack file yet.
        for ext, code in ((".mp4", "9040"), (".h265", "9029")):
            self.assertIn(code, cli("copy", one, "-o", path("one" + ext)).stderr)
            self.assertFalse(os.path.exists(path("one" + ext)))
        other = write("other.flv", eflv.multitrack([tags, tags, tags]))
        done = cli("join", one, other, "-o", path("bad_join.flv"))
        self.assertIn("9021", done.stderr)
        self.assertFalse(os.path.exists(path("bad_join.flv")))


def probe_packets(file):
    """[(pts, size, md5, key)] of the file's first stream as ffprobe reads it."""
    done = run("ffprobe", "-v", "error", "-of", "json", "-show_packets", "-show_data_hash", "md5",
               "-select_streams", "0", file)
    assert done.returncode == 0 and done.stderr == b"", done.stderr.decode()
    return [(float(p["pts_time"]) if "pts_time" in p else None, int(p["size"]),
             p["data_hash"].split(":")[1], "K" in p["flags"])
            for p in json.loads(done.stdout)["packets"]]


def boxes(data, at=0, end=None):
    """(type, body start, end) of the boxes in data[at:end]."""
    end = len(data) if end is None else end
    while at + 8 <= end:
        size, kind, head = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8], 8
        if size == 1:
            size, head = int.from_bytes(data[at + 8:at + 16], "big"), 16
        yield kind.decode("latin-1"), at + head, at + size
        at += size


def sample_entries(file):
    """Per track: [(entry type, [child box types], (width, height) or None)]."""
    data, tracks = open(file, "rb").read(), []

    def child(kind, at, end):
        return next((b, e) for k, b, e in boxes(data, at, end) if k == kind)

    moov = child("moov", 0, len(data))
    for kind, at, end in boxes(data, *moov):
        if kind != "trak":
            continue
        for name in ("mdia", "minf", "stbl", "stsd"):
            at, end = child(name, at, end)
        entries = []
        for entry, body, stop in boxes(data, at + 8, end):
            visual = entry in ("avc1", "hvc1", "hev1", "av01", "vp09")
            size = (int.from_bytes(data[body + 24:body + 26], "big"),
                    int.from_bytes(data[body + 26:body + 28], "big")) if visual else None
            children = [k for k, _, _ in boxes(data, body + (78 if visual else 28), stop)]
            entries.append((entry, children, size))
        tracks.append(entries)
    return tracks


def md5(data):
    return hashlib.md5(data).hexdigest()


class Mp4Output:
    """An MP4 written from an FLV against the elementary stream the FLV was
    built from: ffprobe's packets (bytes, times within 1 ms, key flags), the
    decoded frames, ffmpeg silent, and the sample entry."""

    def check_mp4(self, flv, source, samples, times, entry, config_box, size=(160, 120)):
        mp4 = path(os.path.basename(flv) + ".mp4")
        ok(cli("copy", flv, "-o", mp4))
        ours, theirs = probe_packets(mp4), probe_packets(source)
        self.assertEqual([p[2] for p in ours], [md5(s) for s in samples], "sample bytes")
        for i, (packet, time) in enumerate(zip(ours, times)):
            self.assertAlmostEqual(packet[0], time, delta=0.001, msg=f"packet {i} time")
        self.assertEqual([p[3] for p in ours], [p[3] for p in theirs], "sync samples")
        self.assertEqual(hashes(mp4) if size else audio_hashes(mp4),
                         hashes(source) if size else audio_hashes(source))
        self.assertEqual(sample_entries(mp4), [[(entry, [config_box], size)]])
        return mp4


def quiet_encode(codec, name, size="160x120", **kwargs):
    return encode(codec, name, size, extra=("-pix_fmt", "yuv420p"), **kwargs)


class Mp4Hevc(unittest.TestCase, Mp4Output):
    def test_codec12_and_enhanced_write_hvc1(self):
        data = quiet_encode("hevc", "src.hevc")
        _, frames = eflv.hevc_access_units(data)
        samples = [eflv.length_prefixed(units) for _, units in frames]
        times = [i / FPS for i in range(len(samples))]
        for enhanced in (False, True):
            with self.subTest(enhanced=enhanced):
                flv = write(f"hevc{int(enhanced)}.flv", eflv.hevc_tags(data, enhanced))
                self.check_mp4(flv, path("src.hevc"), samples, times, "hvc1", "hvcC")
        info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["video"]
        # Main (compatible with Main 10: flags 1 and 2), progressive and frame only.
        self.assertRegex(info["codecs"], r"^hvc1\.1\.6\.L\d+\.90$")

    def test_enhanced_aac_beside_it(self):
        data = quiet_encode("hevc", "src.hevc")
        done = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=r=48000", "-t", 2,
                   "-c:a", "aac", "-f", "adts", path("src.aac"))
        self.assertEqual(done.returncode, 0)
        tags = eflv.merge(eflv.hevc_tags(data, True),
                          eflv.aac_tags(open(path("src.aac"), "rb").read()))
        flv = write("av.flv", tags, audio=True)
        ok(cli("copy", flv, "-o", path("av.mp4")))
        self.assertEqual(sample_entries(path("av.mp4"))[1], [("mp4a", ["esds"], None)])
        self.assertEqual(audio_hashes(path("av.mp4")), audio_hashes(path("src.aac")))
        self.assertEqual(hashes(path("av.mp4")), hashes(path("src.hevc")))


class Mp4Av1(unittest.TestCase, Mp4Output):
    def test_av01(self):
        data = quiet_encode("av1", "src.ivf")
        _, frames = eflv.ivf_frames(data)
        samples = [b"".join(o for kind, o in eflv.obus(f) if kind != 2) for f in frames]
        times = [p[0] for p in probe_packets(path("src.ivf"))]
        flv = write("av1.flv", eflv.av1_tags(data))
        self.check_mp4(flv, path("src.ivf"), samples, times, "av01", "av1C")
        info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["video"]
        self.assertEqual(info["codecs"], "av01.0.00M.08")


class Mp4Vp9(unittest.TestCase, Mp4Output):
    def test_vp09(self):
        data = quiet_encode("vp9", "src.ivf")
        _, samples = eflv.ivf_frames(data)
        times = [p[0] for p in probe_packets(path("src.ivf"))]
        flv = write("vp9.flv", eflv.vp9_tags(data))
        mp4 = self.check_mp4(flv, path("src.ivf"), samples, times, "vp09", "vpcC")
        # vpcC is a version-1 full box around the FLV's record.
        raw = open(mp4, "rb").read()
        at = raw.index(b"vpcC")
        self.assertEqual(raw[at + 4:at + 16], bytes([1, 0, 0, 0, 0, 10, 0x82, 2, 2, 2, 0, 0]))
        info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["video"]
        self.assertEqual(info["codecs"], "vp09.00.10.08")


class Mp4Opus(unittest.TestCase, Mp4Output):
    def test_opus(self):
        # 95688 samples and the 312 of pre-skip fill 100 packets exactly:
        # the Ogg's last packet is not cut short, which an FLV cannot say.
        for channels, layout in ((1, ""), (2, ""), (6, "5.1")):
            with self.subTest(channels=channels):
                source = path(f"src{channels}.opus")
                extra = ["-ac", str(channels)] + (["-mapping_family", "1"] if layout else [])
                done = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=r=48000",
                           "-t", "1.9935", "-c:a", "libopus", *extra, "-f", "ogg", source)
                if done.returncode != 0:
                    raise unittest.SkipTest("ffmpeg cannot encode Opus")
                packets = eflv.ogg_packets(open(source, "rb").read())
                samples = [p for p, _ in packets[2:]]
                times = [p[0] for p in probe_packets(source)]
                flv = write(f"opus{channels}.flv", eflv.opus_tags(open(source, "rb").read()),
                            audio=True, video=False)
                mp4 = self.check_mp4(flv, source, samples, times, "Opus", "dOps", size=None)
                done = run("ffprobe", "-v", "error", "-of", "json", "-show_streams", mp4)
                stream = json.loads(done.stdout)["streams"][0]
                self.assertEqual((stream["channels"], stream["sample_rate"]), (channels, "48000"))
                info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["audio"]
                self.assertEqual(info["codecs"], "Opus")


class Mp4Ac3(unittest.TestCase, Mp4Output):
    def test_ac3(self):
        for channels in (2, 6):
            with self.subTest(channels=channels):
                source = path(f"src{channels}.ac3")
                done = run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=r=48000",
                           "-t", 2, "-ac", channels, "-c:a", "ac3", "-f", "ac3", source)
                self.assertEqual(done.returncode, 0, done.stderr)
                data = open(source, "rb").read()
                sizes = [p[1] for p in probe_packets(source)]
                samples = [data[sum(sizes[:i]):sum(sizes[:i + 1])] for i in range(len(sizes))]
                times = [p[0] for p in probe_packets(source)]
                flv = write(f"ac3{channels}.flv", eflv.ac3_tags(data, sizes), audio=True,
                            video=False)
                mp4 = self.check_mp4(flv, source, samples, times, "ac-3", "dac3", size=None)
                done = run("ffprobe", "-v", "error", "-of", "json", "-show_streams", mp4)
                self.assertEqual(json.loads(done.stdout)["streams"][0]["channels"], channels)
                info = json.loads(ok(cli("info", "--json", flv)).stdout)[0]["audio"]
                self.assertEqual(info["codecs"], "ac-3")
                # An entry made from a frame header: --json still names it.
                report = json.loads(ok(cli("copy", flv, "-o", path("r.mp4"), "--json")).stdout)
                (track,) = report["outputs"][0]["tracks"]
                self.assertEqual((track["codecs"], track["samples"]), ("ac-3", len(sizes)))
                self.assertIn("AC-3", track["codec"])


def sized_pictures(file):
    """(size, checksum) of every decoded picture at its own size."""
    err = run("ffmpeg", "-v", "info", "-nostats", "-i", file, "-map", "0:v", "-vf", "showinfo",
              "-f", "null", "-").stderr.decode()
    return re.findall(r"Parsed_showinfo.* n: *\d+ .* s:(\d+x\d+) .* checksum:([0-9A-F]+)", err)


class Mp4HevcEdit(unittest.TestCase):
    def test_cut_starts_on_a_sync_sample(self):
        data = quiet_encode("hevc", "src.hevc")
        flv = write("hevc.flv", eflv.hevc_tags(data, True))
        ok(cli("cut", flv, "--from", "1000", "-o", path("cut.mp4")))
        packets = probe_packets(path("cut.mp4"))
        self.assertTrue(packets[0][3])
        self.assertEqual(hashes(path("cut.mp4")), hashes(path("src.hevc"))[800 * FPS // 1000:])

    def test_join_of_two_sizes_has_two_entries(self):
        small = write("small.flv", eflv.hevc_tags(quiet_encode("hevc", "s.hevc"), True))
        large = write("large.flv",
                      eflv.hevc_tags(quiet_encode("hevc", "l.hevc", size="320x240"), True))
        ok(cli("join", small, large, "-o", path("j.mp4")))
        self.assertEqual(sample_entries(path("j.mp4")),
                         [[("hvc1", ["hvcC"], (160, 120)), ("hvc1", ["hvcC"], (320, 240))]])
        self.assertEqual(run("ffmpeg", "-v", "error", "-i", path("j.mp4"), "-f", "null",
                             "-").stderr, b"")
        got = sized_pictures(path("j.mp4"))
        self.assertEqual({size for size, _ in got}, {"160x120", "320x240"})
        self.assertEqual(got, sized_pictures(path("s.hevc")) + sized_pictures(path("l.hevc")))


def main():
    global BINARY, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("group")
    args = parser.parse_args()
    BINARY = args.binary
    if not shutil.which("ffmpeg") or not shutil.which("ffprobe"):
        print("ffmpeg/ffprobe missing")
        return 1 if os.environ.get("CI") == "true" else 77
    WORK = tempfile.mkdtemp(prefix="flvsplice-enhanced-")
    try:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(globals()[args.group])
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        if result.skipped and not result.failures and not result.errors:
            return 1 if os.environ.get("CI") == "true" else 77
        return 0 if result.wasSuccessful() else 1
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
