#include "flvsplice/platform/FlvStream.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flvsplice/platform/FlvSystem.h"

namespace {

int OpenPath(const std::wstring& path, int flags, int* error) {
    const auto narrow = flvsys::WideToUtf8(path);
    if (!narrow || narrow->empty()) {
        *error = narrow ? ENOENT : EILSEQ;
        return -1;
    }
    int fd;
    do {
        fd = ::open(narrow->c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) *error = errno;
    return fd;
}

bool LockFile(int fd, int operation, int* error) {
    int rc;
    do {
        rc = ::flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = errno;
        return false;
    }
    return true;
}

void CloseQuietly(int fd) { ::close(fd); }

}  // namespace

CFlvStream::CFlvStream(int fd, Mode mode)
    : m_fd(fd), m_mode(mode), m_buffer(std::make_unique<uint8_t[]>(kBufferSize)) {}

CFlvStream::~CFlvStream() {
    if (m_fd >= 0) Close();
}

std::unique_ptr<CFlvStream> CFlvStream::OpenForReading(const std::wstring& path, int* error) {
    int scratch = 0;
    if (error == nullptr) error = &scratch;
    *error = 0;
    const int fd = OpenPath(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, error);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = errno;
        CloseQuietly(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        CloseQuietly(fd);
        return nullptr;
    }
    if (!LockFile(fd, LOCK_SH, error)) {
        CloseQuietly(fd);
        return nullptr;
    }
    return std::unique_ptr<CFlvStream>(new CFlvStream(fd, Mode::Read));
}

std::unique_ptr<CFlvStream> CFlvStream::CreateExclusive(const std::wstring& path, int* error) {
    int scratch = 0;
    if (error == nullptr) error = &scratch;
    *error = 0;
    const int fd = OpenPath(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, error);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = errno;
        CloseQuietly(fd);
        return nullptr;
    }
    // Only a regular file can be the source of a document, so only a regular
    // file is locked (two processes writing /dev/null do not exclude each other).
    if (S_ISREG(st.st_mode) && !LockFile(fd, LOCK_EX, error)) {
        CloseQuietly(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::unique_ptr<CFlvStream> stream(new CFlvStream(fd, Mode::Write));
    // An existing file is written over where it stands and cut to the
    // written length on Close. Truncating it first would free every block
    // only to allocate them again, and on ext4 would also make the close
    // wait for the whole file to be written back (its replace-by-truncate
    // rule): together more than the copy itself costs.
    stream->m_trimAtClose = S_ISREG(st.st_mode) && st.st_size > 0;
    // The system copies between regular files only; devices and pipes take
    // copied ranges through the buffer.
    stream->m_kernelCopy = S_ISREG(st.st_mode);
    return stream;
}

void CFlvStream::MarkWriteFailed(int64_t at) {
    m_writeFailed = true;
    m_failedAt = std::min(m_failedAt, at);
}

bool CFlvStream::Fail(int code) {
    m_lastError = code;
    return false;
}

size_t CFlvStream::ReadThrough(void* buffer, size_t count) {
    m_lastError = 0;
    if (m_fd < 0 || m_mode != Mode::Read) {
        Fail(EBADF);
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (m_pos >= m_bufStart && m_pos < m_bufStart + static_cast<int64_t>(m_bufLen)) {
            const auto offset = static_cast<size_t>(m_pos - m_bufStart);
            const size_t n = std::min(count - done, m_bufLen - offset);
            std::memcpy(out + done, m_buffer.get() + offset, n);
            done += n;
            m_pos += static_cast<int64_t>(n);
            continue;
        }
        const size_t remaining = count - done;
        const bool direct = remaining >= kBufferSize;
        uint8_t* target = direct ? out + done : m_buffer.get();
        const size_t want = direct ? remaining : kBufferSize;
        // A window starts on a page boundary: the system copies whole pages.
        const int64_t from = direct ? m_pos : WindowStart(m_pos);
        const ssize_t got = ::pread(m_fd, target, want, from);
        if (got < 0) {
            if (errno == EINTR) continue;
            Fail(errno);
            break;
        }
        if (got <= m_pos - from) break;  // end of file: LastError stays 0
        if (direct) {
            done += static_cast<size_t>(got);
            m_pos += got;
        } else {
            m_bufStart = from;
            m_bufLen = static_cast<size_t>(got);
        }
    }
    return done;
}

size_t CFlvStream::ReadInPlace(const uint8_t** data, size_t count) {
    m_lastError = 0;
    *data = nullptr;
    if (m_fd < 0 || m_mode != Mode::Read) {
        Fail(EBADF);
        return 0;
    }
    count = std::min(count, kBufferSize);
    const bool inside = m_pos >= m_bufStart && m_pos + static_cast<int64_t>(count) <=
                                                   m_bufStart + static_cast<int64_t>(m_bufLen);
    if (!inside) {
        // On a page boundary when the request still fits behind it.
        const int64_t from = count <= kBufferSize - kPageSize ? WindowStart(m_pos) : m_pos;
        ssize_t got;
        do {
            got = ::pread(m_fd, m_buffer.get(), kBufferSize, from);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            m_bufLen = 0;
            Fail(errno);
            return 0;
        }
        m_bufStart = from;
        m_bufLen = static_cast<size_t>(got);
        if (m_bufLen <= static_cast<size_t>(m_pos - from)) return 0;  // end of file
    }
    const auto offset = static_cast<size_t>(m_pos - m_bufStart);
    const size_t available = std::min(count, m_bufLen - offset);
    *data = m_buffer.get() + offset;
    m_pos += static_cast<int64_t>(available);
    return available;
}

bool CFlvStream::FlushBuffer() {
    size_t written = 0;
    while (written < m_bufLen) {
        const ssize_t n = ::write(m_fd, m_buffer.get() + written, m_bufLen - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            MarkWriteFailed(m_bufStart + static_cast<int64_t>(written));
            m_bufLen = 0;
            return Fail(code);
        }
        written += static_cast<size_t>(n);
    }
    m_bufStart += static_cast<int64_t>(m_bufLen);
    m_bufLen = 0;
    return true;
}

bool CFlvStream::FlushAll() {
    if (!FlushBuffer()) {
        // What was to follow the lost bytes can't be written either.
        m_copySource = nullptr;
        m_copySize = 0;
        return false;
    }
    return FlushCopy();
}

bool CFlvStream::FlushCopy() {
    if (m_copySize == 0) return true;
    CFlvStream* source = m_copySource;
    int64_t offset = m_copyOffset;
    uint64_t left = m_copySize;
    m_copySource = nullptr;
    m_copySize = 0;
    bool ok = true;
    if (source->m_fd < 0) {
        ok = Fail(EBADF);
    }
    while (ok && left > 0 && m_kernelCopy) {
        off64_t in = offset;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, size_t(1) << 30));
        const ssize_t n = ::copy_file_range(source->m_fd, &in, m_fd, nullptr, want, 0);
        if (n > 0) {
            offset += n;
            left -= static_cast<uint64_t>(n);
            m_bufStart += n;
        } else if (n == 0) {
            ok = Fail(EIO);  // the source is shorter than when it was loaded
        } else if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                   errno == EPERM) {
            m_kernelCopy = false;  // devices, pipes, file systems that can't: copy by hand
        } else if (errno != EINTR) {
            ok = Fail(errno);
        }
    }
    if (ok && left > 0) {
        // The rest goes through the buffer, which counts it into the position again.
        m_pos -= static_cast<int64_t>(left);
        ok = ReadIntoBuffer(source->m_fd, offset, left);
    }
    if (!ok) {
        MarkWriteFailed(m_bufStart);
        m_bufLen = 0;
        m_bufStart = m_pos;
    }
    return ok;
}

bool CFlvStream::ReadIntoBuffer(int sourceFd, int64_t offset, uint64_t size) {
    while (size > 0) {
        if (m_bufLen == kBufferSize && !FlushBuffer()) return false;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(size, kBufferSize - m_bufLen));
        const ssize_t got = ::pread(sourceFd, m_buffer.get() + m_bufLen, want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(errno);
        if (got == 0) return Fail(EIO);
        m_bufLen += static_cast<size_t>(got);
        m_pos += got;
        offset += got;
        size -= static_cast<uint64_t>(got);
    }
    return true;
}

bool CFlvStream::CopyFrom(CFlvStream* source, uint64_t offset, uint64_t size) {
    m_lastError = 0;
    if (m_fd < 0 || m_mode != Mode::Write || source == nullptr || source->m_fd < 0 ||
        source->m_mode != Mode::Read) {
        return Fail(EBADF);
    }
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        size > static_cast<uint64_t>(INT64_MAX) - offset) {
        return Fail(EINVAL);
    }
    if (size == 0) return true;
    if (!m_kernelCopy) return ReadIntoBuffer(source->m_fd, static_cast<int64_t>(offset), size);
    if (m_copySize > 0 &&
        (m_copySource != source || static_cast<uint64_t>(m_copyOffset) + m_copySize != offset)) {
        if (!FlushAll()) return false;
    }
    if (m_copySize == 0) {
        m_copySource = source;
        m_copyOffset = static_cast<int64_t>(offset);
    }
    m_copySize += size;
    m_pos += static_cast<int64_t>(size);
    if (m_copySize >= kCopyBatch) return FlushAll();
    return true;
}

size_t CFlvStream::Write(const void* buffer, size_t count) {
    m_lastError = 0;
    if (m_fd < 0 || m_mode != Mode::Write) {
        Fail(EBADF);
        return 0;
    }
    const auto* in = static_cast<const uint8_t*>(buffer);
    // Bytes after a pending copy can't join the buffer in front of it.
    if (m_copySize > 0 && !FlushAll()) return 0;
    if (m_bufLen + count > kBufferSize && !FlushBuffer()) return 0;
    if (count < kBufferSize) {
        std::memcpy(m_buffer.get() + m_bufLen, in, count);
        m_bufLen += count;
        m_pos += static_cast<int64_t>(count);
        return count;
    }
    size_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(m_fd, in + written, count - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int code = errno;
            MarkWriteFailed(m_pos + static_cast<int64_t>(written));
            Fail(code);
            break;
        }
        written += static_cast<size_t>(n);
    }
    m_pos += static_cast<int64_t>(written);
    m_bufStart = m_pos;
    return written;
}

bool CFlvStream::SeekThrough(int64_t offset, int origin) {
    m_lastError = 0;
    if (m_fd < 0) return Fail(EBADF);
    if (m_mode == Mode::Write) {
        if (!FlushAll()) return false;
        m_end = std::max(m_end, m_pos);
        if (origin == SEEK_END && m_trimAtClose) {
            // The old bytes beyond what was written are not part of the file.
            if (offset > INT64_MAX - m_end) return Fail(EINVAL);
            offset += m_end;
            origin = SEEK_SET;
        }
        const off_t at = ::lseek(m_fd, static_cast<off_t>(offset), origin);
        if (at < 0) return Fail(errno);
        m_pos = at;
        m_bufStart = at;
        return true;
    }
    int64_t base = 0;
    switch (origin) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = m_pos;
            break;
        case SEEK_END:
            base = Size();
            if (base < 0) return false;
            break;
        default:
            return Fail(EINVAL);
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return Fail(EINVAL);
    m_pos = base + offset;
    return true;
}

int64_t CFlvStream::Size() {
    m_lastError = 0;
    if (m_fd < 0) {
        Fail(EBADF);
        return -1;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        Fail(errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool CFlvStream::Flush() {
    m_lastError = 0;
    if (m_fd < 0) return Fail(EBADF);
    if (m_mode != Mode::Write) return true;
    return FlushAll();
}

bool CFlvStream::Close() {
    m_lastError = 0;
    if (m_fd < 0) return Fail(EBADF);
    bool ok = true;
    int code = 0;
    if (m_mode == Mode::Write) {
        if (!FlushAll()) {
            ok = false;
            code = m_lastError;
        } else if (m_writeFailed) {
            ok = false;
            code = EIO;
        }
        // What follows the written bytes (or the first byte that could not
        // be written) is left from the file's earlier content.
        m_end = std::max(m_end, m_pos);
        if (m_trimAtClose && ::ftruncate(m_fd, std::min(m_end, m_failedAt)) != 0 && ok) {
            ok = false;
            code = errno;
        }
    }
    if (::close(m_fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    m_fd = -1;
    m_buffer.reset();
    m_bufLen = 0;
    if (!ok) return Fail(code);
    return true;
}
