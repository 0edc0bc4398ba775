#include "message/AddressParser.h"

#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

// Header values come from any sender; comments are the one construct that nests, and a
// bound keeps a hostile value from running the stack out.
constexpr int MAX_COMMENT_DEPTH = 64;

// Control bytes other than NUL, tab, LF and CR, allowed wherever text is quoted.
bool IsNoWsControl(unsigned char c)
{
    return (c >= 1 && c <= 8) || c == 11 || c == 12 || (c >= 14 && c <= 31);
}

bool IsWsp(unsigned char c) { return c == ' ' || c == '\t'; }

// After a backslash.
bool IsText(unsigned char c) { return c != 0 && c != '\n' && c != '\r'; }

// Bytes 128 to 255 pass in comments, quoted strings and domain literals: mail from the
// wild carries raw 8-bit names, and refusing them would lose the whole address.
bool IsCtext(unsigned char c)
{
    return IsNoWsControl(c) || (c >= 33 && c <= 39) || (c >= 42 && c <= 91) || c >= 93;
}

bool IsQtext(unsigned char c)
{
    return IsNoWsControl(c) || c == 33 || (c >= 35 && c <= 91) || c >= 93;
}

bool IsDtext(unsigned char c)
{
    return IsNoWsControl(c) || (c >= 33 && c <= 90) || c >= 94;
}

bool IsAtext(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '/': case '=': case '?': case '^': case '_': case '`': case '{': case '|': case '}':
    case '~':
        return true;
    default:
        return false;
    }
}

// The one way a byte of the value reaches the canonical form. Only marker brackets may
// stand as parentheses there, so that tokens can be found by counting them.
void Copy(std::string& out, char c)
{
    out += c == '(' ? '{' : c == ')' ? '}' : c;
}

enum class EProduction { None, Mailbox, MailboxList, AddressList };

EProduction ProductionFor(const std::string& lowerName)
{
    if (lowerName == "from")
        return EProduction::MailboxList;
    if (lowerName == "sender")
        return EProduction::Mailbox;
    if (lowerName == "reply-to" || lowerName == "to" || lowerName == "cc")
        return EProduction::AddressList;
    return EProduction::None;
}

// Recursive descent over the bytes of one value. The value's own terminator serves as a
// sentinel: it belongs to no class, so every scan stops there without a bounds check, and
// only the final test tells it apart from a NUL inside the value. Every production leaves
// the cursor after what it read; a failure throws with the rest of the value from the
// point where it struck, which is the only time that rest is copied.
class CAddressParser {
public:
    explicit CAddressParser(const std::string& value)
        : m_Cursor(value.c_str()), m_End(value.c_str() + value.size())
    {
    }

    std::string Parse(EProduction production)
    {
        std::string out;
        if (production == EProduction::Mailbox)
            Mailbox(out);
        else if (production == EProduction::MailboxList)
            MailboxList(out);
        else
            AddressList(out);
        if (m_Cursor != m_End)
            Fail("Failed to parse");
        return out;
    }

private:
    [[noreturn]] void FailAt(const char* what, const char* at) const
    {
        throw CMessageException("%s at: %s", what, at);
    }

    [[noreturn]] void Fail(const char* what) const { FailAt(what, m_Cursor); }

    unsigned char Current() const { return static_cast<unsigned char>(*m_Cursor); }

    void SkipFws()
    {
        while (IsWsp(Current()))
            ++m_Cursor;
    }

    // Each blank becomes one space: inside quotes the sender's spacing is kept as typed.
    void CopyFws(std::string& out)
    {
        for (; IsWsp(Current()); ++m_Cursor)
            out += ' ';
    }

    // A backslash and the byte it protects; the byte alone goes to `out` if given.
    bool QuotedPair(std::string* out)
    {
        if (Current() != '\\')
            return false;
        ++m_Cursor;
        if (!IsText(Current()))
            Fail("Invalid quoted pair");
        if (out)
            Copy(*out, *m_Cursor);
        ++m_Cursor;
        return true;
    }

    bool Comment()
    {
        if (Current() != '(')
            return false;
        if (m_CommentDepth == MAX_COMMENT_DEPTH)
            Fail("Comments nested too deeply");
        ++m_CommentDepth;
        ++m_Cursor;
        for (const char* before = nullptr; before != m_Cursor;) {
            before = m_Cursor;
            SkipFws();
            while (IsCtext(Current()))
                ++m_Cursor;
            QuotedPair(nullptr);
            Comment();
        }
        if (Current() != ')')
            Fail("Closing parenthesis ()) expected");
        ++m_Cursor;
        --m_CommentDepth;
        return true;
    }

    void SkipCfws()
    {
        do
            SkipFws();
        while (Comment());
    }

    // A quoted string or a domain literal: the text between `open` and `close`, without
    // them. Empty when the cursor (after CFWS) is not at `open`.
    std::string Delimited(char open, char close, bool (*isInner)(unsigned char), const char* unclosed)
    {
        std::string text;
        SkipCfws();
        if (*m_Cursor != open)
            return text;
        ++m_Cursor;
        for (const char* before = nullptr; before != m_Cursor;) {
            before = m_Cursor;
            CopyFws(text);
            for (; isInner(Current()); ++m_Cursor)
                Copy(text, *m_Cursor);
            QuotedPair(&text);
        }
        if (*m_Cursor != close)
            Fail(unclosed);
        ++m_Cursor;
        SkipCfws();
        return text;
    }

    std::string QuotedString() { return Delimited('"', '"', IsQtext, "Closing quote (\") expected"); }

    std::string DomainLiteral() { return Delimited('[', ']', IsDtext, "Right square bracket (]) expected"); }

    std::string Atom()
    {
        std::string text;
        SkipCfws();
        for (; IsAtext(Current()); ++m_Cursor)
            Copy(text, *m_Cursor);
        SkipCfws();
        return text;
    }

    // Atoms split by blanks or comments are joined with nothing between them, so
    // "a b@h" has the local part "ab".
    std::string DotAtom()
    {
        std::string text;
        const char* lastPeriod = nullptr;
        for (std::string atom; !(atom = Atom()).empty();) {
            text += atom;
            lastPeriod = nullptr;
            if (*m_Cursor == '.') {
                lastPeriod = m_Cursor;
                text += '.';
                ++m_Cursor;
            }
        }
        if (lastPeriod)
            FailAt("Missing atom after period", lastPeriod);
        return text;
    }

    std::string Word()
    {
        std::string text = Atom();
        return text.empty() ? QuotedString() : text;
    }

    // A display name. Periods are not words here, so an unquoted "Q." ends the phrase.
    std::string Phrase()
    {
        std::string text;
        for (std::string word; !(word = Word()).empty();) {
            if (!text.empty())
                text += ' ';
            text += word;
        }
        return text;
    }

    // The byte after the phrase that starts at the cursor, which tells the forms that
    // begin with a phrase apart; the cursor itself stays. A phrase that cannot be read
    // fails the parse here already.
    unsigned char PeekPastPhrase()
    {
        const char* start = m_Cursor;
        Phrase();
        unsigned char next = Current();
        m_Cursor = start;
        return next;
    }

    void LocalPart(std::string& out)
    {
        std::string text = DotAtom();
        if (text.empty())
            text = QuotedString();
        if (text.empty())
            Fail("Empty local-part");
        out += "local-part(";
        out += text;
        out += ')';
    }

    void Domain(std::string& out)
    {
        std::string text = DotAtom();
        if (text.empty())
            text = DomainLiteral();
        if (text.empty())
            Fail("Empty domain");
        out += "domain(";
        out += text;
        out += ')';
    }

    void AddressSpecification(std::string& out)
    {
        LocalPart(out);
        if (*m_Cursor != '@')
            Fail("At (@) expected");
        ++m_Cursor;
        Domain(out);
    }

    void AngleAddress(std::string& out)
    {
        SkipCfws();
        if (*m_Cursor != '<')
            Fail("Left angle bracket (<) expected");
        ++m_Cursor;
        AddressSpecification(out);
        if (*m_Cursor != '>')
            Fail("Right angle bracket (>) expected");
        ++m_Cursor;
        SkipCfws();
    }

    static void DisplayName(std::string& out, const std::string& phrase)
    {
        out += "display-name(";
        out += phrase;
        out += ')';
    }

    void NameAddress(std::string& out)
    {
        std::string phrase = Phrase();
        if (!phrase.empty())
            DisplayName(out, phrase);
        AngleAddress(out);
    }

    void Mailbox(std::string& out)
    {
        bool named = PeekPastPhrase() == '<';
        out += "mailbox(";
        if (named)
            NameAddress(out);
        else
            AddressSpecification(out);
        out += ')';
    }

    // Empty elements (",,") are refused: they fail as a mailbox without a local part.
    void MailboxList(std::string& out)
    {
        out += "mailbox-list(";
        Mailbox(out);
        while (*m_Cursor == ',') {
            ++m_Cursor;
            Mailbox(out);
        }
        out += ')';
    }

    void Group(std::string& out)
    {
        std::string phrase = Phrase();
        if (phrase.empty())
            Fail("Empty group name");
        out += "group(";
        DisplayName(out, phrase);
        if (*m_Cursor != ':')
            Fail("Colon (:) expected");
        ++m_Cursor;
        SkipCfws();
        if (*m_Cursor != ';')
            MailboxList(out);
        if (*m_Cursor != ';')
            Fail("Semicolon (;) expected");
        ++m_Cursor;
        SkipCfws();
        out += ')';
    }

    void Address(std::string& out)
    {
        bool group = PeekPastPhrase() == ':';
        out += "address(";
        if (group)
            Group(out);
        else
            Mailbox(out);
        out += ')';
    }

    void AddressList(std::string& out)
    {
        out += "address-list(";
        Address(out);
        while (*m_Cursor == ',') {
            ++m_Cursor;
            Address(out);
        }
        out += ')';
    }

    const char* m_Cursor;
    const char* const m_End;
    int m_CommentDepth = 0;
};

}  // namespace

std::string ParseCanonical(const std::string& name, const std::string& value, bool& failed)
{
    NERRA_TRACE_BEGIN
    failed = false;
    if (value.empty())
        return std::string();
    EProduction production = ProductionFor(ToLower(name));
    if (production == EProduction::None) {
        std::string text;
        text.reserve(value.size());
        for (char c : value)
            Copy(text, c);
        return text;
    }
    // A value that does not parse is an everyday event, not an error of this operation:
    // the caller gets the reason as the result and decides how loud to be.
    try {
        return CAddressParser(value).Parse(production);
    } catch (const std::exception& e) {
        failed = true;
        return e.what();
    }
    NERRA_TRACE_END("ParseCanonical('%s', '%s', " NERRA_PTR ")", name.c_str(), value.c_str(),
                    NERRA_PTR_ARG(&failed))
}

std::string FetchToken(std::string& source, const std::string& marker)
{
    NERRA_TRACE_BEGIN
    size_t open = source.find(marker + '(');
    if (open != std::string::npos) {
        size_t start = open + marker.size() + 1;
        size_t depth = 1;
        for (size_t at = start; at < source.size(); ++at) {
            if (source[at] == '(') {
                ++depth;
            } else if (source[at] == ')' && --depth == 0) {
                std::string content = source.substr(start, at - start);
                source.erase(0, at + 1);
                return content;
            }
        }
    }
    source.clear();
    return std::string();
    NERRA_TRACE_END("FetchToken('%s', '%s')", source.c_str(), marker.c_str())
}

}  // namespace Nerra
