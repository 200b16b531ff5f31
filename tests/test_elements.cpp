#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "TestUtil.h"
#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvHeader.h"
#include "flvsplice/flv/FlvMemorySpooler.h"
#include "flvsplice/flv/FlvRawData.h"
#include "flvsplice/flv/FlvScriptDataObject.h"
#include "flvsplice/flv/FlvTag.h"
#include "flvsplice/flv/FlvVideoData.h"
#include "flvsplice/flv/FlvVideoPacket.h"
#include "flvsplice/platform/FlvStream.h"

using namespace flvtest;
using ::testing::ElementsAre;

namespace {

// Source files and output files of single elements, in a private directory.
class Elements : public ::testing::Test {
protected:
    // Writes bytes to a new file and opens it as a source stream.
    CFlvStream* Source(const Bytes& bytes) {
        const std::string path = dir.File("source" + std::to_string(m_sources.size()));
        WriteFile(path, bytes);
        int error = 0;
        auto stream = CFlvStream::OpenForReading(Wide(path), &error);
        if (!stream) throw std::runtime_error("cannot open source: " + std::to_string(error));
        m_sources.push_back(std::move(stream));
        return m_sources.back().get();
    }

    // Saves the element into a new file; the file's bytes, or nothing when
    // Save failed (the bytes written up to the failure are in lastOutput).
    std::optional<Bytes> Saved(CFlvData& element) { return SavedTo(element, NextOutput()); }

    std::optional<Bytes> SavedTo(CFlvData& element, const std::string& path) {
        int error = 0;
        auto out = CFlvStream::CreateExclusive(Wide(path), &error);
        if (!out) throw std::runtime_error("cannot create output: " + std::to_string(error));
        const bool ok = element.Save(out.get());
        out->Close();
        lastOutput = ReadFile(path);
        if (!ok) return std::nullopt;
        return lastOutput;
    }

    std::string NextOutput() { return dir.File("output" + std::to_string(m_outputs++)); }

    // Loads a tag from the start of bytes followed by a trailer, checks that
    // the stream stops at the tag's end, and that two saves give the bytes back.
    std::unique_ptr<CFlvTag> RoundTripTag(const Bytes& tag) {
        CFlvStream* source = Source(Concat(tag, {0xDE, 0xAD, 0xBE, 0xEF}));
        auto element = std::make_unique<CFlvTag>();
        EXPECT_TRUE(element->Load(source, 0)) << DumpErrors(*element);
        EXPECT_EQ(source->Tell(), int64_t(tag.size()));
        source->Seek(0, SEEK_END);  // saving must not depend on the position
        EXPECT_EQ(Saved(*element), tag);
        EXPECT_EQ(Saved(*element), tag);
        return element;
    }

    // Loads a tag that must fail and returns its messages, oldest first.
    std::vector<std::wstring> FailingTag(const Bytes& bytes) {
        CFlvTag tag;
        EXPECT_FALSE(tag.Load(Source(bytes), 0));
        return Messages(tag);
    }

    TempDir dir;
    Bytes lastOutput;

private:
    std::vector<std::unique_ptr<CFlvStream>> m_sources;
    int m_outputs = 0;
};

CFlvVideoPacket* PacketOf(CFlvTag& tag) {
    auto* video = dynamic_cast<CFlvVideoData*>(tag.m_payload.get());
    return video ? video->m_packet.get() : nullptr;
}

Bytes HeaderBytes(const Bytes& signature, uint8_t version, uint8_t flags, uint32_t dataOffset,
                  const Bytes& extra) {
    FlvBuilder b;
    b.autoPrevTagSize = false;
    return b.RawHeader(signature, version, flags, dataOffset, extra).bytes;
}

const Bytes kFlv{'F', 'L', 'V'};

}  // namespace

// ---- header ------------------------------------------------------------

TEST_F(Elements, HeaderKeepsExtraBytesAndOddFields) {
    for (uint32_t extra : {0u, 4u, 11u}) {
        SCOPED_TRACE(extra);
        const Bytes bytes = HeaderBytes(kFlv, 0x7E, 0xFD, 9 + extra, Pattern(extra));
        CFlvStream* source = Source(Concat(bytes, {0, 0, 0, 0}));
        CFlvHeader header;
        ASSERT_TRUE(header.Load(source, 0)) << DumpErrors(header);
        EXPECT_EQ(source->Tell(), int64_t(9 + extra));
        EXPECT_EQ(header.m_extraSize, extra);
        EXPECT_EQ(header.GetDataOffset(), 9 + extra);
        EXPECT_EQ(header.m_version, 0x7E);
        EXPECT_TRUE(header.HasAudio());
        EXPECT_TRUE(header.HasVideo());
        EXPECT_EQ(Saved(header), bytes);
    }
    // The element does not look at the signature; the document does.
    const Bytes foreign = HeaderBytes({'A', 'B', 'C'}, 0, 0, 9, {});
    CFlvHeader header;
    ASSERT_TRUE(header.Load(Source(foreign), 0));
    EXPECT_EQ(Saved(header), foreign);
}

TEST_F(Elements, HeaderRefusesShortFilesAndImpossibleOffsets) {
    CFlvHeader shortHeader;
    EXPECT_FALSE(shortHeader.Load(Source(Pattern(8)), 0));
    EXPECT_EQ(shortHeader.GetErrorMessage(-1),
              L"FLVヘッダ読み込み時にファイル読み込みエラーが発生しました。");
    EXPECT_NE(shortHeader.GetErrorDetail(-1), L"");

    CFlvHeader beyond;
    EXPECT_FALSE(beyond.Load(Source(HeaderBytes(kFlv, 1, 5, 20, Pattern(3))), 0));
    EXPECT_EQ(beyond.GetErrorMessage(-1),
              L"未知のFLVヘッダ読み込み時にファイル読み込みエラーが発生しました。");

    for (uint32_t offset : {0u, 5u, 8u}) {
        CFlvHeader below;
        EXPECT_FALSE(below.Load(Source(HeaderBytes(kFlv, 1, 5, offset, Pattern(64))), 0)) << offset;
        EXPECT_GE(below.GetErrorCount(), 1);
    }
}

// ---- tag, audio, script data -------------------------------------------

TEST_F(Elements, TagKeepsStreamIdAndExtendedTime) {
    const Bytes payload = AudioPayload(0x2F, Pattern(300));
    auto tag = RoundTripTag(TagBytes(8, 0x01000001, payload, 0x123456));
    EXPECT_EQ(tag->m_tagType, 8);
    EXPECT_EQ(tag->GetTimestamp(), 16777217u);
    EXPECT_EQ(tag->m_timestampExtended, 1);
    EXPECT_EQ(tag->GetDataSize(), payload.size());
    EXPECT_THAT(tag->m_streamId, ElementsAre(0x12, 0x34, 0x56));
    EXPECT_EQ(tag->m_duration, 0u);

    auto* audio = dynamic_cast<CFlvAudioData*>(tag->m_payload.get());
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->m_header, 0x2F);
    EXPECT_EQ(audio->GetSoundFormat(), 2);
    EXPECT_EQ(audio->GetSoundRate(), 3);
    EXPECT_EQ(audio->GetSoundSize(), 1);
    EXPECT_EQ(audio->GetSoundType(), 1);
    ASSERT_NE(audio->m_rawData, nullptr);
    EXPECT_EQ(audio->m_rawData->m_offset, 12u);
    EXPECT_EQ(audio->m_rawData->m_size, 300u);
}

TEST_F(Elements, OneByteAudioAndEmptyOrForeignScriptData) {
    auto audioTag = RoundTripTag(TagBytes(8, 5, AudioPayload(0xFF)));
    auto* audio = dynamic_cast<CFlvAudioData*>(audioTag->m_payload.get());
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->m_rawData->m_size, 0u);

    auto empty = RoundTripTag(TagBytes(18, 0, {}));
    auto* script = dynamic_cast<CFlvScriptDataObject*>(empty->m_payload.get());
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(script->m_rawData->m_offset, 11u);
    EXPECT_EQ(script->m_rawData->m_size, 0u);

    RoundTripTag(TagBytes(18, 0, OnMetaDataBody({{"duration", 12.5}, {"width", 320}})));
    RoundTripTag(TagBytes(18, 77, Pattern(9000)));  // not script data at all: never examined
}

TEST_F(Elements, TagRefusesUnknownTypesAndShortHeaders) {
    for (uint8_t type : {0x00, 0x07, 0x0A, 0x28, 0x29, 0x32}) {
        CFlvTag tag;
        EXPECT_FALSE(tag.Load(Source(TagBytes(type, 0, Pattern(20))), 0)) << int(type);
        EXPECT_THAT(Messages(tag), ElementsAre(L"未知のFLVTAGタイプが検出されました。"));
        EXPECT_EQ(tag.m_payload, nullptr);
    }
    CFlvTag cut;
    EXPECT_FALSE(cut.Load(Source(Bytes{9, 0, 0, 20, 0}), 0));
    EXPECT_EQ(cut.GetErrorMessage(-1),
              L"FLVタグ読み込み時にファイル読み込みエラーが発生しました。");
    EXPECT_NE(cut.GetErrorDetail(-1), L"");
}

TEST_F(Elements, PayloadCutShortLoadsButFailsToSave) {
    // The data bytes are only referred to: the tag loads, the copy fails.
    const Bytes whole = TagBytes(8, 0, AudioPayload(0x2F, Pattern(1000)));
    CFlvTag tag;
    ASSERT_TRUE(tag.Load(Source(Head(whole, 40)), 0));
    EXPECT_FALSE(Saved(tag));
    EXPECT_THAT(Messages(tag), ElementsAre(L"RAWDATA出力中にファイル読み込みエラーが発生しました。",
                                           L"音声データ書き込み時にエラーが発生しました。",
                                           L"FLVデータ出力時にエラーが発生しました。"));
    EXPECT_EQ(lastOutput, Head(whole, 12));
}

// ---- video payloads and packets ----------------------------------------

struct VideoCase {
    const char* name;
    uint8_t codec;
    Bytes packet;
    uint32_t width, height, headerLength;
};

TEST_F(Elements, EveryCodecRoundTripsWithItsPictureSize) {
    const std::vector<VideoCase> cases = {
        // Written out by hand, independent of the builder.
        {"h263 literal 8-bit", 2, Bytes{0x00, 0x00, 0x84, 0x00, 0x58, 0x48, 0x00, 0x11}, 176, 144,
         7},
        {"h263 literal 16-bit", 2,
         Bytes{0x00, 0x00, 0x81, 0x68, 0x83, 0xC0, 0x02, 0x1C, 0x16, 0x80}, 1920, 1080, 9},
        {"h263 custom 8-bit", 2, H263Packet(0, 176, 144), 176, 144, 7},
        {"h263 custom 8-bit max", 2, H263Packet(0, 255, 1), 255, 1, 7},
        {"h263 custom 16-bit", 2, H263Packet(1, 1920, 1080), 1920, 1080, 9},
        {"h263 custom 16-bit odd", 2, H263Packet(1, 333, 65535), 333, 65535, 9},
        {"h263 cif", 2, H263Packet(2), 352, 288, 5},
        {"h263 qcif", 2, H263Packet(3), 176, 144, 5},
        {"h263 sqcif", 2, H263Packet(4), 128, 96, 5},
        {"h263 qvga", 2, H263Packet(5), 320, 240, 5},
        {"h263 qqvga", 2, H263Packet(6), 160, 120, 5},
        {"h263 reserved", 2, H263Packet(7), 0, 0, 5},
        {"h263 header only", 2, Head(H263Packet(5), 5), 320, 240, 5},
        {"screen", 3, Bytes{0xF1, 0x40, 0x00, 0xF0, 0xAA}, 320, 240, 4},
        {"screen2", 6, Bytes{0x11, 0x40, 0x00, 0xF0}, 320, 240, 4},
        {"screen max", 3, ScreenPacket(4095, 4095, 0xF, 0xF), 4095, 4095, 4},
        {"vp6", 4, Vp6Packet(0x00, 15, 20), 320, 240, 5},
        {"vp6 adjusted", 4, Vp6Packet(0x48, 15, 20), 316, 232, 5},
        {"vp6 alpha", 5, Vp6AlphaPacket(0x48, 15, 20), 316, 232, 8},
        {"vp6 alpha plain", 5, Vp6AlphaPacket(0x00, 1, 1, 0, {}), 16, 16, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes payload = VideoPayload(1, c.codec, c.packet);
        auto tag = RoundTripTag(TagBytes(9, 40, payload, 1));
        CFlvVideoPacket* packet = PacketOf(*tag);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->GetWidth(), c.width);
        EXPECT_EQ(packet->GetHeight(), c.height);
        uint32_t count = 0;
        const uint8_t* header = packet->GetHeaderBytes(count);
        ASSERT_EQ(count, c.headerLength);
        EXPECT_EQ(Bytes(header, header + count), Head(c.packet, count));
        ASSERT_NE(packet->m_rawData, nullptr);
        EXPECT_EQ(packet->m_rawData->m_offset, 12u + count);
        EXPECT_EQ(packet->m_rawData->m_size, c.packet.size() - count);
    }
}

TEST_F(Elements, KeyFrameIsFrameTypeOneOnly) {
    for (uint8_t frameType = 0; frameType < 16; ++frameType) {
        auto tag = RoundTripTag(TagBytes(9, 0, VideoPayload(frameType, 4, Vp6Packet(0, 1, 1))));
        auto* video = dynamic_cast<CFlvVideoData*>(tag->m_payload.get());
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->IsKeyFrame(), frameType == 1) << int(frameType);
        EXPECT_EQ(tag->IsKeyFrame(), frameType == 1) << int(frameType);
        EXPECT_EQ(video->GetCodecId(), 4);
    }
}

TEST_F(Elements, VideoRefusesUnknownCodecsAndShortPackets) {
    for (uint8_t codec : {0, 1, 7, 8, 12, 15}) {
        EXPECT_THAT(FailingTag(TagBytes(9, 0, VideoPayload(1, codec, Pattern(20)))),
                    ElementsAre(L"未知のビデオパケットが検出されました。",
                                L"映像データ読み込み時にエラーが発生しました。"))
            << int(codec);
    }
    // The packet headers would need bytes past the payload's end; the bytes
    // that follow in the file must not be taken for them.
    const Bytes trailer = Pattern(64);
    EXPECT_THAT(FailingTag(Concat(TagBytes(9, 0, VideoPayload(1, 4, {0x00, 0x00})), trailer)),
                ElementsAre(L"ビデオパケットヘッダ読み込み中にファイルREADエラーが発生しました。",
                            L"VP6ビデオパケットロード時にエラーが発生しました。",
                            L"映像データ読み込み時にエラーが発生しました。"));
    EXPECT_THAT(FailingTag(Concat(TagBytes(9, 0, VideoPayload(1, 5, Pattern(7))), trailer)),
                ElementsAre(L"ビデオパケットヘッダ読み込み中にファイルREADエラーが発生しました。",
                            L"VP6ALPHAビデオパケットロード時にエラーが発生しました。",
                            L"映像データ読み込み時にエラーが発生しました。"));
    EXPECT_THAT(FailingTag(Concat(TagBytes(9, 0, VideoPayload(1, 6, Pattern(3))), trailer)),
                ElementsAre(L"ビデオパケットヘッダ読み込み中にファイルREADエラーが発生しました。",
                            L"Screenビデオパケットロード時にエラーが発生しました。",
                            L"映像データ読み込み時にエラーが発生しました。"));
    EXPECT_THAT(
        FailingTag(
            Concat(TagBytes(9, 0, VideoPayload(1, 2, Head(H263Packet(0, 176, 144), 6))), trailer)),
        ElementsAre(
            L"ビデオパケットの映像サイズ(8bit)を読み込み中にファイルREADエラーが発生しました。",
            L"H263ビデオパケットロード時にエラーが発生しました。",
            L"映像データ読み込み時にエラーが発生しました。"));
    EXPECT_THAT(
        FailingTag(Concat(TagBytes(9, 0, VideoPayload(1, 2, Head(H263Packet(1, 1920, 1080), 8))),
                          trailer)),
        ElementsAre(
            L"ビデオパケットの映像サイズ(16bit)を読み込み中にファイルREADエラーが発生しました。",
            L"H263ビデオパケットロード時にエラーが発生しました。",
            L"映像データ読み込み時にエラーが発生しました。"));
}

// ---- raw data ----------------------------------------------------------

TEST_F(Elements, RawDataCopiesExactRanges) {
    const Bytes file = Pattern(10000, 9);
    CFlvStream* source = Source(file);
    for (uint64_t size : {0u, 1u, 4095u, 4096u, 4097u, 8192u, 9000u}) {
        SCOPED_TRACE(size);
        CFlvRawData raw(source, 1000, size);
        EXPECT_TRUE(raw.Load(source, 0));
        const Bytes expected(file.begin() + 1000, file.begin() + 1000 + int64_t(size));
        source->Seek(3, SEEK_SET);
        EXPECT_EQ(Saved(raw), expected);
        source->Seek(0, SEEK_END);
        EXPECT_EQ(Saved(raw), expected);

        Bytes buffer(size + 1, 0xEE);
        ASSERT_TRUE(raw.ReadToBuffer(buffer.data(), size));
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 1), expected);
        EXPECT_EQ(buffer.back(), 0xEE);
        EXPECT_EQ(raw.GetErrorCount(), 0);
    }
}

TEST_F(Elements, RawDataPatchesReachEverySaveAndRead) {
    const Bytes file = Pattern(10000, 5);
    CFlvStream* source = Source(file);
    CFlvRawData raw(source, 1000, 9000);
    // Both sides of a chunk boundary, the last byte, and one past the range.
    for (uint64_t at : {0u, 4095u, 4096u, 8999u, 9000u}) raw.Patch(at, 0x5A);
    raw.Patch(4096, 0xAB);  // a second patch of one byte replaces the first
    Bytes expected(file.begin() + 1000, file.end());
    for (uint64_t at : {0u, 4095u, 8999u}) expected[at] = 0x5A;
    expected[4096] = 0xAB;
    EXPECT_EQ(Saved(raw), expected);
    Bytes buffer(9000);
    ASSERT_TRUE(raw.ReadToBuffer(buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, expected);
    Bytes middle(4, 0xEE);
    raw.ApplyPatches(4094, middle.data(), middle.size());
    EXPECT_EQ(middle, (Bytes{0xEE, 0x5A, 0xAB, 0xEE}));
}

TEST_F(Elements, RawDataBeyondTheFileFailsAfterWholeChunks) {
    CFlvStream* source = Source(Pattern(10000, 4));
    CFlvRawData raw(source, 1000, 9500);  // 9000 bytes exist: 4096 + 4096 + 808 of 1308
    EXPECT_FALSE(Saved(raw));
    EXPECT_EQ(lastOutput.size(), 8192u);
    EXPECT_THAT(Messages(raw),
                ElementsAre(L"RAWDATA出力中にファイル読み込みエラーが発生しました。"));
    EXPECT_NE(raw.GetErrorDetail(-1), L"");

    CFlvRawData readBack(source, 1000, 9500);
    Bytes buffer(9500);
    EXPECT_FALSE(readBack.ReadToBuffer(buffer.data(), buffer.size()));
    EXPECT_THAT(Messages(readBack),
                ElementsAre(L"RAWDATA出力中にファイル読み込みエラーが発生しました。"));
}

TEST_F(Elements, RawDataOnClosedSourceFailsCleanly) {
    CFlvStream* source = Source(Pattern(100));
    CFlvRawData raw(source, 10, 50);
    ASSERT_TRUE(source->Close());
    EXPECT_FALSE(Saved(raw));
    EXPECT_TRUE(lastOutput.empty());
    Bytes buffer(50);
    EXPECT_FALSE(raw.ReadToBuffer(buffer.data(), 50));
    EXPECT_EQ(raw.GetErrorCount(), 2);
    EXPECT_EQ(raw.GetErrorDetail(0), std::to_wstring(EBADF));
}

// ---- memory spooler ----------------------------------------------------

TEST_F(Elements, SpoolerWritesPiecesBackToBack) {
    CFlvMemorySpooler empty;
    EXPECT_EQ(empty.GetSpooledSize(), 0u);
    const std::string emptyPath = NextOutput();
    {
        auto out = CFlvStream::CreateExclusive(Wide(emptyPath), nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(empty.OutputToFile(out.get()));
    }
    EXPECT_TRUE(ReadFile(emptyPath).empty());

    CFlvMemorySpooler spooler;
    Bytes piece = {1};
    spooler.Spool(piece.data(), 1);
    piece = {2, 3};
    spooler.Spool(piece.data(), 2);
    piece = Pattern(10);
    spooler.Spool(piece.data(), 10);
    const Bytes firstTen = piece;
    std::fill(piece.begin(), piece.end(), 0);  // the spooler holds its own copy
    piece = {4, 5, 6, 7};
    spooler.Spool(piece.data(), 4);
    piece.assign(4, 0);
    EXPECT_EQ(spooler.GetSpooledSize(), 17u);

    const Bytes expected = Concat(Concat(Bytes{1, 2, 3}, firstTen), Bytes{4, 5, 6, 7});
    const std::string path = NextOutput();
    {
        auto out = CFlvStream::CreateExclusive(Wide(path), nullptr);
        ASSERT_NE(out, nullptr);
        EXPECT_TRUE(spooler.OutputToFile(out.get()));
        EXPECT_TRUE(spooler.OutputToFile(out.get()));  // writing does not empty it
        EXPECT_TRUE(out->Close());
    }
    EXPECT_EQ(ReadFile(path), Concat(expected, expected));
    EXPECT_EQ(spooler.GetErrorCount(), 0);
}

TEST_F(Elements, SpoolerReportsAFullDevice) {
    int error = 0;
    auto out = CFlvStream::CreateExclusive(L"/dev/full", &error);
    if (!out) GTEST_SKIP() << "/dev/full not available: " << error;
    CFlvMemorySpooler spooler;
    const Bytes small = Pattern(10);
    const Bytes large = Pattern(CFlvStream::kBufferSize + 100);
    spooler.Spool(small.data(), uint32_t(small.size()));
    spooler.Spool(large.data(), uint32_t(large.size()));
    spooler.Spool(small.data(), uint32_t(small.size()));
    EXPECT_FALSE(spooler.OutputToFile(out.get()));
    EXPECT_THAT(Messages(spooler),
                ElementsAre(L"スプールしたメモリを出力中にファイル書き込みエラーが発生しました。"));
    EXPECT_EQ(spooler.GetErrorDetail(0), std::to_wstring(ENOSPC));
}

// ---- element pool --------------------------------------------------------

TEST_F(Elements, PooledElementsLoadSaveAndDieAnywhere) {
    const Bytes tagBytes = TagBytes(9, 40, VideoPayload(1, 2, H263Packet(0, 176, 144)));
    CFlvStream* source = Source(tagBytes);
    auto pool = std::make_unique<CFlvElementPool>();
    CFlvTag* tag = nullptr;
    {
        CFlvElementPool::Scope scope(pool.get());
        tag = new CFlvTag();
        ASSERT_TRUE(tag->Load(source, 0)) << DumpErrors(*tag);
    }
    // The tag and everything it loaded came from the pool...
    EXPECT_TRUE(CFlvElementPool::Contains(tag));
    EXPECT_TRUE(CFlvElementPool::Contains(tag->m_payload.get()));
    EXPECT_TRUE(CFlvElementPool::Contains(PacketOf(*tag)));
    EXPECT_TRUE(CFlvElementPool::Contains(PacketOf(*tag)->m_rawData.get()));
    EXPECT_EQ(Saved(*tag), tagBytes);
    // ...an element made outside a scope did not...
    auto heap = std::make_unique<CFlvTag>();
    EXPECT_FALSE(CFlvElementPool::Contains(heap.get()));
    // ...and replacing or deleting pooled parts outside the scope is safe.
    tag->m_payload = std::make_unique<CFlvAudioData>();
    EXPECT_FALSE(CFlvElementPool::Contains(tag->m_payload.get()));
    delete tag;
    pool.reset();
}

// A pool is self contained until one of its elements gets error records or
// an element that should have been pooled comes from the heap; only then must
// a document run its elements' destructors.
TEST_F(Elements, PoolKnowsWhenItsElementsHoldOutsideMemory) {
    CFlvElementPool pool;
    CFlvRawData* raw = nullptr;
    {
        CFlvElementPool::Scope scope(&pool);
        raw = new CFlvRawData(nullptr, 0, 0);
    }
    ASSERT_TRUE(CFlvElementPool::Contains(raw));
    EXPECT_TRUE(pool.IsSelfContained());
    void* block = pool.AllocateBlock();
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(CFlvElementPool::Contains(block));
    EXPECT_TRUE(pool.IsSelfContained());

    CFlvRawData onHeap(nullptr, 0, 0);
    onHeap.PushError(L"x");  // not pooled: no pool hears of it
    EXPECT_TRUE(pool.IsSelfContained());
    raw->PushError(L"x");
    EXPECT_FALSE(pool.IsSelfContained());
    delete raw;

    // Patches are held outside too.
    CFlvElementPool patchedPool;
    {
        CFlvElementPool::Scope scope(&patchedPool);
        raw = new CFlvRawData(nullptr, 0, 10);
    }
    raw->Patch(20, 1);  // outside the range: nothing is kept
    EXPECT_TRUE(patchedPool.IsSelfContained());
    raw->Patch(2, 1);
    EXPECT_FALSE(patchedPool.IsSelfContained());
    delete raw;
}

// An element a caller puts into a loaded document's tag lives on the heap;
// the document must destroy it with the tag instead of dropping the pool.
TEST_F(Elements, DocumentDestroysElementsGivenToItsTags) {
    struct Counted : CFlvAudioData {
        explicit Counted(int* count) : m_count(count) {}
        ~Counted() override { ++*m_count; }
        int* m_count;
    };
    const std::string path = dir.File("doc.flv");
    FlvBuilder b;
    b.Header(0x05).Audio(0, AudioPayload(0x2F, Pattern(10))).H263(0, true);
    b.Audio(26, AudioPayload(0x2F, Pattern(10))).H263(40, false);
    b.WriteTo(path);
    int destroyed = 0;
    {
        TestDoc doc;
        ASSERT_EQ(doc.Open(Wide(path)), 0) << DumpErrors(doc);
        ASSERT_EQ(doc.Tags().size(), 4u);
        EXPECT_FALSE(CFlvData::AnyOnHeap());
        doc.Tags()[0]->m_payload = std::make_unique<Counted>(&destroyed);
        EXPECT_TRUE(CFlvData::AnyOnHeap());
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(CFlvData::AnyOnHeap());
}

TEST_F(Elements, PoolFallsBackToTheHeapForLargeRequests) {
    CFlvElementPool pool;
    void* small = pool.Allocate(40);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(small) % 8, 0u);
    EXPECT_TRUE(CFlvElementPool::Contains(small));
    EXPECT_EQ(pool.Allocate(64 * 1024 * 1024), nullptr);
    EXPECT_EQ(pool.Allocate(0), nullptr);

    EXPECT_GT(pool.BlockBytes(), 0u);
}
