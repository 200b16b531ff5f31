#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "flvsplice/common/FlvData.h"

class CFlvFile;
class CFlvHeader;
class CFlvMemorySpooler;
class CFlvTag;

// The onMetaData tag written at the head of every saved file, derived afresh
// from the document after loading and after every join or cut.
class FLVSPLICE_API CFlvMetaData : public CFlvData {
public:
    CFlvMetaData();
    ~CFlvMetaData() override;

    // Fills every value from the document's header and tag lists.
    void AnalyzeFlvFile(CFlvFile* document);
    void AnalyzeFlvFile(CFlvHeader* header, const std::vector<CFlvTag*>& audioTags,
                        const std::vector<CFlvTag*>& videoTags);

    // Never read from a file.
    bool Load(CFlvStream* source, int64_t end) override;
    // Writes the whole script tag: tag header, body, PreviousTagSize.
    bool Save(CFlvStream* output) override;
    // Appends the script body ("onMetaData" and its ECMA array).
    void SpoolScriptData(CFlvMemorySpooler* spooler);

    // One number of the ECMA array.
    struct Entry {
        std::string_view key;
        double value;
    };
    // The numbers the body holds, in their order: those of the streams the
    // header announces, then picture size and duration.
    std::vector<Entry> GetEntries() const;
    // True when other can be joined onto the document this describes; the
    // differences are recorded on this element.
    bool CheckCompatibility(CFlvMetaData* other);

    // Sound format, or the FourCC of enhanced audio.
    uint32_t m_audioCodecId = 0;
    double m_audioDataRate = 0;
    // Codec identifier, or the FourCC of enhanced video.
    uint32_t m_videoCodecId = 0;
    uint32_t m_height = 0;
    uint32_t m_width = 0;
    double m_frameRate = 0;
    double m_videoDataRate = 0;
    double m_durationSec = 0;
    uint8_t m_soundRate = 0;
    uint8_t m_soundSize = 0;
    uint8_t m_soundType = 0;
    CFlvHeader* m_flvHeader = nullptr;  // borrowed from the document
};
