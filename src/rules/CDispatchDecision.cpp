#include "rules/CDispatchDecision.h"

namespace Nerra {

std::string CDispatchDecision::GetMailbox() const
{
    switch (m_Kind) {
    case Kind::Mailbox: return m_Text;
    case Kind::Spam: return "spam";
    case Kind::Delete:
    case Kind::NeedsContents: break;
    }
    return std::string();
}

std::string CDispatchDecision::Describe() const
{
    switch (m_Kind) {
    case Kind::Mailbox: return "mailbox " + m_Text;
    case Kind::Delete: return "delete";
    case Kind::NeedsContents: return "needs the whole message";
    case Kind::Spam: break;
    }
    return "spam (" + m_Text + ")";
}

}  // namespace Nerra
