#include "flvsplice/index/FlvKeyframeIndex.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "flvsplice/codec/FlvAvcConfig.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/codec/FlvHevcConfig.h"
#include "flvsplice/flv/FlvAmf0.h"
#include "flvsplice/flv/FlvHeader.h"
#include "flvsplice/flv/FlvRawData.h"
#include "flvsplice/flv/FlvScriptDataObject.h"
#include "flvsplice/flv/FlvTag.h"
#include "flvsplice/flv/FlvVideoData.h"
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
    uint64_t position;  // where the tag's header starts
    uint32_t time;
};

// What the walk over a file's tags found.
struct FileTags {
    std::optional<Index> index;  // from the first script tag
    std::vector<KeyFrameTag> keyFrames;
};

// Loads the tag that starts at the stream's position as a document's Open
// does, with every codec the library knows; every tag of the walk is loaded
// here.
bool LoadTag(CFlvStream* file, CFlvTag* tag) { return tag->Load(file, 0, true); }

// Whether a loaded tag is one of the key frames an index has to name: a
// frame that decodes on its own (for H.264 an IDR picture, for HEVC a random
// access picture, whose NAL unit lengths the last configuration tells).
// False with *failed after a read failure.
bool IsIndexedKeyFrame(CFlvTag& tag, unsigned* nalLengthSize, bool* failed) {
    auto* video = tag.m_tagType == CFlvTag::kVideo
                      ? static_cast<CFlvVideoData*>(tag.m_payload.get())
                      : nullptr;
    CFlvVideoPacketTyped* packet = video != nullptr ? video->TypedPacket() : nullptr;
    if (video != nullptr && video->IsMultitrack()) packet = nullptr;
    const uint32_t codec = packet != nullptr ? video->GetCodecKey() : 0;
    const bool hevc = flvcodec::IsHevc(codec);
    if (!hevc && !flvcodec::IsAvc(codec)) packet = nullptr;
    if (packet != nullptr && packet->GetRole() == flvcodec::kPacketConfig && packet->m_rawData) {
        std::vector<uint8_t> record(std::min<uint64_t>(packet->m_rawData->m_size, 4096));
        flvcodec::AvcConfig avc;
        flvcodec::HevcConfig config;
        if (!packet->m_rawData->ReadToBuffer(record.data(), record.size())) {
            *failed = true;
        } else if (hevc && flvcodec::ParseHevcDecoderConfig(record.data(), record.size(), config)) {
            *nalLengthSize = config.nalLengthSize;
        } else if (!hevc && flvcodec::ParseAvcDecoderConfig(record.data(), record.size(), avc)) {
            *nalLengthSize = avc.nalLengthSize;
        }
        return false;
    }
    if (!tag.IsFrame() || !tag.IsKeyFrame()) return false;
    if (packet == nullptr) return true;
    uint8_t type = CFlvVideoPacketTyped::kNoSlice;
    if (!packet->FindFirstSlice(*nalLengthSize, hevc, &type)) *failed = true;
    return hevc ? flvcodec::IsHevcRandomAccess(type) : type == 5;
}

// The body of a loaded script tag, read again through the element's raw
// range once that range is known to lie in the file.
std::optional<std::vector<uint8_t>> ReadScriptBody(const CFlvTag& tag, int64_t fileSize) {
    const auto* script = dynamic_cast<const CFlvScriptDataObject*>(tag.m_payload.get());
    if (script == nullptr || !script->m_rawData) return std::nullopt;
    CFlvRawData& raw = *script->m_rawData;
    const auto size = static_cast<uint64_t>(fileSize);
    if (raw.m_offset > size || raw.m_size > size - raw.m_offset) return std::nullopt;
    std::vector<uint8_t> body(raw.m_size);
    if (!raw.ReadToBuffer(body.data(), raw.m_size)) return std::nullopt;
    return body;
}

// Walks the tags from offset first to the end of the file. A tag that cannot
// be read ends the walk with false and the reason in *problem.
bool WalkTags(CFlvStream* file, int64_t size, int64_t first, FileTags* out, std::string* problem) {
    bool sawScript = false;
    unsigned nalLengthSize = 4;
    bool failed = false;
    for (int64_t at = first; at < size;) {
        if (size - at < CFlvTag::kHeaderSize || !file->Seek(at, SEEK_SET)) {
            *problem = "the file ends inside a tag header";
            return false;
        }
        CFlvTag tag;
        const bool loaded = LoadTag(file, &tag);
        // The data size is known once the header is read, also when the
        // payload could not be.
        const int64_t next = at + CFlvTag::kHeaderSize + int64_t(tag.GetDataSize()) + 4;
        if (next > size) {
            *problem = "the file ends inside a tag";
            return false;
        }
        if (!loaded) {
            *problem = "a tag cannot be read";
            return false;
        }
        if (tag.m_tagType == CFlvTag::kScriptData && !sawScript) {
            // The first script tag is the one players read the index from.
            sawScript = true;
            const std::optional<std::vector<uint8_t>> body = ReadScriptBody(tag, size);
            if (!body) {
                *problem = "the metadata tag cannot be read";
                return false;
            }
            out->index = ParseIndex(*body);
        } else if (IsIndexedKeyFrame(tag, &nalLengthSize, &failed)) {
            out->keyFrames.push_back({uint64_t(at), tag.GetTimestamp()});
        }
        if (failed) {
            *problem = "a video frame cannot be read";
            return false;
        }
        at = next;
    }
    return true;
}

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
    CFlvHeader header;
    if (size < CFlvHeader::kStandardSize || !header.Load(file.get(), size) ||
        std::memcmp(header.m_signature, "FLV", 3) != 0) {
        report.problem = "not an FLV file";
        return report;
    }
    FileTags tags;
    if (!WalkTags(file.get(), size, int64_t(header.GetDataOffset()) + 4, &tags, &report.problem)) {
        return report;
    }
    const std::optional<Index>& index = tags.index;
    const std::vector<KeyFrameTag>& keyFrames = tags.keyFrames;
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
