#include <gtest/gtest.h>

#include <functional>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "message/CMessageHeader.h"
#include "rules/CPython.h"

using namespace Nerra;

namespace {

std::string Quietly(const std::function<void()>& action)
{
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

std::vector<std::string> Values(const CMessageHeader& header, const std::string& name)
{
    return header.GetValues(name);
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(CMessageHeader, FoldedLinesJoinWithOneSpace)
{
    CMessageHeader header("Subject: a\r\n  b\r\n\tc\r\n \t \r\nTo: x@y\r\n\r\n");
    EXPECT_EQ(Values(header, "subject"), Strings{"a b c"});
    EXPECT_EQ(Values(header, "x-nerra-quoted-header"), Strings{"> Subject: a b c\n> To: x@y\n"});
}

TEST(CMessageHeader, RepeatedFieldsKeepEveryValueInOrder)
{
    CMessageHeader header("From: x@y\r\nFROM: z@w\r\n");
    EXPECT_EQ(header.GetValueCount("From"), 2u);
    EXPECT_EQ(header.GetValue("from", 0), "x@y");
    EXPECT_EQ(header.GetValue("from", 1), "z@w");
    EXPECT_EQ(header.GetValue("from", 2), "");
    EXPECT_EQ(header.GetValue("absent", 0), "");
    EXPECT_EQ(header.GetValueCount("absent"), 0u);
}

TEST(CMessageHeader, NamesAndValuesAreTrimmed)
{
    CMessageHeader header("X-Thing \t:   spaced value \t\r\nNoColon\r\nEmpty:\r\n");
    EXPECT_EQ(Values(header, "x-thing"), Strings{"spaced value"});
    EXPECT_EQ(Values(header, "nocolon"), Strings{""});
    EXPECT_EQ(Values(header, "empty"), Strings{""});
}

TEST(CMessageHeader, MessagesCannotForgePseudoFields)
{
    CMessageHeader header("X-Nerra-Parsed-From: evil\r\nx-nerra-username: root\r\n");
    EXPECT_EQ(header.GetValueCount("x-nerra-parsed-from"), 0u);
    EXPECT_EQ(header.GetValueCount("x-nerra-username"), 0u);
    EXPECT_EQ(Values(header, "x-nerra-quoted-header"),
              Strings{"> X-Nerra-Parsed-From: evil\n> x-nerra-username: root\n"});
}

TEST(CMessageHeader, EveryFieldGetsAParsedTwin)
{
    CMessageHeader header("Subject: (fwd) hi\r\nTo: a@b, Group: c@d, e@f;\r\nFrom: \"Doe, John\" <j.doe@h.d> (work)\r\n");
    EXPECT_EQ(Values(header, "x-nerra-parsed-subject"), Strings{"{fwd} hi"});
    EXPECT_EQ(Values(header, "x-nerra-parsed-to-mailbox"), (Strings{"a@b", "c@d", "e@f"}));
    EXPECT_EQ(Values(header, "x-nerra-parsed-from"),
              Strings{"mailbox-list(mailbox(display-name(Doe, John)local-part(j.doe)domain(h.d)))"});
    EXPECT_EQ(Values(header, "x-nerra-parsed-from-mailbox"), Strings{"j.doe@h.d"});
}

TEST(CMessageHeader, UnparsableAddressWarnsAndLeavesTheTwinEmpty)
{
    std::string log = Quietly([] {
        CMessageHeader header("From: <broken\r\n");
        EXPECT_EQ(Values(header, "from"), Strings{"<broken"});
        EXPECT_EQ(Values(header, "x-nerra-parsed-from"), Strings{""});
        EXPECT_EQ(header.GetValueCount("x-nerra-parsed-from-mailbox"), 0u);
    });
    EXPECT_NE(log.find("WARNING CMessageHeader::AddLine('From: <broken'): Invalid 'from' header field: '<broken', "
                       "parsing error: '"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("parsed value is set to empty string"), std::string::npos);
}

TEST(CMessageHeader, MalformedTextKeepsWhatWasReadBeforeTheFault)
{
    std::string log = Quietly([] {
        CMessageHeader header("A: 1\r\nB: 2\r\nC: 3");
        EXPECT_EQ(Values(header, "a"), Strings{"1"});
        EXPECT_EQ(Values(header, "x-nerra-parsed-a"), Strings{"1"});
        EXPECT_EQ(header.GetValueCount("b"), 0u);
        EXPECT_EQ(header.GetValueCount("c"), 0u);
        EXPECT_EQ(header.GetValueCount("x-nerra-quoted-header"), 0u);
    });
    EXPECT_NE(log.find("ERROR CMessageHeader::CMessageHeader('A: 1"), std::string::npos) << log;
    EXPECT_NE(log.find("Unexpected buffer format: no trailing CRLF found"), std::string::npos);

    log = Quietly([] {
        CMessageHeader header(" folded: first\r\nA: 1\r\n");
        EXPECT_EQ(header.GetValueCount("a"), 0u);
    });
    EXPECT_NE(log.find("Header may not begin with folding whitespace"), std::string::npos);

    CMessageHeader empty("");
    EXPECT_EQ(empty.GetValueCount("x-nerra-quoted-header"), 0u);
}

TEST(CMessageHeader, ApplyTriesNamesInTurnAndSkipsEmptyValues)
{
    CMessageHeader header("From: p@q\r\nX-Empty:\r\nX-Two: \r\n");
    header.AddValue("X-Two", "second");
    EXPECT_EQ(header.Apply("{{x-a|from}}"), "p@q");
    EXPECT_EQ(header.Apply("{{x-empty||x-two}}"), "second");
    EXPECT_EQ(header.Apply("<{{}}>"), "<>");
    EXPECT_EQ(header.Apply("{{nothing}}!"), "!");
    EXPECT_EQ(header.Apply("no macros"), "no macros");
    EXPECT_EQ(header.Apply("{{ from}}"), "");  // names are not trimmed
    EXPECT_EQ(header.Apply("a {{FROM}} b {{from}} c"), "a p@q b p@q c");
}

TEST(CMessageHeader, ApplyRefusesMismatchedAndNestedMacros)
{
    CMessageHeader header("");
    Quietly([&] {
        for (const char* mismatched : {"a}}b{{c}}", "{{a}}}}", "{{a", "a}}"}) {
            try {
                header.Apply(mismatched);
                FAIL() << mismatched;
            } catch (const std::exception& e) {
                EXPECT_EQ(std::string(e.what()),
                          std::string("Mismatched substitution parentheses {{...}} in '") + mismatched + "'");
            }
        }
        try {
            header.Apply("{{a{{b}}");
            FAIL();
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), "Nested substitution parentheses {{...}} in '{{a{{b}}'");
        }
    });
}

TEST(CMessageHeader, ExpandedValuesAreEscapedAndNeverRescanned)
{
    CMessageHeader header("Subject: {{from}} a.b\r\nFrom: evil\r\n");
    EXPECT_EQ(header.Apply("[{{subject}}]"), "[{{from}} a.b]");
    EXPECT_EQ(header.Apply("{{subject}}", EscapeRegex), "\\{\\{from\\}\\} a\\.b");
    EXPECT_EQ(header.Apply("x{{missing}}y", EscapeRegex), "xy");
}

TEST(CMessageHeader, ContainsApplicableMacrosInAnyOrder)
{
    EXPECT_TRUE(CMessageHeader::ContainsApplicableMacros("}} {{"));
    EXPECT_TRUE(CMessageHeader::ContainsApplicableMacros("{{x}}"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("{{x"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("2005-01-01 00:00:00"));
}

TEST(CMessageHeader, ConfigurationSettingsBecomePseudoFields)
{
    CConfig::Instance().ClearValues();
    CConfig::Instance().SetValue("b-setting", "2");
    CConfig::Instance().SetValue("a-setting", "1");
    CMessageHeader header("");
    CConfig::Instance().InsertValuesToHeader(header);
    EXPECT_EQ(header.GetValue("x-nerra-a-setting", 0), "1");
    EXPECT_EQ(header.GetValue("X-Nerra-B-Setting", 0), "2");
}

TEST(CMessageHeader, DictionaryExportHasFirstValueIndexedValuesAndCount)
{
    CMessageHeader header("To: a@b\r\nTo: c@d\r\n");
    CScriptDictionary dictionary;
    header.DumpToPythonDictionary(dictionary);
    const auto& texts = dictionary.GetTexts();
    EXPECT_EQ(texts.at("to"), "a@b");
    EXPECT_EQ(texts.at("to:0"), "a@b");
    EXPECT_EQ(texts.at("to:1"), "c@d");
    EXPECT_EQ(texts.count("to:2"), 0u);
    EXPECT_EQ(dictionary.GetIntegers().at("to:count"), 2);
    EXPECT_EQ(dictionary.GetIntegers().at("x-nerra-parsed-to-mailbox:count"), 2);
    EXPECT_EQ(texts.at("x-nerra-parsed-to-mailbox:1"), "c@d");
}
