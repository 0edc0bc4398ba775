#include <cstdio>
#include <ctime>
#include <iostream>
#include <unistd.h>

#include "app/ControlConsole.h"
#include "app/Service.h"
#include "core/CConfig.h"
#include "core/CXMLDocument.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

using namespace Nerra;

int main(int argc, char** argv)
{
    SeedThreadRandom(static_cast<unsigned>(time(nullptr)) ^ CurrentThreadId());
    try {
        InitPerformanceCounter();
        XMLInit();
        CConfig::Instance().LoadFromXml(argc > 1 ? argv[1] : "config.xml");
        StartServices();
        CConfig& config = CConfig::Instance();
        CLog::Instance().Info("main(): %s %s started", config.GetValue("product-name").c_str(),
                              config.GetValue("version").c_str());
        SleepInControlLoop(std::cin, std::cout);
        CLog::Instance().Info("main(): shutting down...");
        StopServices();
    } catch (...) {
        CLog::Instance().Error("%s", TraceText(CurrentExceptionText().c_str(), "main()").c_str());
        // Services may be half started with their threads running: end the process as it
        // stands rather than tear the services down under their feet.
        fflush(stdout);
        _exit(0);
    }
    return 0;
}
