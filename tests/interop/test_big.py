#!/usr/bin/env python3
"""MP4 output from a source past 4 GiB, judged by ffprobe.

    test_big.py --binary B GROUP

GROUP is Mp4Big. The FLV is written here tag by tag: one large H.264 key
frame (a lossless encode of noise by ffmpeg) repeated at rising timestamps
until the file passes 4 GiB. flvsplice copies it to MP4; ffprobe must find
the last sample where it belongs (its time, its offset past 4 GiB, its
bytes), and the box tree must use 64-bit fields where, and only where, the
numbers need them (a small file made the same way keeps 32-bit ones). Needs about 12 GB of free space (else it skips, exit 77);
every file is removed at the end, whatever happens.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
from test_interop import missing_judges, read_tags  # noqa: E402

BINARY = WORK = None
SKIPPED = 77
NEEDED = 12 * 10**9
FOUR_GIB = 1 << 32
FPS = 25


def be(value, count):
    return value.to_bytes(count, "big")


def tag(kind, time, payload):
    head = bytes([kind]) + be(len(payload), 3) + be(time & 0xFFFFFF, 3) + bytes([time >> 24])
    return head + b"\0\0\0" + payload + be(11 + len(payload), 4)


def one_frame():
    """(configuration tag payload, key frame tag payload) of a one-frame FLV."""
    path = os.path.join(WORK, "frame.flv")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=25,noise=alls=100:allf=t", "-frames:v", "1",
                    "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p", "-f", "flv", path],
                   check=True)
    video = [t for t in read_tags(path) if t.kind == 9]
    config = next(t.payload for t in video if t.payload[1] == 0)
    frame = next(t.payload for t in video if t.payload[1] == 1)
    os.remove(path)
    return config, frame


def write_flv(path, past=FOUR_GIB):
    """An FLV of the frame repeated until it passes `past` bytes and two seconds
    more; returns (frame payload, frame count)."""
    config, frame = one_frame()
    count = past // (len(frame) + 15) + 2 * FPS
    with open(path, "wb") as f:
        f.write(b"FLV\x01\x01" + be(9, 4) + be(0, 4))
        f.write(tag(9, 0, config))
        for i in range(count):
            f.write(tag(9, i * 1000 // FPS, frame))
    return frame, count


def boxes(f, start, end):
    """{type: (offset, header size, size)} of the boxes in [start, end)."""
    out, at = {}, start
    while at < end:
        f.seek(at)
        size, kind = int.from_bytes(f.read(4), "big"), f.read(4).decode("latin-1")
        header = 8
        if size == 1:
            size, header = int.from_bytes(f.read(8), "big"), 16
        out.setdefault(kind, (at, header, size))
        at += size
    return out


class Mp4BigTests(unittest.TestCase):
    def copy(self, flv, mp4):
        done = subprocess.run([BINARY, "-q", "copy", flv, "-o", mp4], capture_output=True,
                              text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        os.remove(flv)

    def assertFieldWidths(self, mp4, wide):
        """64-bit chunk offsets and mdat size exactly when wide; 32-bit headers."""
        with open(mp4, "rb") as f:
            top = boxes(f, 0, os.path.getsize(mp4))
            self.assertEqual(list(top), ["ftyp", "moov", "mdat"])
            self.assertEqual(top["mdat"][1], 16 if wide else 8, "mdat header")
            self.assertEqual(top["moov"][1], 8)
            moov = top["moov"]
            trak = boxes(f, moov[0] + 8, moov[0] + moov[2])["trak"]
            mdia = boxes(f, trak[0] + 8, trak[0] + trak[2])["mdia"]
            minf = boxes(f, mdia[0] + 8, mdia[0] + mdia[2])["minf"]
            stbl = boxes(f, minf[0] + 8, minf[0] + minf[2])["stbl"]
            tables = boxes(f, stbl[0] + 8, stbl[0] + stbl[2])
            self.assertIn("co64" if wide else "stco", tables)
            self.assertNotIn("stco" if wide else "co64", tables)
            # A few minutes of movie: the headers keep their 32-bit versions.
            for kind, parent in (("mvhd", moov), ("tkhd", trak), ("mdhd", mdia)):
                box = boxes(f, parent[0] + 8, parent[0] + parent[2])[kind]
                f.seek(box[0] + 8)
                self.assertEqual(f.read(1), b"\0", f"{kind} version 0")
        return top

    def test_a_small_file_keeps_32_bit_offsets(self):
        flv, mp4 = os.path.join(WORK, "small.flv"), os.path.join(WORK, "small.mp4")
        write_flv(flv, past=0)
        self.copy(flv, mp4)
        self.assertFieldWidths(mp4, wide=False)

    def test_last_sample_of_a_file_past_4_gib(self):
        flv, mp4 = os.path.join(WORK, "big.flv"), os.path.join(WORK, "big.mp4")
        frame, count = write_flv(flv)
        self.assertGreater(os.path.getsize(flv), FOUR_GIB)
        self.copy(flv, mp4)
        self.assertGreater(os.path.getsize(mp4), FOUR_GIB)
        top = self.assertFieldWidths(mp4, wide=True)

        # Frame payload: frame type, packet type, composition time, then the NAL units.
        last_time = (count - 1) * 1000 // FPS
        data_start = top["mdat"][0] + top["mdat"][1]
        doc = json.loads(subprocess.run(
            ["ffprobe", "-v", "error", "-of", "json", "-select_streams", "v",
             "-read_intervals", f"{last_time / 1000 - 1:.3f}%", "-show_entries",
             "packet=pts_time,pos,size,data_hash", "-show_data_hash", "md5", mp4],
            capture_output=True, text=True, check=True).stdout)
        last = doc["packets"][-1]
        self.assertAlmostEqual(float(last["pts_time"]), last_time / 1000, delta=0.001)
        self.assertEqual(int(last["pos"]), data_start + (count - 1) * (len(frame) - 5))
        self.assertGreater(int(last["pos"]), FOUR_GIB)
        self.assertEqual(last["data_hash"], "MD5:" + hashlib.md5(frame[5:]).hexdigest())
        probed = json.loads(subprocess.run(
            ["ffprobe", "-v", "error", "-of", "json", "-select_streams", "v",
             "-show_entries", "stream=nb_frames", mp4],
            capture_output=True, text=True, check=True).stdout)
        self.assertEqual(int(probed["streams"][0]["nb_frames"]), count)


def main():
    global BINARY, WORK
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("group", choices=[c[:-5] for c in globals() if c.endswith("Tests")])
    args = parser.parse_args()
    BINARY = args.binary
    status = missing_judges(["ffmpeg", "ffprobe"])
    if status is not None:
        return status
    free = shutil.disk_usage(tempfile.gettempdir()).free
    if free < NEEDED:
        print(f"SKIP: {free / 1e9:.1f} GB free in {tempfile.gettempdir()}, "
              f"{NEEDED / 1e9:.0f} GB needed")
        return SKIPPED
    # A timeout's SIGTERM unwinds too, so that the directory goes with it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with tempfile.TemporaryDirectory(prefix="flvsplice-big-") as WORK:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(globals()[args.group + "Tests"])
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
