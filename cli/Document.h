#pragma once

#include "flvsplice/index/FlvIndexedFile.h"

namespace cli {

// The library's document (with its indexed save) and its model readable
// from outside.
class Document : public CFlvIndexedFile {
public:
    using CFlvFile::GetAudioTagArray;
    using CFlvFile::GetFlvHeader;
    using CFlvFile::GetFlvMetaData;
    using CFlvFile::GetFlvTagArray;
    using CFlvFile::GetVideoTagArray;
};

}  // namespace cli
