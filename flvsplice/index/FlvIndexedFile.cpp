#include "flvsplice/index/FlvIndexedFile.h"

#include <iterator>
#include <string_view>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvAmf0.h"
#include "flvsplice/platform/FlvStream.h"

namespace {

constexpr std::string_view kName = "onMetaData";
// The entries that follow the document's own, in their order.
constexpr std::string_view kFlagKeys[] = {"hasKeyframes", "hasVideo", "hasAudio", "hasMetadata",
                                          "canSeekToEnd"};
constexpr std::string_view kNumberKeys[] = {"datasize",
                                            "videosize",
                                            "audiosize",
                                            "lasttimestamp",
                                            "lastkeyframetimestamp",
                                            "lastkeyframelocation",
                                            "filesize"};
constexpr std::string_view kIndexKey = "keyframes";
constexpr std::string_view kTimesKey = "times";
constexpr std::string_view kPositionsKey = "filepositions";
constexpr size_t kExtraEntries = std::size(kFlagKeys) + std::size(kNumberKeys) + 1;

}  // namespace

CFlvIndexedMetaData::CFlvIndexedMetaData() = default;
CFlvIndexedMetaData::~CFlvIndexedMetaData() = default;

bool CFlvIndexedMetaData::Load(CFlvStream*, int64_t) { return true; }

void CFlvIndexedMetaData::Build(CFlvMetaData* metaData, const Figures& figures,
                                const std::vector<KeyFrame>& keyFrames) {
    const std::vector<CFlvMetaData::Entry> entries = metaData->GetEntries();
    const KeyFrame* last = keyFrames.empty() ? nullptr : &keyFrames.back();
    const uint64_t tagSize = TagSize(metaData, keyFrames.size());
    const bool flags[] = {!keyFrames.empty(), figures.hasVideo, figures.hasAudio, true,
                          figures.canSeekToEnd};
    const double numbers[] = {static_cast<double>(tagSize - 4),
                              static_cast<double>(figures.videoSize),
                              static_cast<double>(figures.audioSize),
                              figures.lastTimestamp / 1000.0,
                              last != nullptr ? last->time / 1000.0 : 0.0,
                              last != nullptr ? static_cast<double>(last->position) : 0.0,
                              static_cast<double>(figures.fileSize)};
    static_assert(std::size(flags) == std::size(kFlagKeys));
    static_assert(std::size(numbers) == std::size(kNumberKeys));

    m_body.clear();
    m_body.reserve(tagSize - CFlvTag::kHeaderSize - 4);
    CFlvAmf0Writer w(&m_body);
    w.String(kName);
    w.EcmaArrayStart(static_cast<uint32_t>(entries.size() + kExtraEntries));
    for (const CFlvMetaData::Entry& entry : entries) w.NumberEntry(entry.key, entry.value);
    for (size_t i = 0; i < std::size(flags); ++i) w.BooleanEntry(kFlagKeys[i], flags[i]);
    for (size_t i = 0; i < std::size(numbers); ++i) w.NumberEntry(kNumberKeys[i], numbers[i]);
    w.Key(kIndexKey);
    w.ObjectStart();
    w.Key(kTimesKey);
    w.StrictArrayStart(static_cast<uint32_t>(keyFrames.size()));
    for (const KeyFrame& k : keyFrames) w.Number(k.time / 1000.0);
    w.Key(kPositionsKey);
    w.StrictArrayStart(static_cast<uint32_t>(keyFrames.size()));
    for (const KeyFrame& k : keyFrames) w.Number(static_cast<double>(k.position));
    w.ObjectEnd();
    w.ObjectEnd();
}

uint64_t CFlvIndexedMetaData::TagSize(CFlvMetaData* metaData, size_t keyFrameCount) {
    // Every value is a number or a boolean: the size follows from the keys.
    using W = CFlvAmf0Writer;
    uint64_t body = W::StringSize(kName) + W::kArrayStartSize;
    for (const CFlvMetaData::Entry& entry : metaData->GetEntries()) {
        body += W::NumberEntrySize(entry.key);
    }
    for (std::string_view key : kFlagKeys) body += W::BooleanEntrySize(key);
    for (std::string_view key : kNumberKeys) body += W::NumberEntrySize(key);
    body += W::KeySize(kIndexKey) + W::kObjectStartSize;
    for (std::string_view key : {kTimesKey, kPositionsKey}) {
        body += W::KeySize(key) + W::kArrayStartSize + W::kNumberSize * uint64_t(keyFrameCount);
    }
    body += 2 * W::kObjectEndSize;
    return CFlvTag::kHeaderSize + body + 4;
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
