#include <cstdio>
#include <ctime>
#include <iostream>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/ControlConsole.h"
#include "app/ControlSignals.h"
#include "app/Explain.h"
#include "app/Check.h"
#include "app/HashPassword.h"
#include "app/Service.h"
#include "core/CConfig.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

using namespace Nerra;

namespace {

// Everything but running the service; returns the exit status.
int RunOtherAction(const CommandLine& commandLine)
{
    switch (commandLine.action) {
    case CommandLine::Action::Help:
        std::cout << UsageText();
        return 0;
    case CommandLine::Action::Version:
        std::cout << CConfig::ProductName() << ' ' << CConfig::Version() << std::endl;
        return 0;
    case CommandLine::Action::HashPassword:
        return RunHashPassword(commandLine.hashMethod);
    case CommandLine::Action::Explain:
        return RunExplain(commandLine.configPath, commandLine.user, commandLine.messagePath, commandLine.json,
                          commandLine.headerOnly);
    case CommandLine::Action::Check:
        return RunCheck(commandLine.configPath);
    case CommandLine::Action::UsageError:
    case CommandLine::Action::RunService:
        break;
    }
    std::cerr << "nerra-mail-filter: " << commandLine.error << "\n\n" << UsageText();
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    SeedThreadRandom(static_cast<unsigned>(time(nullptr)) ^ CurrentThreadId());
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLine commandLine = ParseCommandLine(arguments);
    if (commandLine.action != CommandLine::Action::RunService)
        return RunOtherAction(commandLine);
    try {
        if (!commandLine.console)
            BlockControlSignals();
        XMLInit();
        CConfig::Instance().LoadFromXml(commandLine.configPath);
        StartServices();
        CConfig& config = CConfig::Instance();
        CLog::Instance().Info("main(): %s %s started", config.GetValue("product-name").c_str(),
                              config.GetValue("version").c_str());
        if (commandLine.console)
            SleepInControlLoop(std::cin, std::cout);
        else
            WaitForStopSignal();
        CLog::Instance().Info("main(): shutting down...");
        StopServices();
    } catch (...) {
        LogFailure("main()");
        // Services may be half started with their threads running: end the process as it
        // stands rather than tear the services down under their feet.
        fflush(stdout);
        _exit(0);
    }
    return 0;
}
