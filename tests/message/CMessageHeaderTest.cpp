#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/TextUtils.h"
#include "message/CMessageHeader.h"

using namespace Nerra;
using namespace NerraTest;

using Strings = std::vector<std::string>;

// Fields a message sends under the reserved prefix are dropped: pseudo fields cannot be forged.
TEST(CMessageHeader, FieldsAreUnfoldedTrimmedAndKeptInOrder)
{
    CMessageHeader header("Subject: a\r\n  b\r\n\tc\r\n \t \r\nFrom: x@y\r\nFROM: z@w\r\n"
                          "X-Thing \t:   spaced value \t\r\nNoColon\r\n"
                          "X-Nerra-Parsed-From: evil\r\nx-nerra-username: root\r\n");
    EXPECT_EQ(header.GetValues("subject"), Strings{"a b c"});
    EXPECT_EQ(header.GetValues("from"), (Strings{"x@y", "z@w"}));
    EXPECT_EQ(header.GetValue("from", 2), "");
    EXPECT_EQ(header.GetValues("x-thing"), Strings{"spaced value"});
    EXPECT_EQ(header.GetValues("nocolon"), Strings{""});
    EXPECT_EQ(header.GetValues("x-nerra-parsed-from"), (Strings{"mailbox-list(mailbox(local-part(x)domain(y)))",
                                                                "mailbox-list(mailbox(local-part(z)domain(w)))"}));
    EXPECT_EQ(header.GetValueCount("x-nerra-username"), 0u);
    EXPECT_EQ(header.GetValues("x-nerra-quoted-header"),
              Strings{"> Subject: a b c\n> From: x@y\n> FROM: z@w\n> X-Thing \t:   spaced value \t\n> NoColon\n"
                      "> X-Nerra-Parsed-From: evil\n> x-nerra-username: root\n"});
}

TEST(CMessageHeader, EveryFieldGetsAParsedTwinLeftEmptyWhenUnparsable)
{
    std::string log = Quietly([] {
        CMessageHeader header("Subject: (fwd) hi\r\nTo: a@b, Group: c@d, e@f;\r\n"
                              "From: \"Doe, John\" <j.doe@h.d> (work)\r\nSender: <broken\r\n");
        EXPECT_EQ(header.GetValues("x-nerra-parsed-subject"), Strings{"{fwd} hi"});
        EXPECT_EQ(header.GetValues("x-nerra-parsed-to-mailbox"), (Strings{"a@b", "c@d", "e@f"}));
        EXPECT_EQ(header.GetValues("x-nerra-parsed-from"),
                  Strings{"mailbox-list(mailbox(display-name(Doe, John)local-part(j.doe)domain(h.d)))"});
        EXPECT_EQ(header.GetValues("x-nerra-parsed-from-mailbox"), Strings{"j.doe@h.d"});
        EXPECT_EQ(header.GetValues("sender"), Strings{"<broken"});
        EXPECT_EQ(header.GetValues("x-nerra-parsed-sender"), Strings{""});
        EXPECT_EQ(header.GetValueCount("x-nerra-parsed-sender-mailbox"), 0u);
    });
    EXPECT_NE(log.find("WARNING CMessageHeader::AddLine('Sender: <broken'): Invalid 'sender' header field: "
                       "'<broken', parsing error: '"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("parsed value is set to empty string"), std::string::npos);
}

// Only a value that decoding changes gets a twin; address fields also get their canonical
// form with the display names decoded.
TEST(CMessageHeader, EncodedValuesGetDecodedTwins)
{
    CMessageHeader header("Subject: =?UTF-8?B?R3LDvMOfZQ==?= =?UTF-8?Q?_aus_K=C3=B6ln?=\r\nSubject: plain\r\n"
                          "X-Odd: =?x-no-such-charset?Q?a?=\r\n"
                          "From: =?UTF-8?B?SsO2cmcgKELDvHJvKQ==?= <j@h.d>, Plain <p@h.d>\r\nTo: q@h.d\r\n");
    EXPECT_EQ(header.GetValues("x-nerra-decoded-subject"), Strings{"Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"});
    EXPECT_EQ(header.GetValueCount("x-nerra-decoded-x-odd"), 0u);
    EXPECT_EQ(header.GetValues("x-nerra-decoded-from"), Strings{"J\xC3\xB6rg (B\xC3\xBCro) <j@h.d>, Plain <p@h.d>"});
    EXPECT_EQ(header.GetValues("x-nerra-decoded-parsed-from"),
              Strings{"mailbox-list(mailbox(display-name(J\xC3\xB6rg {B\xC3\xBCro})local-part(j)domain(h.d))"
                      "mailbox(display-name(Plain)local-part(p)domain(h.d)))"});
    EXPECT_EQ(header.GetValues("x-nerra-parsed-from-mailbox"), (Strings{"j@h.d", "p@h.d"}));
    EXPECT_EQ(header.GetValueCount("x-nerra-decoded-to") + header.GetValueCount("x-nerra-decoded-parsed-to"), 0u);
    EXPECT_EQ(header.GetValueCount("x-nerra-decoded-parsed-subject"), 0u);
}

TEST(CMessageHeader, MalformedTextKeepsWhatWasReadBeforeTheFault)
{
    std::string log = Quietly([] {
        CMessageHeader header("A: 1\r\nB: 2\r\nC: 3");
        EXPECT_EQ(header.GetValues("x-nerra-parsed-a"), Strings{"1"});
        EXPECT_EQ(header.GetValueCount("b") + header.GetValueCount("c"), 0u);
        EXPECT_EQ(header.GetValueCount("x-nerra-quoted-header"), 0u);
        EXPECT_EQ(CMessageHeader(" folded: first\r\nA: 1\r\n").GetValueCount("a"), 0u);
    });
    EXPECT_NE(log.find("ERROR CMessageHeader::CMessageHeader('A: 1"), std::string::npos) << log;
    EXPECT_NE(log.find("Unexpected buffer format: no trailing CRLF found"), std::string::npos);
    EXPECT_NE(log.find("Header may not begin with folding whitespace"), std::string::npos);
    EXPECT_EQ(CMessageHeader("").GetValueCount("x-nerra-quoted-header"), 0u);
}

// Names are tried in turn past empty values and are not trimmed; expanded values are
// escaped and never scanned for macros again. Mismatched and nested brackets fail.
TEST(CMessageHeader, ApplyExpandsMacros)
{
    CMessageHeader header("From: p@q\r\nX-Empty:\r\nX-Two: \r\nSubject: {{from}} a.b\r\n");
    header.AddValue("X-Two", "second");
    const struct {
        const char* text;
        std::string expected;
        bool escaped;
    } cases[] = {
        {"{{x-a|from}}", "p@q", false},
        {"{{x-empty||x-two}}", "second", false},
        {"<{{}}>", "<>", false},
        {"{{ from}}", "", false},
        {"a {{FROM}} b {{from}} c", "a p@q b p@q c", false},
        {"[{{subject}}]", "[{{from}} a.b]", false},
        {"{{subject}}", "\\{\\{from\\}\\} a\\.b", true},
        {"x{{missing}}y", "xy", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.escaped ? header.Apply(c.text, EscapeRegex) : header.Apply(c.text), c.expected) << c.text;
    EXPECT_TRUE(CMessageHeader::ContainsApplicableMacros("}} {{"));
    EXPECT_FALSE(CMessageHeader::ContainsApplicableMacros("{{x"));
    Quietly([&] {
        for (const char* text : {"a}}b{{c}}", "{{a}}}}", "{{a", "a}}", "{{a{{b}}"}) {
            try {
                header.Apply(text);
                ADD_FAILURE() << text;
            } catch (const std::exception& e) {
                EXPECT_EQ(std::string(e.what()), std::string(text[3] == '{' ? "Nested" : "Mismatched") +
                                                     " substitution parentheses {{...}} in '" + text + "'");
            }
        }
    });
}
