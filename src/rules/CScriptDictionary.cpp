#include "rules/CScriptDictionary.h"

#include "core/CMessageException.h"
#include "message/CMessageHeader.h"

namespace Nerra {

CScriptDictionary CScriptDictionary::ForMessage(const CMessageHeader& header, const std::string& messagePath)
{
    CScriptDictionary dictionary;
    for (const auto& [name, values] : header.GetFields()) {
        dictionary.SetInteger(name + ":count", static_cast<int32_t>(values.size()));
        for (size_t i = 0; i < values.size(); ++i)
            dictionary.SetText(Format("%s:%u", name.c_str(), static_cast<unsigned>(i)), values[i]);
        dictionary.SetText(name, values.front());
    }
    if (!messagePath.empty())
        dictionary.SetText("x-nerra-message-filename", messagePath);
    return dictionary;
}

void CScriptDictionary::SetText(std::string key, std::string value)
{
    if (m_Integers.count(key) == 0)
        m_Texts.try_emplace(std::move(key), std::move(value));
}

void CScriptDictionary::SetInteger(std::string key, int32_t value)
{
    if (m_Texts.count(key) == 0)
        m_Integers.try_emplace(std::move(key), value);
}

}  // namespace Nerra
