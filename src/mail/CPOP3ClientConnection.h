#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/CWorkUnit.h"

namespace Nerra {

class CClientSocketFactory;
class CConnectedSocket;
class CFile;
class CPOP3ClientMessage;
class CUserXML;

// The link a fetch connection talks to its POP3 server through. The real one is a TCP
// connection; tests put a scripted server behind it, so the whole dialogue runs without
// sockets. Used by one work unit, on one thread at a time.
class CPOP3ClientTransport {
public:
    virtual ~CPOP3ClientTransport() = default;

    // Polled until it returns true; false while the attempt is under way. A refused attempt throws.
    virtual bool Connect() = 0;
    // Once connected: traffic-free time after which a transfer fails.
    virtual void SetInactivityTimeout(int32_t seconds) = 0;
    // Queues a command, line end included.
    virtual void Send(const std::string& text) = 0;
    // Pushes queued output out; true when none is left.
    virtual bool Flush() = 0;
    // Takes one received line without its line end; false when no whole line has arrived.
    // An over-long line comes back cut to its first 65536 bytes.
    virtual bool ReceiveLine(std::string& line) = 0;

    // The server as the "Received:" trace line names it.
    virtual std::string GetPeerName() = 0;
    virtual std::string GetPeerDottedText() = 0;

    // What to wait on while there is nothing to do: the connecting socket until it is
    // connected, then the connection. -1 for nothing.
    virtual int GetPollDescriptor() const = 0;
    virtual bool HasPendingOutput() const = 0;
};

// The TCP link to a POP3 server. Host and port are resolved at construction, so a name that
// does not resolve fails before any connection is attempted.
class CPOP3ClientSocketTransport : public CPOP3ClientTransport {
public:
    CPOP3ClientSocketTransport(const std::string& host, const std::string& port);
    ~CPOP3ClientSocketTransport() override;

    bool Connect() override;
    void SetInactivityTimeout(int32_t seconds) override;
    void Send(const std::string& text) override;
    bool Flush() override;
    bool ReceiveLine(std::string& line) override;
    std::string GetPeerName() override;
    std::string GetPeerDottedText() override;
    int GetPollDescriptor() const override;
    bool HasPendingOutput() const override;

private:
    std::shared_ptr<CClientSocketFactory> m_Connector;  // dropped once connected
    std::shared_ptr<CConnectedSocket> m_Socket;         // empty until connected
    std::string m_Input;                                // received bytes not yet taken
    size_t m_InputStart = 0;
    std::string m_Line;  // the start of a line whose end has not arrived yet
    bool m_LineCut = false;
    std::string m_PeerName;
    std::string m_PeerDottedText;
};

// Fetches the mail of one remote POP3 mailbox for a local user on the parallel pool. It
// works through a queue of POP3 commands, each with an optional reply handler that may
// queue more. Every message is filtered on its header first (first pass of its
// CPOP3ClientMessage), downloaded into the user's .raw directory unless the rule set decided
// to delete it, handed on for filing and only then deleted on the server.
class CPOP3ClientConnection : public CParallelWorkUnit {
public:
    // Where a message goes for its passes: the sequential pool in the service.
    using CMessageSink = std::function<void(const std::shared_ptr<CPOP3ClientMessage>&)>;

    // Resolves host and port at once: a failure there means no connection at all.
    CPOP3ClientConnection(const std::string& host, const std::string& port, const std::string& remoteUser,
                          const std::string& password, const std::string& localUser,
                          const std::shared_ptr<CUserXML>& user);
    CPOP3ClientConnection(const std::string& host, const std::string& port, const std::string& remoteUser,
                          const std::string& password, const std::string& localUser,
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
        File   // a message text, into a new file in .raw
    };

    struct CCommand {
        uint32_t number = 0;
        std::string text;  // line end included
        EData data = EData::None;
        CHandler handler = nullptr;
        EFlow flow = EFlow::Alone;
    };

    bool Connect(bool& idle);
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
    void Queue(uint32_t number, const std::string& text, EData data, CHandler handler, EFlow flow);
    CPOP3ClientMessage& Message(uint32_t number) const;

    bool StatCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool ListCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool TopCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool NoopCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool RetrCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);
    bool DeleCallback(uint32_t number, std::istringstream& tokens, const std::shared_ptr<CFile>& file);

    int m_Phase = 1;  // 0: the next command may go out; 1: its reply is awaited
    bool m_Connected = false;
    bool m_WaitingForPasses = false;  // a NOOP handler waits for the rule set
    int m_PassWaitHandle = -1;        // what it waits on: a first pass's event, or nothing
    int32_t m_MessagesPerSync = 0;
    int32_t m_MessagesPerConnection = 0;
    int32_t m_InactivityTimeout = 0;
    const std::string m_Host;
    const std::string m_Port;
    const std::string m_RemoteUser;
    const std::string m_Password;
    const std::string m_LocalUser;
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
    // Data kept in memory, trace line first, as a file would have held it; emptied and left
    // empty once it reaches the largest header the rules are given.
    std::string m_ResponseText;
    bool m_ResponseTooLong = false;
    std::vector<std::shared_ptr<CPOP3ClientMessage>> m_Messages;  // index = message number - 1
};

}  // namespace Nerra
