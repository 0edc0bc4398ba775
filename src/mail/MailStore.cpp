#include "mail/MailStore.h"

#include "core/CConfig.h"
#include "core/CFile.h"
#include "core/CLog.h"

namespace Nerra {

std::string UserDirectory(const std::string& userName)
{
    return CConfig::Instance().GetValue("mail-directory") + "/" + userName;
}

std::string MailBoxDirectory(const std::string& userName, const std::string& mailBox)
{
    return UserDirectory(userName) + "/" + mailBox;
}

bool IsInsideMailDirectory(const std::string& path)
{
    const std::string root = CFile::ResolvePath(CConfig::Instance().GetValue("mail-directory"));
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
