#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "core/TextUtils.h"

using namespace Nerra;

TEST(TextUtils, ReplaceDoesNotRescanInsertedText)
{
    EXPECT_EQ(Replace("a\r\n\r\nb", "\r\n", "\n"), "a\n\nb");
    EXPECT_EQ(Replace("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(Replace("abcabc", "bc", ""), "aa");
}

TEST(TextUtils, TrimRemovesSpacesTabsAndLineEnds)
{
    EXPECT_EQ(Trim(" \tx y \r\n"), "x y");
    EXPECT_EQ(Trim(" \r\n\t "), "");
    EXPECT_EQ(Trim("x"), "x");
}

TEST(TextUtils, CaseConversionTouchesAsciiLettersOnly)
{
    EXPECT_EQ(ToLower("AbC-\xc9"), "abc-\xc9");
    EXPECT_EQ(ToUpper("aBc-\xe9"), "ABC-\xe9");
}

TEST(TextUtils, ReplaceControlCharactersKeepsLineEndsUnlessAll)
{
    EXPECT_EQ(ReplaceControlCharacters("a\tb\nc\x01" "d\x1f", false), "a\tb\nc d ");
    EXPECT_EQ(ReplaceControlCharacters("a\tb\r\nc", true), "a b  c");
}

TEST(TextUtils, ValidateRegexedLineCutsAt2048Bytes)
{
    const std::string exact(2048, 'x');
    EXPECT_EQ(ValidateRegexedLine(exact), exact);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ValidateRegexedLine(exact + "y"), exact);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("WARNING ValidateRegexedLine(): input line is too long, "
                                                          "exceeds 2048 bytes, truncated before further processing"),
              std::string::npos);
}

TEST(TextUtils, EscapesMakeTextLiteral)
{
    EXPECT_EQ(EscapeRegex("a.b(c)"), "a\\.b\\(c\\)");
    EXPECT_EQ(EscapeRegex("plain text"), "plain text");
    EXPECT_EQ(EscapeRegex(".|*?+(){}[]^$\\"), "\\.\\|\\*\\?\\+\\(\\)\\{\\}\\[\\]\\^\\$\\\\");
    EXPECT_TRUE(MatchesWhole("x.y+z", boost::regex(EscapeRegex("x.y+z"))));
    EXPECT_FALSE(MatchesWhole("xay+z", boost::regex(EscapeRegex("x.y+z"))));
    EXPECT_EQ(EscapePython("\\\""), "\\\\\\\"");
}

TEST(TextUtils, StringToTimeAcceptsOnlyTheFixedForm)
{
    EXPECT_EQ(TimeToString(StringToTime("2037-12-31 23:59:59")), "2037-12-31 23:59:59");
    EXPECT_EQ(TimeToString(StringToTime("2005-09-13 13:05:54")), "2005-09-13 13:05:54");
    for (const char* bad : {"1999-01-01 00:00:00", "2038-01-01 00:00:00", "2005-1-01 00:00:00",
                            "2005-01-01  00:00:00", "", "2005-01-01 24:00:00"}) {
        testing::internal::CaptureStderr();
        EXPECT_THROW(StringToTime(bad), CMessageException) << bad;
        EXPECT_NE(testing::internal::GetCapturedStderr().find(std::string("Invalid date/time value: ") + bad),
                  std::string::npos);
    }
}

TEST(TextUtils, StringToTimeRollsOverPastTheMonthEnd)
{
    EXPECT_EQ(TimeToString(StringToTime("2005-02-30 00:00:00")), "2005-03-02 00:00:00");
}

TEST(TextUtils, DecodeBase64)
{
    EXPECT_EQ(DecodeBASE64("aGVsbG8="), "hello");
    EXPECT_EQ(DecodeBASE64("aGVs\r\nbG8="), "hello");
    EXPECT_EQ(DecodeBASE64("aGVsbG8"), "");
    EXPECT_EQ(DecodeBASE64("a==="), "");
    EXPECT_EQ(DecodeBASE64(""), "");
    EXPECT_EQ(DecodeBASE64("AAEC/w=="), std::string("\x00\x01\x02\xff", 4));
}

TEST(TextUtils, DigestsOfAbc)
{
    EXPECT_EQ(Sha1Hex("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ShortHash("abc", 3), "2D9AA154803FBE5E");
}

TEST(TextUtils, Random32StaysBelowTheModulusAndUsesAllBits)
{
    std::set<uint32_t> seen;
    uint32_t bits = 0;
    for (int i = 0; i < 5000; ++i) {
        uint32_t value = Random32(1000);
        ASSERT_LT(value, 1000u);
        seen.insert(value);
        bits |= Random32(0);
    }
    EXPECT_GT(seen.size(), 900u);
    EXPECT_EQ(bits, 0xFFFFFFFFu);
}

TEST(TextUtils, RandomGeneratorIsPerThread)
{
    SeedThreadRandom(12345);
    const int first = ThreadRand();
    int other = -1;
    std::thread([&] {
        SeedThreadRandom(12345);
        other = ThreadRand();
    }).join();
    EXPECT_EQ(first, other);  // the other thread's draws did not advance ours, nor ours theirs
    SeedThreadRandom(12345);
    EXPECT_EQ(ThreadRand(), first);
    for (int i = 0; i < 1000; ++i) {
        int value = ThreadRand();
        ASSERT_GE(value, 0);
        ASSERT_LE(value, 32767);
    }
}

TEST(TextUtils, GuidHasTheStandardForm)
{
    const boost::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    std::string a = CreateGUID(), b = CreateGUID();
    EXPECT_TRUE(MatchesWhole(a, form)) << a;
    EXPECT_NE(a, b);
}

TEST(TextUtils, ValidationPatternsMatchWholeTexts)
{
    EXPECT_TRUE(MatchesWhole("alice_01", WordPattern));
    EXPECT_FALSE(MatchesWhole(std::string(33, 'a'), WordPattern));
    EXPECT_FALSE(MatchesWhole("a.b", WordPattern));
    EXPECT_TRUE(MatchesWhole("mail-interval-sec", ParamNamePattern));
    for (const char* bad : {"a b", "-a", "a-", "a--b", ""})
        EXPECT_FALSE(MatchesWhole(bad, ParamNamePattern)) << bad;
    EXPECT_TRUE(MatchesWhole("4294967295", Digits10Pattern));
    EXPECT_FALSE(MatchesWhole("12345678901", Digits10Pattern));
}

TEST(TextUtils, ElapsedMicrosecondsGrow)
{
    uint64_t before = GetElapsedMicroseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(GetElapsedMicroseconds() - before, 5000u);
}

TEST(TextUtils, LocalTimeStampHas17Digits)
{
    EXPECT_TRUE(MatchesWhole(LocalTimeStamp(), boost::regex("^[0-9]{17}$")));
}
