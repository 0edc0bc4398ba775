#include "mail/CPOP3ClientUidState.h"

#include <cctype>

#include "core/CFile.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

std::string PercentEncode(const std::string& text)
{
    std::string encoded;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) && byte < 0x80)
            encoded += c;
        else if (c == '.' || c == '_' || c == '-')
            encoded += c;
        else
            encoded += Format("%%%02X", byte);
    }
    return encoded;
}

// A unique id is 1 to 70 printable characters; anything else in the file is not ours.
bool IsUid(const std::string& text)
{
    if (text.empty() || text.size() > 70)
        return false;
    for (const char c : text)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

}  // namespace

CPOP3ClientUidState::CPOP3ClientUidState(const std::string& userDirectory, const std::string& host,
                                         const std::string& port, const std::string& remoteUser)
    : m_Directory(userDirectory), m_Path(userDirectory + "/" + FileName(host, port, remoteUser))
{
}

std::string CPOP3ClientUidState::FileName(const std::string& host, const std::string& port,
                                          const std::string& remoteUser)
{
    // The separators are encoded too, so no two accounts share a name.
    return "." + PercentEncode(remoteUser + "@" + host + ":" + port) + ".uidl";
}

void CPOP3ClientUidState::Load()
{
    NERRA_TRACE_BEGIN
    m_Uids.clear();
    if (CFile::GetKind(m_Path) == CFile::Missing)
        return;
    std::string content;
    if (!CFile::ReadAll(m_Path, content))
        throw CMessageException("Unable to read %s", m_Path.c_str());
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::string uid = content.substr(start, end - start);
        if (IsUid(uid))
            m_Uids.insert(uid);
        start = end + 1;
    }
    NERRA_TRACE_END("CPOP3ClientUidState::Load('%s')", m_Path.c_str())
}

void CPOP3ClientUidState::Retain(const std::set<std::string>& listed)
{
    for (auto uid = m_Uids.begin(); uid != m_Uids.end();)
        uid = listed.count(*uid) ? std::next(uid) : m_Uids.erase(uid);
}

void CPOP3ClientUidState::Save() const
{
    NERRA_TRACE_BEGIN
    std::string content;
    for (const std::string& uid : m_Uids)
        content += uid + "\n";
    // A new file beside the old one, flushed, then renamed over it: a crash leaves either.
    CFile file(Replace(m_Path, "%", "%%") + ".%03d", CFile::Writing, CFile::MustCreate,
               CFile::UniqueName | CFile::RemoveOnClose);
    file.Write(content.data(), static_cast<uint32_t>(content.size()));
    file.Flush();
    if (!CFile::Replace(file.GetPath(), m_Path))
        throw CMessageException("Unable to replace %s", m_Path.c_str());
    file.SetRemoveOnClose(false);
    if (!CFile::SyncDirectory(m_Directory))
        throw CMessageException("Unable to flush directory %s to disk", m_Directory.c_str());
    NERRA_TRACE_END("CPOP3ClientUidState::Save('%s')", m_Path.c_str())
}

void CPOP3ClientUidState::Clear()
{
    NERRA_TRACE_BEGIN
    m_Uids.clear();
    if (CFile::GetKind(m_Path) != CFile::Missing && !CFile::Remove(m_Path))
        throw CMessageException("Unable to remove %s", m_Path.c_str());
    NERRA_TRACE_END("CPOP3ClientUidState::Clear('%s')", m_Path.c_str())
}

}  // namespace Nerra
