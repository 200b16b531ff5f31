#include "flvsplice/flv/FlvTag.h"

#include <cstring>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvScriptDataObject.h"
#include "flvsplice/flv/FlvVideoData.h"
#include "flvsplice/platform/FlvStream.h"

CFlvTag::~CFlvTag() = default;

void CFlvTag::SetTimestamp(uint32_t time) {
    if (time != GetTimestamp()) m_sourceState &= uint8_t(~kHeaderAsLoaded);
    m_timestampExtended = uint8_t(time >> 24);
    flvbytes::WriteBE24(m_timestamp, time & 0xFFFFFF);
}

bool CFlvTag::IsKeyFrame() const {
    if (m_tagType != kVideo) return false;
    const auto* video = dynamic_cast<const CFlvVideoData*>(m_payload.get());
    return video != nullptr && video->IsKeyFrame();
}

bool CFlvTag::Load(CFlvStream* source, int64_t end) { return Load(source, end, false); }

bool CFlvTag::Load(CFlvStream* source, int64_t, bool modernCodecs) {
    uint8_t bytes[kHeaderSize];
    if (source->Read(bytes, kHeaderSize) != kHeaderSize) {
        PushSystemError(L"FLVタグ読み込み時にファイル読み込みエラーが発生しました。",
                        source->LastError());
        return false;
    }
    m_tagType = bytes[0];
    std::memcpy(m_dataSize, bytes + 1, 3);
    std::memcpy(m_timestamp, bytes + 4, 3);
    m_timestampExtended = bytes[7];
    std::memcpy(m_streamId, bytes + 8, 3);

    const int64_t start = source->Tell();
    if (start < 0) {
        PushSystemError(L"FLVタグ読み込み時にファイル位置取得エラーが発生しました。",
                        source->LastError());
        return false;
    }
    const int64_t end = start + GetDataSize();

    const wchar_t* failure = nullptr;
    bool loaded = false;
    uint8_t state = kHeaderAsLoaded;
    switch (m_tagType) {
        case kAudio: {
            auto audio = std::make_unique<CFlvAudioData>();
            failure = L"音声データ読み込み時にエラーが発生しました。";
            loaded = audio->Load(source, end, modernCodecs);
            if (loaded && !audio->IsFrame()) state |= kNotAFrame;
            m_payload = std::move(audio);
            break;
        }
        case kVideo: {
            auto video = std::make_unique<CFlvVideoData>();
            failure = L"映像データ読み込み時にエラーが発生しました。";
            loaded = video->Load(source, end, modernCodecs);
            if (loaded && !video->IsFrame()) state |= kNotAFrame;
            if (loaded && video->IsFrame() && video->IsKeyFrame() && !video->NeedsIdrCheck()) {
                state |= kDecodesAlone;
            }
            m_payload = std::move(video);
            break;
        }
        case kScriptData:
            m_payload = std::make_unique<CFlvScriptDataObject>();
            failure = L"スクリプトデータ読み込み時にエラーが発生しました。";
            loaded = m_payload->Load(source, end);
            break;
        default:
            PushError(L"未知のFLVTAGタイプが検出されました。");
            return false;
    }
    if (!loaded) {
        PushError(failure, L"", m_payload.get());
        return false;
    }
    m_sourceState = state;
    return true;
}

bool CFlvTag::GetSourceRange(CFlvStream** file, uint64_t* offset, uint64_t* size) const {
    constexpr uint8_t kExact = kHeaderAsLoaded | kTrailerVerified;
    if ((m_sourceState & kExact) != kExact || !m_payload) return false;
    uint64_t end = 0;
    CFlvStream* source = m_payload->GetSourceEnd(&end);
    const uint64_t tagSize = uint64_t(GetDataSize()) + kHeaderSize;
    if (source == nullptr || end < tagSize) return false;
    *file = source;
    *offset = end - tagSize;
    *size = tagSize + 4;
    return true;
}

// A document holds a million tags: the state byte must stay in the padding.
static_assert(sizeof(void*) != 8 || sizeof(CFlvTag) == 40);

bool CFlvTag::Save(CFlvStream* output) {
    uint8_t bytes[kHeaderSize];
    bytes[0] = m_tagType;
    std::memcpy(bytes + 1, m_dataSize, 3);
    std::memcpy(bytes + 4, m_timestamp, 3);
    bytes[7] = m_timestampExtended;
    std::memcpy(bytes + 8, m_streamId, 3);
    if (output->Write(bytes, kHeaderSize) != kHeaderSize) {
        PushSystemError(L"FLVタグヘッダ出力時にファイル書き込みエラーが発生しました。",
                        output->LastError());
        return false;
    }
    if (!m_payload || !m_payload->Save(output)) {
        PushError(L"FLVデータ出力時にエラーが発生しました。", L"", m_payload.get());
        return false;
    }
    return true;
}
