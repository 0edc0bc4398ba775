#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mail/CPOP3ClientTransport.h"
#include "mail/CUserXML.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

class CFile;
class CPOP3ClientMessage;
class CPOP3ClientSecret;
class CPOP3ClientUidState;

// Fetches the mail of one remote POP3 mailbox for a local user on the parallel pool. It
// works through a queue of POP3 commands, each with an optional reply handler that may
// queue more. The session asks CAPA first: commands go ahead of replies only when the
// server lists PIPELINING, STLS switches to TLS when the account asks for it (never a plain
// fallback), and UTF8 is sent when listed. Every message is filtered on its header first
// (first pass of its CPOP3ClientMessage), downloaded into the user's .raw directory unless
// the rule set decided to delete it, handed on for filing and only then deleted on the server.
// With UIDL, the ids of stored messages are kept on disk until QUIT confirms their
// deletion, so the next session only deletes what a cut session left.
class CPOP3ClientConnection : public CParallelWorkUnit {
public:
    // Where a message goes for its passes: the sequential pool in the service.
    using CMessageSink = std::function<void(const std::shared_ptr<CPOP3ClientMessage>&)>;

    // Resolves host and port at once: a failure there means no connection at all.
    CPOP3ClientConnection(const CRemoteAccount& account, const std::string& localUser,
                          const std::shared_ptr<CUserXML>& user);
    CPOP3ClientConnection(const CRemoteAccount& account, const std::string& localUser,
                          const std::shared_ptr<CUserXML>& user, std::unique_ptr<CPOP3ClientTransport> transport,
                          CMessageSink sink);
    ~CPOP3ClientConnection() override;

    // One step of the dialogue; false once the connection is finished or given up.
    bool Process(bool& idle) override;
    bool GetPollRequest(int& descriptor, short& events) const override;

private:
    using CHandler = bool (CPOP3ClientConnection::*)(uint32_t number, std::istringstream& tokens,
                                                     const std::shared_ptr<CFile>& file);

    // How a command shares the line with its neighbours. Commands always go out in queue
    // order and their replies are handled in that order; only the waiting differs.
    enum class EFlow {
        Alone,    // goes out once every earlier reply is handled; later commands wait for its reply
        Ahead,    // may go out before earlier replies have come
        AheadHold // may go out early, but later commands wait until its reply is handled
    };

    // Where the multi-line data of a reply goes.
    enum class EData {
        None,  // the reply is its status line alone
        Text,  // kept in memory: a header, which is wanted only if it is small
        Lines, // kept in memory: a CAPA or UIDL listing
        File   // a message text, into a new file in .raw
    };

    struct CCommand {
        uint32_t number = 0;
        std::string text;  // line end included
        EData data = EData::None;
        CHandler handler = nullptr;
        EFlow flow = EFlow::Alone;
        bool optional = false;  // "-ERR" is an answer too: the server lacks the command
    };

    bool ObtainSecret(bool& idle);
    bool Connect(bool& idle);
    bool ReceiveStatus(bool& idle);
    bool AwaitReply(bool& idle);
    bool SendNextCommand();
    void SendAhead();
    void ReceiveData(bool& idle);
    void StartResponse();
    std::string TraceLine();
    void WriteBuffered(const std::string& line);
    void WriteOutBuffer();
    bool CallHandler();
    // The log gets one line per event, and never the password: not in a command, and not
    // where a server's reply repeats it.
    [[noreturn]] void FailReply(const std::string& reply) const;
    std::string CommandForLog() const;
    std::string MaskPassword(const std::string& reply) const;
    static CCommand Command(uint32_t number, const std::string& text, EData data, CHandler handler, EFlow flow);
    void Queue(uint32_t number, const std::string& text, EData data, CHandler handler, EFlow flow,
               bool optional = false);
    CPOP3ClientMessage& Message(uint32_t number) const;
    void QueueLogin();
    void PlanMessages();
    void RememberStored(const std::vector<uint32_t>& numbers);
    void CommitDownloads();

    bool CapaCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool StlsCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool UidlCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool QuitCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool StatCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool ListCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool TopCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool NoopCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool RetrCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool DeleCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);

    int m_Phase = 1;  // 0: the next command may go out; 1: its reply is awaited
    bool m_Connected = false;
    bool m_Pipelining = false;  // the server listed PIPELINING
    bool m_Secured = false;     // STLS done, or TLS from the first byte
    bool m_ReplyFailed = false; // an optional command was answered "-ERR"
    bool m_SaslCancelled = false;  // an AUTH continuation was answered with a cancel
    bool m_CapaAnswered = false;   // CAPA had "+OK": what it does not list is not there
    uint64_t m_StatCount = 0;
    bool m_WaitingForPasses = false;  // a NOOP handler waits for the rule set
    int m_PassWaitHandle = -1;        // the event of the first pass it waits for
    int32_t m_MessagesPerSync = 0;
    int32_t m_MessagesPerConnection = 0;
    int32_t m_InactivityTimeout = 0;
    const CRemoteAccount m_Account;
    const std::string& m_Host;
    const std::string& m_Port;
    const std::string& m_RemoteUser;
    std::string m_Password;
    std::string m_AuthText;  // the Base64 that SASL sends, hidden like the password
    const std::string m_LocalUser;
    std::unique_ptr<CPOP3ClientSecret> m_SecretCommand;  // until the password command has answered
    std::set<std::string> m_Capabilities;                // their names, upper case
    std::unique_ptr<CPOP3ClientUidState> m_UidState;     // with a server that lists ids
    std::map<uint32_t, std::string> m_Uids;              // message number to unique id
    std::vector<std::vector<uint32_t>> m_Groups;         // the messages each NOOP closes
    // Downloads of the current group, whole and flushed, still named .part; the group is
    // committed once the message numbered m_CommitAfter is.
    std::vector<std::pair<uint32_t, std::string>> m_PendingParts;
    uint32_t m_CommitAfter = 0;
    std::string m_RawDirectory;
    const std::shared_ptr<CUserXML> m_User;
    std::unique_ptr<CPOP3ClientTransport> m_Transport;
    CMessageSink m_Sink;
    std::chrono::steady_clock::time_point m_ConnectDeadline;
    std::deque<CCommand> m_Queue;
    // Sent after the current command, before its reply was handled; oldest first.
    std::deque<CCommand> m_SentAhead;
    CCommand m_Current;  // starts as the empty command whose reply is the greeting
    std::string m_ReplyLine;
    bool m_DataComplete = false;
    bool m_ResponseStarted = false;  // the first data line has come
    std::shared_ptr<CFile> m_ResponseFile;
    std::string m_WriteBuffer;
    // Data kept in memory: a header trace line first, as a file would have held it, emptied and
    // left empty once it reaches the largest header the rules are given; or a listing.
    std::string m_ResponseText;
    bool m_ResponseTooLong = false;
    std::map<uint32_t, std::shared_ptr<CPOP3ClientMessage>> m_Messages;  // by message number
};

}  // namespace Nerra
