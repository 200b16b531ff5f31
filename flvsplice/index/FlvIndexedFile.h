#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/document/FlvFile.h"

// The onMetaData tag of an indexed file: the document's own entries with the
// same values, then the entries players and metadata tools seek with,
// ending in the key-frame index. Every value is a fixed-size number, so the
// tag's size depends only on the number of key frames.
class FLVSPLICE_API CFlvIndexedMetaData : public CFlvData {
public:
    struct KeyFrame {
        uint32_t time;      // milliseconds
        uint64_t position;  // offset of the tag in the output file
    };
    struct Figures {
        bool hasVideo = false;
        bool hasAudio = false;
        bool canSeekToEnd = false;
        uint64_t videoSize = 0;  // video tags, headers included
        uint64_t audioSize = 0;  // audio tags, headers included
        uint32_t lastTimestamp = 0;
        uint64_t fileSize = 0;
    };

    CFlvIndexedMetaData();
    ~CFlvIndexedMetaData() override;

    // Builds the body from the document's metadata element and the figures of
    // the file to be written.
    void Build(CFlvMetaData* metaData, const Figures& figures,
               const std::vector<KeyFrame>& keyFrames);
    // The size of the whole tag (header, body, PreviousTagSize) for a
    // document's metadata and this many key frames.
    static uint64_t TagSize(CFlvMetaData* metaData, size_t keyFrameCount);

    bool Load(CFlvStream* source, int64_t end) override;
    bool Save(CFlvStream* output) override;

    std::vector<uint8_t> m_body;
};

// A document that can also be written with a key-frame index in its
// onMetaData tag. Apart from that tag the file is the one SaveAs writes;
// progress, stop, result codes and error records are SaveAs's too.
class FLVSPLICE_API CFlvIndexedFile : public CFlvFile {
public:
    CFlvIndexedFile();
    ~CFlvIndexedFile() override;

    int SaveAsIndexed(const std::wstring& path, CFlvProcess* process);
};
