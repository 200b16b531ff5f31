#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "FlvBuilder.h"
#include "flvsplice/flv/FlvAmf0.h"

using namespace flvtest;

namespace {

// A body with every kind of value the reader knows; the writer writes what it
// can, the rest (null, undefined, reference, date, long string) is put in by
// hand into one strict array.
Bytes EveryKindOfValue() {
    Bytes body;
    CFlvAmf0Writer w(&body);
    w.String("onMetaData");
    w.EcmaArrayStart(5);
    w.NumberEntry("duration", 2.5);
    w.BooleanEntry("stereo", true);
    w.Key("encoder");
    w.String("flvsplice");
    w.Key("keyframes");
    w.ObjectStart();
    w.Key("times");
    w.StrictArrayStart(2);
    w.Number(0);
    w.Number(1.5);
    w.ObjectEnd();
    w.Key("other");
    w.StrictArrayStart(5);
    body.insert(body.end(), {0x05, 0x06, 0x07, 0x00, 0x01, 0x0B});
    PutBE(body, 0, 8);
    PutBE(body, 0, 2);
    body.push_back(0x0C);
    PutBE(body, 3, 4);
    body.insert(body.end(), {'a', 'b', 'c'});
    w.ObjectEnd();
    return body;
}

// Reads EveryKindOfValue back through the typed reads: false at the first
// read that fails or finds another value.
bool ReadBack(CFlvAmf0Reader& r) {
    std::string_view text;
    uint32_t count = 0;
    double number = 0;
    bool flag = false;
    std::vector<double> times;
    const auto key = [&](std::string_view expected) { return r.Key(&text) && text == expected; };
    return r.String(&text) && text == "onMetaData" && r.EcmaArrayStart(&count) && count == 5 &&
           key("duration") && !r.Boolean(&flag) && r.Number(&number) && number == 2.5 &&
           key("stereo") && !r.Number(&number) && r.Boolean(&flag) && flag && key("encoder") &&
           !r.ObjectStart() && r.String(&text) && text == "flvsplice" && key("keyframes") &&
           r.ObjectStart() && key("times") && r.NumberArray(&times) &&
           times == std::vector<double>{0, 1.5} && r.ObjectEnd() && key("other") && r.SkipValue() &&
           r.ObjectEnd() && r.Remaining() == 0;
}

// levels of nesting around one number: strict arrays and objects in turn.
Bytes Nested(int levels) {
    Bytes body;
    CFlvAmf0Writer w(&body);
    for (int i = 0; i < levels; ++i) {
        if (i % 2 == 0) {
            w.StrictArrayStart(1);
        } else {
            w.ObjectStart();
            w.Key("k");
        }
    }
    w.Number(1);
    for (int i = levels - 1; i >= 0; --i) {
        if (i % 2 == 1) w.ObjectEnd();
    }
    return body;
}

}  // namespace

TEST(Amf0, WriterSizesAndRoundTrip) {
    using W = CFlvAmf0Writer;
    Bytes bytes;
    W w(&bytes);
    w.NumberEntry("width", 320);
    w.BooleanEntry("hasVideo", true);
    w.String("onMetaData");
    w.EcmaArrayStart(1);
    w.ObjectStart();
    w.StrictArrayStart(1);
    w.ObjectEnd();
    EXPECT_EQ(bytes.size(), W::NumberEntrySize("width") + W::BooleanEntrySize("hasVideo") +
                                W::StringSize("onMetaData") + 2 * W::kArrayStartSize +
                                W::kObjectStartSize + W::kObjectEndSize);

    const Bytes body = EveryKindOfValue();
    CFlvAmf0Reader r(body.data(), body.size());
    EXPECT_TRUE(ReadBack(r));
    CFlvAmf0Reader skip(body.data(), body.size());
    EXPECT_TRUE(skip.SkipValue() && skip.SkipValue() && skip.Remaining() == 0);
}

TEST(Amf0, EveryTruncationFailsWithoutReadingPastTheEnd) {
    const Bytes body = EveryKindOfValue();
    for (size_t n = 0; n < body.size(); ++n) {
        SCOPED_TRACE(n);
        // A copy of its own: the sanitizer sees a read past it.
        const Bytes cut(body.begin(), body.begin() + long(n));
        CFlvAmf0Reader typed(cut.data(), cut.size());
        EXPECT_FALSE(ReadBack(typed));

        // A failed skip leaves the position where it was.
        CFlvAmf0Reader r(cut.data(), cut.size());
        const size_t left = r.SkipValue() ? r.Remaining() : n;
        EXPECT_FALSE(r.SkipValue());
        EXPECT_EQ(r.Remaining(), left);
    }
}

TEST(Amf0, DeepNestingCountsAndUnknownValuesAreRefused) {
    const Bytes four = Nested(4);
    CFlvAmf0Reader r(four.data(), four.size());
    EXPECT_FALSE(r.SkipValue(4));
    EXPECT_EQ(r.Remaining(), four.size());
    EXPECT_TRUE(r.SkipValue(5));
    EXPECT_EQ(r.Remaining(), 0u);

    const Bytes limit = Nested(CFlvAmf0Reader::kMaxDepth - 1);
    EXPECT_TRUE(CFlvAmf0Reader(limit.data(), limit.size()).SkipValue());
    const Bytes deep = Nested(100000);
    EXPECT_FALSE(CFlvAmf0Reader(deep.data(), deep.size()).SkipValue());

    // Movie clip, an end marker where a value belongs, unsupported, typed
    // object, AMF3.
    for (uint8_t marker : {0x04, 0x09, 0x0D, 0x10, 0x11}) {
        const Bytes value = {marker, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_FALSE(CFlvAmf0Reader(value.data(), value.size()).SkipValue()) << int(marker);
    }

    // A strict array that claims more numbers than the body holds is refused
    // before anything is allocated for it.
    Bytes huge;
    CFlvAmf0Writer(&huge).StrictArrayStart(0xFFFFFFFF);
    CFlvAmf0Writer(&huge).Number(1);
    std::vector<double> numbers;
    CFlvAmf0Reader h(huge.data(), huge.size());
    EXPECT_FALSE(h.NumberArray(&numbers));
    EXPECT_EQ(h.Remaining(), huge.size());
}
