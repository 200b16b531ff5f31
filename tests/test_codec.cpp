#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "FlvBuilder.h"
#include "flvsplice/codec/FlvBitReader.h"

using namespace flvcodec;
using flvtest::BitWriter;
using flvtest::Bytes;
using flvtest::Concat;

namespace {

void PutUe(BitWriter& w, uint32_t value) {
    const uint32_t code = value + 1;  // the tests stay below 2^32 - 1
    const int bits = int(std::bit_width(code));
    w.Put(0, bits - 1);
    w.Put(code, bits);
}

void PutSe(BitWriter& w, int32_t value) {
    PutUe(w, value > 0 ? uint32_t(value) * 2 - 1 : uint32_t(-value) * 2);
}

// ---- bit reader ----------------------------------------------------------

TEST(CodecBitReader, ReadsFieldsAcrossBytesAndFailsStickilyAtTheEnd) {
    const uint8_t data[] = {0xA5, 0x0F, 0xF0, 0x01, 0x80};
    CFlvBitReader r(data, sizeof data);
    EXPECT_EQ(r.Bits(4), 0xAu);
    EXPECT_EQ(r.Bits(32), 0x50FF0018u);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Bits(5), 0u);  // one bit more than is left
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.BitsLeft(), 0u);

    CFlvBitReader skip(data, sizeof data);
    skip.Skip(3);
    skip.ByteAlign();
    EXPECT_EQ(skip.Bits(8), 0x0Fu);
    skip.Skip(25);
    EXPECT_FALSE(skip.Ok());

    CFlvBitReader wide(data, sizeof data);
    wide.Bits(33);
    EXPECT_FALSE(wide.Ok());
    CFlvBitReader empty(nullptr, 0);
    empty.Ue();
    EXPECT_FALSE(empty.Ok());
}

TEST(CodecBitReader, ExpGolombCoversTheWhole32BitRange) {
    BitWriter w;
    for (uint32_t v : {0u, 1u, 2u, 3u, 7u, 254u, 0xFFFFFFFEu - 1}) PutUe(w, v);
    for (int32_t v : {0, 1, -1, 2, -2, 1000, -1000}) PutSe(w, v);
    w.Put(0, 32), w.Put(1, 1), w.Put(0, 32);  // 2^32 - 1, the largest ue(v) that fits
    const Bytes bytes = w.Take();
    CFlvBitReader r(bytes.data(), bytes.size());
    for (uint32_t v : {0u, 1u, 2u, 3u, 7u, 254u, 0xFFFFFFFEu - 1}) EXPECT_EQ(r.Ue(), v);
    for (int32_t v : {0, 1, -1, 2, -2, 1000, -1000}) EXPECT_EQ(r.Se(), v);
    EXPECT_EQ(r.Ue(), 0xFFFFFFFFu);
    EXPECT_TRUE(r.Ok());

    // 33 leading zeros; a value past 32 bits; a missing suffix; +2^31 as se(v); and
    // -(2^31 - 1), which fits.
    const std::vector<std::vector<std::pair<uint32_t, int>>> codes = {
        {{0, 32}, {0, 1}, {1, 1}, {0, 31}},
        {{0, 32}, {1, 1}, {1, 32}},
        {{0, 5}, {1, 1}, {0, 2}},
        {{0, 32}, {1, 1}, {0, 32}},
        {{0, 31}, {0xFFFFFFFF, 32}}};
    for (size_t i = 0; i < codes.size(); ++i) {
        for (const auto& [value, bits] : codes[i]) w.Put(value, bits);
        const Bytes b = w.Take();
        CFlvBitReader code(b.data(), b.size());
        const int64_t value = i < 3 ? int64_t(code.Ue()) : code.Se();
        EXPECT_EQ(code.Ok(), i == 4) << i;
        EXPECT_EQ(value, i == 4 ? -0x7FFFFFFF : 0) << i;
    }
}

}  // namespace
