#include "flvsplice/index/FlvIndexedFile.h"

#include <string_view>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvMemorySpooler.h"
#include "flvsplice/platform/FlvStream.h"

namespace {

constexpr uint8_t kNumberMarker = 0x00;
constexpr uint8_t kBooleanMarker = 0x01;
constexpr uint8_t kObjectMarker = 0x03;
constexpr uint8_t kStrictArrayMarker = 0x0A;
constexpr uint8_t kObjectEnd[3] = {0x00, 0x00, 0x09};
// The standard body: 0x02, "onMetaData" as a script string, 0x08, the count.
constexpr size_t kEntryCountOffset = 1 + 2 + 10 + 1;
constexpr uint32_t kExtraEntries = 13;

class BodyWriter {
public:
    explicit BodyWriter(std::vector<uint8_t>& out) : m_out(out) {}

    void Key(std::string_view key) {
        uint8_t length[2];
        flvbytes::WriteBE16(length, static_cast<uint32_t>(key.size()));
        Append(length, 2);
        Append(key.data(), key.size());
    }
    void Number(double value) {
        uint8_t bytes[9] = {kNumberMarker};
        flvbytes::WriteBEDouble(bytes + 1, value);
        Append(bytes, sizeof bytes);
    }
    void Boolean(bool value) {
        const uint8_t bytes[2] = {kBooleanMarker, uint8_t(value ? 1 : 0)};
        Append(bytes, sizeof bytes);
    }
    void NumberEntry(std::string_view key, double value) {
        Key(key);
        Number(value);
    }
    void BooleanEntry(std::string_view key, bool value) {
        Key(key);
        Boolean(value);
    }
    void StrictArrayHeader(size_t count) {
        uint8_t bytes[5] = {kStrictArrayMarker};
        flvbytes::WriteBE32(bytes + 1, static_cast<uint32_t>(count));
        Append(bytes, sizeof bytes);
    }
    void Append(const void* bytes, size_t count) {
        const auto* p = static_cast<const uint8_t*>(bytes);
        m_out.insert(m_out.end(), p, p + count);
    }

private:
    std::vector<uint8_t>& m_out;
};

// The document's own body as SaveAs writes it, flattened.
std::vector<uint8_t> StandardBody(CFlvMetaData* metaData) {
    CFlvMemorySpooler spooler;
    metaData->SpoolScriptData(&spooler);
    std::vector<uint8_t> body;
    body.reserve(spooler.GetSpooledSize());
    for (const auto& block : spooler.m_blocks) {
        body.insert(body.end(), block->bytes.get(), block->bytes.get() + block->length);
    }
    return body;
}

uint32_t StandardEntryCount(CFlvMetaData* metaData) {
    const CFlvHeader* header = metaData->m_flvHeader;
    uint32_t count = 3;  // height, width, duration
    if (header != nullptr && header->HasAudio()) count += 2;
    if (header != nullptr && header->HasVideo()) count += 3;
    return count;
}

}  // namespace

CFlvIndexedMetaData::CFlvIndexedMetaData() = default;
CFlvIndexedMetaData::~CFlvIndexedMetaData() = default;

bool CFlvIndexedMetaData::Load(CFlvStream*, int64_t) { return true; }

void CFlvIndexedMetaData::Build(CFlvMetaData* metaData, const Figures& figures,
                                const std::vector<KeyFrame>& keyFrames) {
    m_body = StandardBody(metaData);
    m_body.resize(m_body.size() - sizeof kObjectEnd);
    flvbytes::WriteBE32(m_body.data() + kEntryCountOffset,
                        StandardEntryCount(metaData) + kExtraEntries);

    const KeyFrame* last = keyFrames.empty() ? nullptr : &keyFrames.back();
    const uint64_t dataSize = TagSize(metaData, keyFrames.size()) - 4;
    BodyWriter w(m_body);
    w.BooleanEntry("hasKeyframes", !keyFrames.empty());
    w.BooleanEntry("hasVideo", figures.hasVideo);
    w.BooleanEntry("hasAudio", figures.hasAudio);
    w.BooleanEntry("hasMetadata", true);
    w.BooleanEntry("canSeekToEnd", figures.canSeekToEnd);
    w.NumberEntry("datasize", static_cast<double>(dataSize));
    w.NumberEntry("videosize", static_cast<double>(figures.videoSize));
    w.NumberEntry("audiosize", static_cast<double>(figures.audioSize));
    w.NumberEntry("lasttimestamp", figures.lastTimestamp / 1000.0);
    w.NumberEntry("lastkeyframetimestamp", last != nullptr ? last->time / 1000.0 : 0.0);
    w.NumberEntry("lastkeyframelocation",
                  last != nullptr ? static_cast<double>(last->position) : 0.0);
    w.NumberEntry("filesize", static_cast<double>(figures.fileSize));
    w.Key("keyframes");
    w.Append(&kObjectMarker, 1);
    w.Key("times");
    w.StrictArrayHeader(keyFrames.size());
    for (const KeyFrame& k : keyFrames) w.Number(k.time / 1000.0);
    w.Key("filepositions");
    w.StrictArrayHeader(keyFrames.size());
    for (const KeyFrame& k : keyFrames) w.Number(static_cast<double>(k.position));
    w.Append(kObjectEnd, sizeof kObjectEnd);
    w.Append(kObjectEnd, sizeof kObjectEnd);
}

uint64_t CFlvIndexedMetaData::TagSize(CFlvMetaData* metaData, size_t keyFrameCount) {
    // Every value has a fixed size: measure the body built with placeholders.
    const uint64_t standard = StandardBody(metaData).size() - sizeof kObjectEnd;
    uint64_t extras = 0;
    {
        std::vector<uint8_t> scratch;
        BodyWriter w(scratch);
        for (std::string_view key :
             {"hasKeyframes", "hasVideo", "hasAudio", "hasMetadata", "canSeekToEnd"}) {
            w.BooleanEntry(key, false);
        }
        for (std::string_view key : {"datasize", "videosize", "audiosize", "lasttimestamp",
                                     "lastkeyframetimestamp", "lastkeyframelocation", "filesize"}) {
            w.NumberEntry(key, 0);
        }
        w.Key("keyframes");
        w.Append(&kObjectMarker, 1);
        w.Key("times");
        w.StrictArrayHeader(0);
        w.Key("filepositions");
        w.StrictArrayHeader(0);
        w.Append(kObjectEnd, sizeof kObjectEnd);
        extras = scratch.size() + 2 * 9 * uint64_t(keyFrameCount);
    }
    return CFlvTag::kHeaderSize + standard + extras + sizeof kObjectEnd + 4;
}

bool CFlvIndexedMetaData::Save(CFlvStream* output) {
    uint8_t tagHeader[CFlvTag::kHeaderSize] = {CFlvTag::kScriptData};
    const auto bodySize = static_cast<uint32_t>(m_body.size());
    flvbytes::WriteBE24(tagHeader + 1, bodySize);
    if (output->Write(tagHeader, sizeof tagHeader) != sizeof tagHeader) {
        PushSystemError(L"メタデータのFLVタグヘッダ出力時にエラーが発生しました。",
                        output->LastError());
        return false;
    }
    if (output->Write(m_body.data(), m_body.size()) != m_body.size()) {
        PushSystemError(L"メタデータのFLVスクリプトデータ出力時にエラーが発生しました。",
                        output->LastError());
        return false;
    }
    uint8_t previousTagSize[4];
    flvbytes::WriteBE32(previousTagSize, bodySize + CFlvTag::kHeaderSize);
    if (output->Write(previousTagSize, 4) != 4) {
        PushSystemError(L"メタデータのPreviousTagSize出力時にエラーが発生しました。",
                        output->LastError());
        return false;
    }
    return true;
}

CFlvIndexedFile::CFlvIndexedFile() = default;
CFlvIndexedFile::~CFlvIndexedFile() = default;

int CFlvIndexedFile::SaveAsIndexed(const std::wstring& path, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();
    CFlvHeader* header = GetFlvHeader();
    CFlvMetaData* metaData = GetFlvMetaData();
    std::vector<CFlvTag*>& tags = *GetFlvTagArray();

    // Where every tag will stand, relative to the first tag.
    CFlvIndexedMetaData::Figures figures;
    figures.hasAudio = header->HasAudio();
    figures.hasVideo = header->HasVideo();
    std::vector<CFlvIndexedMetaData::KeyFrame> keyFrames;
    uint64_t offset = 0;
    for (CFlvTag* tag : tags) {
        const uint64_t tagSize = CFlvTag::kHeaderSize + uint64_t(tag->GetDataSize());
        if (tag->m_tagType == CFlvTag::kVideo) {
            figures.videoSize += tagSize;
            // A configuration or an end of sequence is no frame to seek to.
            if (tag->IsFrame()) figures.canSeekToEnd = IsCutPoint(tag);
            if (IsCutPoint(tag)) keyFrames.push_back({tag->GetTimestamp(), offset});
        } else if (tag->m_tagType == CFlvTag::kAudio) {
            figures.audioSize += tagSize;
        }
        figures.lastTimestamp = tag->GetTimestamp();
        offset += tagSize + 4;
    }
    const uint64_t firstTag = CFlvHeader::kStandardSize + uint64_t(header->m_extraSize) + 4 +
                              CFlvIndexedMetaData::TagSize(metaData, keyFrames.size());
    for (auto& k : keyFrames) k.position += firstTag;
    figures.fileSize = firstTag + offset;

    CFlvIndexedMetaData indexed;
    indexed.Build(metaData, figures, keyFrames);
    keyFrames.clear();
    keyFrames.shrink_to_fit();

    int error = 0;
    std::unique_ptr<CFlvStream> output = CFlvStream::CreateExclusive(path, &error);
    if (!output) {
        PushSystemError(L"FLVファイル作成時にエラーが発生しました。", error);
        return FlvResult::CreateFailed;
    }
    return WriteFlv(output.get(), &indexed, process);
}
