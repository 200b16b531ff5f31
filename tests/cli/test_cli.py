#!/usr/bin/env python3
"""Drives the built flvsplice binary and checks what it writes.

    test_cli.py --binary build/cli/flvsplice --sample samples/sample.flv [GROUP...]

GROUP names a TestCase class below without its "Tests" suffix (Info, Cut, ...).
Files are checked with a small FLV walker of our own and with ffprobe as an
independent reader; broken inputs are made by patching copies of the sample.
"""

import argparse
import errno
import hashlib
import json
import os
import pty
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

BINARY = SAMPLE = None


def run(*args, preexec=None, **kwargs):
    return subprocess.run([BINARY, *map(str, args)], capture_output=True, text=True,
                          preexec_fn=preexec, **kwargs)


def read_tags(path):
    """(type, timestamp, payload bytes) of every tag, script data included."""
    data = open(path, "rb").read()
    assert data[:3] == b"FLV", path
    offset = int.from_bytes(data[5:9], "big") + 4
    tags = []
    while offset + 11 <= len(data):
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        stamp = int.from_bytes(data[offset + 4:offset + 7], "big") | data[offset + 7] << 24
        tags.append((data[offset], stamp, data[offset + 11:offset + 11 + size]))
        offset += 11 + size + 4
    return tags


def av_tags(path, kind=None):
    return [t for t in read_tags(path) if t[0] in ((kind,) if kind else (8, 9))]


def patched(source, target, header_flags=None, tag_byte=None):
    """Copies source to target; header_flags replaces the type flags,
    tag_byte(type, first payload byte) -> new first byte rewrites payloads."""
    data = bytearray(open(source, "rb").read())
    if header_flags is not None:
        data[4] = header_flags
    offset = int.from_bytes(data[5:9], "big") + 4
    while tag_byte and offset + 11 < len(data):
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        if size:
            data[offset + 11] = tag_byte(data[offset], data[offset + 11])
        offset += 11 + size + 4
    open(target, "wb").write(data)
    return target


def ffprobe(path, *entries):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *entries, str(path)],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def digest(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="flvsplice-cli-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def ok(self, *args, **kwargs):
        result = run(*args, **kwargs)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def fails(self, code, *args, **kwargs):
        result = run(*args, **kwargs)
        self.assertEqual(result.returncode, code, result.stdout + result.stderr)
        self.assertNotIn("terminate", result.stderr)
        return result

    def info(self, path):
        (entry,) = json.loads(self.ok("info", path, "--json").stdout)
        return entry

    def assertNoTemporaries(self):
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".")], [])


class InfoTests(CliTest):
    def test_json_agrees_with_the_file_and_with_ffprobe(self):
        entry = self.info(SAMPLE)
        audio, video = av_tags(SAMPLE, 8), av_tags(SAMPLE, 9)
        self.assertEqual(entry["size"], os.path.getsize(SAMPLE))
        self.assertEqual(entry["header"], {"version": 1, "flags": 5, "audio": True, "video": True})
        self.assertEqual(entry["audio"]["tags"], len(audio))
        self.assertEqual(entry["audio"]["payload_bytes"], sum(len(t[2]) for t in audio))
        self.assertEqual(entry["video"]["frames"], len(video))
        self.assertEqual(entry["video"]["key_frames"], sum(t[2][0] >> 4 == 1 for t in video))
        self.assertEqual(entry["tags"], len(audio) + len(video))
        self.assertEqual(entry["payload_bytes"],
                         entry["audio"]["payload_bytes"] + entry["video"]["payload_bytes"])

        probe = ffprobe(SAMPLE, "-show_streams", "-show_format")
        streams = {s["codec_type"]: s for s in probe["streams"]}
        self.assertEqual((entry["audio"]["format"], entry["audio"]["format_id"]), ("MP3", 2))
        self.assertEqual(entry["audio"]["rate"], int(streams["audio"]["sample_rate"]))
        self.assertEqual(entry["audio"]["channels"], streams["audio"]["channels"])
        self.assertEqual((entry["video"]["codec"], entry["video"]["codec_id"]),
                         ("Sorenson H.263", 2))
        self.assertEqual((entry["video"]["width"], entry["video"]["height"]),
                         (streams["video"]["width"], streams["video"]["height"]))
        self.assertAlmostEqual(entry["video"]["frame_rate"], 25.0, delta=0.05)
        self.assertAlmostEqual(entry["duration"], float(probe["format"]["duration"]), delta=0.1)

    def test_json_of_h264_and_aac_reads_their_configurations(self):
        # High profile, level 1.3; AAC LC at 48 kHz mono, which the FLV
        # header's sound flags (44 kHz stereo for any AAC) cannot tell.
        fixture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures",
                               "avc_high_aac48.flv")
        entry = self.info(fixture)
        self.assertEqual({k: entry["video"].get(k) for k in ("codec_id", "profile", "level")},
                         {"codec_id": 7, "profile": "High", "level": 1.3})
        self.assertEqual({k: entry["audio"].get(k) for k in ("rate", "channels", "object_type")},
                         {"rate": 48000, "channels": 1, "object_type": 2})

    def test_several_files_make_one_document_and_a_bad_one_fails_alone(self):
        bad = self.path("bad.flv")
        open(bad, "wb").write(b"AVI\x01\x05\x00\x00\x00\x09" + bytes(4))
        result = self.fails(1, "info", SAMPLE, bad, SAMPLE, "--json")
        entries = json.loads(result.stdout)
        self.assertEqual([e["file"] for e in entries], [SAMPLE, bad, SAMPLE])
        self.assertEqual(entries[0], entries[2])
        self.assertEqual(entries[1]["error"]["code"], 9011)
        self.assertIn("FLVファイルではありません", entries[1]["error"]["message"])
        self.assertIn("error 9011", result.stderr)

    def test_text_names_codecs_and_picture_size(self):
        out = self.ok("info", SAMPLE).stdout
        for text in ("FLV version 1", "MP3 (id 2), 44100 Hz, 16-bit, stereo",
                     "Sorenson H.263 (id 2), 320 × 240", "150 frames, 13 key frames"):
            self.assertIn(text, out)


class CutTests(CliTest):
    def key_frame_times(self, path):
        packets = ffprobe(path, "-select_streams", "v", "-show_entries", "packet=pts_time,flags")
        return [round(float(p["pts_time"]) * 1000) for p in packets["packets"]
                if "K" in p["flags"]]

    def test_start_moves_back_to_the_key_frame_and_the_output_starts_at_zero(self):
        out = self.path("cut.flv")
        result = self.ok("cut", SAMPLE, "--from", "1.5s", "--to", "3000", "-o", out)
        kept = re.search(r"kept (\d+):(\d\d):(\d\d)\.(\d{3}) - (\d+):(\d\d):(\d\d)\.(\d{3})",
                         result.stdout)
        h, m, s, ms, h2, m2, s2, ms2 = map(int, kept.groups())
        start, end = ((h * 60 + m) * 60 + s) * 1000 + ms, ((h2 * 60 + m2) * 60 + s2) * 1000 + ms2
        keys = self.key_frame_times(SAMPLE)
        key = max(k for k in keys if k <= 1500)
        self.assertLess(key, 1500)  # the sample has no key frame at exactly 1.5 s
        # The run begins at the key frame or at the audio tag covering it.
        self.assertLessEqual(start, key)
        self.assertGreater(start, max(k for k in keys if k < key))
        self.assertGreaterEqual(end, 3000)

        tags = av_tags(out)
        self.assertEqual(min(t[1] for t in tags), 0)
        video = [t for t in tags if t[0] == 9]
        self.assertEqual(video[0][2][0] >> 4, 1, "the cut's video must begin with a key frame")
        self.assertAlmostEqual(self.info(out)["duration"] * 1000, end - start, delta=60)
        self.assertEqual(self.key_frame_times(out)[0], video[0][1])

    def test_every_time_form_gives_the_same_cut(self):
        outputs = []
        for i, (start, stop) in enumerate([("1500", "3000"), ("1.5s", "3s"),
                                           ("00:01.500", "0:00:03"), ("1500ms", "00:03.0")]):
            outputs.append(self.path(f"cut{i}.flv"))
            self.ok("cut", SAMPLE, "--from", start, "--to", stop, "-o", outputs[-1])
        self.assertEqual(len({digest(p) for p in outputs}), 1)
        self.assertNotEqual(digest(outputs[0]), digest(SAMPLE))

    def test_defaults_keep_everything(self):
        self.ok("cut", SAMPLE, "-o", self.path("all.flv"))
        self.ok("copy", SAMPLE, "-o", self.path("copy.flv"))
        self.assertEqual(digest(self.path("all.flv")), digest(self.path("copy.flv")))

    def test_library_refusals_exit_1_with_their_codes(self):
        for args, code, message in [
                (("--from", "5.9s"), 9023, "開始時間以降に映像データが無い"),
                (("--from", "3s", "--to", "1s"), 9022, "開始時間が終了時間より後")]:
            result = self.fails(1, "cut", SAMPLE, *args, "-o", self.path("x.flv"))
            self.assertIn(f"error {code}: ", result.stderr)
            self.assertIn(message, result.stderr)
            self.assertFalse(os.path.exists(self.path("x.flv")))


class JoinTests(CliTest):
    def test_join_holds_every_input_in_order(self):
        part = self.path("part.flv")
        self.ok("cut", SAMPLE, "--from", "2s", "--to", "4s", "-o", part)
        out = self.path("joined.flv")
        result = self.ok("join", SAMPLE, part, SAMPLE, "-o", out)
        self.assertIn("joined 3 files", result.stdout)

        # Every tag of every input, in order, but the leading audio frames
        # that keeping each input's audio/video sync leaves out (reported).
        payloads = [t[2] for t in av_tags(out)]
        expected = [t[2] for p in (SAMPLE, part, SAMPLE) for t in av_tags(p)]
        left_out = re.search(r"left out (\d+) audio frames?", result.stdout)
        self.assertEqual(len(expected) - len(payloads), int(left_out[1]) if left_out else 0)
        remaining = iter(expected)
        self.assertTrue(all(any(p == e for e in remaining) for p in payloads))
        self.assertEqual([t[2] for t in av_tags(out, 9)],
                         [t[2] for p in (SAMPLE, part, SAMPLE) for t in av_tags(p, 9)])
        stamps = [t[1] for t in av_tags(out, 9)]
        self.assertEqual(stamps, sorted(stamps), "one continuous timeline")
        total = sum(self.info(p)["duration"] for p in (SAMPLE, part, SAMPLE))
        self.assertAlmostEqual(self.info(out)["duration"], total, delta=0.15)
        probe = ffprobe(out, "-count_packets", "-show_streams")
        self.assertEqual(sorted(int(s["nb_read_packets"]) for s in probe["streams"]),
                         sorted([len(av_tags(out, 8)), len(av_tags(out, 9))]))

    def test_strict_refuses_a_different_format_that_a_plain_join_takes(self):
        mono = patched(SAMPLE, self.path("mono.flv"),
                       tag_byte=lambda kind, b: b & 0xFE if kind == 8 else b)
        self.ok("join", SAMPLE, mono, "-o", self.path("plain.flv"))
        result = self.fails(1, "join", SAMPLE, mono, "--strict", "-o", self.path("strict.flv"))
        self.assertIn("FLVファイルのフォーマットが異なるため結合できません。", result.stderr)
        self.assertIn("音声のステレオ/モノが異なります。", result.stderr)
        self.assertIn("error 9021: ", result.stderr)
        self.assertFalse(os.path.exists(self.path("strict.flv")))

    def test_a_missing_stream_is_refused(self):
        video_only = patched(SAMPLE, self.path("video-only.flv"), header_flags=0x01)
        result = self.fails(1, "join", SAMPLE, video_only, "-o", self.path("x.flv"))
        self.assertIn("片方のFLVファイルに音声データが無いため結合できません。", result.stderr)

    def test_more_inputs_than_the_soft_open_file_limit(self):
        piece = self.path("piece.flv")
        self.ok("cut", SAMPLE, "--to", "300", "-o", piece)
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard != resource.RLIM_INFINITY and hard < 200:
            self.skipTest(f"the hard open-file limit is {hard}")

        def low_soft_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (32, hard))

        out = self.path("many.mp3")
        self.ok("join", *[piece] * 100, "-o", out, "-q", preexec=low_soft_limit)
        # The pieces' audio one after another; a seam may leave out leading
        # audio frames of the piece after it.
        frames = [t[2][1:] for t in av_tags(piece, 8)]
        written, at = open(out, "rb").read(), 0
        for i in range(100):
            rests = [b"".join(frames[k:]) for k in range(1 if i == 0 else len(frames))]
            rest = next((r for r in rests if written.startswith(r, at)), None)
            self.assertIsNotNone(rest, f"piece {i} at byte {at}")
            at += len(rest)
        self.assertEqual(at, len(written))


class CopyTests(CliTest):
    def test_copy_reopens_with_the_same_content(self):
        out = self.path("copy.flv")
        self.ok("copy", SAMPLE, "-o", out)
        before, after = self.info(SAMPLE), self.info(out)
        for entry in (before, after):
            del entry["file"], entry["size"]
        self.assertEqual(after, before)
        self.assertEqual([t[2] for t in av_tags(out)], [t[2] for t in av_tags(SAMPLE)])
        scripts = [t for t in read_tags(out) if t[0] == 18]
        self.assertEqual(len(scripts), 1)
        self.assertIn(b"onMetaData", scripts[0][2])

    def test_the_extension_or_format_picks_the_writer(self):
        audio = b"".join(t[2][1:] for t in av_tags(SAMPLE, 8))
        for name, extra in [("a.mp3", ()), ("a.bin", ()), ("a.flv", ("--format", "audio"))]:
            self.ok("copy", SAMPLE, "-o", self.path(name), *extra)
            self.assertEqual(open(self.path(name), "rb").read(), audio, name)
        self.ok("copy", SAMPLE, "-o", self.path("reference.flv"))
        self.assertEqual(open(self.path("reference.flv"), "rb").read(3), b"FLV")
        for name, extra in [("b.FLV", ()), ("b.dat", ("--format", "flv"))]:
            self.ok("copy", SAMPLE, "-o", self.path(name), *extra)
            self.assertEqual(digest(self.path(name)), digest(self.path("reference.flv")), name)

        self.ok("copy", SAMPLE, "-o", self.path("v.avi"))
        (stream,) = ffprobe(self.path("v.avi"), "-count_frames", "-show_streams")["streams"]
        self.assertEqual((stream["codec_name"], stream["width"], stream["height"]),
                         ("flv1", 320, 240))
        self.assertEqual(int(stream["nb_read_frames"]), len(av_tags(SAMPLE, 9)))

    def test_a_writer_without_its_stream_is_refused(self):
        only = {}
        for stream, drop in (("video", "-an"), ("audio", "-vn")):
            only[stream] = self.path(stream + "-only.flv")
            subprocess.run(["ffmpeg", "-v", "error", "-i", SAMPLE, drop, "-c", "copy",
                            only[stream]], check=True)
        entry = self.info(only["audio"])
        self.assertIsNone(entry["video"])
        self.assertEqual(entry["header"]["flags"], 4)
        result = self.fails(1, "copy", only["audio"], "-o", self.path("x.avi"))
        self.assertIn("no video", result.stderr)
        result = self.fails(1, "copy", only["video"], "-o", self.path("x.mp3"))
        self.assertIn("no audio", result.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["audio-only.flv", "video-only.flv"])

    def test_index_only_for_flv_and_info_judges_it(self):
        plain, indexed = self.path("plain.flv"), self.path("indexed.flv")
        self.ok("copy", SAMPLE, "-o", plain, "-q")
        self.ok("cut", SAMPLE, "--from", "1s", "-o", indexed, "--index", "-q")
        self.assertEqual(self.info(plain)["index"]["present"], False)
        index = self.info(indexed)["index"]
        self.assertEqual((index["present"], index["consistent"]), (True, True), index)
        self.assertEqual(index["entries"], self.info(indexed)["video"]["key_frames"])
        self.assertIn("agrees with the file", self.ok("info", indexed).stdout)
        for out in ("x.avi", "x.mp3"):
            self.fails(2, "copy", SAMPLE, "-o", self.path(out), "--index")
            self.assertFalse(os.path.exists(self.path(out)))
        self.fails(2, "copy", SAMPLE, "-o", self.path("y.flv"), "--format", "audio", "--index")

    def test_avi_refuses_codecs_it_cannot_carry(self):
        screen = patched(SAMPLE, self.path("screen.flv"),
                         tag_byte=lambda kind, b: (b & 0xF0) | 3 if kind == 9 else b)
        result = self.fails(1, "copy", screen, "-o", self.path("x.avi"))
        self.assertIn("error 9025: ", result.stderr)
        self.assertFalse(os.path.exists(self.path("x.avi")))
        self.assertNoTemporaries()


    def test_mp4_options_need_mp4_output_and_a_stream_to_write(self):
        for args in (["-o", "x.avi", "--no-audio"], ["-o", "x.avi", "--split-on-change"],
                     ["-o", "x.flv", "--fragmented"],
                     ["-o", "x.m4a", "--no-audio"], ["-o", "x.flv", "--no-audio", "--no-video"],
                     ["-o", "x.aac", "--fragmented"]):
            with self.subTest(args):
                self.fails(2, "copy", SAMPLE, *[self.path(a) if a.startswith("x.") else a
                                                for a in args])
        self.assertEqual(os.listdir(self.dir), [])
        # An FLV output leaves a stream out as the MP4 does: the header, the
        # metadata and the tags say the same.
        for flag, kept in (("--no-video", "audio"), ("--no-audio", "video")):
            out = self.path(kept + ".flv")
            self.assertEqual(run("copy", SAMPLE, flag, "-o", out).returncode, 0)
            with open(out, "rb") as f:
                self.assertEqual(f.read(5)[4], 4 if kept == "audio" else 1)
            info = json.loads(run("info", "--json", out).stdout)[0]
            self.assertEqual([k for k in ("audio", "video") if info[k]], [kept])
            os.remove(out)
        # The sample's H.263 has no MP4 form: refused, nothing written; its
        # MP3 alone is written.
        result = self.fails(1, "copy", SAMPLE, "-o", self.path("x.mp4"))
        self.assertIn("error 9040: ", result.stderr)
        self.assertIn("--no-video", result.stderr)
        self.assertFalse(os.path.exists(self.path("x.mp4")))
        self.assertNoTemporaries()
        self.ok("copy", SAMPLE, "-o", self.path("x.mp4"), "--no-video", "--split-on-change", "-q")
        with open(self.path("x.mp4"), "rb") as f:
            head = f.read(64)
        self.assertEqual(head[4:8], b"ftyp")
        self.assertIn(b"moov", head)
        self.assertEqual(sorted(os.listdir(self.dir)), ["x.mp4"])


class ReportTests(CliTest):
    """copy, cut and join --json against ffprobe's view of what they wrote."""

    def fixture(self, name):
        return os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures",
                            name + ".flv")

    def report(self, *args, status=0):
        # stdout must be UTF-8 JSON; stderr quotes file names with their own bytes.
        result = subprocess.run([BINARY, *args, "--json"], capture_output=True)
        stderr = result.stderr.decode(errors="surrogateescape")
        self.assertEqual(result.returncode, status, stderr)
        report = json.loads(result.stdout.decode())
        self.assertEqual(report["status"], status)
        return report, stderr

    def assertTracksAgree(self, output):
        probed = ffprobe(output["file"], "-count_packets", "-show_streams")["streams"]
        kind = "tracks" if output["format"] == "mp4" else "streams"
        count = "samples" if kind == "tracks" else "frames"
        self.assertEqual([t["kind"] for t in output[kind]], [s["codec_type"] for s in probed])
        for ours, theirs in zip(output[kind], probed):
            self.assertEqual(ours[count], int(theirs["nb_read_packets"]), ours["kind"])
            if kind == "tracks":
                self.assertAlmostEqual(ours["duration"], float(theirs["duration"]), delta=0.001)
                self.assertAlmostEqual(ours["start"], float(theirs["start_time"]), delta=0.001)
            if ours["kind"] == "video":
                last = ours["configurations"][-1]
                self.assertEqual((last["width"], last["height"]),
                                 (theirs["width"], theirs["height"]))

    def test_mp4_and_flv_outputs_as_ffprobe_reads_them(self):
        source = self.fixture("avc_high_aac48")
        (entry,) = json.loads(self.ok("info", source, "--json").stdout)
        for command, out in (("copy", "c.mp4"), ("cut", "k.mp4"), ("copy", "c.flv")):
            with self.subTest(out):
                extra = ["--from", "1s"] if command == "cut" else []
                report, _ = self.report(command, source, *extra, "-o", self.path(out))
                (output,) = report["outputs"]
                self.assertEqual(output["size"], os.path.getsize(self.path(out)))
                self.assertTracksAgree(output)
                kind = "tracks" if out.endswith(".mp4") else "streams"
                self.assertEqual([t["codecs"] for t in output[kind]],
                                 [entry["video"]["codecs"], entry["audio"]["codecs"]])
                if command == "cut":
                    self.assertLessEqual(report["kept"]["from"], 1.0)
        report, _ = self.report("copy", source, "-o", self.path("f.mp4"), "--fragmented")
        (output,) = report["outputs"]
        self.assertTrue(output["fragmented"])
        probed = ffprobe(output["file"], "-count_packets", "-show_streams")["streams"]
        self.assertEqual([t["samples"] for t in output["tracks"]],
                         [int(s["nb_read_packets"]) for s in probed])

    def test_configuration_change_split_and_left_out_streams(self):
        small, large = self.fixture("avc_640x360_aac"), self.fixture("avc_1280x720_aac")
        joined = self.path("j.mp4")
        text = self.ok("join", small, large, "-o", joined).stderr
        self.assertRegex(text, r"video \(now 1280x720\) decoder configuration changes at "
                               r"0:00:0\d\.\d{3}.*--split-on-change")
        report, _ = self.report("join", small, large, "-o", joined)
        (warning,) = [w for w in report["warnings"] if w["stream"] == "video"]
        self.assertEqual((warning["kind"], warning["remedy"]),
                         ("configuration_change", "--split-on-change"))
        (video,) = [t for t in report["outputs"][0]["tracks"] if t["kind"] == "video"]
        first_part = int(ffprobe(small, "-count_packets", "-show_streams", "-select_streams",
                                 "v")["streams"][0]["nb_read_packets"])
        self.assertEqual([(c["first_sample"], c["width"]) for c in video["configurations"]],
                         [(0, 640), (first_part, 1280)])
        self.assertAlmostEqual(video["configurations"][1]["from"], warning["at"], delta=0.05)

        report, _ = self.report("join", small, large, "-o", self.path("s.mp4"),
                                "--split-on-change")
        self.assertEqual([(o["part"], o["parts"]) for o in report["outputs"]], [(1, 2), (2, 2)])
        self.assertEqual(report["warnings"], [])
        for output in report["outputs"]:
            self.assertTracksAgree(output)

        report, _ = self.report("copy", large, "-o", self.path("a.m4a"))
        self.assertEqual([t["kind"] for t in report["outputs"][0]["tracks"]], ["audio"])
        self.assertEqual(report["outputs"][0]["left_out"][0]["kind"], "video")

    def test_failures_carry_the_error_chain(self):
        # A name that is not UTF-8 still gives valid JSON.
        out = self.path(os.fsdecode(b"h263\xfe.mp4"))
        report, stderr = self.report("copy", self.fixture("h263_352x288_mp3"), "-o", out,
                                     status=1)
        self.assertEqual(report["outputs"], [])
        (error,) = report["errors"]
        self.assertEqual(error["code"], 9040)
        self.assertIn("h263\ufffd.mp4", error["message"])
        self.assertIn("H.263", error["chain"][0]["message"])
        self.assertIn(error["chain"][0]["message"], stderr)
        self.assertFalse(os.path.exists(out))
        report, _ = self.report("copy", self.path("missing.flv"), "-o", out, status=1)
        self.assertNotEqual(report["errors"][0]["chain"], [])


class UsageTests(CliTest):
    def test_usage_errors_exit_2_with_a_usage_line(self):
        out = self.path("x.flv")
        for args in [(), ("frob",), ("cut", SAMPLE), ("cut", SAMPLE, "--from", "1:75", "-o", out),
                     ("cut", SAMPLE, "--to", "-5", "-o", out), ("join", SAMPLE, "-o", out),
                     ("copy", SAMPLE, "-o", out, "--format", "mkv"), ("info",),
                     ("info", SAMPLE, "--frob"), ("copy", SAMPLE, SAMPLE, "-o", out)]:
            result = self.fails(2, *args)
            self.assertRegex(result.stderr, r"(?m)^usage: flvsplice", args)
        self.assertFalse(os.path.exists(out))

    def test_help_version_and_quiet(self):
        for command in ("info", "cut", "join", "copy"):
            self.assertIn("Usage: flvsplice " + command, self.ok(command, "--help").stdout)
        self.assertRegex(self.ok("--version").stdout, r"^flvsplice \d+\.\d+\.\d+\n$")
        loud = self.ok("cut", SAMPLE, "--to", "1s", "-o", self.path("a.flv"))
        self.assertIn("wrote ", loud.stdout)
        for args in (("-q", "cut"), ("cut", "--quiet")):
            quiet = self.ok(*args, SAMPLE, "--to", "1s", "-o", self.path("b.flv"))
            self.assertEqual(quiet.stdout + quiet.stderr, "")
        self.assertEqual(digest(self.path("a.flv")), digest(self.path("b.flv")))


class ErrorsTests(CliTest):
    def test_unreadable_inputs_report_text_code_and_hint(self):
        missing = self.path("missing.flv")
        avc = patched(SAMPLE, self.path("avc.flv"),
                      tag_byte=lambda kind, b: (b & 0xF0) | 1 if kind == 9 else b)
        for path, code, message in [(missing, 9001, "FLVファイルOPEN時にエラーが発生しました。"),
                                    (avc, 9013, "FLVタグロード時にエラーが発生しました。")]:
            result = self.fails(1, "copy", path, "-o", self.path("out.flv"))
            self.assertIn(f"cannot open '{path}'", result.stderr)
            self.assertIn(message, result.stderr)
            self.assertRegex(result.stderr, rf"(?m)^error {code}: \w.+\.$")
        self.assertIn("No such file or directory", run("info", missing).stderr)

    def test_an_output_directory_that_does_not_exist(self):
        result = self.fails(1, "copy", SAMPLE, "-o", self.path("no/such/dir/out.flv"))
        self.assertIn("No such file or directory", result.stderr)


class SalvageTests(CliTest):
    def damaged(self, name, size):
        path = self.path(name)
        with open(SAMPLE, "rb") as source, open(path, "wb") as out:
            out.write(source.read(size))
        return path

    def test_check_lists_the_damage_and_exits_1_a_clean_file_0(self):
        self.ok("check", SAMPLE)
        cut = self.damaged("cut.flv", 300000)
        result = self.fails(1, "check", cut, SAMPLE)
        self.assertRegex(result.stdout, r"offset \d+, tag \d+, .*truncated-tail .*-> dropped")
        (entry, clean) = json.loads(self.fails(1, "check", cut, SAMPLE, "--json").stdout)
        self.assertTrue(clean["clean"])
        self.assertEqual([p["kind"] for p in entry["problems"]], ["truncated-tail"])
        # The damage starts at the last tag's header, inside the file.
        offset = entry["problems"][0]["offset"]
        tags = av_tags(SAMPLE)
        self.assertLess(offset, 300000)
        self.assertGreater(offset + 11 + 4 + max(len(t[2]) for t in tags), 300000)

    def test_repair_writes_the_readable_tags_and_other_commands_point_to_it(self):
        cut = self.damaged("cut.flv", 300000)
        hint = self.fails(1, "info", cut)
        self.assertIn("flvsplice repair", hint.stderr)
        result = self.ok("repair", cut, "-o", self.path("fixed.flv"))
        self.assertIn("fixed: offset", result.stdout)
        fixed = av_tags(self.path("fixed.flv"))
        whole = av_tags(SAMPLE)
        self.assertEqual([t[2] for t in fixed], [t[2] for t in whole[:len(fixed)]])
        self.assertGreater(len(fixed), len(whole) * 3 // 4)
        self.ok("check", self.path("fixed.flv"))
        self.ok("copy", self.path("fixed.flv"), "-o", self.path("copy.flv"))
        self.assertNoTemporaries()

    def test_nothing_salvageable_exits_1_and_writes_nothing(self):
        garbage = self.path("garbage.flv")
        with open(garbage, "wb") as out:
            out.write(b"FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00" + bytes(range(256)) * 400)
        self.fails(1, "check", garbage)
        self.fails(1, "repair", garbage, "-o", self.path("out.flv"))
        self.assertFalse(os.path.exists(self.path("out.flv")))
        self.fails(2, "repair", garbage)


class PathsTests(CliTest):
    def run_bytes(self, *args):
        return subprocess.run([os.fsencode(BINARY), *args], capture_output=True)

    def test_names_that_are_not_utf8(self):
        folder = os.path.join(os.fsencode(self.dir), b"d\xe9p\xf4t")
        os.mkdir(folder)
        source = os.path.join(folder, b"caf\xe9 \xff.flv")
        shutil.copy(SAMPLE, source)
        out = os.path.join(folder, b"sortie\xe9.flv")

        text = self.run_bytes(b"info", source)
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertTrue(text.stdout.startswith(source + b"  ("), text.stdout[:80])

        listing = self.run_bytes(b"info", source, b"--json")
        self.assertEqual(listing.returncode, 0, listing.stderr)
        (entry,) = json.loads(listing.stdout.decode("utf-8"))
        self.assertTrue(entry["file"].endswith("/d\ufffdp\ufffdt/caf\ufffd \ufffd.flv"),
                        entry["file"])
        self.assertEqual(entry["tags"], len(av_tags(SAMPLE)))

        copy = self.run_bytes(b"copy", source, b"-o", out)
        self.assertEqual(copy.returncode, 0, copy.stderr)
        self.assertIn(b"wrote " + out, copy.stdout)
        self.assertEqual([t[2] for t in av_tags(out)], [t[2] for t in av_tags(SAMPLE)])
        self.assertEqual(sorted(os.listdir(folder)), sorted([os.path.basename(source),
                                                             os.path.basename(out)]))

        # A failure names the file in its own bytes and still gives JSON.
        missing = os.path.join(folder, b"manqu\xe9.flv")
        failed = self.run_bytes(b"info", missing, b"--json")
        self.assertEqual(failed.returncode, 1, failed.stderr)
        self.assertIn(b"cannot open '" + missing + b"'", failed.stderr)
        (entry,) = json.loads(failed.stdout.decode("utf-8"))
        self.assertEqual(entry["error"]["code"], 9001)
        self.assertTrue(entry["file"].endswith("/manqu\ufffd.flv"), entry["file"])


class AtomicTests(CliTest):
    def old_output(self, name, mode=0o640):
        path = self.path(name)
        open(path, "wb").write(b"old content")
        os.chmod(path, mode)
        return path

    def test_input_truncated_inside_a_tag(self):
        data = open(SAMPLE, "rb").read()
        truncated = self.path("truncated.flv")
        open(truncated, "wb").write(data[:len(data) // 2])
        old = self.old_output("old.flv")
        for out in (old, self.path("new.flv")):
            result = self.fails(1, "copy", truncated, "-o", out)
            self.assertIn("error 9005: ", result.stderr)
        self.assertEqual(open(old, "rb").read(), b"old content")
        self.assertFalse(os.path.exists(self.path("new.flv")))
        self.assertNoTemporaries()

    def test_a_failing_write_leaves_the_output_as_it_was(self):
        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))

        # SaveAs reports a result code (9020 when a tag's write fails, 9026
        # when bytes still buffered or waiting to be copied fail at the end);
        # the AVI and audio writers throw.
        for name, expected in [("o.flv", "File too large"), ("o.avi", "File too large"),
                               ("o.mp3", "File too large")]:
            for out in (self.old_output(name), self.path("new-" + name)):
                result = self.fails(1, "copy", SAMPLE, "-o", out, preexec=small_files)
                self.assertIn(expected, result.stderr)
                if name == "o.flv":
                    self.assertRegex(result.stderr, "error 90(20|26): ")
            self.assertEqual(open(self.path(name), "rb").read(), b"old content")
            self.assertFalse(os.path.exists(self.path("new-" + name)))
        self.assertNoTemporaries()

    def test_success_replaces_the_output_and_keeps_its_mode(self):
        old = self.old_output("out.flv", 0o604)
        self.ok("copy", SAMPLE, "-o", old)
        self.assertEqual(os.stat(old).st_mode & 0o777, 0o604)
        self.assertEqual(open(old, "rb").read(3), b"FLV")
        self.assertNoTemporaries()

    def test_an_output_that_is_an_input_is_refused(self):
        source = self.path("in.flv")
        shutil.copy(SAMPLE, source)
        os.link(source, self.path("hard.flv"))
        os.symlink(source, self.path("soft.flv"))
        before = digest(source)
        for args in [("copy", source, "-o", source),
                     ("copy", source, "-o", self.path("hard.flv")),
                     ("cut", self.path("soft.flv"), "-o", source),
                     ("join", SAMPLE, source, "-o", self.path("soft.flv")),
                     ("copy", source, "-o", self.path(".") + "/in.flv")]:
            result = self.fails(1, *args)
            self.assertIn("is the input", result.stderr)
        self.assertEqual(digest(source), before)
        self.assertTrue(os.path.islink(self.path("soft.flv")))
        self.assertNoTemporaries()

    def test_an_output_that_is_a_directory_is_refused(self):
        os.mkdir(self.path("dir.flv"))
        result = self.fails(1, "copy", SAMPLE, "-o", self.path("dir.flv"))
        self.assertIn("not a regular file", result.stderr)


class InterruptTests(CliTest):
    def run_on_terminal(self, args, interrupt):
        """Runs the command with stderr on a pseudo-terminal. With interrupt,
        the terminal is filled first, so the first progress report blocks in
        its write until SIGINT has been sent; the write cannot finish first."""
        master, slave = pty.openpty()
        tty.setraw(slave)
        if interrupt:
            filler = os.open(os.ttyname(slave), os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY)
            try:
                while True:
                    os.write(filler, b"\0")
            except BlockingIOError:
                pass
            os.close(filler)
        process = subprocess.Popen([BINARY, *args], stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        if interrupt:
            # The temporary output exists once the write is about to begin.
            deadline = time.monotonic() + 60
            while not any(n.startswith(".") for n in os.listdir(self.dir)):
                self.assertIsNone(process.poll(), "the command ended before it wrote")
                self.assertLess(time.monotonic(), deadline, "no temporary output appeared")
                time.sleep(0.01)
            process.send_signal(signal.SIGINT)
        chunks = []

        def drain():
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError as e:  # EIO once the command has closed the terminal
                    self.assertEqual(e.errno, errno.EIO)
                    return
                if not chunk:
                    return
                chunks.append(chunk)

        reader = threading.Thread(target=drain)
        reader.start()
        process.wait(timeout=120)
        reader.join()
        os.close(master)
        return process.returncode, b"".join(chunks).replace(b"\0", b"").decode()

    def test_sigint_during_a_write_exits_130_and_writes_nothing(self):
        tags = len(av_tags(SAMPLE))
        old = self.path("old.flv")
        open(old, "wb").write(b"old content")
        for out in (old, self.path("new.flv")):
            code, terminal = self.run_on_terminal(["copy", SAMPLE, "-o", out], interrupt=True)
            self.assertEqual(code, 130, terminal)
            self.assertIn(f"1/{tags} tags", terminal)  # the progress report that stopped it
            self.assertNotIn("100%", terminal)
            self.assertIn("interrupted", terminal)
        self.assertEqual(open(old, "rb").read(), b"old content")
        self.assertFalse(os.path.exists(self.path("new.flv")))
        self.assertNoTemporaries()

    def test_progress_shows_on_a_terminal_only(self):
        tags = len(av_tags(SAMPLE))
        code, terminal = self.run_on_terminal(["copy", SAMPLE, "-o", self.path("a.flv")], False)
        self.assertEqual(code, 0)
        self.assertRegex(terminal, rf"100% \[#+\] {tags}/{tags} tags +\S+ \S*B +\S+ \S*B/s")
        piped = self.ok("copy", SAMPLE, "-o", self.path("b.flv"))
        self.assertNotIn("tags", piped.stderr)
        code, terminal = self.run_on_terminal(["-q", "copy", SAMPLE, "-o", self.path("c.flv")],
                                              False)
        self.assertEqual((code, terminal), (0, ""))


def main():
    global BINARY, SAMPLE
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("groups", nargs="*")
    options = parser.parse_args()
    BINARY, SAMPLE = os.path.abspath(options.binary), os.path.abspath(options.sample)
    loader = unittest.TestLoader()
    module = sys.modules[__name__]
    names = [g + "Tests" for g in options.groups] or [
        n for n in dir(module) if n.endswith("Tests")]
    suite = unittest.TestSuite(loader.loadTestsFromTestCase(getattr(module, n)) for n in names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
