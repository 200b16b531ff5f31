#pragma once

#include <cstdint>

#include "flvsplice/common/FlvExport.h"

// One problem that a salvaging Open met in a damaged file, and what it did
// about it.
struct FlvSalvageProblem {
    enum class Kind : uint8_t {
        TruncatedTail,         // a tag or PreviousTagSize cut short by the end of the file
        WrongPreviousTagSize,  // a back-pointer that does not match its tag
        SkippedBytes,          // bytes that start no trustworthy tag (zeros, garbage)
        UndecodableFrames,     // video frames after a skipped region, before a key frame
        Reconnect,             // a second FLV header in the middle of the file
        NewMetaData,           // an onMetaData tag after audio or video
        TimestampWrap,         // 24-bit timestamps that wrapped without the extension byte
        TimestampJump,         // a stream's time that jumped back or far forward
        RepeatedConfig,        // a decoder configuration sent again unchanged
        ChangedConfig,         // a decoder configuration that changed mid-stream
        EndOfSequence,         // an end-of-sequence tag in the middle
        RepeatedRun,           // a run of tags repeating the run before it byte for byte
        HeaderFlags,           // header flags that disagree with the content
        MissingConfig,         // H.264 or AAC frames before any decoder configuration
    };
    enum class Action : uint8_t {
        Dropped,    // the tags in question were left out
        Ignored,    // the bad value was not used
        Skipped,    // the bytes were passed over
        Continued,  // the timeline runs on through it
        Shifted,    // the later tags' timestamps were moved
        Kept,       // the tag stays where it is
        Derived,    // the value was derived from the content
    };
    Kind kind;
    Action action;
    // Where in the source: the byte offset of the problem and the index of
    // the source's audio/video tag it stands at (tags counted in file order,
    // kept or not), and that tag's timestamp as read (milliseconds).
    uint64_t offset = 0;
    uint64_t tagIndex = 0;
    uint32_t timeMs = 0;
    // Bytes skipped, tags dropped, or milliseconds shifted, by kind.
    int64_t amount = 0;
};

// Stable short names (lower case, hyphenated) for reports and scripts.
FLVSPLICE_API const char* FlvSalvageKindName(FlvSalvageProblem::Kind kind);
FLVSPLICE_API const char* FlvSalvageActionName(FlvSalvageProblem::Action action);
