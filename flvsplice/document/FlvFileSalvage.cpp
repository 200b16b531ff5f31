#include <algorithm>
#include <cstdio>
#include <cstring>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvStream.h"

// A salvaging Open: the tag walk that skips what it cannot trust instead of
// failing, and the rules that mend the loaded list (repeated runs and
// configurations, frames that lost their references, the timeline, the
// header flags). Every problem met goes to m_salvageReport.

namespace {

using Problem = FlvSalvageProblem;

// Bytes read at once while looking for the next trustworthy tag.
constexpr size_t kScanWindow = 256 * 1024;
// The longest run of tags compared as a possible repetition of the run
// before it (a GOP of ten seconds at 60 frames with its audio fits).
constexpr size_t kMaxRepeatedRun = 8192;
// Tags of the same type and size whose headers are compared in the file
// while looking for the start of a repeated run.
constexpr int kMaxHeaderTries = 64;
// A stream's frame interval before two of its frames were seen (ms).
constexpr uint32_t kDefaultInterval = 40;
// A drop this large is a 24-bit timestamp that wrapped.
constexpr uint32_t kWrapDrop = 0xF00000;
constexpr uint8_t kOnMetaData[13] = {0x02, 0x00, 0x0A, 'o', 'n', 'M', 'e',
                                     't',  'a',  'D',  'a', 't', 'a'};

bool IsFlvHeader(const uint8_t* h) {
    return h[0] == 'F' && h[1] == 'L' && h[2] == 'V' && h[3] == 1;
}

// A tag header that may start a tag: a known type, stream id 0, some data.
bool IsPlausibleHeader(const uint8_t* h) {
    return (h[0] == CFlvTag::kAudio || h[0] == CFlvTag::kVideo || h[0] == CFlvTag::kScriptData) &&
           h[8] == 0 && h[9] == 0 && h[10] == 0 && flvbytes::ReadBE24(h + 1) != 0;
}

bool IsAvcFrame(const CFlvTag* tag) {
    if (tag->m_tagType != CFlvTag::kVideo || !tag->IsFrame()) return false;
    const auto* video = static_cast<const CFlvVideoData*>(tag->m_payload.get());
    return video != nullptr && video->GetCodecId() == flvcodec::kVideoAvc;
}

bool IsAacFrame(const CFlvTag* tag) {
    if (tag->m_tagType != CFlvTag::kAudio || !tag->IsFrame()) return false;
    const auto* audio = static_cast<const CFlvAudioData*>(tag->m_payload.get());
    return audio != nullptr && audio->GetSoundFormat() == flvcodec::kSoundAac;
}

// An end of sequence (not a metadata or command tag, which also are no frames).
bool IsEndOfSequence(const CFlvTag* tag) {
    if (tag->m_tagType != CFlvTag::kVideo || tag->IsFrame()) return false;
    const auto* video = static_cast<const CFlvVideoData*>(tag->m_payload.get());
    return video != nullptr && video->IsEndOfSequence();
}

bool SameShape(const CFlvTag* a, const CFlvTag* b) {
    return a->m_tagType == b->m_tagType && a->GetDataSize() == b->GetDataSize();
}

}  // namespace

const char* FlvSalvageKindName(FlvSalvageProblem::Kind kind) {
    switch (kind) {
        case Problem::Kind::TruncatedTail:
            return "truncated-tail";
        case Problem::Kind::WrongPreviousTagSize:
            return "wrong-previous-tag-size";
        case Problem::Kind::SkippedBytes:
            return "skipped-bytes";
        case Problem::Kind::UndecodableFrames:
            return "undecodable-frames";
        case Problem::Kind::Reconnect:
            return "reconnect";
        case Problem::Kind::NewMetaData:
            return "new-metadata";
        case Problem::Kind::TimestampWrap:
            return "timestamp-wrap";
        case Problem::Kind::TimestampJump:
            return "timestamp-jump";
        case Problem::Kind::RepeatedConfig:
            return "repeated-config";
        case Problem::Kind::ChangedConfig:
            return "changed-config";
        case Problem::Kind::EndOfSequence:
            return "end-of-sequence";
        case Problem::Kind::RepeatedRun:
            return "repeated-run";
        case Problem::Kind::HeaderFlags:
            return "header-flags";
        case Problem::Kind::MissingConfig:
            return "missing-config";
    }
    return "unknown";
}

const char* FlvSalvageActionName(FlvSalvageProblem::Action action) {
    switch (action) {
        case Problem::Action::Dropped:
            return "dropped";
        case Problem::Action::Ignored:
            return "ignored";
        case Problem::Action::Skipped:
            return "skipped";
        case Problem::Action::Continued:
            return "continued";
        case Problem::Action::Shifted:
            return "shifted";
        case Problem::Action::Kept:
            return "kept";
        case Problem::Action::Derived:
            return "derived";
    }
    return "unknown";
}

// Takes a trusted tag into the list, noting what the mending decides by.
inline void CFlvFile::KeepSalvagedTag(CFlvTag* tag, uint64_t at) {
    SalvageScan& scan = m_salvageScan;
    const size_t index = m_tags.size();
    m_tags.push_back(tag);
    if (at != scan.nextOffset) m_salvageRuns.emplace_back(index, at);
    scan.nextOffset = at + CFlvTag::kHeaderSize + tag->GetDataSize() + 4;
    const uint32_t raw = tag->GetTimestamp();
    scan.lastTime = raw;
    const int stream = tag->m_tagType == CFlvTag::kVideo ? 1 : 0;
    if (scan.seen[stream] &&
        (raw < scan.last[stream] || raw - scan.last[stream] > m_options.salvageJumpMs)) {
        scan.timeBroken = true;
    }
    scan.seen[stream] = true;
    scan.last[stream] = raw;
    if (stream == 1) {
        scan.lastVideo = index;
    } else {
        ++scan.audioCount;
    }
    if (!tag->IsFrame()) {
        scan.notFrames.push_back(index);
    } else if (scan.firstCoded[stream] == SIZE_MAX &&
               (stream == 1 ? IsAvcFrame(tag) : IsAacFrame(tag))) {
        scan.firstCoded[stream] = index;
    }
}

// An undamaged stretch from *at on, read the way a normal Open reads it: a
// tag is taken at once when it loads, ends inside the file and its
// PreviousTagSize is right. Anything else (script data included) is left at
// *at for the careful walk. This keeps salvaging an undamaged file about as
// fast as opening it.
void CFlvFile::LoadCleanTags(uint64_t* at, uint64_t size) {
    uint64_t pos = *at;
    if (!m_file->Seek(static_cast<int64_t>(pos), SEEK_SET)) return;
    while (size - pos >= CFlvTag::kHeaderSize + 4) {
        CFlvTag& tag = m_loadedTags.emplace_back();
        const uint32_t dataSize =
            tag.Load(m_file.get(), 0, m_options.modernCodecs) ? tag.GetDataSize() : 0;
        const uint64_t end = pos + CFlvTag::kHeaderSize + dataSize;
        uint8_t back[4];
        if (dataSize == 0 || tag.m_tagType == CFlvTag::kScriptData || tag.m_streamId[0] != 0 ||
            tag.m_streamId[1] != 0 || tag.m_streamId[2] != 0 || end > size - 4 ||
            (m_file->Tell() != static_cast<int64_t>(end) &&
             !m_file->Seek(static_cast<int64_t>(end), SEEK_SET)) ||
            m_file->Read(back, 4) != 4 ||
            flvbytes::ReadBE32(back) != dataSize + CFlvTag::kHeaderSize) {
            m_loadedTags.pop_back();
            break;
        }
        tag.SetTrailerVerified();
        KeepSalvagedTag(&tag, pos);
        pos = end + 4;
    }
    *at = pos;
}

int CFlvFile::LoadTagsSalvage(int64_t fileSizeSigned) {
    const auto size = static_cast<uint64_t>(fileSizeSigned);
    bool readFailed = false;
    auto readAt = [&](uint64_t offset, void* out, size_t count) {
        if (m_file->Seek(static_cast<int64_t>(offset), SEEK_SET) &&
            m_file->Read(out, count) == count) {
            return true;
        }
        readFailed = true;
        return false;
    };
    auto report = [&](Problem::Kind kind, Problem::Action action, uint64_t offset, int64_t amount) {
        m_salvageReport.push_back(
            {kind, action, offset, m_tags.size(), m_salvageScan.lastTime, amount});
    };
    // The tag at pos is confirmed by the chain: its PreviousTagSize matches
    // and what follows is the end of the file or another plausible start.
    auto confirmed = [&](uint64_t pos, const uint8_t* h) {
        const uint32_t dataSize = flvbytes::ReadBE24(h + 1);
        const uint64_t end = pos + CFlvTag::kHeaderSize + dataSize;
        uint8_t back[4];
        if (end > size || size - end < 4 || !readAt(end, back, 4) ||
            flvbytes::ReadBE32(back) != dataSize + CFlvTag::kHeaderSize) {
            return false;
        }
        const uint64_t next = end + 4;
        if (size - next < CFlvTag::kHeaderSize) return true;
        uint8_t n[CFlvTag::kHeaderSize];
        return readAt(next, n, sizeof n) && (IsPlausibleHeader(n) || IsFlvHeader(n));
    };
    // The next position from `from` on where a confirmed tag or an FLV header
    // starts, or size. Linear in the bytes passed over.
    std::vector<uint8_t> window;
    auto resync = [&](uint64_t from) -> uint64_t {
        window.resize(kScanWindow);
        uint64_t start = from;
        while (start < size && size - start >= CFlvTag::kHeaderSize) {
            const auto n = static_cast<size_t>(std::min<uint64_t>(kScanWindow, size - start));
            if (!readAt(start, window.data(), n)) return size;
            const uint8_t* data = window.data();
            size_t i = 0;
            for (; i + CFlvTag::kHeaderSize <= n; ++i) {
                const uint8_t t = data[i];
                if (t != CFlvTag::kAudio && t != CFlvTag::kVideo && t != CFlvTag::kScriptData &&
                    t != 'F') {
                    continue;
                }
                const uint8_t* h = data + i;
                if (IsFlvHeader(h)) {
                    const uint32_t offset = flvbytes::ReadBE32(h + 5);
                    if (offset >= CFlvHeader::kStandardSize && offset <= 1024) return start + i;
                    continue;
                }
                if (IsPlausibleHeader(h) && confirmed(start + i, h)) return start + i;
                if (readFailed) return size;
            }
            if (start + n >= size) break;
            start += i;
        }
        return size;
    };

    uint64_t pos = std::max<uint64_t>(m_flvHeader->GetDataOffset(), CFlvHeader::kStandardSize) + 4;
    while (pos < size) {
        LoadCleanTags(&pos, size);
        if (pos >= size) break;
        const uint64_t left = size - pos;
        uint8_t h[CFlvTag::kHeaderSize];
        if (left < CFlvTag::kHeaderSize) {
            report(Problem::Kind::TruncatedTail, Problem::Action::Dropped, pos,
                   static_cast<int64_t>(left));
            break;
        }
        if (!readAt(pos, h, sizeof h)) break;
        const uint64_t end = pos + CFlvTag::kHeaderSize + flvbytes::ReadBE24(h + 1);
        bool tagTruncated = false;
        if (IsFlvHeader(h)) {
            const uint32_t offset = flvbytes::ReadBE32(h + 5);
            if (offset >= CFlvHeader::kStandardSize && offset <= left && left - offset >= 4) {
                report(Problem::Kind::Reconnect, Problem::Action::Continued, pos, 0);
                pos += offset + 4;
                continue;
            }
        } else if (IsPlausibleHeader(h) && end > size) {
            tagTruncated = true;
        } else if (IsPlausibleHeader(h)) {
            // Trusted when its PreviousTagSize matches or the next header is
            // plausible (then only the back-pointer is wrong). The stream is
            // at the tag's end after loading it: the PreviousTagSize is read
            // in the same pass.
            const uint32_t dataSize = flvbytes::ReadBE24(h + 1);
            CFlvTag& tag = m_loadedTags.emplace_back();
            const bool loaded = m_file->Seek(static_cast<int64_t>(pos), SEEK_SET) &&
                                tag.Load(m_file.get(), 0, m_options.modernCodecs);
            const bool trailerShort = size - end < 4;
            bool trailerRight = false;
            bool nextPlausible = true;
            uint32_t trailer = 0;
            if (loaded && !trailerShort) {
                uint8_t back[4];
                if (m_file->Tell() != static_cast<int64_t>(end)) {
                    m_file->Seek(static_cast<int64_t>(end), SEEK_SET);
                }
                if (m_file->Read(back, 4) != 4) readFailed = true;
                trailer = flvbytes::ReadBE32(back);
                trailerRight = !readFailed && trailer == dataSize + CFlvTag::kHeaderSize;
                if (!readFailed && !trailerRight && size - (end + 4) >= CFlvTag::kHeaderSize) {
                    uint8_t n[CFlvTag::kHeaderSize];
                    nextPlausible =
                        readAt(end + 4, n, sizeof n) && (IsPlausibleHeader(n) || IsFlvHeader(n));
                }
            }
            if (loaded && !readFailed && (trailerRight || nextPlausible)) {
                if (tag.m_tagType == CFlvTag::kScriptData) {
                    m_loadedTags.pop_back();
                    uint8_t name[sizeof kOnMetaData];
                    if (!m_tags.empty() && dataSize >= sizeof name &&
                        readAt(pos + CFlvTag::kHeaderSize, name, sizeof name) &&
                        std::memcmp(name, kOnMetaData, sizeof name) == 0) {
                        report(Problem::Kind::NewMetaData, Problem::Action::Continued, pos, 0);
                    }
                } else {
                    if (trailerRight) tag.SetTrailerVerified();
                    KeepSalvagedTag(&tag, pos);
                }
                if (trailerShort) {
                    report(Problem::Kind::TruncatedTail, Problem::Action::Dropped, end,
                           static_cast<int64_t>(size - end));
                    break;
                }
                if (!trailerRight) {
                    report(Problem::Kind::WrongPreviousTagSize, Problem::Action::Ignored, end,
                           trailer);
                }
                pos = end + 4;
                continue;
            }
            m_loadedTags.pop_back();
        }
        if (readFailed) break;
        const uint64_t found = resync(pos + 1);
        if (readFailed) break;
        if (found >= size) {
            report(tagTruncated ? Problem::Kind::TruncatedTail : Problem::Kind::SkippedBytes,
                   tagTruncated ? Problem::Action::Dropped : Problem::Action::Skipped, pos,
                   static_cast<int64_t>(left));
            break;
        }
        report(Problem::Kind::SkippedBytes, Problem::Action::Skipped, pos,
               static_cast<int64_t>(found - pos));
        m_salvageGaps.push_back(m_tags.size());
        pos = found;
    }
    if (readFailed) {
        PushSystemError(L"FLVファイルの修復読み込み時にファイルREADエラーが発生しました。",
                        m_file->LastError());
        return FlvResult::ReadFailed;
    }
    return FlvResult::Success;
}

bool CFlvFile::NeedsMending() const {
    // The mending below changes nothing when no bytes were skipped, each
    // stream's times rise by no more than the jump limit, each stream has at
    // most one configuration, before its first H.264 or AAC frame, and an
    // end of sequence comes only after the last video tag.
    const SalvageScan& scan = m_salvageScan;
    if (!m_salvageGaps.empty() || scan.timeBroken) return true;
    if (!m_options.modernCodecs) return false;
    size_t config[2] = {SIZE_MAX, SIZE_MAX};
    for (const size_t index : scan.notFrames) {
        const CFlvTag* tag = m_tags[index];
        const int stream = tag->m_tagType == CFlvTag::kVideo ? 1 : 0;
        if (GetDecoderConfig(tag) != nullptr) {
            if (config[stream] != SIZE_MAX) return true;
            config[stream] = index;
        } else if (IsEndOfSequence(tag) && index != scan.lastVideo) {
            return true;
        }
    }
    for (int stream = 0; stream < 2; ++stream) {
        const size_t first = scan.firstCoded[stream];
        if (first != SIZE_MAX && (config[stream] == SIZE_MAX || config[stream] > first)) {
            return true;
        }
    }
    return false;
}

bool CFlvFile::MendSalvagedTags() {
    const size_t n = m_tags.size();
    std::vector<CFlvTag*> kept;
    if (!NeedsMending()) {
        kept.swap(m_tags);
        return FinishSalvage(std::move(kept), m_salvageScan.seen[0], m_salvageScan.seen[1]);
    }
    m_salvageScan.audioCount = SIZE_MAX;  // counted again from the kept tags
    m_salvageOffsets.resize(n);
    for (size_t run = 0; run < m_salvageRuns.size(); ++run) {
        const size_t to = run + 1 < m_salvageRuns.size() ? m_salvageRuns[run + 1].first : n;
        uint64_t offset = m_salvageRuns[run].second;
        for (size_t i = m_salvageRuns[run].first; i < to; ++i) {
            m_salvageOffsets[i] = offset;
            offset += CFlvTag::kHeaderSize + m_tags[i]->GetDataSize() + 4;
        }
    }
    bool audio = false, video = false;
    kept.reserve(n);
    auto report = [&](Problem::Kind kind, Problem::Action action, size_t index, int64_t amount) {
        m_salvageReport.push_back(
            {kind, action, m_salvageOffsets[index], index, m_tags[index]->GetTimestamp(), amount});
    };

    // Byte comparison of two ranges of the source.
    std::vector<uint8_t> bufferA, bufferB;
    bool readFailed = false;
    auto sameBytes = [&](uint64_t a, uint64_t b, uint64_t count) {
        constexpr size_t kChunk = 64 * 1024;
        bufferA.resize(kChunk);
        bufferB.resize(kChunk);
        while (count > 0) {
            const auto step = static_cast<size_t>(std::min<uint64_t>(kChunk, count));
            if (!m_file->Seek(static_cast<int64_t>(a), SEEK_SET) ||
                m_file->Read(bufferA.data(), step) != step ||
                !m_file->Seek(static_cast<int64_t>(b), SEEK_SET) ||
                m_file->Read(bufferB.data(), step) != step) {
                readFailed = true;
                return false;
            }
            if (std::memcmp(bufferA.data(), bufferB.data(), step) != 0) return false;
            a += step;
            b += step;
            count -= step;
        }
        return true;
    };
    // The length of the run starting at i that repeats, byte for byte, the
    // run just before it; 0 when there is none.
    // Tags before i may carry mended timestamps already: the headers as read
    // are compared in the file.
    auto repeatedRun = [&](size_t i) -> size_t {
        const size_t stop = i > kMaxRepeatedRun ? i - kMaxRepeatedRun : 0;
        size_t j = i;
        for (int tries = 0; j > stop; --j) {
            if (!SameShape(m_tags[j - 1], m_tags[i])) continue;
            if (sameBytes(m_salvageOffsets[j - 1], m_salvageOffsets[i], CFlvTag::kHeaderSize)) {
                break;
            }
            if (readFailed || ++tries == kMaxHeaderTries) return 0;
        }
        if (j == stop) return 0;
        --j;
        const size_t length = i - j;
        if (i + length > n) return 0;
        for (size_t k = 0; k < length; ++k) {
            if (!SameShape(m_tags[j + k], m_tags[i + k])) return 0;
        }
        for (size_t k = 0; k < length; ++k) {
            const CFlvTag* tag = m_tags[i + k];
            if (!sameBytes(m_salvageOffsets[j + k], m_salvageOffsets[i + k],
                           uint64_t(CFlvTag::kHeaderSize) + tag->GetDataSize())) {
                return 0;
            }
        }
        return length;
    };

    // The timeline: wraps get 2^24 more, and a break (back in time, or far
    // forward) is closed so that the tag follows its stream's previous one by
    // one interval; both streams move together and keep their distance.
    int64_t shift = 0;
    int64_t wraps[2] = {0, 0};
    int64_t wrapsReported = 0;
    bool have[2] = {false, false};
    uint32_t previousRaw[2] = {0, 0};
    int64_t previousOut[2] = {0, 0};
    int64_t interval[2] = {0, 0};
    auto retime = [&](CFlvTag* tag, size_t index) {
        const int stream = tag->m_tagType == CFlvTag::kVideo ? 1 : 0;
        audio |= stream == 0;
        video |= stream == 1;
        const uint32_t raw = tag->GetTimestamp();
        if (have[stream] && uint64_t{raw} + kWrapDrop < previousRaw[stream]) {
            ++wraps[stream];
            if (wraps[stream] > wrapsReported) {
                ++wrapsReported;
                report(Problem::Kind::TimestampWrap, Problem::Action::Shifted, index,
                       int64_t{1} << 24);
            }
        }
        int64_t out = int64_t{raw} + (wraps[stream] << 24) + shift;
        if (have[stream] && (out < previousOut[stream] ||
                             out > previousOut[stream] + int64_t{m_options.salvageJumpMs})) {
            const int64_t step = interval[stream] > 0 ? interval[stream] : kDefaultInterval;
            const int64_t target = previousOut[stream] + step;
            report(Problem::Kind::TimestampJump, Problem::Action::Shifted, index, target - out);
            shift += target - out;
            out = target;
        }
        if (out < 0) {
            // A stream that starts before the other's break: keep it at 0.
            shift -= out;
            out = 0;
        }
        if (have[stream] && tag->IsFrame() && out > previousOut[stream]) {
            interval[stream] = out - previousOut[stream];
        }
        have[stream] = true;
        previousRaw[stream] = raw;
        previousOut[stream] = out;
        const auto time = static_cast<uint32_t>(std::min<int64_t>(out, UINT32_MAX));
        if (time != raw) tag->SetTimestamp(time);
    };

    size_t lastVideo = n;
    for (size_t i = n; i-- > 0;) {
        if (m_tags[i]->m_tagType == CFlvTag::kVideo) {
            lastVideo = i;
            break;
        }
    }
    size_t gap = 0;
    bool awaitCutPoint = false;
    bool gapBehind = false;
    bool haveVideoTime = false;
    uint32_t videoTime = 0, videoStep = 0;
    size_t undecodableFrom = 0, undecodable = 0;
    auto reportUndecodable = [&] {
        if (undecodable == 0) return;
        report(Problem::Kind::UndecodableFrames, Problem::Action::Dropped, undecodableFrom,
               static_cast<int64_t>(undecodable));
        undecodable = 0;
    };
    size_t missingFrom[2] = {0, 0}, missing[2] = {0, 0};
    const FlvDecoderConfig* lastConfig[2] = {nullptr, nullptr};
    bool haveTime[2] = {false, false};
    uint32_t lastRaw[2] = {0, 0};
    for (size_t i = 0; i < n;) {
        for (; gap < m_salvageGaps.size() && m_salvageGaps[gap] <= i; ++gap) {
            if (m_salvageGaps[gap] == i) gapBehind = true;
        }
        CFlvTag* tag = m_tags[i];
        const int stream = tag->m_tagType == CFlvTag::kVideo ? 1 : 0;
        const uint32_t raw = tag->GetTimestamp();
        // A stream going back in time may be a run sent twice.
        if (haveTime[stream] && raw < lastRaw[stream]) {
            if (const size_t length = repeatedRun(i)) {
                report(Problem::Kind::RepeatedRun, Problem::Action::Dropped, i,
                       static_cast<int64_t>(length));
                i += length;
                continue;
            }
            if (readFailed) break;
        }
        haveTime[stream] = true;
        lastRaw[stream] = raw;

        bool drop = false;
        if (gapBehind && stream == 1 && tag->IsFrame()) {
            // Bytes between intact tags cost no frame: when the video goes on
            // by its usual step, nothing it refers to was lost.
            gapBehind = false;
            const bool lost = videoStep == 0 || raw <= videoTime || raw - videoTime > videoStep;
            if (lost) {
                reportUndecodable();
                awaitCutPoint = true;
            }
        }
        if (awaitCutPoint && stream == 1 && tag->IsFrame()) {
            if (IsCutPoint(tag)) {
                awaitCutPoint = false;
                reportUndecodable();
            } else {
                if (undecodable++ == 0) undecodableFrom = i;
                drop = true;
            }
        }
        if (!drop && m_options.modernCodecs) {
            if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
                if (lastConfig[stream] != nullptr && lastConfig[stream]->bytes == config->bytes) {
                    report(Problem::Kind::RepeatedConfig, Problem::Action::Dropped, i, 1);
                    m_configs.erase(tag);
                    drop = true;
                } else {
                    if (lastConfig[stream] != nullptr) {
                        report(Problem::Kind::ChangedConfig, Problem::Action::Kept, i, 0);
                    }
                    lastConfig[stream] = config;
                }
            } else if (IsEndOfSequence(tag)) {
                if (i != lastVideo) {
                    report(Problem::Kind::EndOfSequence, Problem::Action::Dropped, i, 1);
                    drop = true;
                }
            } else if (lastConfig[stream] == nullptr &&
                       (stream == 1 ? IsAvcFrame(tag) : IsAacFrame(tag))) {
                // Nothing can decode it.
                if (missing[stream]++ == 0) missingFrom[stream] = i;
                drop = true;
            }
        }
        if (!drop && stream == 1 && tag->IsFrame()) {
            if (haveVideoTime && raw > videoTime) videoStep = raw - videoTime;
            haveVideoTime = true;
            videoTime = raw;
        }
        if (!drop) {
            retime(tag, i);
            kept.push_back(tag);
        }
        ++i;
    }
    reportUndecodable();
    for (int stream = 0; stream < 2; ++stream) {
        if (missing[stream] > 0) {
            report(Problem::Kind::MissingConfig, Problem::Action::Dropped, missingFrom[stream],
                   static_cast<int64_t>(missing[stream]));
        }
    }
    if (readFailed) {
        PushSystemError(L"FLVタグの比較時にファイルREADエラーが発生しました。",
                        m_file->LastError());
        return false;
    }
    return FinishSalvage(std::move(kept), audio, video);
}

bool CFlvFile::FinishSalvage(std::vector<CFlvTag*> kept, bool audio, bool video) {
    // The header's flags follow the content.
    const uint8_t flags =
        uint8_t((m_flvHeader->m_flags & ~(CFlvHeader::kAudioFlag | CFlvHeader::kVideoFlag)) |
                (audio ? CFlvHeader::kAudioFlag : 0) | (video ? CFlvHeader::kVideoFlag : 0));
    if (flags != m_flvHeader->m_flags && !kept.empty()) {
        m_salvageReport.push_back(
            {Problem::Kind::HeaderFlags, Problem::Action::Derived, 4, 0, 0, flags});
        m_flvHeader->m_flags = flags;
    }

    m_tags = std::move(kept);
    std::vector<uint64_t>().swap(m_salvageOffsets);
    std::vector<std::pair<size_t, uint64_t>>().swap(m_salvageRuns);
    std::vector<size_t>().swap(m_salvageGaps);
    std::vector<size_t>().swap(m_salvageScan.notFrames);
    std::stable_sort(m_salvageReport.begin(), m_salvageReport.end(),
                     [](const Problem& a, const Problem& b) { return a.offset < b.offset; });
    return true;
}
