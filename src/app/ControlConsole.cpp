#include "app/ControlConsole.h"

#include <boost/regex.hpp>

#include "core/CConfig.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

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

std::string Perform(Command command, const boost::smatch& groups)
{
    switch (command) {
    case Command::Stop:
        return std::string();  // answered by the loop once it has ended
    case Command::Noop:
        return "ok";
    case Command::GetConfig:
        return "ok " + CConfig::Instance().GetValue(groups[1]);
    default:
        return "err";  // not served yet
    }
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
        CLog::Instance().Error("%s", TraceText(CurrentExceptionText().c_str(), "SleepInControlLoop()").c_str());
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
    output << "ok" << std::endl;
    NERRA_TRACE_END("SleepInControlLoop()")
}

}  // namespace Nerra
