#pragma once

#include <cstdint>

// What a host asks of a document beyond the classic FLV codecs and timeline.
// Every option is off by default: a document opened without options reads,
// edits and writes exactly the classic way.
struct FlvOpenOptions {
    // Opens H.264/AVC video (codec 7) and treats AAC's packet types: decoder
    // configurations and end-of-sequence tags are kept as such (no frames,
    // no duration), key frames are the ones that decode on their own (IDR),
    // a cut starts with the configurations in force and a join compares them.
    bool modernCodecs = false;
    // A join moves each appended file's audio and video by the same amount,
    // so that its own distance between them is kept.
    bool keepSyncOnJoin = false;
    // Reads a damaged file instead of refusing it: keeps every tag that can
    // be trusted, skips what cannot, mends the timeline and records each
    // problem met (CFlvFile::GetSalvageReport).
    bool salvage = false;
    // With salvage: a timestamp that moves forward by more than this many
    // milliseconds (or backward at all) within one stream is a break that the
    // timeline closes.
    uint32_t salvageJumpMs = 5000;
};
