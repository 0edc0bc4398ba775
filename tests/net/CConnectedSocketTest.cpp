#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net/CConnectedSocket.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

TEST(CConnectedSocket, SmallWritesWaitForAFlushOrALargeQueue)
{
    CLoopbackPair pair = MakeLoopbackPair();
    EXPECT_EQ(pair.client->SendLine("+OK ready\r\n"), 11u);
    EXPECT_EQ(pair.client->Send(nullptr, 0), 0u);
    std::string line;
    EXPECT_TRUE(WaitUntil([&] { return pair.server->Recv(nullptr, 0, xferLINE, &line) > 0; }));
    EXPECT_EQ(line, "+OK ready");
    const std::string block(70000, 'x');  // more than 64 KiB queued sends at once
    EXPECT_LT(pair.client->Send(block.data(), static_cast<uint32_t>(block.size())), block.size());
}

TEST(CConnectedSocket, PeerGoneFailsRecvAndSend)
{
    CLoopbackPair pair = MakeLoopbackPair();
    pair.server.reset();
    std::string line, failure;
    ExpectFailure([&] { WaitUntil([&] { return pair.client->Recv(nullptr, 0, xferLINE, &line) > 0; }); },
                  "recv() returned reset connection", true);
    WaitUntil([&] {
        try {
            pair.client->SendLine("more\r\n");
            pair.client->Send(nullptr, 0);
            return false;
        } catch (const std::exception& e) {
            return !(failure = e.what()).empty();
        }
    });
    EXPECT_EQ(failure.find("send() "), 0u) << failure;
}

TEST(CConnectedSocket, InactivityTimeout)
{
    CLoopbackPair idle = MakeLoopbackPair();
    CLoopbackPair halfIdle = MakeLoopbackPair();
    EXPECT_EQ(idle.server->SetInactivityTimeout(1), CConnectedSocket::DEFAULT_INACTIVITY_TIMEOUT);
    halfIdle.client->SetInactivityTimeout(3);
    EXPECT_FALSE(halfIdle.client->IsHalfIdle());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // the clock counts whole seconds

    std::string line;
    ExpectFailure([&] { idle.server->Recv(nullptr, 0, xferLINE, &line); }, "Inactivity timeout 1 seconds");
    ExpectFailure([&] { idle.server->Send(nullptr, 0); }, "Inactivity timeout 1 seconds");
    ExpectFailure([&] { idle.server->SetInactivityTimeout(1); }, "Inactivity timeout 1 seconds");
    idle.server->Touch();
    EXPECT_EQ(idle.server->Send(nullptr, 0), 0u);

    // Past half the time-out a single small write goes out at once.
    EXPECT_TRUE(halfIdle.client->IsHalfIdle());
    EXPECT_EQ(halfIdle.client->SendLine("NOOP\r\n"), 0u);
    EXPECT_FALSE(halfIdle.client->IsHalfIdle());
}
