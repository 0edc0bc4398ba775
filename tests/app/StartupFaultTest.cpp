#include <gtest/gtest.h>

#include <cerrno>

#include "../TestUtil.h"
#include "app/Service.h"
#include "core/CConfig.h"
#include "core/CFile.h"

using namespace Nerra;
using namespace NerraTest;

// A leftover of .raw that the start-up sweep cannot move keeps its place, and the log says so.
TEST(StartupFault, ALeftoverThatCannotMoveStaysInRaw)
{
    TempDir dir;
    for (const char* box : {"alice/.raw", "alice/.spool", "alice/spam"})
        std::filesystem::create_directories(dir / box);
    WriteFile(dir / "alice/.raw/1.msg", "Subject: left\r\n\r\n");
    CConfig::Instance().SetValue("mail-directory", dir.Path());
    SetFileFault([](EFileCall call, const std::string&) { return call == EFileCall::Rename ? ENOSPC : 0; });
    const std::string log = Quietly([] { SpoolRawMessages(); });
    SetFileFault(nullptr);
    EXPECT_EQ(ReadFile(dir / "alice/.raw/1.msg"), "Subject: left\r\n\r\n");
    EXPECT_NE(log.find("Unable to move file"), std::string::npos) << log;
    EXPECT_NE(log.find("GetLastError=28"), std::string::npos) << log;

    SpoolRawMessages();  // the disk is well again
    EXPECT_TRUE(Exists(dir / "alice/.spool/1.msg"));
}
