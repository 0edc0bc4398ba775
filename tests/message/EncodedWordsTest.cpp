#include <gtest/gtest.h>

#include "message/EncodedWords.h"

using namespace Nerra;

TEST(EncodedWords, WordsDecodeToUtf8AndTheTextAroundThemIsKept)
{
    const struct {
        const char* input;
        const char* decoded;
    } cases[] = {
        // The standard's own examples: white space between two words goes, within a word it stays.
        {"(=?ISO-8859-1?Q?a?=)", "(a)"},
        {"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
        {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"(=?ISO-8859-1?Q?a?=\t =?ISO-8859-1?Q?b?=)", "(ab)"},
        {"(=?ISO-8859-1?Q?a_b?=)", "(a b)"},
        {"(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)", "(a b)"},
        {"=?ISO-8859-1?Q?Keld_J=F8rn_Simonsen?= <keld@dkuug.dk>", "Keld J\xC3\xB8rn Simonsen <keld@dkuug.dk>"},
        {"=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>", "Andr\xC3\xA9 Pirard <PIRARD@vm1.ulg.ac.be>"},
        {"=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?= =?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?=",
         "If you can read this you understand the example."},
        // Encodings, charsets and letter case.
        {"=?utf-8?b?R3LDvMOfZSBhdXMgS8O2bG4=?=", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"},
        {"=?iso-8859-1?q?caf=e9?=", "caf\xC3\xA9"},
        {"=?ISO-8859-1*fr?Q?caf=E9?=", "caf\xC3\xA9"},                // with a language
        {"=?UTF-8?B?QQ?=", "A"},                                      // padding left off
        {"=?UTF-8?B?" "?=", ""},  // split: "??=" would read as a trigraph
        {"=?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=",                // a charset with shift states
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF"},
        {"=?UTF-8?Q?a=0D=0Ab=00c?=", "a  b c"},                        // stays one line
        // Plain text around words.
        {"no words = ? =? here ?=", "no words = ? =? here ?="},
        {"Re: =?UTF-8?Q?caf=C3=A9?= time", "Re: caf\xC3\xA9 time"},
        {"=?UTF-8?Q?a?= - =?UTF-8?Q?b?=", "a - b"},
        {"=?UTF-8?Q?a?==?UTF-8?Q?b?=", "ab"},
        {"x=?UTF-8?Q?a?=y", "xay"},
        {"==?UTF-8?Q?a?=", "=a"},
        // A character split across words is joined.
        {"=?UTF-8?B?w6k=?= =?UTF-8?B?w6nD?= =?UTF-8?B?qA==?=", "\xC3\xA9\xC3\xA9\xC3\xA8"},
        {"=?UTF-8?Q?=C3?= =?utf-8?Q?=A9?=", "\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeEncodedWords(c.input), c.decoded) << c.input;
}

TEST(EncodedWords, UndecodableWordsStayAsTheyWere)
{
    for (const char* input : {
             "=?UTF-8?B?w6!?=",                  // not Base64
             "=?UTF-8?B?QQ=?=",                  // padding short
             "=?UTF-8?B?Q===?=",
             "=?UTF-8?Q?a=4?=",                  // escape cut short
             "=?UTF-8?Q?a=G1?=",
             "=?UTF-8?Q?=FF?=",                  // not UTF-8
             "=?UTF-8?Q?=C3?=",                  // character cut short
             "=?x-no-such-charset?Q?a?=",
             "=?*en?Q?a?=",                      // no charset at all
             "=?UTF-8//TRANSLIT?Q?a?=",
             "=?UTF-8?X?a?=",
             "=?UTF-8?Q?a b?=",
             "Hello =?UTF-8?B?w6nD",             // cut in the middle
             "=?UTF-8?Q?caf=C3=A9?",
             "=?UTF-8?Q",
         })
        EXPECT_EQ(DecodeEncodedWords(input), input);
    EXPECT_EQ(DecodeEncodedWords("=?x-no-such-charset?Q?a?= =?UTF-8?Q?b?="), "=?x-no-such-charset?Q?a?= b");
}
