#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/common/FlvData.h"

// One tag: the 11-byte tag header as read, and the payload element chosen by
// the tag type. m_duration is set by the document after loading and drives
// the renumbering of timestamps after a join or a cut.
class FLVSPLICE_API CFlvTag : public CFlvData {
public:
    static constexpr uint8_t kAudio = 8;
    static constexpr uint8_t kVideo = 9;
    static constexpr uint8_t kScriptData = 18;
    static constexpr uint32_t kHeaderSize = 11;

    CFlvTag() = default;
    ~CFlvTag() override;

    // Reads the tag header and its payload; end is not used (the payload's end
    // follows from the data size). The stream is left at the payload's end.
    bool Load(CFlvStream* source, int64_t end) override;
    // The same; modernCodecs also loads the codecs that only hosts asking for
    // them get (H.264/AVC), and marks decoder configurations and
    // end-of-sequence tags as no frames.
    bool Load(CFlvStream* source, int64_t end, bool modernCodecs);
    bool Save(CFlvStream* output) override;

    uint32_t GetDataSize() const { return flvbytes::ReadBE24(m_dataSize); }
    // The full time in milliseconds: the extension byte above the 24-bit field.
    uint32_t GetTimestamp() const {
        return (uint32_t(m_timestampExtended) << 24) | flvbytes::ReadBE24(m_timestamp);
    }
    void SetTimestamp(uint32_t time);
    // After the payload was replaced: its new size; the tag's bytes are no
    // longer those of its source.
    void SetDataSize(uint32_t size) {
        flvbytes::WriteBE24(m_dataSize, size);
        m_sourceState &= uint8_t(~kHeaderAsLoaded);
    }
    // A video tag whose payload header announces a key frame.
    bool IsKeyFrame() const;
    // False for the tags of a document opened with the modern codecs that
    // hold no frame: decoder configurations and end-of-sequence tags.
    bool IsFrame() const { return (m_sourceState & kNotAFrame) == 0; }
    // A video frame that decodes on its own: a key frame, and for H.264 one
    // that holds an IDR picture (the document decides those after loading).
    bool DecodesAlone() const { return (m_sourceState & kDecodesAlone) != 0; }
    void SetDecodesAlone(bool alone) {
        m_sourceState = alone ? uint8_t(m_sourceState | kDecodesAlone)
                              : uint8_t(m_sourceState & ~kDecodesAlone);
    }

    // The tag's bytes in its source file, from its header through the
    // PreviousTagSize that follows it, when they are exactly the bytes that
    // Save and a PreviousTagSize of data size + 11 would write: the tag was
    // loaded whole, its timestamp was not changed since, and the source's
    // PreviousTagSize after it is right. A writer may copy such a range
    // instead (consecutive tags of one file make one range).
    bool GetSourceRange(CFlvStream** file, uint64_t* offset, uint64_t* size) const;
    // Records that the source's PreviousTagSize after this tag is right (the
    // document reads it after loading the tag).
    void SetTrailerVerified() { m_sourceState |= kTrailerVerified; }

    uint8_t m_tagType = 0;
    uint8_t m_dataSize[3] = {};
    uint8_t m_timestamp[3] = {};
    uint8_t m_timestampExtended = 0;
    uint8_t m_streamId[3] = {};

private:
    static constexpr uint8_t kHeaderAsLoaded = 1;
    static constexpr uint8_t kTrailerVerified = 2;
    static constexpr uint8_t kNotAFrame = 4;
    static constexpr uint8_t kDecodesAlone = 8;
    // In the padding behind the header bytes.
    uint8_t m_sourceState = 0;

public:
    // Kept in the padding behind the header bytes: a document holds a
    // million of these.
    uint32_t m_duration = 0;
    std::unique_ptr<CFlvData> m_payload;
};
