#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Nerra {

class CMessageHeader;

// What a script sees as `headers`: texts and integers by name, built for one run. A name
// keeps the first value it was given, text or integer.
class CScriptDictionary {
public:
    using CTexts = std::map<std::string, std::string>;
    using CIntegers = std::map<std::string, int32_t>;

    // Each field's first value by its name, every value as "<name>:<i>", the count as
    // "<name>:count", and "x-nerra-message-filename" when the message file is there.
    static CScriptDictionary ForMessage(const CMessageHeader& header, const std::string& messagePath);

    void SetText(std::string key, std::string value);
    void SetInteger(std::string key, int32_t value);

    const CTexts& GetTexts() const { return m_Texts; }
    const CIntegers& GetIntegers() const { return m_Integers; }

private:
    CTexts m_Texts;
    CIntegers m_Integers;
};

}  // namespace Nerra
