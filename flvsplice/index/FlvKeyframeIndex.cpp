#include "flvsplice/index/FlvKeyframeIndex.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/platform/FlvStream.h"

namespace {

// A bounded reader of AMF0 values in a script-data body.
class AmfReader {
public:
    AmfReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Byte(uint8_t& out) {
        if (m_at >= m_size) return false;
        out = m_data[m_at++];
        return true;
    }
    bool U16(uint32_t& out) {
        if (m_size - m_at < 2) return false;
        out = flvbytes::ReadBE16(m_data + m_at);
        m_at += 2;
        return true;
    }
    bool U32(uint32_t& out) {
        if (m_size - m_at < 4) return false;
        out = flvbytes::ReadBE32(m_data + m_at);
        m_at += 4;
        return true;
    }
    bool String(std::string_view& out) {
        uint32_t length = 0;
        if (!U16(length) || m_size - m_at < length) return false;
        out = std::string_view(reinterpret_cast<const char*>(m_data + m_at), length);
        m_at += length;
        return true;
    }
    bool Skip(size_t n) {
        if (m_size - m_at < n) return false;
        m_at += n;
        return true;
    }
    bool AtObjectEnd() const {
        return m_size - m_at >= 3 && m_data[m_at] == 0 && m_data[m_at + 1] == 0 &&
               m_data[m_at + 2] == 9;
    }
    size_t Remaining() const { return m_size - m_at; }

    // A number value (marker included).
    bool Number(double& out) {
        uint8_t marker = 0;
        if (!Byte(marker) || marker != 0x00 || m_size - m_at < 8) return false;
        out = flvbytes::ReadBEDouble(m_data + m_at);
        m_at += 8;
        return true;
    }

    // Skips one value of any type, nested no deeper than depth.
    bool SkipValue(int depth) {
        uint8_t marker = 0;
        if (depth <= 0 || !Byte(marker)) return false;
        std::string_view text;
        uint32_t count = 0;
        switch (marker) {
            case 0x00:  // number
                return Skip(8);
            case 0x01:  // boolean
                return Skip(1);
            case 0x02:  // string
                return String(text);
            case 0x03:  // object
                return SkipProperties(depth);
            case 0x05:  // null
            case 0x06:  // undefined
                return true;
            case 0x07:  // reference
                return Skip(2);
            case 0x08:  // ECMA array
                return U32(count) && SkipProperties(depth);
            case 0x0A:  // strict array
                if (!U32(count)) return false;
                for (uint32_t i = 0; i < count; ++i) {
                    if (!SkipValue(depth - 1)) return false;
                }
                return true;
            case 0x0B:  // date
                return Skip(10);
            case 0x0C:  // long string
                return U32(count) && Skip(count);
            default:
                return false;
        }
    }

    bool SkipProperties(int depth) {
        while (!AtObjectEnd()) {
            std::string_view key;
            if (!String(key) || !SkipValue(depth - 1)) return false;
        }
        return Skip(3);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

bool ReadNumberArray(AmfReader& r, std::vector<double>& out) {
    uint8_t marker = 0;
    uint32_t count = 0;
    if (!r.Byte(marker) || marker != 0x0A || !r.U32(count)) return false;
    if (count > r.Remaining() / 9) return false;  // cannot hold that many numbers
    out.resize(count);
    for (double& v : out) {
        if (!r.Number(v)) return false;
    }
    return true;
}

struct Index {
    std::vector<double> times;
    std::vector<double> positions;
};

// The keyframes object of an onMetaData body, if it has one.
std::optional<Index> ParseIndex(const std::vector<uint8_t>& body) {
    AmfReader r(body.data(), body.size());
    constexpr int kDepth = 32;
    uint8_t marker = 0;
    std::string_view name;
    if (!r.Byte(marker) || marker != 0x02 || !r.String(name) || name != "onMetaData") {
        return std::nullopt;
    }
    uint32_t count = 0;
    if (!r.Byte(marker) || (marker != 0x08 && marker != 0x03)) return std::nullopt;
    if (marker == 0x08 && !r.U32(count)) return std::nullopt;
    while (!r.AtObjectEnd()) {
        std::string_view key;
        if (!r.String(key)) return std::nullopt;
        if (key != "keyframes") {
            if (!r.SkipValue(kDepth)) return std::nullopt;
            continue;
        }
        if (!r.Byte(marker) || marker != 0x03) return std::nullopt;
        Index index;
        bool haveTimes = false;
        bool havePositions = false;
        while (!r.AtObjectEnd()) {
            std::string_view inner;
            if (!r.String(inner)) return std::nullopt;
            if (inner == "times") {
                if (!ReadNumberArray(r, index.times)) return std::nullopt;
                haveTimes = true;
            } else if (inner == "filepositions") {
                if (!ReadNumberArray(r, index.positions)) return std::nullopt;
                havePositions = true;
            } else if (!r.SkipValue(kDepth)) {
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
