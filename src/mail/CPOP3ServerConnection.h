#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/CFile.h"
#include "net/CConnectedSocket.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

// A message of the open mailbox, and whether the session marked it deleted.
struct CMailboxMessage : CFileInfo {
    bool deleted = false;
};

// Serves one POP3 client in short non-blocking steps on the parallel pool. The dialogue is
// plain text in and out: ProcessClientRequest turns a request line into its reply, and
// ProcessServerResponseFile turns the message being sent into wire bytes one slice at a
// time. Process only carries those bytes between them and the socket, so a session can be
// driven without one. Touched only by the worker thread that owns it.
class CPOP3ServerConnection : public CParallelWorkUnit {
public:
    enum EState { stateAUTHORIZATION = 0, stateTRANSACTION = 1, stateCLOSING = 2 };

    // Wraps an accepted, non-blocking connection and queues the greeting on it.
    explicit CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket);
    // A session without a socket; `peer` names the client in log lines.
    explicit CPOP3ServerConnection(const std::string& peer);
    // After QUIT, removes the messages marked deleted; then lets the mailbox go.
    ~CPOP3ServerConnection() override;

    bool Process(bool& idle) override;
    bool GetPollRequest(int& descriptor, short& events) const override;

    // "+OK <product-name> <version>" with its line end.
    static std::string Greeting();
    // The sessions that exist at this moment, in any thread.
    static size_t GetLiveCount();

    // Answers one request line, already cut to the line limit, and returns the whole reply.
    std::string ProcessClientRequest(const std::string& line);
    // Appends the next slice of the message being sent, in wire form, to `output`. Returns
    // true while more of the message remains.
    bool ProcessServerResponseFile(std::string& output);
    bool IsSendingMessage() const { return static_cast<bool>(m_ResponseFile); }
    EState GetState() const { return m_State; }

private:
    class CRequestStream;

    // The largest piece of file or reply handed to the socket at once: the next piece is
    // taken only when the previous one has gone out, so a long message never piles up.
    static constexpr uint32_t SLICE = 65536;
    static constexpr uint32_t NO_LINE_LIMIT = 0xFFFFFFFFu;
    // How long a refused login waits for its reply, as established servers make it wait.
    static constexpr uint64_t FAILED_LOGIN_DELAY_US = 2000000;

    CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket, const std::string& peer);

    bool ProcessSending(bool& idle);
    void CheckRequestDeadline();

    std::string ProcessClientRequestAuthState(const std::string& command, CRequestStream& stream);
    std::string ProcessClientRequestTranState(const std::string& command, CRequestStream& stream);
    std::string ProcessUser(CRequestStream& stream);
    std::string ProcessPass(CRequestStream& stream);
    std::string ProcessTop(CRequestStream& stream);
    std::string ProcessRetr(CRequestStream& stream);
    std::string ProcessDele(CRequestStream& stream);
    std::string ProcessList(CRequestStream& stream);
    std::string ProcessRset();

    static bool ReadArgumentFromStream(CRequestStream& stream, std::string& argument, std::string& error);
    static bool ReadTwoArgumentsFromStream(CRequestStream& stream, std::string& first, std::string& second,
                                           std::string& error);

    bool AuthenticateLockMailBox(std::string& reply);
    bool Authenticate(std::string& reply);
    bool LockMailBox(std::string& reply);
    void LoadMailBox();
    // The live message of that number, or null with the error reply.
    CMailboxMessage* AccessMessage(const std::string& number, std::string& error);
    // The single argument of RETR, DELE or LIST as a live message, or null with the error reply.
    CMailboxMessage* ReadMessageArgument(CRequestStream& stream, std::string& number, std::string& error);
    void OpenResponseFile(const CMailboxMessage& message, uint32_t lineLimit);

    // Wire form of message text: whole reads, bytes of the current line, and its end.
    void ScanLines(const char* data, uint32_t length, std::string& output);
    void EmitLineText(const char* data, size_t length, std::string& output);
    bool EndLine(std::string& output);
    void FinishResponseFile(std::string& output);

    std::shared_ptr<CConnectedSocket> m_Socket;
    const std::string m_Peer;
    EState m_State = stateAUTHORIZATION;
    int m_Phase = 1;  // 1 while a reply is being sent, 0 while waiting for a request
    std::string m_UserName;
    std::string m_Password;
    std::string m_MailBox;
    std::shared_ptr<CFile> m_LockFile;
    std::vector<CMailboxMessage> m_Messages;  // oldest first; numbers are 1-based positions
    uint32_t m_Count = 0;
    uint64_t m_Total = 0;
    uint32_t m_Last = 0;

    // Since when part of a request line has been waiting (elapsed-time microseconds).
    bool m_RequestStarted = false;
    uint64_t m_RequestStartTime = 0;

    // A reply held back until a moment on the elapsed-time clock (microseconds).
    bool m_ReplyDelayed = false;
    uint64_t m_ReplyNotBefore = 0;

    // The reply being sent and how much of it the socket has taken.
    std::string m_Reply;
    size_t m_ReplySent = 0;
    std::string m_Piece;  // what one step hands the socket; kept to reuse its memory

    // The message file being sent and where its line scanner stands.
    std::shared_ptr<CFile> m_ResponseFile;
    std::unique_ptr<char[]> m_Buffer;
    bool m_InBody = false;
    uint32_t m_LineLimit = 0;
    bool m_AtLineStart = true;  // nothing of the current line has been sent yet
    bool m_PendingCR = false;   // a read ended in CR: a line end if the next read starts with LF
};

}  // namespace Nerra
