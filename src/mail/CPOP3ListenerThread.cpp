#include "mail/CPOP3ListenerThread.h"

#include <algorithm>

#include "core/CConfig.h"
#include "core/CFile.h"

namespace Nerra {

namespace {
const char* const TOO_MANY_CONNECTIONS = "-ERR [SYS/TEMP] Too many connections\r\n";
}  // namespace

CPOP3ListenerThread::CPOP3ListenerThread(const CInternetAddress& address, const CInternetPort& port,
                                         int32_t inactivityTimeout, size_t maxConnections,
                                         CPOP3ServerSettings settings)
    : CListenerThreadBase(address, port, inactivityTimeout, ParallelPool()),
      m_MaxConnections(maxConnections),
      m_Settings(std::move(settings))
{
}

std::shared_ptr<CParallelWorkUnit> CPOP3ListenerThread::CreateWorkUnit(
    const std::shared_ptr<CConnectedSocket>& connection)
{
    if (CPOP3ServerConnection::GetLiveCount() < m_MaxConnections)
        return std::make_shared<CPOP3ServerConnection>(connection, m_Settings);
    // A fresh socket's buffer takes the line at once; the connection closes when it goes. A
    // client of the TLS port cannot read it and only sees the connection close.
    if (!m_Settings.implicitTls) {
        connection->SendLine(TOO_MANY_CONNECTIONS);
        connection->Send(nullptr, 0);
    }
    return nullptr;
}

size_t ReadMaxPOP3Connections()
{
    CConfig& config = CConfig::Instance();
    if (config.HasValue("pop3-max-connections"))
        return static_cast<size_t>(config.GetNumber("pop3-max-connections"));
    // A session holds up to three descriptors: its socket, the mailbox lock and the message
    // being sent. Sessions may take three eighths of the limit; the rest stays for the files
    // that spooling and fetching hold open.
    return static_cast<size_t>(std::max<uint64_t>(1, CFile::OpenFileLimit() / 8));
}

CPOP3ServerSettings ReadPOP3ServerSettings()
{
    CConfig& config = CConfig::Instance();
    CPOP3ServerSettings settings;
    const bool certificate = config.HasValue("pop3-tls-certificate-file");
    if (certificate != config.HasValue("pop3-tls-key-file"))
        throw CMessageException("Missing value of %s, pop3-tls-certificate-file and pop3-tls-key-file go together",
                                certificate ? "pop3-tls-key-file" : "pop3-tls-certificate-file");
    if (certificate)
        settings.tls = CTlsContext::ForServer(config.GetValue("pop3-tls-certificate-file"),
                                              config.GetValue("pop3-tls-key-file"));
    if (config.HasValue("pop3-require-tls")) {
        const std::string value = config.GetValue("pop3-require-tls");
        if (value != "true" && value != "false")
            throw CMessageException("Invalid value of pop3-require-tls: '%s', must be true or false", value.c_str());
        settings.requireTls = value == "true";
    }
    if ((settings.requireTls || config.HasValue("pop3s-port")) && !settings.tls)
        throw CMessageException("Missing value of pop3-tls-certificate-file, needed by %s",
                                settings.requireTls ? "pop3-require-tls" : "pop3s-port");
    return settings;
}

std::shared_ptr<CPOP3ListenerThread>& POP3Listener()
{
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

std::shared_ptr<CPOP3ListenerThread>& POP3SListener()
{
    static std::shared_ptr<CPOP3ListenerThread> listener;
    return listener;
}

}  // namespace Nerra
