#!/usr/bin/env bash
# Rebuilds the seed corpus of the fuzz targets in fuzz/corpus/:
#   document/  small FLV files: built ones (make_seeds.cpp, from the test
#              builder) and ffmpeg encodes of synthetic sources
#   errors/    error-stack inputs for fuzz_errors
# Every seed is made here, from nothing but generated data. The files of
# document/ with 40-hex-digit names are not made here: they are inputs that
# fuzz_document derived from these seeds, kept after a merge
#   (fuzz_document -merge=1 fuzz/corpus/document NEW-INPUTS-DIR)
# because they reach code the seeds alone do not.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
doc="$here/corpus/document"
err="$here/corpus/errors"
mkdir -p "$doc" "$err"

cxx="${CXX:-c++}"
command -v "$cxx" >/dev/null || cxx=clang++
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"$cxx" -std=c++20 -O1 -I "$root/tests" -o "$tmp/make_seeds" "$here/make_seeds.cpp"
"$tmp/make_seeds" "$doc"

if command -v ffmpeg >/dev/null; then
    # ff OUTPUT INPUTS-AND-CODEC-OPTIONS...
    ff() {
        local out="$1"
        shift
        ffmpeg -hide_banner -loglevel error -y "$@" -map_metadata -1 -fflags +bitexact \
            -flags +bitexact "$out"
    }
    video=(-f lavfi -i "testsrc=size=64x48:rate=10:duration=1")
    tone=(-f lavfi -i "sine=frequency=440:duration=1")
    ff "$doc/ff_flv1_mp3.flv" "${video[@]}" "${tone[@]}" -c:v flv1 -g 5 -b:v 50k \
        -c:a libmp3lame -ar 22050 -ac 1 -b:a 32k
    ff "$doc/ff_video_only.flv" "${video[@]}" -c:v flv1 -g 3 -b:v 30k
    ff "$doc/ff_adpcm.flv" "${tone[@]}" -c:a adpcm_swf -ar 11025
    ff "$doc/ff_nellymoser.flv" "${tone[@]}" -t 0.3 -c:a nellymoser -ar 8000
    ff "$doc/ff_pcm.flv" "${tone[@]}" -t 0.2 -c:a pcm_s16le -ar 5512
    ls -l "$doc"/ff_*.flv
else
    echo "make_corpus.sh: no ffmpeg, only the built seeds" >&2
fi

# Error inputs: records of control byte, message, 0, detail, 0.
printf '\x00Open failed\x002\x00\x00outer\x00\x00' >"$err/plain"
printf '\x10inner\x0013\x00\x12outer\x00\x7f\xff\xff\xff\xff\xff\xff\xff\x00' >"$err/taken_over"
printf '\x00msg\x00-5\x00\x18self\x00 42abc\x00\x01\x00\x00\x00A\x00\x00\xd8\x00\x00\x00' \
    >"$err/odd_details"
printf '\x08aside\x00\x00\x00\x00\x00' >"$err/side_only"
printf '\x00\xe8\xa9\xb3\xe7\xb4\xb0\x0099999999999999999999\x00' >"$err/huge_detail"

total=$(du -cb "$doc" "$err" | tail -1 | cut -f1)
echo "corpus: $total bytes"
if [ "$total" -ge 307200 ]; then
    echo "make_corpus.sh: the corpus is over its 300 KB budget" >&2
    exit 1
fi
