#pragma once

#include <string>

namespace Nerra {

// What the rules decide for one message: file it into a mailbox, delete it, decide again once
// the whole message is there, or file it into spam for a reason (no rule took it, or a rule
// failed). A rule that names the mailbox "spam" is a mailbox decision like any other.
class CDispatchDecision {
public:
    enum class Kind { Mailbox, Delete, NeedsContents, Spam };

    static CDispatchDecision Mailbox(const std::string& name) { return CDispatchDecision(Kind::Mailbox, name); }
    static CDispatchDecision Delete() { return CDispatchDecision(Kind::Delete, std::string()); }
    static CDispatchDecision NeedsContents() { return CDispatchDecision(Kind::NeedsContents, std::string()); }
    static CDispatchDecision Spam(const std::string& reason) { return CDispatchDecision(Kind::Spam, reason); }

    // Undecided: spam until a pass decides otherwise.
    CDispatchDecision() = default;

    Kind GetKind() const { return m_Kind; }
    bool IsDelete() const { return m_Kind == Kind::Delete; }
    bool NeedsWholeMessage() const { return m_Kind == Kind::NeedsContents; }
    // The mailbox the message goes to: the named one, or "spam"; empty to delete or decide again.
    std::string GetMailbox() const;
    // Why a spam decision was made.
    const std::string& GetReason() const { return m_Text; }
    // "mailbox work", "delete", "needs the whole message" or "spam (reason)".
    std::string Describe() const;

private:
    CDispatchDecision(Kind kind, const std::string& text) : m_Kind(kind), m_Text(text) {}

    Kind m_Kind = Kind::Spam;
    std::string m_Text;  // the mailbox name, or the spam reason
};

}  // namespace Nerra
