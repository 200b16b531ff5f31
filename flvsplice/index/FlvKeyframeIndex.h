#pragma once

#include <cstddef>
#include <string>

#include "flvsplice/common/FlvExport.h"

// What a file's own onMetaData says about its key frames, checked against
// the tags that stand in the file.
struct FlvKeyframeIndexReport {
    bool readable = false;    // the file could be read and walked to its end
    bool present = false;     // its first onMetaData tag carries a keyframes index
    bool consistent = false;  // every entry names a key-frame tag with that time, and all are named
    size_t entries = 0;       // entries in the index
    size_t keyFrames = 0;     // video key-frame tags in the file
    std::string problem;      // the first disagreement or reading problem, in English
};

// Reads the file at path (nothing is written). Never throws for bad input.
FLVSPLICE_API FlvKeyframeIndexReport InspectKeyframeIndex(const std::wstring& path);
