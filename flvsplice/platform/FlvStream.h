#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "flvsplice/common/FlvExport.h"

// A buffered binary file stream over a file descriptor, with 64-bit offsets.
//
// A reading stream keeps a window of the file in memory: seeks only move the
// logical position, and a read that lands inside the window costs no system
// call. Reads go through pread(), so the descriptor's own offset never
// matters. A writing stream collects small writes and hands them to write()
// in large pieces.
//
// Sharing follows the rules a document relies on: a source is opened with a
// shared lock (others may read it, nobody using the library may write it), an
// output with an exclusive lock, and an output is changed only once its lock
// is held, so a path that an open document reads is refused untouched,
// whatever name reaches it. An output that already exists is written over in
// place and cut to the written length when the stream closes, also when
// writing failed (then just before the first byte that could not be stored).
//
// Every call records the system error code of its failure in LastError(); a
// short read at the end of the file records 0.
class FLVSPLICE_API CFlvStream {
public:
    enum class Mode { Read, Write };
    static constexpr size_t kBufferSize = 64 * 1024;
    static constexpr uint64_t kCopyBatch = 8 * 1024 * 1024;
    static constexpr int64_t kPageSize = 4096;

    ~CFlvStream();
    CFlvStream(const CFlvStream&) = delete;
    CFlvStream& operator=(const CFlvStream&) = delete;

    // Opens an existing regular file for reading under a shared lock.
    static std::unique_ptr<CFlvStream> OpenForReading(const std::wstring& path, int* error);
    // Opens (creating if needed) a file for writing under an exclusive lock.
    // A regular file ends up holding exactly what was written (see above);
    // devices are written as they are.
    static std::unique_ptr<CFlvStream> CreateExclusive(const std::wstring& path, int* error);

    // Returns the number of bytes transferred; fewer than count on failure.
    // A read that lies inside the buffered window is served here, inline:
    // walking the headers of a million tags makes millions of small reads.
    size_t Read(void* buffer, size_t count) {
        const int64_t buffered = m_bufStart + static_cast<int64_t>(m_bufLen) - m_pos;
        if (m_mode == Mode::Read && m_fd >= 0 && count != 0 && m_pos >= m_bufStart &&
            buffered >= static_cast<int64_t>(count)) {
            std::memcpy(buffer, m_buffer.get() + (m_pos - m_bufStart), count);
            m_pos += static_cast<int64_t>(count);
            m_lastError = 0;
            return count;
        }
        return ReadThrough(buffer, count);
    }
    size_t Write(const void* buffer, size_t count);
    // Appends size bytes of source, from offset on, to a writing stream.
    // Consecutive ranges of one source are merged and handed to the system
    // as one copy, at the latest when kCopyBatch bytes are pending or
    // another write, seek, flush or close comes (copy_file_range where the
    // file systems allow, which never passes the bytes through this process;
    // reads and writes otherwise). A failure of a pending copy is reported
    // by the call that carries it out and marks the output as failed. A
    // stream on a device takes the bytes through its buffer at once.
    bool CopyFrom(CFlvStream* source, uint64_t offset, uint64_t size);
    // Reads up to count (at most kBufferSize) bytes without copying them:
    // *data points into the stream's own buffer and stays valid until the next
    // call on the stream. Returns the number of bytes available there.
    size_t ReadInPlace(const uint8_t** data, size_t count);
    // origin: SEEK_SET, SEEK_CUR or SEEK_END. A reading stream only moves
    // its logical position.
    bool Seek(int64_t offset, int origin) {
        if (m_mode == Mode::Read && m_fd >= 0 && origin == SEEK_SET && offset >= 0) {
            m_pos = offset;
            m_lastError = 0;
            return true;
        }
        return SeekThrough(offset, origin);
    }
    // The current position, or -1 on a closed stream.
    int64_t Tell() {
        if (m_fd < 0) {
            m_lastError = EBADF;
            return -1;
        }
        m_lastError = 0;
        return m_pos;
    }
    // The size of the file, or -1.
    int64_t Size();
    // Writes out buffered bytes.
    bool Flush();
    // Flushes and closes; false when anything written could not be stored.
    // A closed stream refuses every further call with EBADF.
    bool Close();

    bool IsOpen() const { return m_fd >= 0; }
    Mode GetMode() const { return m_mode; }
    int LastError() const { return m_lastError; }

private:
    CFlvStream(int fd, Mode mode);
    size_t ReadThrough(void* buffer, size_t count);
    static int64_t WindowStart(int64_t position) { return position & ~(kPageSize - 1); }
    bool SeekThrough(int64_t offset, int origin);
    bool FlushBuffer();
    // Writes the buffered bytes, then the pending copy that follows them.
    bool FlushAll();
    bool FlushCopy();
    bool ReadIntoBuffer(int sourceFd, int64_t offset, uint64_t size);
    // Records that the output holds nothing reliable from offset at on.
    void MarkWriteFailed(int64_t at);
    bool Fail(int code);

    int m_fd;
    Mode m_mode;
    int64_t m_pos = 0;  // logical position
    std::unique_ptr<uint8_t[]> m_buffer;
    int64_t m_bufStart = 0;  // file offset of m_buffer[0]
    size_t m_bufLen = 0;     // valid (read) or pending (write) bytes in m_buffer
    bool m_writeFailed = false;
    // Writing an existing file: cut it at Close to the end of what was written
    // (m_end, the furthest position reached before a seek), or to the first
    // byte that failed (m_failedAt).
    bool m_trimAtClose = false;
    int64_t m_end = 0;
    int64_t m_failedAt = INT64_MAX;
    // A pending copy (writing streams): it follows the buffered bytes.
    CFlvStream* m_copySource = nullptr;
    int64_t m_copyOffset = 0;
    uint64_t m_copySize = 0;
    bool m_kernelCopy = true;  // cleared when the system can't copy between these files
    int m_lastError = 0;
};
