#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "mail/CPOP3Maildrop.h"
#include "runtime/CEvent.h"
#include "runtime/CWorkUnit.h"

namespace Nerra {

// Checks a POP3 login against the mail store: the user's account and password, then the
// mailbox, locked and listed. May take long: an account the console holds is waited for up
// to `accountWaitMs`, and a password hash may be slow to compute on purpose. Logs the login
// or why it failed, naming the peer.
CPOP3LoginOutcome CheckPOP3Login(const CPOP3Credentials& credentials, const std::string& peer,
                                 uint32_t accountWaitMs = 10000);

// One login check on a login thread, so that a slow one never holds up a network worker and
// the other sessions on it. The session that asked polls GetPollHandle and then takes the
// outcome; a session that has gone meanwhile simply drops its reference.
class CPOP3LoginJob : public CSequentialWorkUnit {
public:
    CPOP3LoginJob(CPOP3Credentials credentials, std::string peer);

    void Process() override;

    bool IsDone() const { return m_Done.load(std::memory_order_acquire); }
    // Readable once the check is done.
    int GetPollHandle() const { return m_DoneEvent.GetPollHandle(); }
    CPOP3LoginOutcome TakeOutcome() { return std::move(m_Outcome); }

private:
    const CPOP3Credentials m_Credentials;
    const std::string m_Peer;
    CPOP3LoginOutcome m_Outcome;
    std::atomic<bool> m_Done{false};
    CEvent m_DoneEvent{true};
};

// The threads that run login checks; started and stopped with the POP3 server.
void StartPOP3LoginThreads(uint32_t count);
void StopPOP3LoginThreads();
void PushPOP3Login(const std::shared_ptr<CPOP3LoginJob>& job);

}  // namespace Nerra
