#pragma once

#include <cstddef>
#include <cstdint>

class CFlvStream;

// A view of one payload in the source stream, bounded by the payload's end
// offset: a loader reads its header bytes through it and can never read past
// the tag it belongs to. A read that would cross the end reads nothing and
// fails with error code 0, as a short read at the end of a file does.
class CFlvPayloadView {
public:
    CFlvPayloadView(CFlvStream* source, int64_t end) : m_source(source), m_end(end) {}

    // Reads exactly count bytes, or fails.
    bool Read(void* buffer, size_t count);
    // The stream's position, or -1.
    int64_t Position();
    // Moves the stream to the end offset.
    bool SeekToEnd();
    int64_t End() const { return m_end; }
    // The system error code of the last failure (0 for a read past the end).
    int LastError() const { return m_lastError; }

private:
    CFlvStream* m_source;
    int64_t m_end;
    int m_lastError = 0;
};
