#pragma once

#include "flvsplice/index/FlvIndexedFile.h"

namespace cli {

// The library's document (with its indexed save) and its model readable
// from outside.
class Document : public CFlvIndexedFile {
public:
    // The command reads every codec the library knows, and its joins keep
    // each file's audio/video sync.
    int Open(const std::wstring& path) { return CFlvFile::Open(path, Options()); }
    static FlvOpenOptions Options() {
        FlvOpenOptions options;
        options.modernCodecs = true;
        options.keepSyncOnJoin = true;
        return options;
    }

    using CFlvFile::GetAudioTagArray;
    using CFlvFile::GetFlvHeader;
    using CFlvFile::GetFlvMetaData;
    using CFlvFile::GetFlvTagArray;
    using CFlvFile::GetVideoTagArray;
};

}  // namespace cli
