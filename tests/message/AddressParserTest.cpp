#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/AddressParser.h"

using Nerra::FetchToken;
using Nerra::ParseCanonical;

namespace {

struct ParseCase {
    const char* name;
    std::string value;
    std::string expected;  // the canonical form, or the failure text
};

// Starts each flag at the opposite of what is expected, so a flag left alone shows.
void ExpectParses(const std::vector<ParseCase>& cases, bool failing)
{
    for (const ParseCase& c : cases) {
        bool failed = !failing;
        EXPECT_EQ(ParseCanonical(c.name, c.value, failed), c.expected) << c.name << ": " << c.value;
        EXPECT_EQ(failed, failing) << c.name << ": " << c.value;
    }
}

std::string Box(const std::string& local, const std::string& domain, const std::string& display = "")
{
    std::string name = display.empty() ? "" : "display-name(" + display + ")";
    return "mailbox(" + name + "local-part(" + local + ")domain(" + domain + "))";
}

std::string From(const std::string& mailboxes) { return "mailbox-list(" + mailboxes + ")"; }

std::string Group(const std::string& name, const std::string& mailboxes)
{
    return "group(display-name(" + name + ")" + (mailboxes.empty() ? "" : From(mailboxes)) + ")";
}

std::string To(std::initializer_list<std::string> addresses)
{
    std::string list = "address-list(";
    for (const std::string& address : addresses)
        list += "address(" + address + ")";
    return list + ")";
}

}  // namespace

// Worked examples from the address grammar, folded lines joined by one space, among them
// the obsolete forms refused on purpose: an unquoted period ends a display name, and there
// are no routes and no empty list elements.
TEST(AddressParser, CanonicalForms)
{
    ExpectParses({
        {"from", "a@h (x (nested) y)", From(Box("a", "h"))},
        {"FROM", "\"Doe, John\" <j.doe@h.d> (work)", From(Box("j.doe", "h.d", "Doe, John"))},
        {"to", "Team: a@h, b@h;, c@h", To({Group("Team", Box("a", "h") + Box("b", "h")), Box("c", "h")})},
        {"from", "a . b@h c . d", From(Box("a.b", "hc.d"))},
        {"from", "\"(x)\" <a@h>", From(Box("a", "h", "{x}"))},
        {"from", "a@[ 1.2\\]( ]", From(Box("a", " 1.2]{ "))},
        {"from", "\"\" <a@h>,<b@h>", From(Box("a", "h") + Box("b", "h"))},
        {"reply-to", "\"Mary Smith: Personal Account\" <smith@home.example>",
         To({Box("smith", "home.example", "Mary Smith: Personal Account")})},
        {"x-mailer", std::string("\"<@(\0", 5), std::string("\"<@{\0", 5)},
        {"from", "", ""},
        {"cc", "<boss@nil.test>, \"Giant; \\\"Big\\\" Box\" <sysservices@example.net>",
         To({Box("boss", "nil.test"), Box("sysservices", "example.net", "Giant; \"Big\" Box")})},
        {"from", "Pete(A wonderful \\) chap) <pete(his account)@silly.test(his host)>",
         From(Box("pete", "silly.test", "Pete"))},
        {"to",
         "A Group(Some people) :Chris Jones <c@(Chris's host.)public.example>, joe@example.org, "
         "John <jdoe@one.test> (my dear friend); (the end of the group)",
         To({Group("A Group", Box("c", "public.example", "Chris Jones") + Box("joe", "example.org") +
                                  Box("jdoe", "one.test", "John"))})},
        {"cc", "(Empty list)(start)Undisclosed recipients  :(nothing to see here);",
         To({Group("Undisclosed recipients", "")})},
    }, false);
}

TEST(AddressParser, FailuresTellWhereTheParseStopped)
{
    ExpectParses({
        {"from", "Joe Q. Public <john.q.public@example.com>", "At (@) expected at: <john.q.public@example.com>"},
        {"to", "Mary Smith <@machine.tld:mary@example.net>", "Empty local-part at: @machine.tld:mary@example.net>"},
        {"to", "jdoe@test  . example, , x@y", "Empty local-part at: , x@y"},
        {"from", "a@h..b", "Missing atom after period at: ..b"},
        {"from", "a@[]", "Empty domain at: "},
        {"sender", "a@h, b@h", "Failed to parse at: , b@h"},
        {"from", "<a@h", "Right angle bracket (>) expected at: "},
        {"from", "a@h (x\\\r)", "Invalid quoted pair at: \r)"},
        {"from", "a@h\r\n b@h", "Failed to parse at: \r\n b@h"},
        {"from", "a@[1.2", "Right square bracket (]) expected at: "},
        {"from", "a@h (x))", "Failed to parse at: )"},
        {"to", ":a@h;", "Empty group name at: :a@h;"},
        {"to", "g: a@h", "Semicolon (;) expected at: "},
        {"from", "g: a@h;", "At (@) expected at: : a@h;"},
        // The look-ahead for a group or a display name fails like the parse itself.
        {"to", "\"Team: a@h", "Closing quote (\") expected at: "},
        {"to", "a@h, g: b(@h;", "Closing parenthesis ()) expected at: "},
        {"from", std::string("a@h\0x", 5), "Failed to parse at: "},
    }, true);
}

// Every byte in one spot, against the bytes that spot allows. An accepted byte comes
// through as itself, parentheses as braces, a tab outside a quoted pair as a space.
TEST(AddressParser, CharacterClasses)
{
    static const std::string atext =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'*+-/=?^_`{|}~";
    struct ClassCase {
        std::string before, after, refused;  // refused: besides NUL, CR and LF
        const char* marker;                  // the token that receives the byte
    };
    const std::vector<ClassCase> cases = {
        {"", "@h", "", "local-part"},  // atom: everything outside atext is refused too
        {"\"", "\"@h", "\"\\", "local-part"},
        {"\"\\", "\"@h", "", "local-part"},
        {"a@[", "]", "[\\]", "domain"},
        {"a@h (", ")", "()\\", nullptr},
    };
    for (const ClassCase& c : cases) {
        for (int byte = 0; byte < 256; ++byte) {
            char ch = static_cast<char>(byte);
            bool refused = byte == 0 || ch == '\r' || ch == '\n' || c.refused.find(ch) != std::string::npos ||
                           (c.before.empty() && atext.find(ch) == std::string::npos);
            bool failed = false;
            std::string canonical = ParseCanonical("from", c.before + ch + c.after, failed);
            EXPECT_EQ(failed, refused) << c.before << " byte " << byte << " -> " << canonical;
            if (failed || refused)
                continue;
            char expected = ch == '(' ? '{' : ch == ')' ? '}' : ch == '\t' && c.before != "\"\\" ? ' ' : ch;
            if (c.marker)
                EXPECT_EQ(FetchToken(canonical, c.marker), std::string(1, expected)) << c.before << " byte " << byte;
            else
                EXPECT_EQ(canonical, From(Box("a", "h"))) << "comment byte " << byte;
        }
    }
}

// A step that rescans the rest of the value would make these run for minutes, and
// comments nested far past the bound must fail at once rather than recurse down the stack.
TEST(AddressParser, VeryLongValuesAndTheNestingBound)
{
    std::string list, expected = "address-list(", flat = "a@h ";
    for (int i = 0; i < 50000; ++i) {
        std::string n = std::to_string(i);
        list += "N " + n + " <u" + n + "@h>, g" + n + ": a@b, \"q\" <c@d>;, ";
        expected += "address(" + Box("u" + n, "h", "N " + n) + ")address(" +
                    Group("g" + n, Box("a", "b") + Box("c", "d", "q")) + ")";
        flat += "((x))((x))";
    }
    const std::string huge(1 << 20, 'x');
    std::string words;
    for (int i = 0; i < 200000; ++i)
        words += "w ";
    auto nested = [](size_t depth) { return "a@h " + std::string(depth, '(') + std::string(depth, ')'); };
    ExpectParses({
        {"to", list + "z@h", expected + "address(" + Box("z", "h") + "))"},
        {"from", huge + "@h", From(Box(huge, "h"))},
        {"from", "a@h (" + huge + ")", From(Box("a", "h"))},
        // Each look-ahead reads the whole phrase, but only a fixed number of times.
        {"to", words + "<a@h>", To({Box("a", "h", words.substr(0, words.size() - 1))})},
        {"from", nested(64), From(Box("a", "h"))},
        {"from", flat, From(Box("a", "h"))},
    }, false);
    ExpectParses({
        {"to", words + "\"q\"@h", "At (@) expected at: \"q\"@h"},
        {"from", "a@h" + std::string(1 << 20, ','), "Empty local-part at: " + std::string((1 << 20) - 1, ',')},
        {"from", nested(65), "Comments nested too deeply at: (" + std::string(65, ')')},
        {"to", "a@h " + std::string(1000000, '('), "Comments nested too deeply at: " + std::string(1000000 - 64, '(')},
    }, true);
}

TEST(FetchToken, WalksEveryMailboxInOrderAndCutsWhatItReads)
{
    bool failed = false;
    std::string source = ParseCanonical("to", "a@h, G: b@h, C <c@h>;, d@h", failed);
    std::vector<std::string> locals;
    while (!source.empty()) {
        std::string mailbox = FetchToken(source, "mailbox");
        if (!mailbox.empty())
            locals.push_back(FetchToken(mailbox, "local-part"));
    }
    EXPECT_EQ(locals, (std::vector<std::string>{"a", "b", "c", "d"}));
    struct Case {
        std::string source, marker, token, rest;
    };
    for (const Case& c : std::vector<Case>{
             {"junk mailbox(a(b)c)tail", "mailbox", "a(b)c", "tail"},
             {"mailbox-list(mailbox(x))", "mailbox", "x", ")"},
             {"mailbox(x(y)", "mailbox", "", ""},
         }) {
        std::string source = c.source;
        EXPECT_EQ(FetchToken(source, c.marker), c.token) << c.source << " / " << c.marker;
        EXPECT_EQ(source, c.rest) << c.source << " / " << c.marker;
    }
}
