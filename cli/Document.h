#pragma once

#include "flvsplice/document/FlvFile.h"

namespace cli {

// The library's document with its model readable from outside.
class Document : public CFlvFile {
public:
    using CFlvFile::GetAudioTagArray;
    using CFlvFile::GetFlvHeader;
    using CFlvFile::GetFlvMetaData;
    using CFlvFile::GetFlvTagArray;
    using CFlvFile::GetVideoTagArray;
};

}  // namespace cli
