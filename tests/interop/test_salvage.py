#!/usr/bin/env python3
"""check and repair of damaged recordings, judged by ffmpeg, ffprobe and flvmeta.

    test_salvage.py --binary B --fixtures DIR GROUP

GROUP is one of Check, Repair, Split. The damaged files are
tests/fixtures/damaged/*.flv, made by make_fixtures.sh from clean fixtures;
its manifest.json names each one's clean sources, the problem and its offset,
and how many of the sources' packets the damage may cost at most. A judge
that is missing skips the group (exit 77), or fails it when CI=true is set.
"""

import json
import os
import sys
import unittest

sys.dont_write_bytecode = True  # importing the helpers leaves no cache in the tree
import test_interop as base  # noqa: E402
from test_interop import cli, output, source, tool  # noqa: E402
from test_modern import decode_errors, packet_list  # noqa: E402


def damaged(name):
    return os.path.join(base.FIXTURES, "damaged", name)


def manifest():
    with open(damaged("manifest.json")) as f:
        return json.load(f)


def streams(packets):
    """{codec_type: [(dts, data hash)]} of ffprobe's packets."""
    out = {}
    for p in packets:
        out.setdefault(p["codec_type"], []).append((int(p["dts"]), p["data_hash"]))
    return out


def is_subsequence(short, long):
    it = iter(long)
    return all(item in it for item in short)


def frame_interval(packets):
    """The most common distance between a stream's packets (ms)."""
    steps = [int(b["dts"]) - int(a["dts"]) for a, b in zip(packets, packets[1:])]
    return max(set(steps), key=steps.count) if steps else 0


def span(packets, intervals):
    """Milliseconds from the first packet's decode time to the end of the last
    of any stream (its time plus the stream's frame interval)."""
    return (max(int(p["dts"]) + intervals[p["codec_type"]] for p in packets) -
            min(int(p["dts"]) for p in packets))


def surviving_span(got, sources, intervals):
    """The time the packets that survived cover in their own sources: each
    source's span over its surviving packets, added up (a repair closes the
    breaks between sources and keeps what lies inside one)."""
    wanted = {kind: iter(h for _, h in packets) for kind, packets in got.items()}
    heads = {kind: next(it, None) for kind, it in wanted.items()}
    total = 0
    for packets in sources:
        kept = []
        for p in packets:
            kind = p["codec_type"]
            if kind in heads and p["data_hash"] == heads[kind]:
                kept.append(p)
                heads[kind] = next(wanted[kind], None)
        if kept:
            total += span(kept, intervals)
    return total


class CheckTests(unittest.TestCase):
    def test_damage_is_reported_at_its_offset_and_clean_files_pass(self):
        for name, entry in sorted(manifest().items()):
            with self.subTest(name):
                done = cli("check", damaged(name), "--json")
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                (report,) = json.loads(done.stdout)
                found = [(p["kind"], p["offset"]) for p in report["problems"]]
                self.assertIn((entry["kind"], entry["offset"]), found)
        for name in {s for e in manifest().values() for s in e["sources"]}:
            with self.subTest(name):
                done = cli("check", os.path.join(base.FIXTURES, name))
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


class RepairTests(unittest.TestCase):
    def test_repaired_files_decode_and_hold_exactly_the_surviving_packets(self):
        for name, entry in sorted(manifest().items()):
            with self.subTest(name):
                out = output("repaired_" + name)
                done = cli("repair", damaged(name), "-o", out)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(decode_errors(out), "")

                repaired = packet_list(out)
                got = streams(repaired)
                want, sources = {}, []
                for src in entry["sources"]:
                    sources.append(packet_list(source(src[:-4])))
                    for kind, packets in streams(sources[-1]).items():
                        want.setdefault(kind, []).extend(packets)
                self.assertEqual(set(got), set(want))
                lost = 0
                for kind, packets in got.items():
                    hashes = [h for _, h in packets]
                    # Nothing invented, nothing reordered...
                    self.assertTrue(is_subsequence(hashes, [h for _, h in want[kind]]), kind)
                    times = [t for t, _ in packets]
                    self.assertEqual(times, sorted(times), kind)
                    lost += len(want[kind]) - len(hashes)
                # The repaired file lasts as long as what survived, to within
                # one frame interval.
                intervals = {kind: max(frame_interval([p for p in ps if p["codec_type"] == kind])
                                       for ps in sources) for kind in want}
                self.assertLessEqual(abs(span(repaired, intervals) -
                                         surviving_span(got, sources, intervals)),
                                     max(intervals.values()))
                # ...and nothing lost that survived.
                self.assertLessEqual(lost, entry["lost"])

                check = json.loads(tool("flvmeta", "--check", "--json", out)[0])
                self.assertEqual(check["errors"], 0, check["messages"])
                # Repaired once is repaired: only a changed configuration, kept
                # where it stands, is still worth a mention.
                (again,) = json.loads(cli("check", out, "--json").stdout)
                self.assertEqual({p["kind"] for p in again["problems"]} - {"changed-config"},
                                 set())


    def test_repair_on_the_way_in_equals_repair_then_copy(self):
        for name in sorted(manifest()):
            with self.subTest(name):
                repaired, copied = output("first_" + name), output("inway_" + name)
                self.assertEqual(cli("repair", damaged(name), "-o", repaired).returncode, 0)
                done = cli("copy", damaged(name), "--repair", "-o", copied)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("repaired on the way in", done.stderr)
                self.assertEqual(packet_list(copied), packet_list(repaired))
                # Without it the damaged file is refused, pointing to the option.
                refused = cli("copy", damaged(name), "-o", output("refused_" + name))
                if refused.returncode != 0:
                    self.assertIn("--repair", refused.stderr)


class SplitTests(unittest.TestCase):
    def test_a_resolution_change_gives_two_files_each_at_its_own_size(self):
        out = output("split.flv")
        done = cli("repair", damaged("config_changed.flv"), "-o", out, "--split")
        self.assertEqual(done.returncode, 0, done.stderr)
        sizes = []
        for path in (out, output("split-2.flv")):
            self.assertEqual(decode_errors(path), "")
            probe = json.loads(tool("ffprobe", "-v", "error", "-of", "json", "-show_streams",
                                    "-select_streams", "v", path)[0])
            sizes.append((probe["streams"][0]["width"], probe["streams"][0]["height"]))
        self.assertEqual(sizes, [(1280, 720), (640, 360)])
        self.assertFalse(os.path.exists(output("split-3.flv")))


def main():
    return base.run_group_script(globals(), __doc__.split("\n")[0],
                                 lambda group: ["ffmpeg", "ffprobe", "flvmeta"], "flvsplice-salvage-")


if __name__ == "__main__":
    sys.exit(main())
