#pragma once

#include <chrono>
#include <string>

namespace Nerra {

// Runs a remote account's password command (through /bin/sh -c) in short non-blocking steps
// and takes the first line of its output: the password or OAuth2 access token, from a secret
// store or a token helper, so that it need not be written into user.xml. A command that
// fails, gives no line, or runs longer than its time limit fails the step that sees it, and
// is killed. The secret never appears in a failure text.
class CPOP3ClientSecret {
public:
    CPOP3ClientSecret(const std::string& command, std::chrono::seconds limit);
    // Kills a command still running.
    ~CPOP3ClientSecret();
    CPOP3ClientSecret(const CPOP3ClientSecret&) = delete;
    CPOP3ClientSecret& operator=(const CPOP3ClientSecret&) = delete;

    // One step; true once the secret is there.
    bool Step();
    const std::string& GetSecret() const { return m_Secret; }
    // The command's output pipe while it is read, for the caller's poll; -1 after.
    int GetPollDescriptor() const { return m_Pipe; }

private:
    void Stop();

    const std::string m_Command;
    std::chrono::steady_clock::time_point m_Deadline;
    int m_Pid = -1;
    int m_Pipe = -1;
    std::string m_Output;
    std::string m_Secret;
    bool m_LineComplete = false;
};

}  // namespace Nerra
