#include "flvsplice/index/FlvKeyframeIndex.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvAmf0.h"
#include "flvsplice/platform/FlvStream.h"

namespace {

struct Index {
    std::vector<double> times;
    std::vector<double> positions;
};

// The keyframes object of an onMetaData body, if it has one.
std::optional<Index> ParseIndex(const std::vector<uint8_t>& body) {
    CFlvAmf0Reader r(body.data(), body.size());
    std::string_view name;
    uint32_t count = 0;
    if (!r.String(&name) || name != "onMetaData" ||
        !(r.EcmaArrayStart(&count) || r.ObjectStart())) {
        return std::nullopt;
    }
    while (!r.AtObjectEnd()) {
        std::string_view key;
        if (!r.Key(&key)) return std::nullopt;
        if (key != "keyframes") {
            if (!r.SkipValue()) return std::nullopt;
            continue;
        }
        if (!r.ObjectStart()) return std::nullopt;
        Index index;
        bool haveTimes = false;
        bool havePositions = false;
        while (!r.AtObjectEnd()) {
            std::string_view inner;
            if (!r.Key(&inner)) return std::nullopt;
            if (inner == "times") {
                if (!r.NumberArray(&index.times)) return std::nullopt;
                haveTimes = true;
            } else if (inner == "filepositions") {
                if (!r.NumberArray(&index.positions)) return std::nullopt;
                havePositions = true;
            } else if (!r.SkipValue()) {
                return std::nullopt;
            }
        }
        if (!haveTimes || !havePositions) return std::nullopt;
        return index;
    }
    return std::nullopt;
}

struct KeyFrameTag {
    uint64_t position;
    uint32_t time;
};

}  // namespace

FlvKeyframeIndexReport InspectKeyframeIndex(const std::wstring& path) {
    FlvKeyframeIndexReport report;
    int error = 0;
    std::unique_ptr<CFlvStream> file = CFlvStream::OpenForReading(path, &error);
    if (!file) {
        report.problem = "the file cannot be opened";
        return report;
    }
    const int64_t size = file->Size();
    uint8_t header[9];
    if (size < 9 || file->Read(header, 9) != 9 || header[0] != 'F' || header[1] != 'L' ||
        header[2] != 'V') {
        report.problem = "not an FLV file";
        return report;
    }
    int64_t at = int64_t(flvbytes::ReadBE32(header + 5)) + 4;

    std::optional<Index> index;
    bool sawScript = false;
    std::vector<KeyFrameTag> keyFrames;
    while (at < size) {
        uint8_t tag[12];
        if (size - at < 11 || !file->Seek(at, SEEK_SET) || file->Read(tag, 11) != 11) {
            report.problem = "the file ends inside a tag header";
            return report;
        }
        const uint32_t dataSize = flvbytes::ReadBE24(tag + 1);
        const uint32_t time = (uint32_t(tag[7]) << 24) | flvbytes::ReadBE24(tag + 4);
        if (size - at - 11 < int64_t(dataSize) + 4) {
            report.problem = "the file ends inside a tag";
            return report;
        }
        if (tag[0] == 18 && !sawScript) {
            // The first script tag is the one players read the index from.
            sawScript = true;
            std::vector<uint8_t> body(dataSize);
            if (file->Read(body.data(), dataSize) != dataSize) {
                report.problem = "the metadata tag cannot be read";
                return report;
            }
            index = ParseIndex(body);
        } else if (tag[0] == 9 && dataSize > 0) {
            uint8_t videoHeader = 0;
            if (file->Read(&videoHeader, 1) != 1) {
                report.problem = "a video tag cannot be read";
                return report;
            }
            if ((videoHeader & 0xF0) == 0x10) keyFrames.push_back({uint64_t(at), time});
        }
        at += 11 + int64_t(dataSize) + 4;
    }
    report.readable = true;
    report.keyFrames = keyFrames.size();
    if (!index) {
        report.problem = "no key-frame index in the metadata";
        return report;
    }
    report.present = true;
    report.entries = index->times.size();
    if (index->times.size() != index->positions.size()) {
        report.problem = "the index has different numbers of times and positions";
        return report;
    }
    if (index->positions.size() != keyFrames.size()) {
        report.problem = "the index lists " + std::to_string(index->positions.size()) +
                         " key frames, the file holds " + std::to_string(keyFrames.size());
        return report;
    }
    for (size_t i = 0; i < keyFrames.size(); ++i) {
        const double position = index->positions[i];
        const double time = index->times[i];
        if (!(position == double(keyFrames[i].position)) ||
            !(std::fabs(time * 1000.0 - keyFrames[i].time) < 0.5)) {
            report.problem = "index entry " + std::to_string(i) +
                             " does not name the key frame at offset " +
                             std::to_string(keyFrames[i].position);
            return report;
        }
    }
    report.consistent = true;
    return report;
}
