#!/usr/bin/env bash
# Makes the benchmark corpus from synthetic sources (ffmpeg's testsrc2 pattern
# and a sine tone), outside the repository:
#
#   long.flv      1 hour, Sorenson H.263 640x360 25 fps, key frame every 250
#                 frames, about 1.2 Mbit/s, with MP3 44.1 kHz stereo 128 kbit/s
#                 (about 600 MB, 228,000 tags)
#   manytags.flv  4.4 hours, H.263 160x120 25 fps, about 50 kbit/s, with MP3
#                 44.1 kHz mono 32 kbit/s (about 180 MB, 1,000,000 tags, mean
#                 payload about 165 bytes)
#   open100k.flv  the manytags material for 27 minutes (about 102,500 tags)
#   avc_long.flv  1 hour, H.264 640x360 25 fps with B-frames, an IDR every
#                 50 frames, about 1.2 Mbit/s, with AAC 44.1 kHz stereo
#                 128 kbit/s (about 600 MB, 245,000 tags)
#
# Each file is one short piece encoded once (60 s) and repeated with
# `-stream_loop N -c copy`, so the corpus takes seconds to make. The piece is
# kept as NUT because ffmpeg can loop it (it cannot seek back in an FLV
# without an index); the looped copy is written as FLV, with timestamps that
# keep rising across the joins. Every result is checked with ffprobe.
#
#   bench/make_corpus.sh [DIR]      (default: $FLVSPLICE_BENCH_DIR or
#                                    /tmp/flvsplice-bench)
#
# Files already made with the same recipe are kept; delete DIR to start over.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
dir="${1:-${FLVSPLICE_BENCH_DIR:-/tmp/flvsplice-bench}}"

need() {
    command -v "$1" >/dev/null && return
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
    fi
    command -v "$1" >/dev/null || { echo "make_corpus.sh: $1 is needed (package $2)" >&2; exit 1; }
}
need ffmpeg ffmpeg
need ffprobe ffmpeg

mkdir -p "$dir"
dir="$(cd "$dir" && pwd -P)"
case "$dir/" in
    "$repo"/*) echo "make_corpus.sh: $dir is inside the repository; choose a folder outside it" >&2
               exit 1 ;;
esac

piece_seconds=60
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }

# encode NAME SIZE VIDEO_KBPS CHANNELS AUDIO_KBPS
encode_piece() {
    local name=$1 size=$2 vkbps=$3 channels=$4 akbps=$5
    ff -f lavfi -i "testsrc2=size=${size}:rate=25:duration=${piece_seconds}" \
       -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=44100:duration=${piece_seconds}" \
       -map 0:v -map 1:a \
       -c:v flv1 -g 250 -b:v "${vkbps}k" -maxrate "${vkbps}k" -bufsize "$((2 * vkbps))k" \
       -c:a libmp3lame -ar 44100 -ac "$channels" -b:a "${akbps}k" \
       -map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
       -f nut "$dir/$name.piece.nut"
}

# loop NAME PIECE COUNT: COUNT copies of the piece, one after another
loop_piece() {
    local name=$1 piece=$2 count=$3
    ff -stream_loop "$((count - 1))" -i "$dir/$piece.piece.nut" -c copy \
       -map_metadata -1 -fflags +bitexact -f flv "$dir/$name.flv.tmp"
    mv "$dir/$name.flv.tmp" "$dir/$name.flv"
}

# check NAME: ffprobe reads every packet; timestamps must rise within each stream
check() {
    local name=$1 file="$dir/$1.flv"
    local report
    report=$(ffprobe -v error -show_entries packet=stream_index,dts -of csv=p=0 "$file" |
        awk -F, '{ n++; if (($1 in last) && $2 < last[$1]) bad++; last[$1] = $2 }
                 END { printf "%d %d\n", n, bad + 0 }')
    local packets=${report% *} backwards=${report#* }
    if [ "$backwards" != 0 ] || [ "$packets" -lt 1000 ]; then
        echo "make_corpus.sh: $file: $packets packets, $backwards timestamps going back" >&2
        exit 1
    fi
    local duration
    duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")
    printf '%-14s %11d bytes %9d tags %8.0f s\n' "$name.flv" "$(stat -c %s "$file")" \
        "$packets" "$duration" | tee "$dir/$name.checked"
}

# The recipe of each file, so a changed recipe makes it again.
recipe_long="640x360 1200k stereo 128k x60 v1"
recipe_many="160x120 50k mono 32k x264 v1"
recipe_open="160x120 50k mono 32k x27 v1"
recipe_avc="h264 640x360 1200k aac stereo 128k x60 v1"

# encode_avc_piece NAME: the H.264/AAC piece
encode_avc_piece() {
    local name=$1
    ff -f lavfi -i "testsrc2=size=640x360:rate=25:duration=${piece_seconds}" \
       -f lavfi -i "sine=frequency=440:beep_factor=4:sample_rate=44100:duration=${piece_seconds}" \
       -map 0:v -map 1:a \
       -c:v libx264 -preset veryfast -bf 2 -g 50 -pix_fmt yuv420p \
       -b:v 1200k -maxrate 1200k -bufsize 2400k \
       -c:a aac -ar 44100 -ac 2 -b:a 128k \
       -map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
       -f nut "$dir/$name.piece.nut"
}

make_one() {
    local name=$1 recipe=$2 piece=$3 count=$4
    # A file made by this recipe and checked at its present size is kept.
    local stamp="$recipe $(stat -c %s "$dir/$name.flv" 2>/dev/null || echo none)"
    if [ "$(cat "$dir/$name.recipe" 2>/dev/null)" = "$stamp" ] && [ -f "$dir/$name.checked" ]; then
        cat "$dir/$name.checked"
        return
    fi
    rm -f "$dir/$name.recipe" "$dir/$name.checked"
    loop_piece "$name" "$piece" "$count"
    check "$name"
    echo "$recipe $(stat -c %s "$dir/$name.flv")" >"$dir/$name.recipe"
}

[ -f "$dir/long.piece.nut" ] || encode_piece long 640x360 1200 2 128
[ -f "$dir/many.piece.nut" ] || encode_piece many 160x120 50 1 32

make_one long "$recipe_long" long 60        # 60 x 60 s = 1 hour
make_one manytags "$recipe_many" many 264   # 264 x 60 s = 4.4 hours
make_one open100k "$recipe_open" many 27    # 27 x 60 s
[ -f "$dir/avc.piece.nut" ] || encode_avc_piece avc
make_one avc_long "$recipe_avc" avc 60      # 60 x 60 s = 1 hour

echo "corpus in $dir"
