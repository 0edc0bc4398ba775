#include "app/Check.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "mail/CUserXML.h"
#include "mail/MailStore.h"
#include "rules/CPython.h"
#include "rules/CRuleCheck.h"
#include "rules/CRuleSet.h"

namespace Nerra {

namespace {

class CProblems {
public:
    void Add(const std::string& file, const std::string& problem)
    {
        std::cout << file << ": " << problem << "\n";
        ++m_Count;
    }
    // Runs a step; its failure is a problem of the file.
    template <class F>
    bool Try(const std::string& file, F step)
    {
        try {
            step();
            return true;
        } catch (...) {
            Add(file, CurrentExceptionText());
            return false;
        }
    }
    size_t Count() const { return m_Count; }

private:
    size_t m_Count = 0;
};

bool IsDirectory(const std::string& path) { return CFile::GetKind(CFile::ResolvePath(path)) == CFile::Directory; }

void CheckAccount(const std::string& user, CProblems& problems)
{
    const std::string path = CUserXML::PathFor(user);
    problems.Try(path, [&] {
        CUserXML account(user);
        xmlNodePtr authentication = CXPathContext(account).Eval("/user/pop3-server/authentication").GetNodePtr();
        if (authentication)
            CAuthentication::Create(authentication);
    });
}

void CheckRuleSet(const std::string& user, CProblems& problems)
{
    const std::string directory = UserDirectory(user) + "/";
    const std::string path = directory + "ruleset.xml";
    problems.Try(path, [&] {
        CRuleSet ruleSet(user, path, directory + "ruleset.xsd", CRuleSet::Persistence::ReadOnly);
        CRuleCheck check;
        check.mailboxExists = [&](const std::string& mailbox) {
            return IsDirectory(MailBoxDirectory(user, mailbox)) && IsInsideMailDirectory(MailBoxDirectory(user, mailbox));
        };
        ruleSet.Check(check);
        for (const std::string& problem : check.problems)
            problems.Add(path, problem);
    });
}

}  // namespace

int RunCheck(const std::string& configPath)
{
    CProblems problems;
    XMLInit();
    if (!problems.Try(configPath, [&] { CConfig::Instance().LoadFromXml(configPath); })) {
        std::cout << "check: the configuration cannot be read, 1 problem\n";
        return 1;
    }
    problems.Try(configPath, [] { CConfig::Instance().CheckSettings(); });
    const std::string mailDirectory = CConfig::Instance().GetValue("mail-directory");
    std::vector<std::string> users;
    if (IsDirectory(mailDirectory)) {
        for (const CDirInfo& directory : CFile::ListDirectories(mailDirectory, "*"))
            if (MatchesWhole(directory.name, WordPattern))
                users.push_back(directory.name);
    }
    std::sort(users.begin(), users.end());
    if (!users.empty())
        CPython::Instance();
    for (const std::string& user : users) {
        CheckAccount(user, problems);
        CheckRuleSet(user, problems);
    }
    std::cout << Format("check: %zu user%s checked, %zu problem%s\n", users.size(), users.size() == 1 ? "" : "s",
                        problems.Count(), problems.Count() == 1 ? "" : "s")
              << std::flush;
    return problems.Count() == 0 ? 0 : 1;
}

}  // namespace Nerra
