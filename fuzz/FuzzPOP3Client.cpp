// Plays a POP3 server whose replies are the input, one line per line of input, to a fetch
// connection for alice. However the server answers, the connection must end, leave nothing
// in .raw, file every message it took with its trace line first, and delete on the server
// no more messages than it filed.
// Run it with -close_fd_mask=2: the connection logs every reply it refuses.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "FuzzMailStore.h"
#include "core/CMessageException.h"
#include "mail/CPOP3ClientConnection.h"
#include "mail/CPOP3ClientMessage.h"
#include "mail/CPOP3ClientUidState.h"
#include "mail/CUserXML.h"

namespace {

// The input's lines as the server's replies. Once they run out the server has hung up.
class CScriptedTransport : public Nerra::CPOP3ClientTransport {
public:
    CScriptedTransport(const std::string& input, std::set<unsigned>& deleted) : m_Deleted(deleted)
    {
        size_t start = 0;
        while (start < input.size()) {
            size_t end = input.find('\n', start);
            if (end == std::string::npos)
                end = input.size();
            std::string line = input.substr(start, std::min<size_t>(end - start, 65536));
            if (!line.empty() && line.back() == '\r' && end - start <= 65536)
                line.pop_back();
            m_Lines.push_back(line);
            start = end + 1;
        }
    }

    bool Connect() override { return true; }
    void SetInactivityTimeout(int32_t) override {}
    void Send(const std::string& text) override
    {
        unsigned number = 0;
        if (sscanf(text.c_str(), "DELE %u", &number) == 1)
            m_Deleted.insert(number);
    }
    bool Flush() override { return true; }
    bool ReceiveLine(std::string& line) override
    {
        if (m_Lines.empty())
            throw Nerra::CMessageException("Connection closed by peer");
        line = std::move(m_Lines.front());
        m_Lines.pop_front();
        return true;
    }
    std::string GetPeerName() override { return "pop.example"; }
    std::string GetPeerDottedText() override { return "192.0.2.1"; }
    bool GetPollRequest(int&, short&) const override { return false; }

private:
    std::deque<std::string> m_Lines;
    std::set<unsigned>& m_Deleted;
};

// Both passes of a message at once, as an idle sequential pool would run them.
void ProcessAtOnce(const std::shared_ptr<Nerra::CPOP3ClientMessage>& message) { message->Process(); }

// Checks and removes what the connection filed and left; the count of messages filed.
size_t TakeFiled()
{
    const std::string user = NerraFuzz::CMailStore::Instance().User();
    if (!std::filesystem::is_empty(user + "/.raw"))
        abort();  // a download cut short, or a message never handed on
    size_t filed = 0;
    for (const char* box : {"inbox", "mail", "spam"}) {
        for (const auto& entry : std::filesystem::directory_iterator(user + "/" + box)) {
            std::ifstream file(entry.path(), std::ios::binary);
            std::string start(41, '\0');
            file.read(&start[0], static_cast<std::streamsize>(start.size()));
            if (start != "Received: from pop.example ([192.0.2.1]) ")
                abort();
            std::filesystem::remove(entry.path());
            ++filed;
        }
    }
    return filed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NerraFuzz::CMailStore::Instance();
    static const auto user = std::make_shared<Nerra::CUserXML>("alice");
    static const Nerra::CRemoteAccount account = [] {
        Nerra::CRemoteAccount remote;
        remote.host = "pop.example";
        remote.port = "110";
        remote.user = "bob";
        remote.password = "secret";
        return remote;
    }();
    // Ids an earlier input left pending would make this one delete what it never filed.
    std::filesystem::remove(NerraFuzz::CMailStore::Instance().User() + "/" +
                            Nerra::CPOP3ClientUidState::FileName(account.host, account.port, account.user));
    std::set<unsigned> deleted;
    {
        const std::string input(reinterpret_cast<const char*>(data), size);
        Nerra::CPOP3ClientConnection connection(account, "alice", user,
                                                std::make_unique<CScriptedTransport>(input, deleted),
                                                ProcessAtOnce);
        try {
            for (int step = 0;; ++step) {
                bool idle = false;
                if (!connection.Process(idle))
                    break;
                if (step == 1000000)
                    abort();  // a connection that never ends
            }
        } catch (const std::exception&) {
            // Refused replies and the hang-up end the connection.
        }
    }
    if (deleted.size() > TakeFiled())
        abort();  // a message deleted on the server that is nowhere here
    return 0;
}
