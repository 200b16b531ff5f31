#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "SaveTestUtil.h"

using namespace flvtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// ---- timeline upkeep ------------------------------------------------------
// A cut over the whole range keeps every tag and renumbers the timeline.

class Timeline : public DocTest {};

TEST_F(Timeline, LaterStreamKeepsItsDistanceFromTheEarlierOne) {
    SaveDoc& audioFirst = Open(Plan{.audio = {1000, 1026, 1052}, .video = {1040, 1080}});
    ASSERT_EQ(audioFirst.Extract(0, UINT_MAX), 0) << DumpErrors(audioFirst);
    EXPECT_THAT(Times(audioFirst.AudioTags()), ElementsAre(0, 26, 52));
    EXPECT_THAT(Times(audioFirst.VideoTags()), ElementsAre(40, 80));
    std::vector<uint32_t> saved;
    for (const ParsedTag& tag : ParseTags(Saved(audioFirst))) saved.push_back(tag.time);
    EXPECT_THAT(saved, ElementsAre(0, 0, 26, 40, 52, 80));

    SaveDoc& videoFirst = Open(Plan{.audio = {1040, 1066, 1092}, .video = {1000, 1040}});
    ASSERT_EQ(videoFirst.Extract(0, UINT_MAX), 0) << DumpErrors(videoFirst);
    EXPECT_THAT(Times(videoFirst.VideoTags()), ElementsAre(0, 40));
    EXPECT_THAT(Times(videoFirst.AudioTags()), ElementsAre(40, 66, 92));
}

TEST_F(Timeline, SingleStreamStartsAtZero) {
    SaveDoc& doc = Open(Plan{.flags = 0x01, .video = {5000, 5040, 5100}});
    ASSERT_EQ(doc.Extract(0, UINT_MAX), 0) << DumpErrors(doc);
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAre(0, 40, 100));
}

TEST_F(Timeline, LargeTimestampsUseTheExtensionByte) {
    SaveDoc& doc = Open(Plan{.flags = 0x01, .video = {1000, 16778216}});
    ASSERT_EQ(doc.Extract(0, UINT_MAX), 0) << DumpErrors(doc);
    const CFlvTag* late = doc.VideoTags()[1];
    EXPECT_EQ(late->GetTimestamp(), 16777216u);
    EXPECT_EQ(late->m_timestampExtended, 0x01);
    EXPECT_THAT(late->m_timestamp, ElementsAre(0, 0, 0));

    const Bytes saved = Saved(doc);
    const auto tags = ParseTags(saved);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(TextAt(saved, tags[2].offset + 4, 4), std::string("\x00\x00\x00\x01", 4));
}

TEST_F(Timeline, UnannouncedStreamKeepsItsTimestamps) {
    SaveDoc& doc = Open(Plan{.flags = 0x01, .audio = {510, 520}, .video = {500, 540}});
    ASSERT_EQ(doc.Extract(0, UINT_MAX), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().size(), 4u);
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAre(0, 40));
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAre(510, 520));
}

// ---- cut ----------------------------------------------------------------

const std::wstring kNoContent =
    L"切り取ったFLVデータに映像・音声データが含まれていないため処理を続行できません。";

class Cut : public DocTest {
protected:
    // Video every 40 ms from 0 to 800 with key frames at 0, 200 and 400;
    // audio every 26 ms from 0 to 806.
    static Plan Worked() {
        return {.audio = Every(26, 32),
                .video = Every(40, 21),
                .keys = std::vector<uint32_t>{0, 200, 400}};
    }

    // The document's visible state, to show that a refusal changed nothing.
    struct State {
        std::vector<CFlvTag*> tags, audio, video;
        std::vector<uint32_t> times;
        double duration;
        Bytes saved;
        bool operator==(const State&) const = default;
    };
    State Snapshot(SaveDoc& doc) {
        return {doc.Tags(),
                doc.AudioTags(),
                doc.VideoTags(),
                Times(doc.Tags()),
                doc.GetFlvMetaData()->m_durationSec,
                Saved(doc)};
    }
};

TEST_F(Cut, WorkedExample) {
    SaveDoc& doc = Open(Worked());
    ASSERT_EQ(doc.Extract(300, 500), 0) << DumpErrors(doc);

    // From the audio tag at 182 (before the key frame at 200) to the audio tag
    // at 494 (after the video tag at 480); everything 182 ms earlier.
    EXPECT_EQ(doc.Tags().front()->m_tagType, CFlvTag::kAudio);
    EXPECT_EQ(doc.Tags().back()->m_tagType, CFlvTag::kAudio);
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAreArray(Every(26, 13)));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAreArray(Every(40, 8, 18)));
    EXPECT_TRUE(doc.VideoTags().front()->IsKeyFrame());
    EXPECT_EQ(doc.Tags().size(), 21u);
    EXPECT_DOUBLE_EQ(doc.GetFlvMetaData()->m_durationSec, 0.338);

    std::vector<ParsedTag> expected;
    for (const ParsedTag& tag : ParseTags(Build(Worked()).bytes)) {
        if (tag.time >= 182 && tag.time <= 494) expected.push_back(tag);
    }
    const auto saved = ParseTags(Saved(doc));
    ASSERT_EQ(saved.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(saved[i + 1].type, expected[i].type);
        EXPECT_EQ(saved[i + 1].time, expected[i].time - 182);
        EXPECT_EQ(saved[i + 1].payload, expected[i].payload);
    }
}

TEST_F(Cut, StartEqualToEnd) {
    SaveDoc& doc = Open(Worked());
    ASSERT_EQ(doc.Extract(300, 300), 0) << DumpErrors(doc);
    // Key frame 200 and audio 182 to video 280 and audio 286.
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAreArray(Every(26, 5)));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAre(18, 58, 98));
}

TEST_F(Cut, StartBeforeTheFirstKeyFrameStays) {
    SaveDoc& doc = Open(Plan{
        .audio = Every(26, 20), .video = Every(40, 12), .keys = std::vector<uint32_t>{80, 240}});
    ASSERT_EQ(doc.Extract(30, 300), 0) << DumpErrors(doc);
    // Audio from 26 on; the video from the key frame at 80 on, 54 ms later:
    // the frame at 40 cannot be shown and leaves the run.
    EXPECT_EQ(doc.Tags().front()->GetTimestamp(), 0u);
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAreArray(Every(26, 11)));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAreArray(Every(40, 6, 54)));
    EXPECT_TRUE(doc.VideoTags().front()->IsKeyFrame());
    EXPECT_EQ(doc.Tags().size(), 17u);
}

TEST_F(Cut, EndBeyondTheLastTagKeepsTheRest) {
    SaveDoc& doc = Open(Worked());
    CFlvTag* last = doc.Tags().back();
    ASSERT_EQ(doc.Extract(250, 100000), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().back(), last);
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAreArray(Every(26, 25)));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAreArray(Every(40, 16, 18)));
}

TEST_F(Cut, WholeRangeDropsVideoBeforeTheFirstKeyFrameAndAudio) {
    SaveDoc& doc = Open(Plan{
        .audio = {50, 76, 102, 128}, .video = {0, 40, 80, 120}, .keys = std::vector<uint32_t>{80}});
    ASSERT_EQ(doc.Extract(0, UINT_MAX), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().size(), 6u);
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAre(0, 26, 52, 78));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAre(30, 70));
}

TEST_F(Cut, AudioOnly) {
    SaveDoc& doc = Open(Plan{.flags = 0x04, .audio = Every(26, 20)});
    ASSERT_EQ(doc.Extract(100, 200), 0) << DumpErrors(doc);
    EXPECT_THAT(Times(doc.Tags()), ElementsAre(0, 26, 52, 78, 104));
}

TEST_F(Cut, CutOfACutWorksOnTheNewTimeline) {
    SaveDoc& doc = Open(Worked());
    ASSERT_EQ(doc.Extract(300, 500), 0);
    // Key frames now at 18 and 218.
    ASSERT_EQ(doc.Extract(100, 200), 0) << DumpErrors(doc);
    EXPECT_THAT(Times(doc.AudioTags()), ElementsAreArray(Every(26, 8)));
    EXPECT_THAT(Times(doc.VideoTags()), ElementsAreArray(Every(40, 5, 18)));
}

TEST_F(Cut, RefusalsLeaveTheDocumentUnchanged) {
    SaveDoc& doc = Open(Worked());
    const State before = Snapshot(doc);
    struct Case {
        unsigned start, end;
        int code;
        std::wstring message;
    };
    const Case cases[] = {
        {500, 300, 9022, L"開始時間が終了時間より後に指定されています。"},
        {401, 900, 9023, L"開始時間以降に映像データが無いため映像を切り取ることが出来ません。"},
        {UINT_MAX, UINT_MAX, 9023,
         L"開始時間以降に映像データが無いため映像を切り取ることが出来ません。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end));
        EXPECT_EQ(doc.Extract(c.start, c.end), c.code);
        EXPECT_EQ(doc.GetErrorMessage(-1), c.message);
        EXPECT_EQ(doc.GetErrorDetail(-1), L"");
        EXPECT_TRUE(Snapshot(doc) == before);
    }
    // The last key frame itself is a valid start; audio from 390 on.
    ASSERT_EQ(doc.Extract(400, 900), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.AudioTags().front()->GetTimestamp(), 0u);
    EXPECT_EQ(doc.VideoTags().front()->GetTimestamp(), 10u);
}

TEST_F(Cut, NoAudioAfterTheStart) {
    const std::wstring message =
        L"開始時間以降に音声データが無いため処理を切り取ることが出来ません。";
    SaveDoc& both = Open(Plan{
        .audio = Every(26, 11), .video = {0, 300, 600}, .keys = std::vector<uint32_t>{0, 600}});
    const State before = Snapshot(both);
    EXPECT_EQ(both.Extract(600, 700), 9024);
    EXPECT_EQ(both.GetErrorMessage(-1), message);
    EXPECT_TRUE(Snapshot(both) == before);

    SaveDoc& audioOnly = Open(Plan{.flags = 0x04, .audio = Every(26, 11)});
    EXPECT_EQ(audioOnly.Extract(261, 300), 9024);
    EXPECT_EQ(audioOnly.GetErrorMessage(-1), message);
    EXPECT_EQ(audioOnly.Extract(260, 300), 0);
}

TEST_F(Cut, EmptyRunIsRefusedAndRestored) {
    // The only key frame comes after the end: the run holds audio only.
    SaveDoc& both =
        Open(Plan{.audio = Every(26, 43), .video = {0, 1000}, .keys = std::vector<uint32_t>{1000}});
    const State before = Snapshot(both);
    EXPECT_EQ(both.Extract(100, 200), 9014);
    EXPECT_THAT(Messages(both),
                ElementsAre(L"FLVヘッダと映像データの関係に不整合があります。", kNoContent));
    EXPECT_TRUE(Snapshot(both) == before);

    // Video only: the run would end before it starts.
    SaveDoc& videoOnly =
        Open(Plan{.flags = 0x01, .video = Every(40, 11), .keys = std::vector<uint32_t>{400}});
    const State videoBefore = Snapshot(videoOnly);
    EXPECT_EQ(videoOnly.Extract(50, 100), 9014);
    EXPECT_THAT(
        Messages(videoOnly),
        ElementsAre(L"FLVファイルに映像データ・音声データが含まれていません。", kNoContent));
    EXPECT_TRUE(Snapshot(videoOnly) == videoBefore);
    // And the document still cuts.
    EXPECT_EQ(videoOnly.Extract(400, 400), 0);
    EXPECT_EQ(videoOnly.Tags().size(), 1u);
}

// ---- join ---------------------------------------------------------------

const std::wstring kNoAudio = L"片方のFLVファイルに音声データが無いため結合できません。";
const std::wstring kNoVideo = L"片方のFLVファイルに映像データが無いため結合できません。";
const std::wstring kFormat = L"FLVファイルのフォーマットが異なるため結合できません。";

class Join : public DocTest {
protected:
    // 100 audio tags every 20 ms and 50 video tags every 40 ms, key frames
    // every 400 ms: two seconds.
    static Plan TwoSeconds(uint8_t seed) {
        return {
            .audio = Every(20, 100), .video = Every(40, 50), .keys = Every(400, 5), .seed = seed};
    }
    static Plan Short(uint8_t seed) {
        return {.audio = Every(20, 10), .video = Every(40, 5), .seed = seed};
    }
};

TEST_F(Join, StreamFlagsMustAgreeAudioFirst) {
    SaveDoc& both = Open(Short(1));
    SaveDoc& audioOnly = Open(Plan{.flags = 0x04, .audio = Every(20, 10)});
    SaveDoc& videoOnly = Open(Plan{.flags = 0x01, .video = Every(40, 5)});
    const Bytes before = Saved(both);

    EXPECT_EQ(both.Add(&audioOnly, false), 9021);
    EXPECT_THAT(Messages(both), ElementsAre(kNoVideo));
    EXPECT_EQ(both.Add(&videoOnly, true), 9021);
    EXPECT_EQ(both.GetErrorMessage(-1), kNoAudio);
    EXPECT_EQ(audioOnly.Add(&videoOnly, false), 9021);
    EXPECT_THAT(Messages(audioOnly), ElementsAre(kNoAudio));

    EXPECT_EQ(both.Tags().size(), 15u);
    EXPECT_TRUE(SameBytes(Saved(both), before));
}

TEST_F(Join, CheckedJoinReportsTheDifferences) {
    SaveDoc& first = Open(Short(1));
    Plan other = Short(2);
    other.audioHeader = 0x2D;  // 8-bit instead of 16-bit
    other.sizeCode = 0;        // 200 x 240 instead of 320 x 240
    other.width = 200;
    other.height = 240;
    SaveDoc& second = Open(other);

    // An earlier record goes: the stack becomes the comparison's records.
    EXPECT_EQ(first.Extract(5, 1), 9022);
    EXPECT_EQ(first.Add(&second, true), 9021);
    EXPECT_THAT(Messages(first), ElementsAre(L"音声の8Bit/16Bitが異なります。",
                                             L"映像データの幅が異なります。", kFormat));
    EXPECT_THAT(Details(first), ElementsAre(L"", L"", L""));
    EXPECT_EQ(first.GetFlvMetaData()->GetErrorCount(), 2);
    EXPECT_EQ(first.Tags().size(), 15u);
    EXPECT_EQ(second.AudioTags()[0]->GetTimestamp(), 0u);

    // Without the comparison the same files join.
    EXPECT_EQ(first.Add(&second, false), 0) << DumpErrors(first);
    EXPECT_EQ(first.Tags().size(), 30u);

    // Only the sample size differs: compatible.
    SaveDoc& third = Open(Short(3));
    Plan eightBit = Short(4);
    eightBit.audioHeader = 0x2D;
    SaveDoc& fourth = Open(eightBit);
    EXPECT_EQ(third.Add(&fourth, true), 0) << DumpErrors(third);
    EXPECT_EQ(third.GetErrorCount(), 0);
}

TEST_F(Join, UncheckedJoinTakesOtherCodecs) {
    SaveDoc& first = Open(Short(1));
    FlvBuilder vp6;
    vp6.Header(0x05)
        .Audio(0, AudioPayload(0xA2, Pattern(20)))
        .Video(0, VideoPayload(1, 4, Vp6Packet(0x00, 30, 40)))
        .Audio(26, AudioPayload(0xA2, Pattern(20)))
        .Video(40, VideoPayload(1, 4, Vp6Packet(0x00, 30, 40)));
    SaveDoc& second = Open(vp6);
    ASSERT_EQ(first.Add(&second, false), 0) << DumpErrors(first);
    EXPECT_EQ(first.Tags().size(), 19u);
    EXPECT_EQ(first.GetFlvMetaData()->m_videoCodecId, 2);
    EXPECT_EQ(first.GetFlvMetaData()->m_width, 320u);
    EXPECT_EQ(ParseTags(Saved(first)).size(), 20u);
}

TEST_F(Join, SecondFileContinuesTheTimelineWithItsOwnBytes) {
    SaveDoc& first = Open(TwoSeconds(1));
    SaveDoc& second = Open(TwoSeconds(2));
    ASSERT_EQ(first.Add(&second, false), 0) << DumpErrors(first);

    // The shared tags carry the joined timeline, seen from either document.
    EXPECT_EQ(second.AudioTags()[0]->GetTimestamp(), 2000u);
    EXPECT_EQ(second.VideoTags()[0]->GetTimestamp(), 2000u);
    EXPECT_EQ(second.Tags().size(), 150u);
    EXPECT_THAT(Times(first.AudioTags()), ElementsAreArray(Every(20, 200)));
    EXPECT_THAT(Times(first.VideoTags()), ElementsAreArray(Every(40, 100)));
    EXPECT_DOUBLE_EQ(first.GetFlvMetaData()->m_durationSec, 4.0);
    EXPECT_DOUBLE_EQ(first.GetFlvMetaData()->m_frameRate, 25.0);

    const auto saved = ParseTags(Saved(first));
    const auto firstSource = ParseTags(ReadFile(PathOf(first)));
    const auto secondSource = ParseTags(ReadFile(PathOf(second)));
    ASSERT_EQ(saved.size(), 301u);
    for (size_t i = 0; i < 150; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(saved[1 + i].payload, firstSource[i].payload);
        EXPECT_EQ(saved[1 + i].time, firstSource[i].time);
        EXPECT_EQ(saved[151 + i].payload, secondSource[i].payload);
        EXPECT_EQ(saved[151 + i].time, secondSource[i].time + 2000);
    }
}

TEST_F(Join, JoinsOfJoins) {
    SaveDoc& a = Open(Short(1));
    SaveDoc& b = Open(Short(2));
    SaveDoc& c = Open(Short(3));
    ASSERT_EQ(a.Add(&b, false), 0);
    ASSERT_EQ(a.Add(&c, true), 0) << DumpErrors(a);
    EXPECT_EQ(c.AudioTags()[0]->GetTimestamp(), 400u);
    EXPECT_THAT(Times(a.AudioTags()), ElementsAreArray(Every(20, 30)));

    SaveDoc& d = Open(Short(4));
    ASSERT_EQ(d.Add(&a, true), 0) << DumpErrors(d);
    EXPECT_EQ(d.Tags().size(), 60u);
    EXPECT_EQ(c.AudioTags()[0]->GetTimestamp(), 600u);
    EXPECT_THAT(Times(d.VideoTags()), ElementsAreArray(Every(40, 20)));
    EXPECT_EQ(ParseTags(Saved(d)).size(), 61u);
}

TEST_F(Join, CutAfterJoinCrossesTheSeam) {
    SaveDoc& first = Open(TwoSeconds(1));
    SaveDoc& second = Open(TwoSeconds(2));
    ASSERT_EQ(first.Add(&second, false), 0);
    // From the key frame at 1200 to the audio tag at 2500 (500 in the second file).
    ASSERT_EQ(first.Extract(1500, 2500), 0) << DumpErrors(first);
    EXPECT_THAT(Times(first.AudioTags()), ElementsAreArray(Every(20, 66)));
    EXPECT_THAT(Times(first.VideoTags()), ElementsAreArray(Every(40, 33)));
    EXPECT_EQ(first.Tags().back(), second.AudioTags()[25]);

    const auto saved = ParseTags(Saved(first));
    const auto secondSource = ParseTags(ReadFile(PathOf(second)));
    ASSERT_EQ(saved.size(), 100u);
    const auto audio500 = std::find_if(secondSource.begin(), secondSource.end(), [](auto& tag) {
        return tag.type == CFlvTag::kAudio && tag.time == 500;
    });
    ASSERT_NE(audio500, secondSource.end());
    EXPECT_EQ(saved.back().payload, audio500->payload);
    EXPECT_EQ(saved.back().time, 1300u);
}

TEST_F(Join, RefusesItselfTwiceTheSameAndClosedDocuments) {
    SaveDoc& a = Open(Short(1));
    SaveDoc& b = Open(Short(2));
    SaveDoc& c = Open(Short(3));
    const Bytes before = Saved(a);

    EXPECT_EQ(a.Add(&a, false), 9021);
    EXPECT_EQ(a.Add(&a, true), 9021);
    EXPECT_EQ(a.Tags().size(), 15u);
    EXPECT_TRUE(SameBytes(Saved(a), before));

    ASSERT_EQ(a.Add(&b, false), 0);
    EXPECT_EQ(a.Add(&b, false), 9021);
    EXPECT_EQ(a.Tags().size(), 30u);
    // b's tags reach c through a: still the same tags twice.
    ASSERT_EQ(c.Add(&b, false), 0);
    EXPECT_EQ(a.Add(&c, false), 9021);
    EXPECT_EQ(a.Tags().size(), 30u);

    SaveDoc& closed = Open(Short(4));
    closed.Close();
    EXPECT_EQ(a.Add(&closed, false), 9021);
    EXPECT_EQ(closed.Add(&a, false), 9021);
    EXPECT_EQ(a.Add(nullptr, false), 9021);
    EXPECT_EQ(a.Tags().size(), 30u);
    EXPECT_EQ(a.GetErrorCount(), 6);
    for (const std::wstring& message : Messages(a)) EXPECT_NE(message, L"");
}

}  // namespace
