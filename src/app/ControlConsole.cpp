#include "app/ControlConsole.h"

#include <boost/regex.hpp>

#include "core/CConfig.h"
#include "mail/FetchJobs.h"
#include "mail/LockPools.h"
#include "rules/CPython.h"
#include "core/TextUtils.h"
#include "core/Trace.h"
#include "runtime/CTimerThread.h"

namespace Nerra {

namespace {

// The console waits at most this long for a user or rule set to be let go.
constexpr uint32_t CONSOLE_LOCK_TIMEOUT = 1000;

enum class Command {
    Stop,
    Noop,
    ReloadUsers,
    LockUser,
    UnlockUser,
    LockRuleset,
    UnlockRuleset,
    CheckUser,
    GetConfig,
    ValidateRegex,
    ValidatePython,
    TrainFile,
};

struct CommandPattern {
    Command command;
    boost::regex pattern;
};

// Tried in this order; the first pattern that matches the whole line decides.
const std::vector<CommandPattern>& CommandPatterns()
{
    static const std::vector<CommandPattern> patterns = {
        {Command::Stop, boost::regex("^stop$")},
        {Command::Noop, boost::regex("^noop$")},
        {Command::ReloadUsers, boost::regex("^reload users$")},
        {Command::LockUser, boost::regex("^lock user ([[:word:]]{1,32})$")},
        {Command::UnlockUser, boost::regex("^unlock user ([[:word:]]{1,32})$")},
        {Command::LockRuleset, boost::regex("^lock ruleset ([[:word:]]{1,32})$")},
        {Command::UnlockRuleset, boost::regex("^unlock ruleset ([[:word:]]{1,32})$")},
        {Command::CheckUser, boost::regex("^check user ([[:word:]]{1,32})$")},
        {Command::GetConfig, boost::regex("^get config ([[:word:]]+(?:-[[:word:]]+)*)$")},
        {Command::ValidateRegex, boost::regex("^validate regex ([[:print:]]+)$")},
        {Command::ValidatePython, boost::regex("^validate python ([[:print:]]+)$")},
        {Command::TrainFile,
         boost::regex("^train file ([[:word:]]+(?:-[[:word:]]+)*)\\.[Mm][Ss][Gg] ([[:word:]]{1,32})$")},
    };
    return patterns;
}

std::string ValidateRegex(const std::string& expression)
{
    try {
        boost::regex compiled("^" + expression + "$");
        return "ok";
    } catch (const boost::regex_error& e) {
        CLog::Instance().Warning("Regular expression %s is invalid: %s", expression.c_str(), e.what());
        return std::string("err ") + e.what();
    }
}

std::string ValidatePython(const std::string& script)
{
    try {
        CPython::Instance().Execute(Replace(script, "{{x-nerra-crlf}}", "\n"), CScriptDictionary(), true);
        return "ok";
    } catch (const std::exception& e) {
        return std::string("err ") + e.what();
    }
}

// A reply is one line: a line break inside a setting's value would put the rest of the value
// where the controlling process reads the next reply. Every other byte is answered as stored.
std::string OneLine(const std::string& value)
{
    return Replace(Replace(value, "\r", "\\r"), "\n", "\\n");
}

template <class T>
std::string Lock(CLockablePool<T>& pool, const std::string& name, const char* busyReply)
{
    return pool.LockObject(name, CONSOLE_LOCK_TIMEOUT) ? "ok" : busyReply;
}

std::string Perform(Command command, const boost::smatch& groups)
{
    switch (command) {
    case Command::Stop:
        return std::string();  // answered by the loop once it has ended
    case Command::Noop:
        return "ok";
    case Command::ReloadUsers:
        UserPool().Clear();
        return "ok";
    case Command::LockUser:
        return Lock(UserPool(), groups[1], "err An attempt to lock user has timed out, the server is busy");
    case Command::UnlockUser:
        UserPool().UnlockObject(groups[1]);
        return "ok";
    case Command::LockRuleset:
        return Lock(RuleSetPool(), groups[1], "err An attempt to lock ruleset has timed out, the server is busy");
    case Command::UnlockRuleset:
        RuleSetPool().UnlockObject(groups[1]);
        return "ok";
    case Command::CheckUser:
        // Due at once; the reply does not wait for the fetch, which runs on the timer and workers.
        CTimerThread::Instance().PushCallback(
            std::make_shared<CTimerCallback>(0, TimerCallback_InitiateUserPOP3Session, groups[1], false));
        return "ok";
    case Command::GetConfig:
        return "ok " + OneLine(CConfig::Instance().GetValue(groups[1]));
    case Command::ValidateRegex:
        return ValidateRegex(groups[1]);
    case Command::ValidatePython:
        return ValidatePython(groups[1]);
    case Command::TrainFile:
        // Recorded in lower case: the spool job looks spool files up by their lower-cased name.
        TrainingTable().SetValue(ToLower(groups[1] + ".msg"), groups[2]);
        return "ok";
    }
    return "err";
}

}  // namespace

ControlResult HandleControlCommand(const std::string& line)
{
    ControlResult result;
    try {
        const std::string command = ValidateRegexedLine(line);
        boost::smatch groups;
        for (const CommandPattern& candidate : CommandPatterns()) {
            if (boost::regex_match(command, groups, candidate.pattern)) {
                result.stop = candidate.command == Command::Stop;
                result.reply = Perform(candidate.command, groups);
                return result;
            }
        }
        result.reply = "err";
    } catch (...) {
        LogFailure("SleepInControlLoop()");
    }
    return result;
}

void SleepInControlLoop(std::istream& input, std::ostream& output)
{
    NERRA_TRACE_BEGIN
    std::string line;
    // The end of input ends the loop as `stop` does: the controlling process has gone.
    while (std::getline(input, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        ControlResult result = HandleControlCommand(line);
        if (result.stop)
            break;
        if (result.reply)
            output << *result.reply << std::endl;
    }
    // The shutdown waits for jobs, and a job may be waiting for a user or rule set that the
    // console still holds locked.
    UserPool().UnlockAll();
    RuleSetPool().UnlockAll();
    output << "ok" << std::endl;
    NERRA_TRACE_END("SleepInControlLoop()")
}

}  // namespace Nerra
