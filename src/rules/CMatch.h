#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/regex.hpp>
#include <libxml/tree.h>

namespace Nerra {

class CFile;
class CMessageHeader;
struct CRuleCheck;

// One condition of a rule: looks at a message and says yes or no. Loaded from and saved to
// a `match` element, cloned per message and expanded against its header before it is asked.
class CMatch {
public:
    virtual ~CMatch() = default;

    // The match class the element's `handler` names: "regex", "python" or "any".
    static std::shared_ptr<CMatch> Create(xmlNodePtr element);

    virtual void Load(xmlNodePtr element);
    virtual void Save(xmlNodePtr element) const;
    virtual std::shared_ptr<CMatch> Clone() const = 0;
    virtual void ApplyHeader(const CMessageHeader& header) = 0;
    // Whether the match accepts the message; when `detail` is given, it is set to what
    // decided the answer, for a dispatch trace.
    virtual bool Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail) = 0;
    const std::string& GetHandler() const { return m_Handler; }
    // Compiles what the match would compile for a message, adding what fails to `check`.
    virtual void Check(CRuleCheck&) const {}

protected:
    void CopyTo(CMatch& target) const;

    std::string m_Handler;
};

// Tests header values against regular expressions, each of which must cover a whole value.
// Mode "any" accepts at the first value that matches, "all" refuses at the first that does not.
class CRegexHeaderValueMatch : public CMatch {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    std::shared_ptr<CMatch> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    bool Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail) override;
    void Check(CRuleCheck& check) const override;

private:
    // A pattern compiled once and shared by the stored rule and every clone made of it, so
    // the per-message clones do not compile their patterns again.
    struct CCompiledPattern {
        std::unique_ptr<const boost::regex> regex;
    };
    struct CPattern {
        std::string text;
        std::shared_ptr<CCompiledPattern> compiled = std::make_shared<CCompiledPattern>();
    };

    void CopyTo(CRegexHeaderValueMatch& target) const;
    std::string FieldList() const;

    bool m_MatchAll = false;
    std::vector<std::string> m_FieldNames;
    std::vector<CPattern> m_Patterns;
};

// Runs a script; it accepts when the script sets `result` to "match".
class CPythonMatch : public CMatch {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    std::shared_ptr<CMatch> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    bool Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail) override;
    void Check(CRuleCheck& check) const override;

private:
    std::string m_Script;
};

// Accepts every message.
class CAnyMatch : public CMatch {
public:
    std::shared_ptr<CMatch> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    bool Match(const std::shared_ptr<CFile>& file, const CMessageHeader& header, std::string* detail) override;
};

// Runs a rule's script with the header as `headers`, plus the message file's name when
// there is a file; returns the text of the script's `result`.
std::string RunRuleScript(const std::string& script, const std::shared_ptr<CFile>& file, const CMessageHeader& header);

// Compiles a rule's script, its macros standing for empty values; a failure is added to `check`.
void CheckRuleScript(const std::string& script, CRuleCheck& check);

// Reads and writes the `script` child of a match or action element.
std::string LoadScript(xmlNodePtr element);
void SaveScript(xmlNodePtr element, const std::string& script);

}  // namespace Nerra
