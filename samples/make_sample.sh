#!/usr/bin/env bash
# Makes samples/sample.flv from synthetic sources only: ffmpeg's test pattern
# and a sine tone, encoded as Sorenson H.263 video with a key frame every
# 12 frames (0.48 s) and 44.1 kHz stereo MP3 audio, 6 seconds, well under 1 MB.
#
#   samples/make_sample.sh [OUTPUT]      (default: samples/sample.flv)
#
# The bitexact flags keep encoder version strings out of the file, so the same
# ffmpeg build gives the same bytes.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/sample.flv}"

command -v ffmpeg >/dev/null || { echo "make_sample.sh: ffmpeg is needed" >&2; exit 1; }

ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc=size=320x240:rate=25:duration=6" \
    -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=44100:duration=6" \
    -map 0:v -map 1:a \
    -c:v flv1 -g 12 -b:v 400k \
    -c:a libmp3lame -ar 44100 -ac 2 -b:a 96k \
    -map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
    "$out"

size=$(stat -c %s "$out")
if [ "$size" -ge 1048576 ]; then
    echo "make_sample.sh: $out is $size bytes, over the 1 MB budget" >&2
    exit 1
fi
echo "$out: $size bytes"
