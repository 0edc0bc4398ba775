#include "mail/CPOP3ClientSecret.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Trace.h"

extern char** environ;

namespace Nerra {

namespace {

// A secret is one line; a command that prints more than this before its first line end is
// not printing a secret.
constexpr size_t MAX_SECRET_LINE = 16384;

}  // namespace

CPOP3ClientSecret::CPOP3ClientSecret(const std::string& command, std::chrono::seconds limit)
    : m_Command(command), m_Deadline(std::chrono::steady_clock::now() + limit)
{
    NERRA_TRACE_BEGIN
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throw CMessageException("pipe2: %s", strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    // A group of its own, so that a command given up on is killed with whatever it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const char* argv[] = {"/bin/sh", "-c", m_Command.c_str(), nullptr};
    pid_t pid = -1;
    // The command's standard error stays the service's: a helper's complaint lands in the log.
    const int failed = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeEnds[1]);
    if (failed != 0) {
        close(pipeEnds[0]);
        throw CMessageException("posix_spawn /bin/sh: %s", strerror(failed));
    }
    m_Pid = pid;
    m_Pipe = pipeEnds[0];
    fcntl(m_Pipe, F_SETFL, fcntl(m_Pipe, F_GETFL) | O_NONBLOCK);
    NERRA_TRACE_END("CPOP3ClientSecret::CPOP3ClientSecret()")
}

CPOP3ClientSecret::~CPOP3ClientSecret() { Stop(); }

void CPOP3ClientSecret::Stop()
{
    if (m_Pipe >= 0)
        close(m_Pipe);
    m_Pipe = -1;
    if (m_Pid > 0) {
        kill(-m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
    m_Pid = -1;
}

bool CPOP3ClientSecret::Step()
{
    NERRA_TRACE_BEGIN
    if (m_Pid < 0)
        return !m_Secret.empty();
    if (std::chrono::steady_clock::now() >= m_Deadline) {
        Stop();
        throw CMessageException("The password command did not finish within its time limit");
    }
    while (m_Pipe >= 0) {
        char buffer[4096];
        const ssize_t got = read(m_Pipe, buffer, sizeof(buffer));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return false;
        if (got <= 0) {
            close(m_Pipe);
            m_Pipe = -1;
            break;
        }
        // Only the first line is kept; the rest is read to let the command finish.
        if (!m_LineComplete) {
            m_Output.append(buffer, static_cast<size_t>(got));
            m_LineComplete = m_Output.find('\n') != std::string::npos;
            if (!m_LineComplete && m_Output.size() > MAX_SECRET_LINE) {
                Stop();
                throw CMessageException("The password command printed no line end within %zu bytes",
                                        MAX_SECRET_LINE);
            }
        }
    }
    int status = 0;
    const pid_t ended = waitpid(m_Pid, &status, WNOHANG);
    if (ended == 0)
        return false;  // output closed, exit not yet seen: looked at again on the next step
    m_Pid = -1;
    if (ended < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw CMessageException("The password command failed (%s %d)",
                                ended > 0 && WIFSIGNALED(status) ? "signal" : "exit status",
                                ended > 0 ? (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)) : -1);
    std::string line = m_Output.substr(0, m_Output.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::string().swap(m_Output);
    if (line.empty())
        throw CMessageException("The password command printed no password");
    m_Secret = line;
    return true;
    NERRA_TRACE_END("CPOP3ClientSecret::Step()")
}

}  // namespace Nerra
