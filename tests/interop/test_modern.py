#!/usr/bin/env python3
"""H.264/AAC output of flvsplice, and joins that keep each input's audio/video
sync, judged by ffmpeg, ffprobe and flvmeta.

    test_modern.py --binary B --fixtures DIR GROUP

GROUP is one of H264Info, H264Copy, H264Cut, H264Join, H264Exports, H264Index,
SyncJoin. The fixtures are tests/fixtures/*.flv (make_fixtures.sh). Tags are
read with test_interop's reader; H.264 payloads are taken apart here (packet
type, length-prefixed NAL units), so that "IDR picture" is our own reading,
not the command's. A judge that is missing skips the group (exit 77), or
fails it when CI=true is set.
"""

import collections
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # importing the helpers leaves no cache in the tree
import test_interop as base  # noqa: E402
from test_interop import cli, frames, output, read_tags, source, tool  # noqa: E402

AVC, AAC = 7, 10
AVC_AAC = ["avc_base_aac44", "avc_high_aac48", "avc_opengop_aac", "avc_640x360_aac",
           "avc_1280x720_aac"]
AVC_ALL = AVC_AAC + ["avc_1080", "avc_mp3", "h264"]


def packet_type(tag):
    """0 configuration, 1 frame, 2 end of sequence for H.264 and AAC; None otherwise."""
    codec = tag.payload[0] & 0x0F if tag.kind == 9 else tag.payload[0] >> 4
    return tag.payload[1] if codec == (AVC if tag.kind == 9 else AAC) else None


def media(tags, kind):
    """The tags of one stream that hold frames."""
    return [t for t in tags if t.kind == kind and packet_type(t) in (None, 1)]


def configs(tags, kind):
    return [t for t in tags if t.kind == kind and packet_type(t) == 0]


def nal_types(tag, size=4):
    """Types of the NAL units of an H.264 frame (x264 writes 4-byte lengths)."""
    data, at, types = tag.payload[5:], 0, []
    while at + size < len(data):
        types.append(data[at + size] & 0x1F)
        at += size + int.from_bytes(data[at:at + size], "big")
    return types


def is_idr(tag):
    return tag.kind == 9 and packet_type(tag) == 1 and 5 in nal_types(tag)


def pictures(path):
    """{presentation time in ms: hash} of the decoded video frames, and the
    decoder's messages."""
    out, err = tool("ffmpeg", "-v", "error", "-copyts", "-i", path, "-map", "0:v",
                    "-fps_mode", "passthrough", "-enc_time_base:v", "1:1000", "-f", "framemd5", "-")
    rows = [line.split(b",") for line in out.splitlines() if not line.startswith(b"#")]
    return {int(r[2]): r[5].strip().decode() for r in rows}, err


def decode_errors(path):
    return tool("ffmpeg", "-v", "error", "-i", path, "-f", "null", "-")[1]


def packet_list(path):
    """ffprobe's packets with their data hashes, file positions left out."""
    doc = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-show_packets",
                          "-show_data_hash", "md5", path)[0])
    return [{k: v for k, v in p.items() if k != "pos"} for p in doc["packets"]]


def runs_of(needle, haystack):
    """Everywhere the list `needle` stands in `haystack` as one run."""
    return [i for i in range(len(haystack) - len(needle) + 1)
            if haystack[i:i + len(needle)] == needle]


def run_of(needle, haystack):
    return next(iter(runs_of(needle, haystack)), None)


class H264InfoTests(unittest.TestCase):
    def test_info_reads_sizes_and_rates_from_the_decoder_configurations(self):
        for name in AVC_ALL + ["aac"]:
            with self.subTest(name):
                done = cli("info", source(name), "--json")
                self.assertEqual(done.returncode, 0, done.stderr)
                (entry,) = json.loads(done.stdout)
                probed = {s["codec_type"]: s for s in json.loads(tool(
                    "ffprobe", "-v", "error", "-of", "json", "-show_streams", source(name))[0])[
                    "streams"]}
                tags = read_tags(source(name))
                if "video" in probed:
                    video, theirs = entry["video"], probed["video"]
                    self.assertEqual((video["width"], video["height"]),
                                     (theirs["width"], theirs["height"]), "picture size")
                    # ffprobe tells constraints too ("Constrained Baseline").
                    self.assertIn(video["profile"], theirs["profile"])
                    self.assertAlmostEqual(video["level"], theirs["level"] / 10)
                    frames_ = media(tags, 9)
                    self.assertEqual(video["frames"], len(frames_))
                    self.assertEqual(video["key_frames"], sum(map(is_idr, frames_)),
                                     "key frames are the IDR pictures")
                if "audio" in probed:
                    audio, theirs = entry["audio"], probed["audio"]
                    self.assertEqual((audio["rate"], audio["channels"]),
                                     (int(theirs["sample_rate"]), theirs["channels"]))
        # Spelled out: the cropped size, and rates that the FLV header's
        # audio flags cannot tell (they say 44 kHz stereo for any AAC).
        described = json.loads(cli("info", source("avc_1080"), source("avc_high_aac48"),
                                   source("avc_base_aac44"), "--json").stdout)
        self.assertEqual((described[0]["video"]["width"], described[0]["video"]["height"]),
                         (1920, 1080))
        self.assertEqual([(d["audio"]["rate"], d["audio"]["channels"]) for d in described[1:]],
                         [(48000, 1), (44100, 2)])


class H264CopyTests(unittest.TestCase):
    def test_copy_keeps_every_packet(self):
        for name in AVC_ALL + ["aac", "sync_avc_late_video"]:
            with self.subTest(name):
                out = output(name + ".flv")
                done = cli("copy", source(name), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(packet_list(out), packet_list(source(name)))
                self.assertEqual(decode_errors(out), "")
                # flvmeta warns (W80062) that framerate and videodatarate
                # differ from its own estimates: it takes the configuration
                # and end-of-sequence tags for frames. It reads 16x160 for
                # the 4:4:4 stream of h264.flv.
                check = json.loads(tool("flvmeta", "--check", "--json", out)[0])
                self.assertEqual(check["errors"], 0, check["messages"])
                for message in check["messages"]:
                    print(f"flvmeta on {name}: {message['code']} {message['message']}")

    def test_metadata_tells_codecs_and_picture_size(self):
        for name in AVC_ALL:
            with self.subTest(name):
                out = output(name + "-meta.flv")
                self.assertEqual(cli("copy", source(name), "-o", out).returncode, 0)
                meta = json.loads(tool("flvmeta", "--dump", "--json", out)[0])
                video = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-show_streams",
                                        "-select_streams", "v", source(name))[0])["streams"][0]
                self.assertEqual(meta["videocodecid"], AVC)
                self.assertEqual((meta["width"], meta["height"]),
                                 (video["width"], video["height"]))


class H264CutTests(unittest.TestCase):
    def test_cut_starts_on_an_idr_picture_and_decodes_like_the_source(self):
        # At and just after every key frame of the open-GOP fixture, IDR or
        # not (a --from after the last key frame is refused, as in any codec).
        keys = [t for t in media(read_tags(source("avc_opengop_aac")), 9)
                if t.payload[0] >> 4 == 1]
        self.assertTrue([t for t in keys if not is_idr(t)], "key frames that are no IDR")
        cases = [("avc_base_aac44", 700, 1500), ("avc_high_aac48", 1000, 1800),
                 ("avc_high_aac48", 0, 300), ("avc_mp3", 500, None)] + [
            ("avc_opengop_aac", t.time + delay, None) for t in keys[1:] for delay in (0, 10)
            if t is not keys[-1] or not delay]
        for name, start, end in cases:
            with self.subTest(f"{name} {start}-{end}"):
                out = output(f"{name}-{start}.flv")
                done = cli("cut", source(name), "--from", start,
                           *(["--to", end] if end is not None else []), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(decode_errors(out), "", "decodes without a message")

                tags, src_tags = read_tags(out), read_tags(source(name))
                video, src_video = media(tags, 9), media(src_tags, 9)
                self.assertTrue(is_idr(video[0]), f"first frame's NAL units {nal_types(video[0])}")
                first = run_of([t.payload for t in video], [t.payload for t in src_video])
                self.assertIsNotNone(first, "the video is a run of the source's frames")
                key = src_video[first]
                self.assertLessEqual(key.time, start)
                self.assertFalse([t.time for t in src_video[first + 1:]
                                  if is_idr(t) and t.time <= start], "the last IDR at or before")
                self.assertEqual(len(configs(tags, 9)), 1)
                self.assertLess(tags.index(configs(tags, 9)[0]), tags.index(video[0]))

                # Every kept frame decodes to the source's picture of its time.
                shift = key.time - video[0].time
                mine, theirs = pictures(out)[0], pictures(source(name))[0]
                self.assertEqual(len(mine), len(video))
                self.assertEqual({t + shift: h for t, h in mine.items()},
                                 {t + shift: theirs.get(t + shift) for t in mine})

                audio = [t.payload for t in media(tags, 8)]
                self.assertIsNotNone(run_of(audio, [t.payload for t in media(src_tags, 8)]),
                                     "the audio is a run of the source's frames")
                if name != "avc_mp3":
                    self.assertEqual(len(configs(tags, 8)), 1, "one AAC configuration")


class H264JoinTests(unittest.TestCase):
    def test_equal_configurations_join_into_one_stream(self):
        for first, second in (("avc_base_aac44",) * 2, ("avc_high_aac48",) * 2,
                              ("sync_avc_even_a", "sync_avc_even_b")):
            with self.subTest(f"{first} + {second}"):
                out = output(f"{first}+{second}.flv")
                done = cli("join", source(first), source(second), "--strict", "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(frames(out, "video"),
                                 (frames(source(first), "video")[0] +
                                  frames(source(second), "video")[0], ""))
                tags = read_tags(out)
                self.assertEqual((len(configs(tags, 9)), len(configs(tags, 8))), (1, 1),
                                 "one configuration of each stream")
                ends = [i for i, t in enumerate(tags) if t.kind == 9 and packet_type(t) == 2]
                self.assertTrue(all(i == len(tags) - 1 for i in ends),
                                f"end of sequence before the end: tags {ends} of {len(tags)}")
                self.assertEqual(decode_errors(out), "")

    def test_picture_sizes_change_at_the_seam(self):
        small, large = source("avc_640x360_aac"), source("avc_1280x720_aac")
        out = output("sizes.flv")
        done = cli("join", small, large, "-o", out)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(decode_errors(out), "")
        shown = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-select_streams", "v",
                                "-show_entries", "frame=width,height", "-show_frames", out)[0])
        counts = collections.Counter((f["width"], f["height"]) for f in shown["frames"])
        self.assertEqual(counts, {(640, 360): len(media(read_tags(small), 9)),
                                  (1280, 720): len(media(read_tags(large), 9))})

        with tempfile.TemporaryDirectory() as d:
            done = cli("join", small, large, "--strict", "-o", os.path.join(d, "out.flv"))
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn("9021", done.stderr)
            self.assertEqual(os.listdir(d), [])


class H264ExportsTests(unittest.TestCase):
    def test_adts_decodes_to_the_same_samples(self):
        for name in ("avc_base_aac44", "avc_high_aac48", "aac", "h263_160x120_aac"):
            with self.subTest(name):
                out = output(name + ".aac")
                done = cli("copy", source(name), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(frames(out, "audio"), (frames(source(name), "audio")[0], ""))

    def test_annex_b_decodes_to_the_same_pictures(self):
        for name, cut in (("avc_base_aac44", None), ("avc_high_aac48", None),
                          ("avc_opengop_aac", None), ("h264", None), ("avc_high_aac48", 1000)):
            with self.subTest(f"{name} from {cut}"):
                out, flv = output(f"{name}-{cut}.h264"), output(f"{name}-{cut}-annexb.flv")
                args = ["cut", source(name), "--from", cut] if cut else ["copy", source(name)]
                for path in (out, flv):
                    done = cli(*args, "-o", path)
                    self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(frames(out, "video"), (frames(flv, "video")[0], ""))
                # Every IDR picture has the parameter sets in front of it.
                units = [u[0] & 0x1F for u in re.split(b"\x00\x00\x01", open(out, "rb").read())[1:]
                         if u]
                for at in (i for i, kind in enumerate(units) if kind == 5 and
                           (i == 0 or units[i - 1] != 5)):
                    self.assertLessEqual({7, 8}, set(units[max(0, at - 4):at]),
                                         f"NAL units before the IDR picture: {units[:at][-4:]}")

    def test_streams_of_other_codecs_are_refused(self):
        for name, extension in (("avc_mp3", ".aac"), ("sync_h263_even_a", ".h264"),
                                ("h263_352x288_mp3", ".264")):
            with self.subTest(name + extension), tempfile.TemporaryDirectory() as d:
                done = cli("copy", source(name), "-o", os.path.join(d, "out" + extension))
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn("9029", done.stderr)
                self.assertEqual(os.listdir(d), [])


class H264IndexTests(unittest.TestCase):
    JOBS = [("copy", "avc_high_aac48"), ("copy", "avc_opengop_aac"),
            ("cut", "avc_opengop_aac", "--from", 1000, "--to", 1900),
            ("join", "avc_base_aac44", "avc_base_aac44")]

    def test_index_points_at_the_idr_pictures(self):
        for command, name, *rest in self.JOBS:
            with self.subTest(f"{command} {name} {rest}"):
                inputs = [source(name)] + ([source(rest.pop(0))] if command == "join" else [])
                plain, indexed = output(f"{command}-{name}.flv"), output(f"{command}-{name}-i.flv")
                for out, extra in ((plain, []), (indexed, ["--index"])):
                    done = cli(command, *inputs, *rest, "-o", out, *extra)
                    self.assertEqual(done.returncode, 0, done.stderr)
                check = json.loads(tool("flvmeta", "--check", "--json", indexed)[0])
                self.assertEqual(check["errors"], 0, check["messages"])

                data = open(indexed, "rb").read()
                keys = json.loads(tool("flvmeta", "--dump", "--json", indexed)[0])["keyframes"]
                tags = read_tags(indexed)
                self.assertEqual([round(t * 1000) for t in keys["times"]],
                                 [t.time for t in tags if is_idr(t)], "the IDR pictures' times")
                for at in map(int, keys["filepositions"]):
                    stamp = int.from_bytes(data[at + 4:at + 7], "big") | data[at + 7] << 24
                    size = int.from_bytes(data[at + 1:at + 4], "big")
                    tag = base.Tag(data[at], stamp, data[at + 11:at + 11 + size])
                    self.assertTrue(is_idr(tag), f"tag at {at}")
                self.assertEqual([(t.kind, t.time, t.payload) for t in tags],
                                 [(t.kind, t.time, t.payload) for t in read_tags(plain)])
                # flvmeta warns "invalid keyframes arrays length": it counts
                # every key-flagged tag. Our own reading must agree with us.
                (entry,) = json.loads(cli("info", indexed, "--json").stdout)
                self.assertTrue(entry["index"]["consistent"], entry["index"])


class SyncJoinTests(unittest.TestCase):
    """Each joined part keeps its own distance between audio and video; its
    video follows the previous part's without a hole; only leading audio
    frames that would overlap the audio before the seam are left out."""
    FAMILIES = ("h263", "avc")
    ORDERS = [["late_video", "late_audio", "even_a"] * 3 + ["late_video"],
              ["late_audio", "late_video", "late_video"],
              ["even_a", "even_b", "late_audio", "even_a"]]

    def join(self, family, order, out):
        names = [f"sync_{family}_{part}" for part in order]
        done = subprocess.run([base.BINARY, "join", *map(source, names), "-o", out],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        left_out = re.search(r"left out (\d+) audio frames?", done.stdout)
        return names, int(left_out[1]) if left_out else 0

    def parts(self, names, out):
        """Per part: (source video, source audio, first output video index,
        first output audio index, leading audio frames left out)."""
        tags = read_tags(out)
        video, audio = media(tags, 9), media(tags, 8)
        self.assertEqual([t.payload for t in video],
                         [t.payload for n in names for t in media(read_tags(source(n)), 9)],
                         "every video frame, in order")
        found, v, a = [], 0, 0
        for name in names:
            src_tags = read_tags(source(name))
            src_video, src_audio = media(src_tags, 9), media(src_tags, 8)
            payloads = [t.payload for t in src_audio]
            self.assertEqual(len(set(payloads)), len(payloads), f"{name}: audio frames differ")
            dropped = payloads.index(audio[a].payload)
            self.assertEqual([t.payload for t in audio[a:a + len(payloads) - dropped]],
                             payloads[dropped:], f"{name}: audio from frame {dropped} on")
            found.append((src_video, src_audio, v, a, dropped))
            v, a = v + len(src_video), a + len(payloads) - dropped
        self.assertEqual(a, len(audio))
        return video, audio, found

    def test_every_part_keeps_its_sync(self):
        for family in self.FAMILIES:
            for order in self.ORDERS:
                with self.subTest(f"{family} {order}"):
                    out = output(f"sync-{family}-{len(order)}.flv")
                    names, reported = self.join(family, order, out)
                    video, audio, parts = self.parts(names, out)
                    self.assertEqual(parts[0][4], 0, "the first part keeps all its audio")
                    self.assertEqual(sum(p[4] for p in parts), reported, "left out as reported")

                    errors = {}
                    for i, (src_video, src_audio, v, a, dropped) in enumerate(parts):
                        # Each stream of the part moves as one.
                        vshift = {video[v + k].time - t.time for k, t in enumerate(src_video)}
                        ashift = {audio[a + k].time - t.time
                                  for k, t in enumerate(src_audio[dropped:])}
                        self.assertEqual(len(vshift), 1, f"part {i}: video shifts {vshift}")
                        self.assertEqual(len(ashift), 1, f"part {i}: audio shifts {ashift}")
                        frame = max(b.time - a_.time for a_, b in zip(src_audio, src_audio[1:]))
                        error = ashift.pop() - vshift.pop()
                        self.assertLessEqual(abs(error), frame, f"part {i}: A/V off by {error} ms")
                        errors.setdefault((names[i - 1] if i else None, names[i]), []).append(error)
                        if i:
                            step = src_video[1].time - src_video[0].time
                            gap = video[v].time - video[v - 1].time
                            self.assertLessEqual(abs(gap - step), 1, f"seam {i}: video gap {gap}")
                    # The same seam gives the same error however far down the join.
                    for seam, seen in errors.items():
                        self.assertLessEqual(max(seen) - min(seen), 1, f"{seam}: {seen}")

                    times = [t.time for t in audio]
                    self.assertTrue(all(x < y for x, y in zip(times, times[1:])),
                                    "audio times rise")
                    self.assertEqual(decode_errors(out), "")

    def test_a_cut_of_a_join_keeps_the_distance_it_had(self):
        for family in self.FAMILIES:
            with self.subTest(family):
                joined, cut = output(f"sync-cut-{family}.flv"), output(f"sync-cut-{family}-c.flv")
                names, _ = self.join(family, self.ORDERS[0], joined)
                video, audio, parts = self.parts(names, joined)
                start = video[parts[3][2] + len(parts[3][0]) // 2].time
                end = video[parts[5][2] + len(parts[5][0]) // 2].time
                done = cli("cut", joined, "--from", start, "--to", end, "-o", cut)
                self.assertEqual(done.returncode, 0, done.stderr)

                tags = read_tags(cut)
                kept_video, kept_audio = media(tags, 9), media(tags, 8)
                # Parts repeat: of the runs that match, the one at --from, and
                # the audio next to it.
                runs = runs_of([t.payload for t in kept_video], [t.payload for t in video])
                self.assertTrue(runs, "the video is a run of the joined file's")
                v = min(runs, key=lambda i: abs(video[i].time - start))
                runs = runs_of([t.payload for t in kept_audio], [t.payload for t in audio])
                self.assertTrue(runs, "the audio is a run of the joined file's")
                a = min(runs, key=lambda i: abs(audio[i].time - video[v].time))
                offset = video[v].time - kept_video[0].time
                self.assertEqual({t.time + offset - video[v + k].time
                                  for k, t in enumerate(kept_video)}, {0})
                self.assertEqual({t.time + offset - audio[a + k].time
                                  for k, t in enumerate(kept_audio)}, {0}, "A/V distance kept")
                self.assertEqual(decode_errors(cut), "")


def main():
    def judges(group):
        return ["ffmpeg", "ffprobe"] + (["flvmeta"] if group in ("H264Copy", "H264Index") else [])

    return base.run_group_script(globals(), __doc__.split("\n")[0], judges, "flvsplice-modern-")


if __name__ == "__main__":
    sys.exit(main())
