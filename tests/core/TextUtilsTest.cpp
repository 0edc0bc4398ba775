#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "core/TextUtils.h"

using namespace Nerra;

TEST(TextUtils, StringTransforms)
{
    EXPECT_EQ(Replace("a\r\n\r\nb", "\r\n", "\n"), "a\n\nb");
    EXPECT_EQ(Replace("aaa", "a", "aa"), "aaaaaa");  // inserted text is not rescanned
    EXPECT_EQ(Replace("abcabc", "bc", ""), "aa");
    EXPECT_EQ(Trim(" \r\n\t "), "");
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

TEST(TextUtils, EqualInConstantTimeComparesWholeTexts)
{
    const std::string secret("pa\0ss", 5);
    EXPECT_TRUE(EqualInConstantTime(secret, std::string("pa\0ss", 5)));
    EXPECT_TRUE(EqualInConstantTime("", ""));
    for (const std::string& other : {std::string("pa"), std::string("Pa\0ss", 5), std::string("pa\0sS", 5),
                                     std::string("pa\0ss!", 6), std::string()})
        EXPECT_FALSE(EqualInConstantTime(secret, other)) << other;
}

TEST(TextUtils, EscapesMakeTextLiteral)
{
    EXPECT_EQ(EscapeRegex(".|*?+(){}[]^$\\ x"), "\\.\\|\\*\\?\\+\\(\\)\\{\\}\\[\\]\\^\\$\\\\ x");
    EXPECT_FALSE(MatchesWhole("xay+z", boost::regex(EscapeRegex("x.y+z"))));
    EXPECT_EQ(EscapePython("\\\""), "\\\\\\\"");
}

TEST(TextUtils, StringToTimeAcceptsOnlyTheFixedFormAndRollsOverDays)
{
    EXPECT_EQ(TimeToString(StringToTime("2037-12-31 23:59:59")), "2037-12-31 23:59:59");
    EXPECT_EQ(TimeToString(StringToTime("2005-02-30 00:00:00")), "2005-03-02 00:00:00");
    for (const char* bad : {"1999-01-01 00:00:00", "2038-01-01 00:00:00", "2005-1-01 00:00:00",
                            "2005-01-01  00:00:00", "", "2005-01-01 24:00:00"}) {
        EXPECT_THROW(StringToTime(bad), CMessageException) << bad;
    }
}

TEST(TextUtils, DecodeBase64AndDigests)
{
    EXPECT_EQ(DecodeBASE64("aGVs\r\nbG8="), "hello");
    EXPECT_EQ(DecodeBASE64("AAEC/w=="), std::string("\x00\x01\x02\xff", 4));
    for (const char* bad : {"aGVsbG8", "a===", ""})
        EXPECT_EQ(DecodeBASE64(bad), "") << bad;
    EXPECT_EQ(Sha1Hex("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ShortHash("abc", 3), "2D9AA154803FBE5E");
}

TEST(TextUtils, Random32StaysBelowTheModulusAndUsesAllBits)
{
    std::set<uint32_t> seen;
    uint32_t bits = 0;
    for (int i = 0; i < 5000; ++i) {
        seen.insert(Random32(1000));
        bits |= Random32(0);
    }
    EXPECT_LT(*seen.rbegin(), 1000u);
    EXPECT_GT(seen.size(), 900u);
    EXPECT_EQ(bits, 0xFFFFFFFFu);
}

TEST(TextUtils, ThreadRandomGeneratorIsPerThread)
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
    for (int i = 0, value; i < 1000; ++i)
        ASSERT_TRUE((value = ThreadRand()) >= 0 && value <= 32767) << value;
}

TEST(TextUtils, GeneratedIdsAndStamps)
{
    std::string a = RandomUuid();
    EXPECT_TRUE(MatchesWhole(a, boost::regex("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))) << a;
    EXPECT_NE(a, RandomUuid());
    EXPECT_TRUE(MatchesWhole(LocalTimeStamp(), boost::regex("^[0-9]{17}$")));
}
