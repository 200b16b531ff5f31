#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvRawData.h"

// The payload of an audio tag: the audio header byte, and the rest of the
// payload as a raw range.
class FLVSPLICE_API CFlvAudioData : public CFlvData {
public:
    CFlvAudioData() = default;
    ~CFlvAudioData() override;

    bool Load(CFlvStream* source, int64_t end) override;
    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;

    uint8_t GetSoundFormat() const { return m_header >> 4; }
    uint8_t GetSoundRate() const { return (m_header >> 2) & 3; }
    uint8_t GetSoundSize() const { return (m_header >> 1) & 1; }
    uint8_t GetSoundType() const { return m_header & 1; }

    uint8_t m_header = 0;
    std::unique_ptr<CFlvRawData> m_rawData;
};
