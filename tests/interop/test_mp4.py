#!/usr/bin/env python3
"""MP4 output of flvsplice judged by ffprobe and ffmpeg.

    test_mp4.py --binary B --fixtures DIR GROUP

GROUP is one of Mp4Copy, Mp4Cut, Mp4Join, Mp4Fragmented, Mp4Refuse, Mp4Info. Each MP4 is
compared with the FLV that the same command writes (or the fixture itself):
the same packets (ffprobe's data hashes, decode and presentation times
within 1 ms) and the same decoded frames, with ffmpeg printing nothing;
MediaInfo reads every MP4 written without complaint, finds the index before
the data (streamable) and counts the same frames. A judge that is missing
skips the group (exit 77), or fails it when CI=true.
"""

import functools
import glob
import http.server
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import unittest
import urllib.parse

sys.dont_write_bytecode = True
import test_interop as base  # noqa: E402
from test_interop import cli, frames, output, read_tags, source, tool  # noqa: E402

AVC_AAC = ["avc_base_aac44", "avc_high_aac48", "avc_opengop_aac", "avc_640x360_aac",
           "avc_1280x720_aac"]


def packets(path):
    """{stream kind: [(pts, dts, size, hash)]} as ffprobe reads the file."""
    doc = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-show_streams",
                          "-show_packets", "-show_data_hash", "md5", path)[0])
    kinds = {s["index"]: s["codec_type"] for s in doc["streams"]}
    out = {}
    for p in doc["packets"]:
        out.setdefault(kinds[p["stream_index"]], []).append(
            (float(p["pts_time"]), float(p["dts_time"]), int(p["size"]), p["data_hash"],
             "K" in p["flags"]))
    return out


def sized_pictures(path):
    """(size, checksum) of every decoded picture, each at its own size (the
    first filter sees the decoder's frames before any scaling), and the
    decoder's complaints."""
    err = tool("ffmpeg", "-v", "info", "-nostats", "-i", path, "-map", "0:v", "-vf", "showinfo",
               "-f", "null", "-")[1]
    shown = [line for line in err.splitlines() if "Parsed_showinfo" in line and " n:" in line]
    pictures = [(re.search(r" s:(\d+x\d+)", line).group(1),
                 re.search(r" checksum:([0-9A-F]+)", line).group(1)) for line in shown]
    return pictures


# MediaInfo's format names for ffprobe's codec names.
MEDIAINFO_FORMATS = {"h264": "AVC", "aac": "AAC", "mp3": "MPEG Audio"}


def mediainfo(path):
    """MediaInfo's tracks of the file; it must print nothing on stderr."""
    out, err = tool("mediainfo", "--Output=JSON", path)
    if err:
        raise AssertionError(f"mediainfo {path}: {err}")
    return json.loads(out)["media"]["track"]


def top_level_boxes(path):
    kinds, at, size = [], 0, os.path.getsize(path)
    with open(path, "rb") as f:
        while at + 8 <= size:
            f.seek(at)
            length, kind = int.from_bytes(f.read(4), "big"), f.read(4).decode("latin-1")
            if length == 1:
                length = int.from_bytes(f.read(8), "big")
            kinds.append(kind)
            at += max(length, 8)
    return kinds


class Judged(unittest.TestCase):
    def assertMediaInfoAgrees(self, mp4):
        """MediaInfo takes the file for a streamable MP4 with ffprobe's streams and frames."""
        tracks = mediainfo(mp4)
        general = tracks[0]
        self.assertEqual(general["Format"], "MPEG-4")
        self.assertEqual(general.get("IsStreamable"), "Yes", "the index comes before the data")
        flat = json.dumps(tracks).lower()
        for complaint in ("conformance", "error", "warning", "truncated"):
            self.assertNotIn(complaint, flat, f"MediaInfo complains about {mp4}")
        doc = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-count_packets",
                              "-show_streams", mp4)[0])
        fragmented = "moof" in top_level_boxes(mp4)
        self.assertEqual(sorted((t["@type"], t["Format"]) for t in tracks[1:]),
                         sorted((s["codec_type"].capitalize(), MEDIAINFO_FORMATS[s["codec_name"]])
                                for s in doc["streams"]))
        for stream in doc["streams"]:
            (track,) = [t for t in tracks[1:] if t["@type"].lower() == stream["codec_type"]]
            # Times of the index's samples (Source_* when an edit list moves
            # them); the two read the times of fragments differently.
            if not fragmented:
                self.assertAlmostEqual(float(track.get("Source_Duration", track["Duration"])),
                                       float(stream["duration"]), delta=0.0015)
                # Source_Delay is in milliseconds, Delay in seconds.
                delay = track.get("extra", {}).get("Source_Delay")
                delay = float(delay) / 1000 if delay is not None else float(track.get("Delay", 0))
                self.assertAlmostEqual(delay, float(stream["start_time"]), delta=0.0015)
            if stream["codec_type"] == "audio":
                self.assertEqual(track.get("Source_FrameCount", track.get("FrameCount")),
                                 stream["nb_read_packets"])

    def assertSamePackets(self, flv, mp4, kinds=("video", "audio")):
        theirs, ours = packets(flv), packets(mp4)
        for kind in kinds:
            a, b = theirs.get(kind, []), ours.get(kind, [])
            self.assertEqual(len(a), len(b), f"{kind} packets")
            for i, (x, y) in enumerate(zip(a, b)):
                self.assertEqual(x[2:4], y[2:4], f"{kind} packet {i}: bytes")
                self.assertAlmostEqual(x[0], y[0], delta=0.001, msg=f"{kind} {i} pts")
                self.assertAlmostEqual(x[1], y[1], delta=0.001, msg=f"{kind} {i} dts")
        self.assertEqual(set(ours), {k for k in kinds if k in theirs})
        return ours

    def assertSameFrames(self, flv, mp4, kinds=("video", "audio")):
        for kind in kinds:
            want, _ = frames(flv, kind)
            got, err = frames(mp4, kind)
            self.assertEqual(err, "", f"{kind}: ffmpeg complained")
            self.assertEqual(got, want, f"{kind} frames")

    def write(self, *args):
        done = cli(*args)
        self.assertEqual(done.returncode, 0, done.stderr)
        written = args[args.index("-o") + 1] if "-o" in args else ""
        if written.endswith((".mp4", ".m4a")):
            for part in [written] + sorted(glob.glob(written[:-4] + "-[0-9]*" + written[-4:])):
                self.assertMediaInfoAgrees(part)
        return done


class Mp4CopyTests(Judged):
    def test_copy_keeps_every_packet_and_frame(self):
        for name in AVC_AAC + ["avc_mp3", "aac"]:
            with self.subTest(name):
                mp4 = output(name + ".mp4")
                self.write("copy", source(name), "-o", mp4)
                self.assertSamePackets(source(name), mp4)
                kinds = ("video", "audio") if name != "aac" else ("audio",)
                self.assertSameFrames(source(name), mp4, kinds)
                self.assertEqual(tool("ffmpeg", "-v", "error", "-i", mp4, "-f", "null", "-")[1],
                                 "")

    def test_m4a_and_no_video_write_the_audio_alone(self):
        for name, args in (("avc_high_aac48", ["-o", output("a.m4a")]),
                           ("h263_160x120_aac", ["-o", output("b.mp4"), "--no-video"])):
            with self.subTest(name):
                self.write("copy", source(name), *args)
                self.assertSamePackets(source(name), args[1], ("audio",))
                self.assertSameFrames(source(name), args[1], ("audio",))


class Mp4CutTests(Judged):
    def test_cut_starts_on_a_sync_sample_and_matches_the_flv_cut(self):
        for name, start, end in (("avc_high_aac48", 900, 1700), ("avc_opengop_aac", 1000, None),
                                 ("avc_mp3", 300, 800)):
            with self.subTest(name):
                flv, mp4 = output(name + "-cut.flv"), output(name + "-cut.mp4")
                to = ["--to", end] if end else []
                self.write("cut", source(name), "--from", start, *to, "-o", flv)
                self.write("cut", source(name), "--from", start, *to, "-o", mp4)
                ours = self.assertSamePackets(flv, mp4)
                self.assertTrue(ours["video"][0][4], "the first video sample is a sync sample")
                self.assertSameFrames(flv, mp4)
                # The movie lasts until its last frame has been shown.
                reported, end, _ = durations(mp4)
                self.assertGreaterEqual(reported, end - 0.001)


class Mp4JoinTests(Judged):
    def test_join_matches_the_flv_join(self):
        flv, mp4 = output("j.flv"), output("j.mp4")
        inputs = [source("avc_high_aac48"), source("avc_high_aac48")]
        self.write("join", *inputs, "-o", flv)
        self.write("join", *inputs, "-o", mp4)
        self.assertSamePackets(flv, mp4)
        self.assertSameFrames(flv, mp4)

    def test_changed_configuration_decodes_at_both_sizes(self):
        small, large = source("avc_640x360_aac"), source("avc_1280x720_aac")
        mp4 = output("sizes.mp4")
        done = self.write("join", small, large, "-o", mp4)
        self.assertIn("decoder configuration changes", done.stderr)
        self.write("join", small, large, "-o", output("sizes.flv"))
        self.assertSamePackets(output("sizes.flv"), mp4)
        self.assertEqual(tool("ffmpeg", "-v", "error", "-i", mp4, "-f", "null", "-")[1], "")
        # Every picture as each input alone decodes it, at its own size.
        got = sized_pictures(mp4)
        self.assertEqual({size for size, _ in got}, {"640x360", "1280x720"})
        self.assertEqual(got, sized_pictures(small) + sized_pictures(large))


    def test_split_on_change_writes_one_playable_file_per_configuration(self):
        small, large = source("avc_640x360_aac"), source("avc_1280x720_aac")
        mp4, flv = output("split.mp4"), output("split.flv")
        self.write("join", small, large, "-o", mp4, "--split-on-change")
        self.write("join", small, large, "-o", flv)
        parts = [mp4, output("split-2.mp4")]
        self.assertFalse(os.path.exists(output("split-3.mp4")))
        for part, alone in zip(parts, (small, large)):
            self.assertEqual(tool("ffmpeg", "-v", "error", "-i", part, "-f", "null", "-")[1], "")
            self.assertEqual(sized_pictures(part), sized_pictures(alone))
        # Together the parts hold every packet of the joined FLV, each part's
        # timeline starting at 0 with the audio/video distance kept.
        joined = packets(flv)
        first, second = packets(parts[0]), packets(parts[1])
        seam = joined["video"][len(first["video"])][1]  # the second part's first decode time
        for kind in ("video", "audio"):
            self.assertEqual([p[2:4] for p in first[kind] + second[kind]],
                             [p[2:4] for p in joined[kind]], kind)
            for theirs, ours in zip(joined[kind][len(first[kind]):], second[kind]):
                self.assertAlmostEqual(theirs[1] - seam, ours[1], delta=0.001)


def durations(path):
    """ffprobe's duration of the file (None when it reports none), the end of
    its last packet and the start of its video, in seconds."""
    doc = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-show_format",
                          "-show_entries", "packet=pts_time,duration_time:stream=start_time",
                          "-select_streams", "v", path)[0])
    value = doc["format"].get("duration")
    end = max(float(p["pts_time"]) + float(p["duration_time"]) for p in doc["packets"])
    return (float(value) if value not in (None, "N/A") else None, end,
            float(doc["streams"][0]["start_time"]))


class Mp4FragmentedTests(Judged):
    def assertPlayable(self, mp4):
        self.assertEqual(tool("ffmpeg", "-v", "error", "-i", mp4, "-f", "null", "-")[1], "")
        # The duration comes from the sidx without reading the fragments;
        # ffprobe adds the video's start (its first composition offset) to
        # the end the sidx gives.
        reported, end, start = durations(mp4)
        self.assertIsNotNone(reported)
        self.assertGreaterEqual(reported, end - 0.05)
        self.assertLessEqual(reported, end + start + 0.001)
        if shutil.which("mediainfo"):
            out, err = tool("mediainfo", "--Output=JSON", mp4)
            self.assertEqual(err, "")
            tracks = {t["@type"]: t for t in json.loads(out)["media"]["track"]}
            self.assertEqual(tracks["Video"]["Format"], "AVC")
            self.assertAlmostEqual(float(tracks["General"]["Duration"]), end, delta=0.1 + start)

    def test_copy_and_cut_keep_every_packet_and_frame(self):
        for name, start, end in (("avc_high_aac48", None, None), ("avc_opengop_aac", None, None),
                                 ("avc_base_aac44", None, None), ("avc_high_aac48", 900, 1700),
                                 ("avc_opengop_aac", 1000, None)):
            with self.subTest(f"{name} from {start}"):
                flv, mp4 = output(f"{name}-{start}.flv"), output(f"{name}-{start}.mp4")
                cut = ["cut", source(name), "--from", start] if start else ["copy", source(name)]
                to = ["--to", end] if end else []
                self.write(*cut, *to, "-o", flv)
                self.write(*cut, *to, "-o", mp4, "--fragmented")
                ours = self.assertSamePackets(flv, mp4)
                self.assertTrue(ours["video"][0][4], "the first video sample is a sync sample")
                self.assertSameFrames(flv, mp4)
                # The movie lasts until its last frame has been shown.
                reported, end, _ = durations(mp4)
                self.assertGreaterEqual(reported, end - 0.001)
                self.assertPlayable(mp4)
        # The audio alone: fragments of about a second each.
        m4a = output("fragmented.m4a")
        self.write("copy", source("avc_high_aac48"), "-o", m4a, "--fragmented")
        self.assertSamePackets(source("avc_high_aac48"), m4a, ("audio",))
        self.assertSameFrames(source("avc_high_aac48"), m4a, ("audio",))
        with open(m4a, "rb") as f:
            self.assertGreaterEqual(f.read().count(b"moof"), 2)

    def test_media_source_in_chromium_buffers_the_fragments_at_their_times(self):
        browser = next(filter(shutil.which, ("chromium", "chromium-browser", "google-chrome")),
                       None)
        if browser is None:
            self.skipTest("no Chromium (Debian package chromium)")
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "mse.html"),
                    base.WORK)
        results = queue.Queue()

        class Handler(http.server.SimpleHTTPRequestHandler):
            def do_POST(self):  # the page's verdict
                results.put(self.rfile.read(int(self.headers["Content-Length"])).decode())
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Handler, directory=base.WORK))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.shutdown)

        def verdict(mp4, codecs):
            query = urllib.parse.urlencode({"file": os.path.basename(mp4),
                                            "type": f'video/mp4; codecs="{codecs}"'})
            page = subprocess.Popen(
                [browser, "--headless=new", "--no-sandbox", "--disable-gpu",
                 "--user-data-dir=" + os.path.join(base.WORK, "chromium"),
                 f"http://127.0.0.1:{server.server_port}/mse.html?{query}"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                return results.get(timeout=60)
            finally:
                page.terminate()
                page.wait(timeout=30)

        for name, fragmented in (("avc_high_aac48", True), ("avc_opengop_aac", True),
                                 ("avc_high_aac48", False)):
            with self.subTest(f"{name} fragmented={fragmented}"):
                mp4 = output(f"mse-{name}-{fragmented}.mp4")
                self.write("copy", source(name), "-o", mp4, *(["--fragmented"] * fragmented))
                (info,) = json.loads(self.write("info", source(name), "--json").stdout)
                text = verdict(mp4, f"{info['video']['codecs']},{info['audio']['codecs']}")
                if not fragmented:  # the judge can tell: MSE takes fragments only
                    self.assertNotIn('"error":""', text)
                    continue
                got = json.loads(text)
                self.assertEqual(got["error"], "")
                self.assertEqual((got["width"], got["height"]), (320, 240))
                # Buffered where both streams are, at the times ffprobe shows.
                spans = []
                for kind in ("v", "a"):
                    doc = json.loads(tool("ffprobe", "-v", "error", "-of", "json",
                                          "-select_streams", kind, "-show_entries",
                                          "packet=pts_time,duration_time", mp4)[0])
                    times = [(float(p["pts_time"]), float(p["duration_time"]))
                             for p in doc["packets"]]
                    spans.append((min(t for t, _ in times), max(t + d for t, d in times)))
                self.assertEqual(len(got["ranges"]), 1, got["ranges"])
                start, end = got["ranges"][0]
                self.assertAlmostEqual(start, max(s for s, _ in spans), delta=0.002)
                self.assertAlmostEqual(end, min(e for _, e in spans), delta=0.002)

    def test_a_change_of_configuration_splits_into_files_that_decode_at_their_size(self):
        small, large = source("avc_640x360_aac"), source("avc_1280x720_aac")
        mp4 = output("sizes-fragmented.mp4")
        done = self.write("join", small, large, "-o", mp4, "--fragmented")
        self.assertNotIn("decoder configuration changes", done.stderr)
        parts = [mp4, output("sizes-fragmented-2.mp4")]
        self.assertFalse(os.path.exists(output("sizes-fragmented-3.mp4")))
        for part, alone in zip(parts, (small, large)):
            self.assertEqual(tool("ffmpeg", "-v", "error", "-i", part, "-f", "null", "-")[1], "")
            self.assertEqual(sized_pictures(part), sized_pictures(alone))
            self.assertPlayable(part)


class Mp4RefuseTests(Judged):
    def test_streams_without_an_mp4_form_are_refused_and_nothing_is_written(self):
        for name, args, named in (("h263_352x288_mp3", [], "H.263"),
                                  ("h263_128x96_nelly", ["--no-video"], "Nellymoser"),
                                  ("h263_176x144_adpcm", ["--no-video"], "ADPCM")):
            with self.subTest(name):
                mp4 = output(name + ".mp4")
                done = cli("copy", source(name), "-o", mp4, *args)
                self.assertEqual(done.returncode, 1)
                self.assertIn("error 9040", done.stderr)
                self.assertIn(named, done.stderr)
                self.assertIn("--no-video" if not args else "--no-audio", done.stderr)
                self.assertFalse(os.path.exists(mp4))
                self.assertEqual([f for f in os.listdir(base.WORK) if f.startswith(".")], [])


class Mp4InfoTests(Judged):
    def test_codecs_strings_come_from_the_configurations(self):
        for name in AVC_AAC + ["avc_mp3", "aac", "mp3"]:
            with self.subTest(name):
                (entry,) = json.loads(self.write("info", source(name), "--json").stdout)
                tags = read_tags(source(name))
                video = next((t for t in tags if t.kind == 9 and t.payload[1] == 0), None)
                if video is not None:
                    record = video.payload[5:]  # profile, compatibility, level
                    self.assertEqual(entry["video"]["codecs"],
                                     "avc1." + record[1:4].hex().upper())
                audio = next(t for t in tags if t.kind == 8)
                if audio.payload[0] >> 4 == 10:
                    config = next(t for t in tags if t.kind == 8 and t.payload[1] == 0)
                    self.assertEqual(entry["audio"]["codecs"],
                                     f"mp4a.40.{config.payload[2] >> 3}")
                else:
                    rate = json.loads(tool("ffprobe", "-v", "error", "-of", "json",
                                           "-show_streams", "-select_streams", "a",
                                           source(name))[0])["streams"][0]["sample_rate"]
                    self.assertEqual(entry["audio"]["codecs"],
                                     "mp4a.6B" if int(rate) >= 32000 else "mp4a.69")
                text = self.write("info", source(name)).stdout
                self.assertIn("codecs " + entry["audio"]["codecs"], text)


def main():
    return base.run_group_script(globals(), __doc__.split("\n")[0],
                                 lambda group: ["ffmpeg", "ffprobe", "mediainfo"], "flvsplice-mp4-")


if __name__ == "__main__":
    sys.exit(main())
