#pragma once

#include <list>
#include <memory>
#include <string>

#include <libxml/tree.h>

namespace Nerra {

class CFile;
class CMessageHeader;
class CRule;
struct CRuleCheck;

using CRuleList = std::list<std::shared_ptr<CRule>>;

// What a rule does once its matches accept a message: name a mailbox, run a script that
// names one, or edit the rule list while it is being walked.
class CAction {
public:
    virtual ~CAction() = default;

    // The action class the element's `handler` names: "dispatch", "ruleset" or "python".
    static std::shared_ptr<CAction> Create(xmlNodePtr element);

    virtual void Load(xmlNodePtr element);
    virtual void Save(xmlNodePtr element) const;
    virtual std::shared_ptr<CAction> Clone() const = 0;
    virtual void ApplyHeader(const CMessageHeader& header) = 0;
    // Returns a mailbox name, or empty text for no decision. `position` is the walk's current
    // rule; an action may edit `rules` and move `position`.
    virtual std::string Activate(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                                 CRuleList::iterator& position) = 0;
    virtual bool EditsRuleList() const { return false; }
    // What the action does, in words, for a dispatch trace.
    virtual std::string Describe() const = 0;
    const std::string& GetHandler() const { return m_Handler; }
    // Looks at what the action would use for a message, adding what is wrong to `check`.
    virtual void Check(CRuleCheck& check) const = 0;

protected:
    void CopyTo(CAction& target) const;

    std::string m_Handler;
};

// Names the mailbox that receives the message.
class CDispatchAction : public CAction {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    std::shared_ptr<CAction> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    std::string Activate(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                         CRuleList::iterator& position) override;
    std::string Describe() const override;
    void Check(CRuleCheck& check) const override;

private:
    std::string m_Mailbox;
};

// Runs a script; the text of its `result` is the mailbox, empty text no decision.
class CPythonAction : public CAction {
public:
    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    std::shared_ptr<CAction> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    std::string Activate(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                         CRuleList::iterator& position) override;
    std::string Describe() const override;
    void Check(CRuleCheck& check) const override;

private:
    std::string m_Script;
};

// Edits the rule set while it is walked: inserts a rule built from a template, deletes the
// current rule or moves the walk. It never decides the mailbox itself.
class CRulesetAction : public CAction {
public:
    enum RulesetMethod {
        InsertFirst = 0,
        InsertBefore = 1,
        InsertAfter = 2,
        InsertLast = 3,
        DeleteCurrent = 4,
        MoveFirst = 5,
        MoveEnd = 6,
        MoveNext = 7,
    };

    static RulesetMethod StringToRulesetMethod(const std::string& text);
    static std::string RulesetMethodToString(RulesetMethod method);

    bool EditsRuleList() const override { return true; }

    void Load(xmlNodePtr element) override;
    void Save(xmlNodePtr element) const override;
    std::shared_ptr<CAction> Clone() const override;
    void ApplyHeader(const CMessageHeader& header) override;
    std::string Activate(const CMessageHeader& header, const std::shared_ptr<CFile>& file, CRuleList& rules,
                         CRuleList::iterator& position) override;
    std::string Describe() const override;
    void Check(CRuleCheck& check) const override;

private:
    bool UsesReference() const { return m_Method == InsertBefore || m_Method == InsertAfter; }
    bool UsesTemplate() const { return m_Method <= InsertLast; }

    RulesetMethod m_Method = InsertFirst;
    std::string m_Reference;
    std::shared_ptr<CRule> m_Template;
};

}  // namespace Nerra
