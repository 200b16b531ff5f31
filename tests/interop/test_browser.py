#!/usr/bin/env python3
"""MP4 output of flvsplice played by a real browser: headless Chromium.

    test_browser.py --binary B --fixtures DIR [--chromium PATH] GROUP

GROUP is Browser. Each case of CASES writes one or more files with the
command; a page served over loopback plays each file in a muted <video>
(progressively from its URL, or through Media Source Extensions with the
codecs string that info prints), waits for 'ended' and posts what the
browser saw: the picture size, the duration, the decoded and corrupted frame
counts and any error. These are checked against ffprobe's view of the file.
Every browser run is bounded in time, so a hang fails the test. A missing
judge skips the group (exit 77), or fails it when CI=true.

The cases: H.264/AAC, AV1 and VP9 (enhanced FLV built from ffmpeg's IVF)
played from their URL, each part of --split-on-change likewise, and the
fragmented output, whole and in its parts at a change, through Media Source
Extensions. Adding a case is one entry in CASES: how to write the files, and
how the page plays them ("src" or "mse").
"""

import argparse
import functools
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.dont_write_bytecode = True
import enhanced_flv as eflv  # noqa: E402
from test_interop import missing_judges  # noqa: E402

BINARY = FIXTURES = CHROMIUM = WORK = None
SKIPPED = 77
# Seconds one browser run may take beyond the media's own length.
SLACK = 60

PAGE = """<!doctype html>
<html><body><script>
const items = JSON.parse(decodeURIComponent(location.hash.slice(1)));
function post(result) {
  return fetch('/result', {method: 'POST', body: JSON.stringify(result)});
}
function mse(video, item) {
  const mime = 'video/mp4; codecs="' + item.codecs + '"';
  if (!window.MediaSource || !MediaSource.isTypeSupported(mime))
    return Promise.reject(new Error('not supported: ' + mime));
  const source = new MediaSource();
  video.src = URL.createObjectURL(source);
  return new Promise((resolve, reject) => {
    source.addEventListener('sourceopen', async () => {
      try {
        const buffer = source.addSourceBuffer(mime);
        for (const url of item.segments || [item.file]) {
          const bytes = await (await fetch(url)).arrayBuffer();
          await new Promise((done, failed) => {
            buffer.addEventListener('updateend', done, {once: true});
            buffer.addEventListener('error', () => failed(new Error('append ' + url)),
                                    {once: true});
            buffer.appendBuffer(bytes);
          });
        }
        source.endOfStream();
        resolve();
      } catch (e) { reject(e); }
    }, {once: true});
  });
}
async function play(item) {
  const video = document.createElement('video');
  video.muted = true;
  document.body.appendChild(video);
  const ended = new Promise((resolve, reject) => {
    video.addEventListener('ended', resolve);
    video.addEventListener('error', () => reject(new Error(
      'media error ' + (video.error && video.error.code) + ': ' +
      (video.error && video.error.message))));
  });
  if (item.mode === 'mse') await mse(video, item); else video.src = item.file;
  await video.play();
  await ended;
  const quality = video.getVideoPlaybackQuality();
  const result = {file: item.file, width: video.videoWidth, height: video.videoHeight,
                  duration: video.duration, currentTime: video.currentTime,
                  totalVideoFrames: quality.totalVideoFrames,
                  droppedVideoFrames: quality.droppedVideoFrames,
                  corruptedVideoFrames: quality.corruptedVideoFrames};
  video.remove();
  return result;
}
(async () => {
  const results = [];
  for (const item of items) {
    try { results.push(await play(item)); }
    catch (e) { results.push({file: item.file, error: String(e && e.message || e)}); }
  }
  await post(results);
})();
</script></body></html>
"""


def fixture(name):
    return os.path.join(FIXTURES, name + ".flv")


def work(name):
    return os.path.join(WORK, name)


def flvsplice(*args):
    done = subprocess.run([BINARY, "-q", *map(str, args)], capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError(f"flvsplice {' '.join(map(str, args))}: {done.stderr}")
    return done


def probe(path):
    """What ffprobe sees: the video's size and decoded frame count, the duration."""
    doc = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-of", "json", "-count_frames", "-show_streams",
         "-show_format", path], capture_output=True, check=True).stdout)
    video = next(s for s in doc["streams"] if s["codec_type"] == "video")
    return {"width": video["width"], "height": video["height"],
            "frames": int(video["nb_read_frames"]), "duration": float(doc["format"]["duration"])}


class Served:
    """WORK over http on a loopback port; the page posts its results to /result."""

    def __init__(self):
        self.results = None
        self.arrived = threading.Event()
        served = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length", 0))
                served.results = json.loads(self.rfile.read(length))
                served.arrived.set()
                self.send_response(204)
                self.end_headers()

        self.server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Handler, directory=WORK))
        with open(work("play.html"), "w") as f:
            f.write(PAGE)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def play(self, items, seconds):
        """The page's results for items, or an AssertionError after seconds."""
        self.results = None
        self.arrived.clear()
        url = (f"http://127.0.0.1:{self.server.server_address[1]}/play.html#"
               + urllib.parse.quote(json.dumps(items)))
        with tempfile.TemporaryDirectory(prefix="profile-", dir=WORK) as profile:
            browser = subprocess.Popen(
                [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu",
                 "--autoplay-policy=no-user-gesture-required", "--mute-audio",
                 "--no-first-run", "--disable-extensions", "--disable-breakpad",
                 "--disable-crash-reporter", f"--user-data-dir={profile}", url],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
            try:
                arrived = self.arrived.wait(seconds)
            finally:
                # Asked first, the browser ends its helper processes itself;
                # whatever of its group is left after that is killed.
                browser.terminate()
                try:
                    _, err = browser.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(browser.pid, signal.SIGKILL)
                    _, err = browser.communicate()
        if not arrived:
            raise AssertionError(f"no result from the browser within {seconds:.0f} s: "
                                 + err.decode(errors="replace")[-500:])
        return self.results

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# Each case writes its files and returns them as (path, the FLV whose info
# gives the path's codecs string).


def h264_aac():
    out = work("h264_aac.mp4")
    flvsplice("copy", fixture("avc_high_aac48"), "-o", out)
    return [(out, fixture("avc_high_aac48"))]


def split_parts():
    small, large = fixture("avc_640x360_aac"), fixture("avc_1280x720_aac")
    out = work("split.mp4")
    flvsplice("join", small, large, "-o", out, "--split-on-change")
    return [(out, small), (work("split-2.mp4"), large)]


def enhanced(codec, encoder):
    """2 s of testsrc as ffmpeg encodes it in codec, in an enhanced FLV, and its MP4."""
    stream, flv, out = work(codec + ".ivf"), work(codec + ".flv"), work(codec + ".mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=320x240:rate=25", "-t", "2", *encoder, "-g", "10",
                    "-f", "ivf", stream], check=True)
    with open(stream, "rb") as f:
        frames = f.read()
    tags = eflv.av1_tags(frames) if codec == "av1" else eflv.vp9_tags(frames)
    with open(flv, "wb") as f:
        f.write(eflv.flv(tags))
    flvsplice("copy", flv, "-o", out)
    return [(out, flv)]


def fragmented():
    out = work("fragmented.mp4")
    flvsplice("copy", fixture("avc_high_aac48"), "-o", out, "--fragmented")
    return [(out, fixture("avc_high_aac48"))]


def fragmented_parts():
    small, large = fixture("avc_640x360_aac"), fixture("avc_1280x720_aac")
    out = work("fragmented-split.mp4")
    flvsplice("join", small, large, "-o", out, "--fragmented")
    return [(out, small), (work("fragmented-split-2.mp4"), large)]


# name -> (writes the files, how the page plays them)
CASES = {
    "h264_aac": (h264_aac, "src"),
    "split_on_change": (split_parts, "src"),
    "av1": (functools.partial(enhanced, "av1", ["-c:v", "libaom-av1", "-usage", "realtime",
                                                "-cpu-used", "8"]), "src"),
    "vp9": (functools.partial(enhanced, "vp9", ["-c:v", "libvpx-vp9", "-deadline", "realtime",
                                                "-cpu-used", "8"]), "src"),
    "fragmented": (fragmented, "mse"),
    "fragmented_parts": (fragmented_parts, "mse"),
}


def item(path, source, mode):
    entry = {"file": os.path.basename(path), "mode": mode}
    if mode == "mse":
        (info,) = json.loads(flvsplice("info", "--json", source).stdout)
        entry["codecs"] = ",".join(info[k]["codecs"] for k in ("video", "audio")
                                   if info.get(k) and info[k].get("codecs"))
    return entry


class BrowserTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.served = Served()

    @classmethod
    def tearDownClass(cls):
        cls.served.close()

    def test_every_case_plays_to_its_end(self):
        # Every file of every case in one browser run: it starts once.
        items, expected = [], {}
        for name, (make, mode) in CASES.items():
            for path, source in make():
                items.append(item(path, source, mode))
                expected[items[-1]["file"]] = (name, probe(path))
        seconds = SLACK + sum(e["duration"] for _, e in expected.values())
        results = self.served.play(items, seconds)
        self.assertEqual([r["file"] for r in results], [i["file"] for i in items])
        for result in results:
            name, want = expected[result["file"]]
            with self.subTest(f"{name}: {result['file']}"):
                self.assertNotIn("error", result, result.get("error"))
                self.assertEqual((result["width"], result["height"]),
                                 (want["width"], want["height"]))
                self.assertAlmostEqual(result["duration"], want["duration"], delta=0.05)
                self.assertEqual(result["corruptedVideoFrames"], 0)
                self.assertEqual(result["totalVideoFrames"], want["frames"], result)


def main():
    global BINARY, FIXTURES, CHROMIUM, WORK
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("group", choices=[c[:-5] for c in globals() if c.endswith("Tests")])
    args = parser.parse_args()
    BINARY, FIXTURES = args.binary, args.fixtures
    CHROMIUM = shutil.which(args.chromium)
    status = missing_judges([args.chromium, "ffprobe"])
    if status is not None:
        return status
    with tempfile.TemporaryDirectory(prefix="flvsplice-browser-") as WORK:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(globals()[args.group + "Tests"])
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
