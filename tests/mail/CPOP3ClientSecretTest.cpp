#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>

#include "TestUtil.h"
#include "mail/CPOP3ClientSecret.h"

using namespace Nerra;
using namespace NerraTest;

namespace {

// Steps the command as the connection would, waiting on its pipe meanwhile; the failure
// text, or "=" and the secret.
std::string RunCommand(const std::string& command, int limitSeconds)
{
    try {
        CPOP3ClientSecret secret(command, std::chrono::seconds(limitSeconds));
        while (!secret.Step()) {
            pollfd wait{secret.GetPollDescriptor(), POLLIN, 0};
            poll(&wait, wait.fd >= 0 ? 1 : 0, 10);
        }
        return "=" + secret.GetSecret();
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace

TEST(POP3ClientSecret, TheFirstLineOfASuccessfulCommandIsTheSecret)
{
    const struct {
        const char* command;
        std::string result;
    } cases[] = {
        {"printf 'tok en\\r\\nsecond line\\n'", "=tok en"},
        {"printf 'no line end'", "=no line end"},
        {"echo; echo late", "The password command printed no password"},
        {"echo secret; exit 3", "The password command failed (exit status 3)"},
        {"kill -9 $$", "The password command failed (signal 9)"},
        {"head -c 100000 /dev/zero | tr '\\0' x", "The password command printed no line end within 16384 bytes"},
        // The command's output stays open past the limit: it is killed, not waited for.
        {"sleep 60 & sleep 60; echo late", "The password command did not finish within its time limit"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunCommand(c.command, c.result.find("time limit") != std::string::npos ? 1 : 30).substr(0, c.result.size()),
                  c.result)
            << c.command;
}
