#include "flvsplice/flv/FlvVideoData.h"

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/flv/FlvPayloadView.h"
#include "flvsplice/platform/FlvStream.h"

CFlvVideoData::~CFlvVideoData() = default;

bool CFlvVideoData::Load(CFlvStream* source, int64_t end) { return Load(source, end, false); }

CFlvVideoPacketTyped* CFlvVideoData::TypedPacket() const {
    return dynamic_cast<CFlvVideoPacketTyped*>(m_packet.get());
}

CFlvVideoPacketEnhanced* CFlvVideoData::EnhancedPacket() const {
    return IsEnhanced() ? dynamic_cast<CFlvVideoPacketEnhanced*>(m_packet.get()) : nullptr;
}

bool CFlvVideoData::IsMultitrack() const {
    const CFlvVideoPacketEnhanced* enhanced = EnhancedPacket();
    return enhanced != nullptr &&
           enhanced->m_multitrackType != CFlvVideoPacketEnhanced::kNoMultitrack;
}

uint32_t CFlvVideoData::GetCodecKey() const {
    if (!IsEnhanced()) return GetCodecId();
    const CFlvVideoPacketEnhanced* enhanced = EnhancedPacket();
    return enhanced != nullptr ? enhanced->m_fourCC : 0;
}

bool CFlvVideoData::IsFrame() const {
    const CFlvVideoPacketTyped* typed = TypedPacket();
    return typed == nullptr || typed->GetRole() == flvcodec::kPacketFrame;
}

bool CFlvVideoData::IsEndOfSequence() const {
    const CFlvVideoPacketTyped* typed = TypedPacket();
    return typed != nullptr && typed->GetRole() == flvcodec::kPacketEndOfSequence;
}

bool CFlvVideoData::NeedsIdrCheck() const {
    const flvcodec::VideoCodecInfo* codec = flvcodec::FindVideoCodec(GetCodecKey());
    return codec != nullptr && codec->keyFrame != flvcodec::KeyFrame::FrameType;
}

bool CFlvVideoData::Load(CFlvStream* source, int64_t end, bool modernCodecs) {
    CFlvPayloadView view(source, end);
    if (!view.Read(&m_header, 1)) {
        PushSystemError(L"FLV映像データヘッダ読み込み中にファイルREADエラーが発生しました。",
                        view.LastError());
        return false;
    }
    const wchar_t* failure = nullptr;
    m_enhanced = modernCodecs && (m_header & 0x80) != 0;
    if (m_enhanced) {
        auto enhanced = std::make_unique<CFlvVideoPacketEnhanced>();
        enhanced->SetFirstByte(m_header);
        m_packet = std::move(enhanced);
        if (!m_packet->Load(source, end)) {
            PushError(L"拡張ビデオパケットロード時にエラーが発生しました。", L"", m_packet.get());
            return false;
        }
        return true;
    }
    switch (GetCodecId()) {
        case kCodecH263:
            m_packet = std::make_unique<CFlvVideoPacketH263>();
            failure = L"H263ビデオパケットロード時にエラーが発生しました。";
            break;
        case kCodecScreen:
        case kCodecScreen2:
            m_packet = std::make_unique<CFlvVideoPacketScreen>();
            failure = L"Screenビデオパケットロード時にエラーが発生しました。";
            break;
        case kCodecVP6:
            m_packet = std::make_unique<CFlvVideoPacketVP6>();
            failure = L"VP6ビデオパケットロード時にエラーが発生しました。";
            break;
        case kCodecVP6Alpha:
            m_packet = std::make_unique<CFlvVideoPacketVP6Alpha>();
            failure = L"VP6ALPHAビデオパケットロード時にエラーが発生しました。";
            break;
        case kCodecAvc:
            if (!modernCodecs) {
                PushError(L"未知のビデオパケットが検出されました。");
                return false;
            }
            m_packet = std::make_unique<CFlvVideoPacketAvc>();
            failure = L"AVCビデオパケットロード時にエラーが発生しました。";
            break;
        case kCodecHevc12:
            if (!modernCodecs) {
                PushError(L"未知のビデオパケットが検出されました。");
                return false;
            }
            m_packet = std::make_unique<CFlvVideoPacketAvc>();
            failure = L"HEVCビデオパケットロード時にエラーが発生しました。";
            break;
        default:
            PushError(L"未知のビデオパケットが検出されました。");
            return false;
    }
    if (!m_packet->Load(source, end)) {
        PushError(failure, L"", m_packet.get());
        return false;
    }
    return true;
}

bool CFlvVideoData::Save(CFlvStream* output) {
    if (output->Write(&m_header, 1) != 1) {
        PushSystemError(L"FLV映像データヘッダ出力時にファイル書き込みエラーが発生しました。",
                        output->LastError());
        return false;
    }
    if (!m_packet || !m_packet->Save(output)) {
        PushError(L"FLV映像データ出力時にファイル書き込みエラーが発生しました。", L"",
                  m_packet.get());
        return false;
    }
    return true;
}

CFlvStream* CFlvVideoData::GetSourceEnd(uint64_t* end) const {
    return m_packet ? m_packet->GetSourceEnd(end) : nullptr;
}
