#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/CPOP3Maildrop.h"

namespace Nerra {

// What a session may offer, fixed when the connection is made.
struct CPOP3SessionOptions {
    std::string implementation;  // the product name CAPA shows
    bool tlsOffered = false;     // STLS can switch the connection to TLS
    bool tlsActive = false;      // the connection is already protected
    bool tlsRequired = false;    // passwords are taken over TLS only
};

// A session's answer to one request: the reply text and what the connection does next.
struct CPOP3Reply {
    enum EAction {
        actNONE,          // send the text
        actSEND_MESSAGE,  // send the text, then the message
        actCHECK_LOGIN,   // check GetCredentials() and hand the outcome to FinishLogin
        actSTART_TLS,     // send the text, then start the TLS handshake as its server
        actCLOSE          // send the text, then close the connection
    };
    std::string text;
    EAction action = actNONE;
    std::unique_ptr<CPOP3MessageEncoder> message;
    bool delayed = false;  // a refused login: answered only after a pause
};

// The POP3 dialogue of one client, without a socket: a request line in, a reply out, each
// command a short handler found in a table. Logins are checked by the caller (they may be
// slow) and the mailbox is reached through CPOP3Maildrop, so every command is testable from
// strings. Touched by one thread at a time.
class CPOP3ServerSession {
public:
    enum EState { stateAUTHORIZATION, stateTRANSACTION, stateCLOSING };

    explicit CPOP3ServerSession(CPOP3SessionOptions options);

    // Answers one request line, already cut to the line limit.
    CPOP3Reply Request(const std::string& line);
    // The reply to the login that Request asked to check.
    CPOP3Reply FinishLogin(CPOP3LoginOutcome outcome);

    // The login being given; the user name stays until the login fails or is abandoned.
    const CPOP3Credentials& GetCredentials() const { return m_Credentials; }
    EState GetState() const { return m_State; }
    // The line as the log may show it: no password or authentication response.
    std::string LoggableRequest(const std::string& line) const;

private:
    using CArguments = std::vector<std::string>;
    using CHandler = CPOP3Reply (CPOP3ServerSession::*)(const CArguments&);
    struct CCommand {
        const char* name;
        unsigned states;  // bits of EState
        CHandler handler;
    };
    struct CMessage {
        const CPOP3MessageEntry* entry;  // owned by the maildrop
        bool deleted = false;
    };
    static const CCommand COMMANDS[];

    CPOP3Reply Unexpected();
    bool CredentialsAllowed() const { return !m_Options.tlsRequired || m_Options.tlsActive; }
    CPOP3Reply ForgetUser(const char* reply);
    CPOP3Reply CheckLogin(const std::string& user, const std::string& password);
    CPOP3Reply SaslResponse(const std::string& response);

    CPOP3Reply Capa(const CArguments& arguments);
    CPOP3Reply Quit(const CArguments& arguments);
    CPOP3Reply User(const CArguments& arguments);
    CPOP3Reply Pass(const CArguments& arguments);
    CPOP3Reply Auth(const CArguments& arguments);
    CPOP3Reply Stls(const CArguments& arguments);
    CPOP3Reply Stat(const CArguments& arguments);
    CPOP3Reply List(const CArguments& arguments);
    CPOP3Reply Uidl(const CArguments& arguments);
    CPOP3Reply Top(const CArguments& arguments);
    CPOP3Reply Retr(const CArguments& arguments);
    CPOP3Reply Dele(const CArguments& arguments);
    CPOP3Reply Rset(const CArguments& arguments);
    CPOP3Reply Last(const CArguments& arguments);
    CPOP3Reply Noop(const CArguments& arguments);

    // The live message a single argument names, or null with the error reply.
    CMessage* MessageArgument(const CArguments& arguments, std::string& error);
    CMessage* AccessMessage(const std::string& number, std::string& error);
    CPOP3Reply SendMessage(CMessage& message, uint32_t lineLimit, std::string text);

    CPOP3SessionOptions m_Options;
    EState m_State = stateAUTHORIZATION;
    CPOP3Credentials m_Credentials;
    bool m_AwaitingSaslResponse = false;
    std::unique_ptr<CPOP3Maildrop> m_Maildrop;
    std::vector<CMessage> m_Messages;  // numbers are 1-based positions
    uint32_t m_Count = 0;
    uint64_t m_Total = 0;
    uint32_t m_Last = 0;
};

}  // namespace Nerra
