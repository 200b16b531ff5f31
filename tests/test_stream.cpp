#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "TestUtil.h"
#include "flvsplice/platform/FlvStream.h"

using namespace flvtest;

namespace {

std::unique_ptr<CFlvStream> Reader(const std::string& path) {
    int error = 0;
    auto stream = CFlvStream::OpenForReading(Wide(path), &error);
    EXPECT_NE(stream, nullptr) << "error " << error;
    return stream;
}

Bytes ReadAt(CFlvStream& stream, int64_t offset, size_t count) {
    Bytes out(count);
    EXPECT_TRUE(stream.Seek(offset, SEEK_SET));
    out.resize(stream.Read(out.data(), count));
    return out;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t count) {
    return Bytes(bytes.begin() + int64_t(offset), bytes.begin() + int64_t(offset + count));
}

}  // namespace

TEST(Stream, OutputIsRefusedWhileTheFileIsRead) {
    TempDir dir;
    const std::string path = dir.File("busy.flv");
    const Bytes content = Pattern(5000);
    WriteFile(path, content);
    ASSERT_EQ(link(path.c_str(), dir.File("alias.flv").c_str()), 0);
    std::filesystem::create_directory(dir.File("sub"));

    {
        auto reader = Reader(path);
        ASSERT_NE(reader, nullptr);
        for (const std::string& name : {path, dir.File("alias.flv"), dir.Path() + "/./busy.flv",
                                        dir.File("sub/../busy.flv")}) {
            SCOPED_TRACE(name);
            int error = 0;
            EXPECT_EQ(CFlvStream::CreateExclusive(Wide(name), &error), nullptr);
            EXPECT_EQ(error, EWOULDBLOCK);
        }
        EXPECT_EQ(ReadFile(path), content);

        // Readers share the file.
        auto second = Reader(dir.File("alias.flv"));
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(ReadAt(*second, 4990, 10), Slice(content, 4990, 10));
    }
    // An open document holds its source the same way.
    {
        TestDoc doc;
        FlvBuilder b;
        b.Header(0x01).H263(0, true).H263(40, false).WriteTo(path);
        ASSERT_EQ(doc.Open(Wide(path)), 0) << DumpErrors(doc);
        int error = 0;
        EXPECT_EQ(CFlvStream::CreateExclusive(Wide(dir.File("alias.flv")), &error), nullptr);
        EXPECT_EQ(error, EWOULDBLOCK);
        EXPECT_EQ(ReadFile(path), b.bytes);
        doc.Close();
        auto out = CFlvStream::CreateExclusive(Wide(path), &error);
        ASSERT_NE(out, nullptr) << "error " << error;
        EXPECT_TRUE(out->Close());
        EXPECT_TRUE(ReadFile(path).empty());  // truncated once the lock is held
    }
    // A writer keeps readers out as well.
    {
        auto out = CFlvStream::CreateExclusive(Wide(path), nullptr);
        ASSERT_NE(out, nullptr);
        int error = 0;
        EXPECT_EQ(CFlvStream::OpenForReading(Wide(path), &error), nullptr);
        EXPECT_EQ(error, EWOULDBLOCK);
    }
}

TEST(Stream, DevicesAreWrittenAsTheyAre) {
    int error = 0;
    auto out = CFlvStream::CreateExclusive(L"/dev/null", &error);
    ASSERT_NE(out, nullptr) << "error " << error;
    const Bytes big = Pattern(CFlvStream::kBufferSize * 2 + 3);
    EXPECT_EQ(out->Write(big.data(), 10), 10u);
    EXPECT_EQ(out->Write(big.data(), big.size()), big.size());
    EXPECT_EQ(out->Tell(), int64_t(big.size() + 10));
    EXPECT_TRUE(out->Close());
    struct stat st {};
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // A device is no source: only regular files are read.
    EXPECT_EQ(CFlvStream::OpenForReading(L"/dev/null", &error), nullptr);
    EXPECT_NE(error, 0);
}

TEST(Stream, ReadSeekAndTellAgreeAcrossTheBuffer) {
    TempDir dir;
    const std::string path = dir.File("data.bin");
    const size_t kBuffer = CFlvStream::kBufferSize;
    const Bytes content = Pattern(3 * kBuffer + 1234, 5);
    WriteFile(path, content);
    auto in = Reader(path);
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(in->Size(), int64_t(content.size()));
    EXPECT_EQ(in->Tell(), 0);

    // Across the end of the first window, in one read and byte by byte.
    EXPECT_EQ(ReadAt(*in, kBuffer - 6, 12), Slice(content, kBuffer - 6, 12));
    EXPECT_EQ(in->Tell(), int64_t(kBuffer + 6));
    ASSERT_TRUE(in->Seek(kBuffer - 2, SEEK_SET));
    for (size_t i = 0; i < 4; ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(in->Read(&byte, 1), 1u);
        EXPECT_EQ(byte, content[kBuffer - 2 + i]);
        EXPECT_EQ(in->Tell(), int64_t(kBuffer - 1 + i));
    }
    // Back into the earlier window, relative moves, and from the end.
    EXPECT_EQ(ReadAt(*in, 100, 50), Slice(content, 100, 50));
    ASSERT_TRUE(in->Seek(-30, SEEK_CUR));
    EXPECT_EQ(in->Tell(), 120);
    Bytes some(10);
    ASSERT_EQ(in->Read(some.data(), 10), 10u);
    EXPECT_EQ(some, Slice(content, 120, 10));
    ASSERT_TRUE(in->Seek(-5, SEEK_END));
    EXPECT_EQ(in->Tell(), int64_t(content.size() - 5));
    ASSERT_EQ(in->Read(some.data(), 5), 5u);
    EXPECT_EQ(Bytes(some.begin(), some.begin() + 5), Slice(content, content.size() - 5, 5));
    EXPECT_FALSE(in->Seek(-1, SEEK_SET));
    EXPECT_EQ(in->Tell(), int64_t(content.size()));

    // A read larger than the window, starting inside the window.
    EXPECT_EQ(ReadAt(*in, 7, kBuffer + 500), Slice(content, 7, kBuffer + 500));
    EXPECT_EQ(in->Tell(), int64_t(kBuffer + 507));
    EXPECT_EQ(ReadAt(*in, kBuffer + 508, 2 * kBuffer), Slice(content, kBuffer + 508, 2 * kBuffer));

    // At the end of the file: short read, no error code.
    EXPECT_EQ(ReadAt(*in, int64_t(content.size()) - 3, 10), Slice(content, content.size() - 3, 3));
    EXPECT_EQ(in->LastError(), 0);
    EXPECT_EQ(in->Tell(), int64_t(content.size()));
    EXPECT_EQ(ReadAt(*in, int64_t(content.size()) + 100, 4).size(), 0u);
    EXPECT_EQ(in->Tell(), int64_t(content.size()) + 100);

    // Reads in place: windows start on page boundaries unless the request
    // would not fit behind one; at the end, what is left, then nothing.
    const auto InPlace = [&](int64_t at, size_t count) {
        EXPECT_TRUE(in->Seek(at, SEEK_SET));
        const uint8_t* data = nullptr;
        const size_t got = in->ReadInPlace(&data, count);
        return got == 0 ? Bytes{} : Bytes(data, data + got);
    };
    EXPECT_EQ(InPlace(4097, 4096), Slice(content, 4097, 4096));
    EXPECT_EQ(InPlace(kBuffer + 4095, kBuffer), Slice(content, kBuffer + 4095, kBuffer));
    EXPECT_EQ(InPlace(1, kBuffer - 100), Slice(content, 1, kBuffer - 100));
    EXPECT_EQ(InPlace(int64_t(content.size()) - 7, 4096), Slice(content, content.size() - 7, 7));
    EXPECT_EQ(InPlace(int64_t(content.size()) + 5, 16).size(), 0u);
    EXPECT_EQ(in->LastError(), 0);
}

TEST(Stream, WritesSmallAndLargePiecesInOrder) {
    TempDir dir;
    const std::string path = dir.File("out.bin");
    const Bytes large = Pattern(CFlvStream::kBufferSize + 17, 2);
    auto out = CFlvStream::CreateExclusive(Wide(path), nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Write("abc", 3), 3u);
    EXPECT_EQ(out->Write(large.data(), large.size()), large.size());
    EXPECT_EQ(out->Write("xyz", 3), 3u);
    EXPECT_EQ(out->Tell(), int64_t(large.size() + 6));
    ASSERT_TRUE(out->Seek(1, SEEK_SET));
    EXPECT_EQ(out->Write("B", 1), 1u);
    ASSERT_TRUE(out->Seek(0, SEEK_END));
    EXPECT_EQ(out->Write("!", 1), 1u);
    EXPECT_TRUE(out->Close());
    const Bytes expected = Concat(Concat(Bytes{'a', 'B', 'c'}, large), Bytes{'x', 'y', 'z', '!'});
    EXPECT_EQ(ReadFile(path), expected);
}

TEST(Stream, ClosedStreamsRefuseEverything) {
    TempDir dir;
    const std::string path = dir.File("data.bin");
    WriteFile(path, Pattern(100));
    auto in = Reader(path);
    ASSERT_NE(in, nullptr);
    ASSERT_TRUE(in->Close());
    EXPECT_FALSE(in->IsOpen());
    uint8_t byte = 0;
    EXPECT_EQ(in->Read(&byte, 1), 0u);
    EXPECT_EQ(in->LastError(), EBADF);
    EXPECT_FALSE(in->Seek(0, SEEK_SET));
    EXPECT_EQ(in->LastError(), EBADF);
    EXPECT_EQ(in->Tell(), -1);
    EXPECT_EQ(in->LastError(), EBADF);
    EXPECT_EQ(in->Size(), -1);
    EXPECT_FALSE(in->Close());
    EXPECT_EQ(in->LastError(), EBADF);

    auto out = CFlvStream::CreateExclusive(Wide(dir.File("out.bin")), nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Read(&byte, 1), 0u);  // a writing stream does not read
    EXPECT_EQ(out->LastError(), EBADF);
    ASSERT_TRUE(out->Close());
    EXPECT_EQ(out->Write("a", 1), 0u);
    EXPECT_EQ(out->LastError(), EBADF);
    EXPECT_FALSE(out->Flush());
}

// Copied ranges land between the written bytes in call order, whether the
// system copies them (same file system), the stream reads and writes them
// (another file system), or they pass through the buffer (a device).
TEST(Stream, CopiedRangesKeepTheirPlaceAmongWrites) {
    TempDir dir;
    const Bytes content = Pattern(CFlvStream::kBufferSize * 4 + 77, 9);
    WriteFile(dir.File("source.bin"), content);
    auto source = Reader(dir.File("source.bin"));
    ASSERT_NE(source, nullptr);

    std::vector<std::string> outputs = {dir.File("out.bin")};
    TempDir other;  // on /dev/shm when it is another file system than the temp dir
    struct stat tmpStat {
    }, shmStat{};
    if (stat(dir.Path().c_str(), &tmpStat) == 0 && stat("/dev/shm", &shmStat) == 0 &&
        tmpStat.st_dev != shmStat.st_dev) {
        outputs.push_back("/dev/shm/flvsplice-stream-test-" + std::to_string(getpid()));
    }
    const Bytes head = {1, 2, 3};
    const Bytes tail = {4, 5};
    const Bytes expected = Concat(
        Concat(Concat(head, Slice(content, 10, 1000)), Concat(Slice(content, 5000, 200000), tail)),
        Slice(content, 0, 10));
    for (const std::string& path : outputs) {
        SCOPED_TRACE(path);
        int error = 0;
        auto out = CFlvStream::CreateExclusive(Wide(path), &error);
        ASSERT_NE(out, nullptr) << error;
        EXPECT_EQ(out->Write(head.data(), head.size()), head.size());
        EXPECT_TRUE(out->CopyFrom(source.get(), 10, 600));
        EXPECT_TRUE(out->CopyFrom(source.get(), 610, 400));  // merges with the one before
        EXPECT_TRUE(out->CopyFrom(source.get(), 5000, 200000));
        EXPECT_EQ(out->Tell(), int64_t(head.size() + 1000 + 200000));
        EXPECT_EQ(out->Write(tail.data(), tail.size()), tail.size());
        EXPECT_TRUE(out->CopyFrom(source.get(), 0, 10));
        EXPECT_TRUE(out->Close());
        EXPECT_EQ(ReadFile(path), expected);
        if (path.rfind("/dev/shm/", 0) == 0) std::remove(path.c_str());
    }

    // A device takes the bytes through the buffer; a range past the source's
    // end fails instead of writing less.
    int error = 0;
    auto device = CFlvStream::CreateExclusive(L"/dev/null", &error);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->CopyFrom(source.get(), 0, content.size()));
    EXPECT_FALSE(device->CopyFrom(source.get(), content.size() - 5, 10));
    EXPECT_EQ(device->LastError(), EIO);
    auto file = CFlvStream::CreateExclusive(dir.WFile("short.bin"), &error);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->CopyFrom(source.get(), content.size() - 5, 10));  // pending
    EXPECT_FALSE(file->Close());
    EXPECT_EQ(file->LastError(), EIO);
}

// An existing output is written over in place: what the stream wrote, with
// the seeks back and the writes at the end, is all the file holds afterwards.
// When writing fails, the file ends before the first byte that failed, and
// nothing of the old content is left behind it.
TEST(Stream, AnExistingOutputHoldsOnlyWhatWasWritten) {
    TempDir dir;
    const Bytes content = Pattern(CFlvStream::kBufferSize * 3, 4);
    WriteFile(dir.File("source.bin"), content);
    auto source = Reader(dir.File("source.bin"));
    ASSERT_NE(source, nullptr);
    const std::string path = dir.File("out.bin");
    WriteFile(path, Pattern(CFlvStream::kBufferSize * 6, 8));

    auto out = CFlvStream::CreateExclusive(Wide(path), nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->Write("abcd", 4), 4u);
    EXPECT_TRUE(out->CopyFrom(source.get(), 100, 70000));
    ASSERT_TRUE(out->Seek(1, SEEK_SET));
    EXPECT_EQ(out->Write("B", 1), 1u);
    ASSERT_TRUE(out->Seek(0, SEEK_END));  // the end of what was written, not of the old file
    EXPECT_EQ(out->Tell(), 70004);
    EXPECT_EQ(out->Write("!", 1), 1u);
    ASSERT_TRUE(out->Seek(2, SEEK_SET));  // closing after a seek back keeps the end
    EXPECT_TRUE(out->Close());
    EXPECT_EQ(ReadFile(path),
              Concat(Concat(Bytes{'a', 'B', 'c', 'd'}, Slice(content, 100, 70000)), Bytes{'!'}));

    // A file size limit makes the writes fail part way (EFBIG).
    WriteFile(path, Pattern(CFlvStream::kBufferSize * 6, 8));
    const size_t kLimit = 100000;
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    Bytes intended;
    out = CFlvStream::CreateExclusive(Wide(path), nullptr);
    bool failed = out == nullptr;
    for (size_t i = 0; !failed && i < 150; ++i) {
        const Bytes piece = Pattern(1000, uint8_t(i));
        failed = out->Write(piece.data(), piece.size()) != piece.size();
        intended = Concat(intended, piece);
    }
    if (out != nullptr) {
        failed = !out->CopyFrom(source.get(), 0, content.size()) || failed;
        intended = Concat(intended, content);
        failed = !out->Close() || failed;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(failed);
    EXPECT_EQ(out->LastError(), EFBIG);
    const Bytes left = ReadFile(path);
    EXPECT_LE(left.size(), kLimit);
    EXPECT_GT(left.size(), kLimit - CFlvStream::kBufferSize);
    EXPECT_EQ(left, Slice(intended, 0, left.size()));
}
