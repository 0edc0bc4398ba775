#include "mail/MailStore.h"

#include "core/CConfig.h"
#include "core/CLog.h"
#include "core/TextUtils.h"

namespace Nerra {

std::string MailRoot() { return CConfig::Instance().GetValue("mail-directory"); }

std::vector<CDirInfo> ListUsers()
{
    std::vector<CDirInfo> users;
    for (CDirInfo& directory : CFile::ListDirectories(MailRoot(), "*"))
        if (MatchesWhole(directory.name, WordPattern))
            users.push_back(std::move(directory));
    return users;
}

std::string UserDirectory(const std::string& userName) { return MailRoot() + "/" + userName; }

std::string MailBoxDirectory(const std::string& userName, const std::string& mailBox)
{
    return UserDirectory(userName) + "/" + mailBox;
}

std::string SpoolDirectory(const std::string& userDirectory) { return userDirectory + "/.spool"; }

std::string RawDirectory(const std::string& userDirectory) { return userDirectory + "/.raw"; }

std::string RuleSetPath(const std::string& userName) { return UserDirectory(userName) + "/ruleset.xml"; }

std::string RuleSetSchemaPath(const std::string& userName) { return UserDirectory(userName) + "/ruleset.xsd"; }

std::string MailBoxLockPath(const std::string& mailBoxDirectory) { return mailBoxDirectory + "/.lock"; }

std::string MessageFileName(const std::string& messageId) { return messageId + ".msg"; }

std::string NewRawFileName() { return LocalTimeStamp() + Format(".%03u", Random32(1000)) + ".msg"; }

namespace {
// The mail root resolved, kept per thread for as long as the setting names the same place:
// every filed message asks. Should the root itself be moved while the service runs, paths
// resolve outside the kept one and are refused: the safe side.
std::string ResolvedRoot()
{
    thread_local std::string setting, resolved;
    const std::string root = MailRoot();
    if (root != setting || resolved.empty()) {
        resolved = CFile::ResolvePath(root);
        setting = root;
    }
    return resolved;
}
}  // namespace

bool IsInsideMailDirectory(const std::string& path)
{
    const std::string root = ResolvedRoot();
    const std::string resolved = CFile::ResolvePath(path);
    if (root.empty() || resolved.empty())
        return true;
    const bool inside = root == "/" || resolved == root ||
                        (resolved.compare(0, root.size(), root) == 0 && resolved[root.size()] == '/');
    if (!inside)
        CLog::Instance().WarningOnce(path + "\n" + resolved,
                                     "IsInsideMailDirectory(): '%s' leads outside the mail directory, to '%s', and "
                                     "is refused",
                                     path.c_str(), resolved.c_str());
    return inside;
}

}  // namespace Nerra
