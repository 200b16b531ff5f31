#!/usr/bin/env bash
# Measures flvsplice against the copy floor (cat) and the peers (yamdi,
# ffmpeg) on the corpus of make_corpus.sh, and writes the table to
# bench/RESULTS.md and into the "Latest results" section of bench/README.md
# (only when the results go to the default file).
#
#   bench/run.sh [--runs N] [--corpus DIR] [--build DIR] [--results FILE]
#                [--only GROUP[,GROUP...]] [--report-only]
#
# Every measure is a ratio against reference commands timed in the same
# invocation: each run times every command of a group once, in an order that
# rotates from run to run, so the subject and its references share the
# machine's noise. Before each timed command the page cache holds its inputs
# (they are read once) and earlier outputs are written back (sync), so no
# command pays for another's writeback. Outputs keep one name per command and
# are overwritten in place on every run. Ratios are taken run by run; the
# table gives their median and range, next to the same ratio of processor
# time (user + system), which the machine's load disturbs less.
#
# Groups: save_long save_avc save_mp4 save_many open memory cut join audio avi
# --report-only writes the report again from the figures of the last run.
# Defaults: 5 runs, corpus in $FLVSPLICE_BENCH_DIR or /tmp/flvsplice-bench,
# a Release build in build-bench/ (configured and built when missing).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/.." && pwd)"
runs=5
corpus="${FLVSPLICE_BENCH_DIR:-/tmp/flvsplice-bench}"
build="$repo/build-bench"
results="$here/RESULTS.md"
only=""
report_only=0

while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --corpus) corpus=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --results) results=$2; shift 2 ;;
        --only) only=",$2,"; shift 2 ;;
        --report-only) report_only=1; shift ;;
        *) echo "usage: bench/run.sh [--runs N] [--corpus DIR] [--build DIR]" \
                "[--results FILE] [--only GROUP,...] [--report-only]" >&2; exit 2 ;;
    esac
done
[ "$runs" -ge 1 ] 2>/dev/null || { echo "run.sh: --runs needs a positive number" >&2; exit 2; }
wanted() { [ -z "$only" ] || [[ "$only" == *",$1,"* ]]; }

need() {
    command -v "$1" >/dev/null && return
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
    fi
    command -v "$1" >/dev/null || { echo "run.sh: $1 is needed (package $2)" >&2; exit 1; }
}
need cmake cmake
need ninja ninja-build
need g++ g++
need ffmpeg ffmpeg
need yamdi yamdi

if [ "$report_only" = 0 ]; then
# The benchmark programs, from a Release build of this tree.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DFLVSPLICE_BUILD_TESTS=OFF -DFLVSPLICE_BUILD_CLI=OFF -DFLVSPLICE_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target bench_open bench_ops bench_time >/dev/null
bin="$build/bench"

"$here/make_corpus.sh" "$corpus"
corpus="$(cd "$corpus" && pwd -P)"
out="$corpus/out"
mkdir -p "$out"
cd "$corpus"

# One line per command: group, label, inputs to pre-read, command. The first
# command of a group is the subject, the others its references.
specs="$out/commands.txt"
: >"$specs"
add() { wanted "$1" && printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$specs"; return 0; }
ffq="ffmpeg -nostdin -hide_banner -loglevel error -y"
add save_long flvsplice long.flv "$bin/bench_ops save long.flv out/save_long.flv"
add save_long cat long.flv "cat long.flv > out/cat_long.flv"
add save_avc flvsplice avc_long.flv "$bin/bench_ops -m save avc_long.flv out/save_avc.flv"
add save_avc cat avc_long.flv "cat avc_long.flv > out/cat_avc.flv"
add save_mp4 flvsplice avc_long.flv "$bin/bench_ops -m mp4 avc_long.flv out/save_avc.mp4"
add save_mp4 cat avc_long.flv "cat avc_long.flv > out/cat_mp4.flv"
add save_mp4 ffmpeg_faststart avc_long.flv \
    "$ffq -i avc_long.flv -c copy -movflags +faststart out/ffmpeg_faststart.mp4"
add save_mp4 ffmpeg avc_long.flv "$ffq -i avc_long.flv -c copy out/ffmpeg_avc.mp4"
add save_many flvsplice manytags.flv "$bin/bench_ops save manytags.flv out/save_many.flv"
add save_many cat manytags.flv "cat manytags.flv > out/cat_many.flv"
add save_many yamdi manytags.flv "yamdi -i manytags.flv -o out/yamdi_many.flv"
add save_many ffmpeg manytags.flv "$ffq -i manytags.flv -c copy -f flv out/ffmpeg_many.flv"
add cut flvsplice long.flv "$bin/bench_ops cut long.flv 600000 1200000 out/cut.flv"
add cut ffmpeg long.flv "$ffq -ss 600 -to 1200 -i long.flv -c copy out/ffmpeg_cut.flv"
add join flvsplice long.flv "$bin/bench_ops join long.flv long.flv out/join.flv"
add join cat long.flv "cat long.flv long.flv > out/cat_join.flv"
add audio flvsplice long.flv "$bin/bench_ops audio long.flv out/audio.mp3"
add audio ffmpeg long.flv "$ffq -i long.flv -vn -c:a copy out/ffmpeg_audio.mp3"
add avi flvsplice long.flv "$bin/bench_ops avi long.flv out/video.avi"
add avi ffmpeg long.flv "$ffq -i long.flv -an -c:v copy out/ffmpeg_video.avi"

loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
cpu_pressure() { sed -n 's/^some avg10=\([^ ]*\) avg60=\([^ ]*\) avg300=\([^ ]*\).*/\3/p' \
    /proc/pressure/cpu 2>/dev/null || true; }
load_start="$(loadavg)"
started=$(date -u '+%Y-%m-%d %H:%M UTC')

# The timed runs.
times="$out/times.tsv"
: >"$times"
groups=$(cut -f1 "$specs" | uniq)
for ((run = 1; run <= runs; run++)); do
    for group in $groups; do
        mapfile -t lines < <(awk -F'\t' -v g="$group" '$1 == g' "$specs")
        n=${#lines[@]}
        for ((k = 0; k < n; k++)); do
            IFS=$'\t' read -r _ label inputs command <<<"${lines[$(((k + run) % n))]}"
            sync
            for input in $inputs; do cat "$input" >/dev/null; done
            read -r wall user sys rss status < <("$bin/bench_time" "$command")
            if [ "$status" != 0 ]; then
                echo "run.sh: '$command' failed with status $status" >&2
                exit 1
            fi
            printf '%d\t%s\t%s\t%s\t%s\t%s\t%s\n' "$run" "$group" "$label" "$wall" "$user" \
                "$sys" "$rss" >>"$times"
            printf 'run %d/%d  %-9s %-9s %7.2f s\n' "$run" "$runs" "$group" "$label" "$wall"
        done
    done
done

# Open alone and memory per tag, in process (each round reads the file once
# as the in-process floor, then opens it).
opens="$out/open.txt"
: >"$opens"
if wanted open || wanted memory; then
    for file in manytags.flv open100k.flv avc_long.flv; do
        sync
        cat "$file" >/dev/null
        modern=()
        [ "$file" = avc_long.flv ] && modern=(--modern)
        "$bin/bench_open" --repeat "$((runs < 3 ? 3 : runs))" --breakdown "${modern[@]}" "$file" |
            sed "s|^|$file\t|" >>"$opens"
    done
    # A salvaging open of the undamaged one-hour files, beside a normal one.
    for file in long.flv avc_long.flv; do
        modern=()
        [ "$file" = avc_long.flv ] && modern=(--modern)
        for mode in normal salvage; do
            flag=()
            [ "$mode" = salvage ] && flag=(--salvage)
            "$bin/bench_open" --repeat "$((runs < 3 ? 3 : runs))" --no-floor "${modern[@]}" \
                "${flag[@]}" "$file" | sed "s|^|$file+$mode\t|" >>"$opens"
        done
    done
fi
# The MP4 writer's memory beyond the open model: peak memory of an MP4 save
# less that of an FLV save of the same file, per sample.
if wanted memory; then
    for kind in save mp4; do
        "$bin/bench_ops" -v -m "$kind" avc_long.flv "out/memory.$kind" 2>&1 |
            sed -n "s|^peak_rss_kib |avc_long.flv+$kind\tpeak_rss_kib |p" >>"$opens"
    done
fi
load_end="$(loadavg)"
pressure="$(cpu_pressure)"

{
    echo "started=$started"
    echo "load_start=$load_start"
    echo "load_end=$load_end"
    echo "pressure=$pressure"
    echo "runs=$runs"
    echo "only=$only"
    echo "commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(
        git -C "$repo" diff --quiet HEAD -- flvsplice 2>/dev/null || echo ' with local changes')"
} >"$out/meta.txt"
fi

corpus="$(cd "$corpus" && pwd -P)"
out="$corpus/out"
cd "$corpus"
times="$out/times.tsv"
opens="$out/open.txt"
for key in started load_start load_end pressure runs only commit; do
    printf -v "$key" '%s' "$(sed -n "s/^$key=//p" "$out/meta.txt")"
done
bin="$build/bench"

# The report.
kv() { awk -F'\t' -v f="$1" -v k="$2" '$1 == f { split($2, a, " "); if (a[1] == k) print a[2] }' \
    "$opens"; }
ratio_rows=$(awk -F'\t' '
    function median(list, n,   i, j, t, v) {
        for (i = 2; i <= n; i++) { t = list[i]; for (j = i - 1; j >= 1 && list[j] > t; j--)
            list[j + 1] = list[j]; list[j + 1] = t }
        return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
    }
    {
        key = $2 SUBSEP $3; wall[key, $1] = $4; cpu[key, $1] = $5 + $6
        if (!(key in seen)) { seen[key] = 1; order[++nkeys] = key }
        if ($1 > runs) runs = $1
    }
    END {
        for (k = 1; k <= nkeys; k++) {
            split(order[k], gl, SUBSEP); g = gl[1]; l = gl[2]
            if (l == "flvsplice") continue
            subj = g SUBSEP "flvsplice"; ref = order[k]; n = 0; m = 0
            for (r = 1; r <= runs; r++) {
                if (!((subj, r) in wall) || !((ref, r) in wall)) continue
                w[++n] = wall[subj, r] / wall[ref, r]
                c[++m] = cpu[ref, r] > 0 ? cpu[subj, r] / cpu[ref, r] : 0
                ws[n] = wall[subj, r]; wr[n] = wall[ref, r]
            }
            lo = w[1]; hi = w[1]
            for (i = 2; i <= n; i++) { if (w[i] < lo) lo = w[i]; if (w[i] > hi) hi = w[i] }
            printf "%s\t%s\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%d\n", g, l, median(w, n), lo, hi,
                median(c, m), median(ws, n), median(wr, n), n
        }
    }' "$times")

verdict() { awk -v v="$1" -v t="$2" -v op="$3" 'BEGIN {
    ok = (op == "le") ? v <= t : v >= t; print ok ? "met" : "**missed**" }'; }

{
    echo "# Benchmark results"
    echo
    echo "Made by \`bench/run.sh --runs $runs\` on $started, library at commit ${commit:-unknown}."
    echo
    echo "Machine: $(uname -srm), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo |
        cut -d: -f2 | sed 's/^ //')), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' \
        /proc/meminfo), $(df -T "$corpus" | awk 'NR == 2 { print $2 }') file system;" \
        "$(cat --version | head -1), $(ffmpeg -version | head -1 | cut -d' ' -f1-3)," \
        "yamdi $(yamdi -h 2>&1 | sed -n 's/.*Version: *//p' | head -1)."
    echo
    echo "Noise: load average $load_start at the start, $load_end at the end" \
        "${pressure:+(processes waiting for a processor $pressure% of the time over the last 5 minutes)}."
    echo "The machine is shared with builds and fuzzers, so wall times swing by a factor of two" \
        "or more from run to run; every figure is therefore a ratio of commands timed" \
        "side by side (median of the per-run ratios, range in brackets), and the processor-time" \
        "ratio is given beside it."
    echo
    echo "Corpus: $(for f in long manytags open100k; do
        [ -f "$corpus/$f.checked" ] && awk '{ printf "%s %.0f MB %d tags; ", $1, $2 / 1e6, $4 }' \
            "$corpus/$f.checked"; done)"
    echo
    echo "A figure in × is flvsplice's time divided by the reference's (lower is better); one in" \
        "× faster is the reference's time divided by flvsplice's (higher is better, below 1 means" \
        "slower). Open and memory are measured inside one process (bench_open)."
    echo
    echo "| Measure | Reference | Result (wall) | Processor time | Target | Verdict |"
    echo "|---|---|---|---|---|---|"
    row() {  # group label text target-text threshold le|ge invert
        local line
        line=$(printf '%s\n' "$ratio_rows" | awk -F'\t' -v g="$1" -v l="$2" '$1 == g && $2 == l')
        [ -n "$line" ] || return 0
        IFS=$'\t' read -r _ _ med lo hi cpu subj ref n <<<"$line"
        local shown shown_lo shown_hi shown_cpu unit
        if [ "${7:-}" = invert ]; then
            shown=$(awk -v x="$med" 'BEGIN { printf "%.2f", 1 / x }')
            unit="× faster"
            shown_lo=$(awk -v x="$hi" 'BEGIN { printf "%.2f", 1 / x }')
            shown_hi=$(awk -v x="$lo" 'BEGIN { printf "%.2f", 1 / x }')
            shown_cpu=$(awk -v x="$cpu" 'BEGIN { printf "%.2f", (x > 0 ? 1 / x : 0) }')
        else
            shown=$(printf '%.2f' "$med"); shown_lo=$(printf '%.2f' "$lo")
            shown_hi=$(printf '%.2f' "$hi"); shown_cpu=$(printf '%.2f' "$cpu")
            unit="×"
        fi
        printf '| %s | %s | %s%s (%s–%s; %.2f s vs %.2f s) | %s%s | %s | %s |\n' "$3" "$2" \
            "$shown" "$unit" "$shown_lo" "$shown_hi" "$subj" "$ref" "$shown_cpu" "$unit" "$4" \
            "$(verdict "$shown" "$5" "$6")"
        return 0
    }
    row save_long cat "open + save as FLV, long" "≤ 1.2×" 1.2 le
    row save_avc cat "open + save as FLV, long H.264/AAC" "≤ 1.2×" 1.2 le
    row save_many cat "open + save as FLV, many tags" "≤ 2.0×" 2.0 le
    row save_many yamdi "open + save as FLV, many tags" "≥ 2× faster" 2 ge invert
    row save_many ffmpeg "open + save as FLV, many tags" "≥ 8× faster" 8 ge invert
    if [ -s "$opens" ]; then
        ns=$(kv manytags.flv open_ns_per_tag_median)
        first=$(kv manytags.flv first_open_ns_per_tag)
        cpu=$(kv manytags.flv open_cpu_ns_per_tag_median)
        floor=$(kv manytags.flv open_over_read_floor)
        if wanted open; then
            printf '| open only, many tags | read() of the file: open takes %s× as long |' "$floor"
            printf ' %s ns/tag (first open in the process %s) | %s ns/tag | ≤ 150 ns/tag | %s |\n' \
                "$ns" "$first" "$cpu" "$(verdict "$cpu" 150 le)"
        fi
        if wanted memory; then
            per=$(kv manytags.flv peak_rss_bytes_per_tag)
            printf '| peak memory after open, many tags | file: %s bytes/tag |' \
                "$(kv manytags.flv file_bytes_per_tag)"
            printf ' %s bytes/tag (heap %s) | — | ≤ 160 bytes/tag | %s |\n' "$per" \
                "$(kv manytags.flv heap_bytes_per_tag)" "$(verdict "$per" 160 le)"
        fi
    fi
    if [ -s "$opens" ] && grep -q '^avc_long.flv' "$opens" && wanted open; then
        printf '| open only, long H.264/AAC (modern codecs) | file: %s bytes/tag |' \
            "$(kv avc_long.flv file_bytes_per_tag)"
        printf ' %s ns/tag, %s bytes/tag | %s ns/tag | ≤ 150 ns/tag, ≤ 160 bytes/tag | %s |\n' \
            "$(kv avc_long.flv open_ns_per_tag_median)" "$(kv avc_long.flv peak_rss_bytes_per_tag)" \
            "$(kv avc_long.flv open_cpu_ns_per_tag_median)" \
            "$(verdict "$(kv avc_long.flv open_cpu_ns_per_tag_median)" 150 le)"
    fi
    row save_mp4 cat "open + save as MP4, long H.264/AAC" "≤ 1.5×" 1.5 le
    row save_mp4 ffmpeg_faststart "open + save as MP4, long H.264/AAC" "≥ 1.75× faster" 1.75 ge \
        invert
    row save_mp4 ffmpeg "open + save as MP4, long H.264/AAC" "faster" 1 ge invert
    if [ -s "$opens" ] && grep -q '^avc_long.flv+salvage' "$opens" && wanted open; then
        for file in long.flv avc_long.flv; do
            normal=$(kv "$file+normal" open_cpu_ns_per_tag_median)
            salvage=$(kv "$file+salvage" open_cpu_ns_per_tag_median)
            printf '| salvaging open of the undamaged %s | normal open: %s ns/tag |' "$file" \
                "$normal"
            printf ' %s ns/tag | %s× | ≤ 1.05× | %s |\n' "$salvage" \
                "$(awk -v a="$salvage" -v b="$normal" 'BEGIN { printf "%.2f", a / b }')" \
                "$(verdict "$(awk -v a="$salvage" -v b="$normal" 'BEGIN { print a / b }')" 1.05 le)"
        done
    fi
    if [ -s "$opens" ] && grep -q '^avc_long.flv+mp4' "$opens" && wanted memory; then
        per=$(awk -v a="$(kv avc_long.flv+mp4 peak_rss_kib)" -v b="$(kv avc_long.flv+save peak_rss_kib)" \
            -v n="$(kv avc_long.flv tags)" 'BEGIN { printf "%.1f", (a - b) * 1024 / n }')
        printf '| MP4 sample tables, long H.264/AAC | peak memory of an FLV save |'
        printf ' %s bytes/sample more | — | ≤ 24 bytes/sample | %s |\n' "$per" \
            "$(verdict "$per" 24 le)"
    fi
    row cut ffmpeg "cut 10 minutes out of long and save" "faster than ffmpeg" 1 ge invert
    row join cat "join long + long and save" "≤ 1.3×" 1.3 le
    row audio ffmpeg "audio export, long" "≥ 3× faster" 3 ge invert
    row avi ffmpeg "AVI export, long" "≥ 2× faster" 2 ge invert
    echo
    if wanted cut && [ -f out/cut.flv ]; then
        full=$(printf '%s\n' "$ratio_rows" | awk -F'\t' '$1 == "save_long" && $2 == "cat" { print $7 }')
        cutt=$(printf '%s\n' "$ratio_rows" | awk -F'\t' '$1 == "cut" { print $7 }')
        kept=$(awk -v a="$(stat -c %s out/cut.flv)" -v b="$(stat -c %s long.flv)" \
            'BEGIN { printf "%.0f", 100 * a / b }')
        echo "Cut: keeps $kept% of the bytes of long.flv in ${cutt} s${full:+ (a full save: ${full} s)}."
        echo
    fi
    echo "Medians of wall time in seconds, per command:"
    echo
    echo "| Group | Command | Median | Min | Max | Median CPU (user+sys) | Peak RSS |"
    echo "|---|---|---|---|---|---|---|"
    awk -F'\t' '
        function median(list, n,   i, j, t) {
            for (i = 2; i <= n; i++) { t = list[i]; for (j = i - 1; j >= 1 && list[j] > t; j--)
                list[j + 1] = list[j]; list[j + 1] = t }
            return n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
        }
        { key = $2 "\t" $3; if (!(key in cnt)) order[++nk] = key; n = ++cnt[key]
          w[key, n] = $4; c[key, n] = $5 + $6; if ($7 > rss[key]) rss[key] = $7 }
        END { for (k = 1; k <= nk; k++) { key = order[k]; n = cnt[key]
              lo = hi = w[key, 1]
              for (i = 1; i <= n; i++) { a[i] = w[key, i]; b[i] = c[key, i]
                  if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
              split(key, p, "\t")
              printf "| %s | %s | %.3f | %.3f | %.3f | %.3f | %.0f MiB |\n", p[1], p[2],
                  median(a, n), lo, hi, median(b, n), rss[key] / 1024 } }' "$times"
    if [ -s "$opens" ]; then
        echo
        echo "Open in process (bench_open), median of $((runs < 3 ? 3 : runs)) rounds:"
        echo
        echo "| File | Tags | Open | ns/tag | CPU ns/tag | read() floor | Peak RSS bytes/tag | Heap bytes/tag | Destroy ns/tag |"
        echo "|---|---|---|---|---|---|---|---|---|"
        for f in manytags.flv open100k.flv; do
            printf '| %s | %s | %s ms | %s | %s | %s ms | %s | %s | %s |\n' "$f" "$(kv "$f" tags)" \
                "$(kv "$f" open_ms_median)" "$(kv "$f" open_ns_per_tag_median)" \
                "$(kv "$f" open_cpu_ns_per_tag_median)" "$(kv "$f" read_floor_ms_median)" \
                "$(kv "$f" peak_rss_bytes_per_tag)" "$(kv "$f" heap_bytes_per_tag)" \
                "$(kv "$f" destroy_ns_per_tag_median)"
        done
        echo
        echo "Memory of the loaded model of manytags.flv, by object (elements in the document's pool, lists on the heap):"
        echo
        echo '```'
        awk -F'\t' '$1 == "manytags.flv" && (/object|CFlv|lists/ || /breakdown_/) { print $2 }' "$opens"
        echo '```'
    fi
} >"$results"

# The README keeps the latest table between its two markers.
readme="$here/README.md"
if [ "$results" = "$here/RESULTS.md" ] && grep -q '^<!-- latest results -->$' "$readme"; then
    {
        sed -n '1,/^<!-- latest results -->$/p' "$readme"
        echo
        sed '1d; s/^# /### /' "$results"
        echo
        sed -n '/^<!-- end of latest results -->$/,$p' "$readme"
    } >"$readme.new"
    mv "$readme.new" "$readme"
fi

echo
cat "$results"
