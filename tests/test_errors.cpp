#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "TestUtil.h"

using namespace flvtest;
using ::testing::ElementsAre;

namespace {

const std::wstring kDetailHeading = L"詳細エラー:";

// The line of one record with a system error code, as the report shows it.
std::wstring WithSystemText(const std::wstring& message, int code) {
    return message + L"( " + std::to_wstring(code) + L" : " + flvsys::SystemErrorText(code) + L")";
}

}  // namespace

TEST(ErrorStack, EmptyStackAnswersEmptyStrings) {
    CFlvErrorHandler errors;
    EXPECT_EQ(errors.GetErrorCount(), 0);
    EXPECT_EQ(errors.GetErrorMessage(-1), L"");
    EXPECT_EQ(errors.GetErrorDetail(-1), L"");
    EXPECT_EQ(errors.GetErrorMessage(0), L"");
    EXPECT_EQ(errors.GetErrorDetail(0), L"");
    EXPECT_EQ(errors.FormatErrorText(), L"");
    EXPECT_EQ(errors.GetErrorCount(), 0);
}

TEST(ErrorStack, PushesAccumulateAndMinusOneIsNewest) {
    CFlvErrorHandler errors;
    errors.PushError(L"first", L"5");
    errors.PushError(L"second");
    ASSERT_EQ(errors.GetErrorCount(), 2);
    EXPECT_EQ(errors.GetErrorMessage(-1), L"second");
    EXPECT_EQ(errors.GetErrorDetail(-1), L"");
    EXPECT_EQ(errors.GetErrorMessage(0), L"first");
    EXPECT_EQ(errors.GetErrorDetail(0), L"5");
    EXPECT_EQ(errors.GetErrorMessage(1), L"second");
}

TEST(ErrorStack, PushWithSourceReplacesOwnRecordsAndLeavesSourceAlone) {
    CFlvErrorHandler inner;
    inner.PushError(L"deep", L"2");
    inner.PushError(L"middle");

    CFlvErrorHandler outer;
    outer.PushError(L"stale one");
    outer.PushError(L"stale two", L"9");
    outer.PushError(L"outer", L"", &inner);

    EXPECT_THAT(Messages(outer), ElementsAre(L"deep", L"middle", L"outer"));
    EXPECT_THAT(Details(outer), ElementsAre(L"2", L"", L""));
    EXPECT_THAT(Messages(inner), ElementsAre(L"deep", L"middle"));
    EXPECT_THAT(Details(inner), ElementsAre(L"2", L""));

    // A chain of three levels keeps every record, deepest first.
    CFlvErrorHandler top;
    top.PushError(L"top", L"", &outer);
    EXPECT_THAT(Messages(top), ElementsAre(L"deep", L"middle", L"outer", L"top"));

    // A source without records leaves only the new record.
    CFlvErrorHandler empty;
    top.PushError(L"alone", L"7", &empty);
    EXPECT_THAT(Messages(top), ElementsAre(L"alone"));
    EXPECT_THAT(Details(top), ElementsAre(L"7"));
    EXPECT_EQ(empty.GetErrorCount(), 0);
}

TEST(ErrorStack, SystemTextEndsWithLineFeed) {
    const std::wstring text = flvsys::SystemErrorText(ENOENT);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), L'\n');
    EXPECT_NE(text[text.size() - 2], L'\n');
}

TEST(ErrorStack, FormatsOneRecord) {
    CFlvErrorHandler plain;
    plain.PushError(L"メッセージ");
    EXPECT_EQ(plain.FormatErrorText(), L"メッセージ");

    CFlvErrorHandler withCode;
    withCode.PushError(L"メッセージ", std::to_wstring(ENOENT));
    EXPECT_EQ(withCode.FormatErrorText(), WithSystemText(L"メッセージ", ENOENT));

    // Code 0 is a detail like any other: it is shown with its text.
    CFlvErrorHandler zero;
    zero.PushError(L"M", L"0");
    EXPECT_EQ(zero.FormatErrorText(), WithSystemText(L"M", 0));
}

TEST(ErrorStack, FormatsSeveralRecordsNewestFirst) {
    CFlvErrorHandler errors;
    errors.PushError(L"A", std::to_wstring(EACCES));
    errors.PushError(L"B");
    EXPECT_EQ(errors.FormatErrorText(),
              L"B\n" + kDetailHeading + L"\n" + WithSystemText(L"A", EACCES));

    errors.PushError(L"C", std::to_wstring(ENOSPC));
    EXPECT_EQ(errors.FormatErrorText(), WithSystemText(L"C", ENOSPC) + L"\n" + kDetailHeading +
                                            L"\nB\n" + WithSystemText(L"A", EACCES));
    // Formatting reads the stack without changing it.
    EXPECT_EQ(errors.GetErrorCount(), 3);
}

TEST(ErrorStack, DocumentReportsItsOwnStack) {
    TestDoc fresh;
    EXPECT_EQ(fresh.GetErrorMessageFormatted(), L"");

    TempDir dir;
    TestDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("missing.flv")), FlvResult::OpenFailed);
    EXPECT_EQ(doc.GetErrorMessageFormatted(), doc.FormatErrorText());
    EXPECT_EQ(doc.GetErrorMessageFormatted(),
              WithSystemText(L"FLVファイルOPEN時にエラーが発生しました。", ENOENT));
    EXPECT_EQ(doc.GetErrorCount(), 1);
}
