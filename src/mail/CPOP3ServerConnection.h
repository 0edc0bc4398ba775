#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mail/CPOP3Login.h"
#include "mail/CPOP3ServerSession.h"
#include "net/CConnectedSocket.h"
#include "net/CTlsContext.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

// How the server meets its clients on one listening port.
struct CPOP3ServerSettings {
    std::shared_ptr<const CTlsContext> tls;  // null: no TLS at all
    bool implicitTls = false;                // TLS from the first byte (the pop3s port)
    bool requireTls = false;                 // passwords only over TLS, but from loopback
};

// Serves one POP3 client in short non-blocking steps on the parallel pool. It only moves
// bytes: request lines go to a CPOP3ServerSession and its replies, message text included,
// go back. Requests a client sends ahead are answered back to back, and the replies of such
// a batch leave together once no whole request is left waiting. A login is checked on a
// login thread meanwhile. Touched only by the worker thread that owns it.
class CPOP3ServerConnection : public CParallelWorkUnit {
public:
    // Wraps an accepted, non-blocking connection and queues the greeting on it.
    CPOP3ServerConnection(std::shared_ptr<CConnectedSocket> socket, const CPOP3ServerSettings& settings);
    ~CPOP3ServerConnection() override;

    bool Process(bool& idle) override;
    bool GetPollRequest(int& descriptor, short& events) const override;

    // "+OK <product-name> <version>" with its line end.
    static std::string Greeting();
    // The sessions that exist at this moment, in any thread.
    static size_t GetLiveCount();

private:
    // How long a refused login waits for its reply, as established servers make it wait.
    static constexpr uint64_t FAILED_LOGIN_DELAY_US = 2000000;

    bool StepHandshake(bool& idle);
    void Answer(CPOP3Reply reply);
    void Queue(const std::string& text);
    void SendMessageSlice();
    void StartTls();
    void CheckRequestDeadline();

    std::shared_ptr<CConnectedSocket> m_Socket;
    const std::shared_ptr<const CTlsContext> m_Tls;
    const std::string m_Peer;
    CPOP3ServerSession m_Session;

    bool m_Handshaking = false;
    bool m_Closing = false;
    std::shared_ptr<CPOP3LoginJob> m_Login;  // the login being checked
    std::unique_ptr<CPOP3MessageEncoder> m_Message;  // the message being sent
    std::string m_Piece;  // what one step hands the socket; kept to reuse its memory

    // A reply held back until a moment on the elapsed-time clock (microseconds).
    bool m_ReplyDelayed = false;
    uint64_t m_ReplyNotBefore = 0;
    std::string m_DelayedReply;

    // Since when part of a request line has been waiting (elapsed-time microseconds).
    bool m_RequestStarted = false;
    uint64_t m_RequestStartTime = 0;
};

}  // namespace Nerra
