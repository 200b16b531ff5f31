#pragma once

// Helpers of the metadata, save, edit and export tests: documents opened from
// built files, expected onMetaData tags, a reader for saved FLV files and one
// for AVI files, and the retry that /dev/full needs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestUtil.h"

namespace flvtest {

// A document that also reaches the size-bounded AVI export.
class SaveDoc : public TestDoc {
public:
    using CFlvFile::SaveAVI;
};

inline uint32_t LE32At(const Bytes& b, size_t at) {
    if (at + 4 > b.size()) throw std::out_of_range("LE32 beyond the end");
    return uint32_t(b[at]) | (uint32_t(b[at + 1]) << 8) | (uint32_t(b[at + 2]) << 16) |
           (uint32_t(b[at + 3]) << 24);
}
inline uint32_t BE24At(const Bytes& b, size_t at) {
    if (at + 3 > b.size()) throw std::out_of_range("BE24 beyond the end");
    return (uint32_t(b[at]) << 16) | (uint32_t(b[at + 1]) << 8) | b[at + 2];
}
inline uint32_t BE32At(const Bytes& b, size_t at) { return (BE24At(b, at) << 8) | b.at(at + 3); }
inline std::string TextAt(const Bytes& b, size_t at, size_t n) {
    if (at + n > b.size()) return {};
    return std::string(b.begin() + long(at), b.begin() + long(at + n));
}

inline Bytes BE32Bytes(uint32_t value) {
    Bytes out;
    PutBE(out, value, 4);
    return out;
}

// Equal bytes; otherwise says where the first difference lies.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    const size_t n = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i]) {
            return ::testing::AssertionFailure()
                   << "first difference at offset " << i << ": " << int(actual[i]) << " instead of "
                   << int(expected[i]);
        }
    }
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << actual.size() << " bytes instead of " << expected.size();
    }
    return ::testing::AssertionSuccess();
}

// Whether prefix is where bytes begins.
inline bool StartsWith(const Bytes& bytes, const Bytes& prefix) {
    return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// Times start, start + step, ..., count of them.
inline std::vector<uint32_t> Every(uint32_t step, size_t count, uint32_t start = 0) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < count; ++i) out.push_back(start + uint32_t(i) * step);
    return out;
}

inline std::vector<uint32_t> Times(const std::vector<CFlvTag*>& tags) {
    std::vector<uint32_t> out;
    for (const CFlvTag* tag : tags) out.push_back(tag->GetTimestamp());
    return out;
}

// The onMetaData tag as a save writes it: tag header, body with the entries
// in the given order (the entry count says 8 whatever follows), and the
// PreviousTagSize.
inline Bytes MetaTag(const std::vector<std::pair<std::string, double>>& entries) {
    Bytes body{0x02};
    PutScriptString(body, "onMetaData");
    body.push_back(0x08);
    PutBE(body, 8, 4);
    for (const auto& [key, value] : entries) {
        PutScriptString(body, key);
        PutScriptNumber(body, value);
    }
    PutBE(body, 0x000009, 3);
    Bytes out = Concat(TagHeaderBytes(18, uint32_t(body.size()), 0), body);
    PutBE(out, body.size() + 11, 4);
    return out;
}

// The data rate the analysis derives: kilobits per second.
inline double Kbps(uint64_t bytes, uint32_t spanMs) {
    return (double(bytes * 8) / 1000.0) / (double(spanMs) / 1000.0);
}

// A tag followed by its PreviousTagSize, as a save writes it.
inline Bytes SavedTag(uint8_t type, uint32_t time, const Bytes& payload) {
    return Concat(TagBytes(type, time, payload), BE32Bytes(uint32_t(payload.size() + 11)));
}

struct ParsedTag {
    uint8_t type;
    uint32_t time;
    Bytes payload;
    size_t offset;  // of the tag header in the file
};

// The tags of an FLV file, script tags included, in file order. Every
// PreviousTagSize must equal the size of the tag before it (0 for the first).
inline std::vector<ParsedTag> ParseTags(const Bytes& file) {
    std::vector<ParsedTag> tags;
    if (file.size() < 13) {
        ADD_FAILURE() << "no FLV header";
        return tags;
    }
    size_t at = BE32At(file, 5);
    uint32_t expectedPrevious = 0;
    for (;;) {
        if (at + 4 > file.size()) {
            ADD_FAILURE() << "file ends inside a PreviousTagSize at " << at;
            return tags;
        }
        EXPECT_EQ(BE32At(file, at), expectedPrevious) << "PreviousTagSize at " << at;
        at += 4;
        if (at == file.size()) return tags;
        if (at + 11 > file.size()) {
            ADD_FAILURE() << "file ends inside a tag header at " << at;
            return tags;
        }
        const uint32_t size = BE24At(file, at + 1);
        const uint32_t time = (uint32_t(file[at + 7]) << 24) | BE24At(file, at + 4);
        if (at + 11 + size > file.size()) {
            ADD_FAILURE() << "file ends inside a payload at " << at;
            return tags;
        }
        tags.push_back({file[at], time,
                        Bytes(file.begin() + long(at + 11), file.begin() + long(at + 11 + size)),
                        at});
        expectedPrevious = size + 11;
        at += 11 + size;
    }
}

// What the tests build their documents from: audio and video tags at the
// given times, merged in time order (audio first at equal times). Audio:
// audioHeader and audioBytes bytes; video: H.263 with the size code (and the
// custom size), key frames at the times in keys, or every frame when keys is
// not given. The first two
// data bytes of every payload are the seed and the tag's index in its stream,
// so the payloads of two files never look alike.
struct Plan {
    uint8_t flags = 0x05;
    std::vector<uint32_t> audio = {};
    std::vector<uint32_t> video = {};
    std::optional<std::vector<uint32_t>> keys = std::nullopt;
    size_t audioBytes = 24;
    size_t videoBytes = 24;
    uint8_t seed = 1;
    uint8_t audioHeader = 0x2F;  // MP3, 44 kHz, 16-bit, stereo
    uint8_t sizeCode = 5;        // 320 x 240
    uint32_t width = 0;
    uint32_t height = 0;
};

inline Bytes PlanAudio(const Plan& plan, size_t index) {
    Bytes data{plan.seed, uint8_t(index)};
    return AudioPayload(plan.audioHeader,
                        Concat(data, Pattern(plan.audioBytes, uint8_t(plan.seed + index))));
}

inline Bytes PlanVideo(const Plan& plan, size_t index) {
    bool key = true;
    if (plan.keys) {
        key = false;
        for (uint32_t t : *plan.keys) key = key || t == plan.video[index];
    }
    Bytes data{plan.seed, uint8_t(index)};
    return VideoPayload(
        key ? 1 : 2, 2,
        H263Packet(plan.sizeCode, plan.width, plan.height,
                   Concat(data, Pattern(plan.videoBytes, uint8_t(plan.seed + index)))));
}

inline FlvBuilder Build(const Plan& plan) {
    FlvBuilder b;
    b.Header(plan.flags);
    size_t a = 0;
    size_t v = 0;
    while (a < plan.audio.size() || v < plan.video.size()) {
        if (v == plan.video.size() || (a < plan.audio.size() && plan.audio[a] <= plan.video[v])) {
            b.Audio(plan.audio[a], PlanAudio(plan, a));
            ++a;
        } else {
            b.Video(plan.video[v], PlanVideo(plan, v));
            ++v;
        }
    }
    return b;
}

// /dev/full is one file for every process, and outputs are locked
// exclusively: while a test in another process writes to it, the open is
// refused with EWOULDBLOCK. Such attempts are repeated; refused is the result
// code of a refused open.
template <class Op>
int RetryWhileLocked(CFlvFile& doc, int refused, Op op) {
    for (int attempt = 0;; ++attempt) {
        const int result = op();
        const bool locked =
            result == refused && (refused == FlvResult::AviCreateFailed ||
                                  doc.GetErrorDetail(-1) == std::to_wstring(EWOULDBLOCK));
        if (!locked || attempt == 10000) return result;
    }
}

// The fields of an AVI file that SaveAVI wrote, read by walking its chunks.
struct AviIndexEntry {
    uint32_t flags;
    uint32_t offset;
    uint32_t size;
};
struct AviContents {
    std::vector<Bytes> frames;
    std::vector<uint32_t> offsets;  // of each chunk id, counted from "movi"
    std::vector<AviIndexEntry> index;
};

// Walks the movi list and the idx1 chunk and checks what ties the file
// together: RIFF size, movi list size, pad bytes, frame counts, index end.
inline AviContents ParseAvi(const Bytes& file) {
    AviContents out;
    if (file.size() < 232 || TextAt(file, 0, 4) != "RIFF" || TextAt(file, 220, 4) != "movi") {
        ADD_FAILURE() << "not an AVI file of " << file.size() << " bytes";
        return out;
    }
    EXPECT_EQ(LE32At(file, 4), file.size() - 8) << "RIFF size";
    const size_t moviEnd = 220 + size_t(LE32At(file, 216));
    size_t at = 224;
    while (at < moviEnd) {
        if (at + 8 > file.size() || TextAt(file, at, 4) != "00dc") {
            ADD_FAILURE() << "no frame chunk at " << at;
            return out;
        }
        const uint32_t size = LE32At(file, at + 4);
        if (at + 8 + size > file.size()) {
            ADD_FAILURE() << "frame chunk at " << at << " passes the end";
            return out;
        }
        out.offsets.push_back(uint32_t(at - 220));
        out.frames.emplace_back(file.begin() + long(at + 8), file.begin() + long(at + 8 + size));
        at += 8 + size;
        if (size % 2 == 1) {
            EXPECT_EQ(file.at(at), 0x00) << "pad byte at " << at;
            ++at;
        }
    }
    EXPECT_EQ(at, moviEnd) << "movi list size";
    if (at + 8 > file.size() || TextAt(file, at, 4) != "idx1") {
        ADD_FAILURE() << "no idx1 chunk at " << at;
        return out;
    }
    const uint32_t count = LE32At(file, at + 4) / 16;
    EXPECT_EQ(at + 8 + 16 * size_t(count), file.size()) << "the index ends the file";
    at += 8;
    for (uint32_t i = 0; i < count && at + 16 <= file.size(); ++i, at += 16) {
        EXPECT_EQ(TextAt(file, at, 4), "00dc");
        out.index.push_back({LE32At(file, at + 4), LE32At(file, at + 8), LE32At(file, at + 12)});
    }
    EXPECT_EQ(out.index.size(), out.frames.size());
    EXPECT_EQ(LE32At(file, 48), out.frames.size()) << "total frames";
    EXPECT_EQ(LE32At(file, 140), out.frames.size()) << "stream length";
    return out;
}

// Documents opened from built files in a private directory; they go before
// the directory does.
class DocTest : public ::testing::Test {
protected:
    // Writes the file and opens it; throws (failing the test) when it does
    // not open.
    SaveDoc& Open(const FlvBuilder& file) {
        const std::string path = dir.File("source" + std::to_string(docs.size()) + ".flv");
        file.WriteTo(path);
        auto doc = std::make_unique<SaveDoc>();
        const int result = doc->Open(Wide(path));
        if (result != 0) {
            throw std::runtime_error("Open gave " + std::to_string(result) + "\n" +
                                     DumpErrors(*doc));
        }
        docs.push_back(std::move(doc));
        paths.push_back(path);
        return *docs.back();
    }
    SaveDoc& Open(const Plan& plan) { return Open(Build(plan)); }

    // The source path of a document made by Open.
    const std::string& PathOf(const CFlvFile& doc) const {
        for (size_t i = 0; i < docs.size(); ++i) {
            if (docs[i].get() == &doc) return paths[i];
        }
        throw std::logic_error("not a document of this test");
    }

    // SaveAs into a new file, expecting success; the file's bytes.
    Bytes Saved(CFlvFile& doc, CFlvProcess* process = nullptr) {
        const std::string path = dir.File("saved" + std::to_string(m_saves++) + ".flv");
        const int result = doc.SaveAs(Wide(path), process);
        EXPECT_EQ(result, 0) << DumpErrors(doc);
        return ReadFile(path);
    }

    bool Exists(const std::string& path) const { return std::filesystem::exists(path); }

    TempDir dir;
    std::vector<std::unique_ptr<SaveDoc>> docs;
    std::vector<std::string> paths;

private:
    int m_saves = 0;
};

}  // namespace flvtest
