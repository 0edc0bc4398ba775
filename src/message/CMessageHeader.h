#pragma once

#include <map>
#include <string>
#include <vector>

namespace Nerra {

// The header of one message as the table of fields rules query: every field of the message
// (names lower-cased, values unfolded and trimmed, raw bytes), a parsed twin of each, a
// decoded twin of each value holding encoded words, the mailboxes of the address fields, a
// quoted copy of the whole header, and the "x-nerra-" pseudo fields the system adds. Belongs to the one worker that processes its message.
class CMessageHeader {
public:
    using EscapeFunction = std::string (*)(const std::string&);
    // Every field by its lower-case name, with its values in the order they were added.
    using CFields = std::map<std::string, std::vector<std::string>>;

    // Lines end in CR LF. A malformed header is logged and kept as far as it was read.
    explicit CMessageHeader(const std::string& text);

    void AddValue(const std::string& name, const std::string& value);
    unsigned GetValueCount(const std::string& name) const;
    // Empty text for an absent name or an index past the last value.
    std::string GetValue(const std::string& name, unsigned index) const;
    // All values of a field, in the order they were added; empty for an absent name.
    const std::vector<std::string>& GetValues(const std::string& name) const;

    // Expands the {{name|name...}} macros of a rule text from this header; expanded values
    // pass through `escape` when given and are never scanned again.
    std::string Apply(const std::string& text, EscapeFunction escape = nullptr) const;
    static bool ContainsApplicableMacros(const std::string& text);

    const CFields& GetFields() const { return m_Fields; }

private:
    void AddLine(const std::string& line);

    CFields m_Fields;
};

}  // namespace Nerra
