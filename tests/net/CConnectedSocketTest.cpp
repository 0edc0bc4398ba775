#include <gtest/gtest.h>

#include <chrono>
#include <poll.h>
#include <thread>

#include "net/CConnectedSocket.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

namespace {

bool PollFor(const CConnectedSocket& socket, short events)
{
    pollfd entry{socket.GetPollDescriptor(), events, 0};
    return poll(&entry, 1, 2000) == 1;
}

void SendNow(CConnectedSocket& socket, const std::string& text)
{
    socket.Send(text.data(), static_cast<uint32_t>(text.size()));
    EXPECT_EQ(socket.Send(nullptr, 0), 0u);
}

// Waits for input and then takes one line, as a work unit woken by the pool would.
uint32_t RecvLineWhenReadable(CConnectedSocket& socket, std::string& line)
{
    uint32_t result = 0;
    WaitUntil([&] { return PollFor(socket, POLLIN) && (result = socket.Recv(nullptr, 0, xferLINE, &line)) > 0; });
    return result;
}

}  // namespace

TEST(CConnectedSocket, LinesArrivingInPieces)
{
    CLoopbackPair pair = MakeLoopbackPair();
    std::string line;
    EXPECT_EQ(pair.server->Recv(nullptr, 0, xferLINE, &line), 0u);
    SendNow(*pair.client, "USER bob\r");
    ASSERT_TRUE(PollFor(*pair.server, POLLIN));
    EXPECT_EQ(pair.server->Recv(nullptr, 0, xferLINE, &line), 0u);  // the CR may start a CR LF
    SendNow(*pair.client, "\n\r\nPASS a\rb\nNOOP");
    EXPECT_EQ(RecvLineWhenReadable(*pair.server, line), 9u);
    EXPECT_EQ(line, "USER bob");
    EXPECT_EQ(pair.server->Recv(nullptr, 0, xferLINE, &line), 1u);
    EXPECT_EQ(line, "");
    EXPECT_EQ(pair.server->Recv(nullptr, 0, xferLINE, &line), 9u);
    EXPECT_EQ(line, "PASS a\rb");
    EXPECT_EQ(pair.server->Recv(nullptr, 0, xferLINE, &line), 0u);
}

TEST(CConnectedSocket, UptoTakesWhatIsThere)
{
    CLoopbackPair pair = MakeLoopbackPair();
    char buffer[8] = {};
    SendNow(*pair.client, "abcdefg");
    ASSERT_TRUE(PollFor(*pair.server, POLLIN));
    uint32_t got = 0;
    ASSERT_TRUE(WaitUntil([&] { return (got = pair.server->Recv(buffer, 5, xferUPTO, nullptr)) > 0; }));
    EXPECT_EQ(std::string(buffer, got), "abcde");
    EXPECT_EQ(pair.server->Recv(buffer, sizeof(buffer), xferUPTO, nullptr), 2u);
    EXPECT_EQ(std::string(buffer, 2), "fg");
    EXPECT_EQ(pair.server->Recv(buffer, sizeof(buffer), xferUPTO, nullptr), 0u);
}

TEST(CConnectedSocket, InvalidRecvArguments)
{
    CLoopbackPair pair = MakeLoopbackPair();
    char byte;
    CConnectedSocket& server = *pair.server;
    ExpectFailure([&] { server.Recv(nullptr, 4, xferUPTO, nullptr); }, "Invalid buffer with xferEXACT or xferUPTO");
    ExpectFailure([&] { server.Recv(&byte, 0, xferUPTO, nullptr); }, "Invalid buffer with xferEXACT or xferUPTO");
    ExpectFailure([&] { server.Recv(&byte, 1, xferLINE, nullptr); }, "Null pointer to a string with xferLINE");
    ExpectFailure([&] { server.Recv(&byte, 1, static_cast<ETransferMode>(9), nullptr); }, "not reached");
}

TEST(CConnectedSocket, SmallWritesWaitForFlushLargeOnesGoOut)
{
    CLoopbackPair pair = MakeLoopbackPair();
    EXPECT_EQ(pair.client->SendLine("+OK ready\r\n"), 11u);
    EXPECT_TRUE(pair.client->HasPendingOutput());
    EXPECT_EQ(pair.client->Send(nullptr, 0), 0u);
    EXPECT_FALSE(pair.client->HasPendingOutput());
    std::string line;
    EXPECT_EQ(RecvLineWhenReadable(*pair.server, line), 10u);
    EXPECT_EQ(line, "+OK ready");

    const std::string block(70000, 'x');  // more than 64 KiB queued sends at once
    EXPECT_LT(pair.client->Send(block.data(), static_cast<uint32_t>(block.size())), block.size());
}

TEST(CConnectedSocket, PeerGoneFailsRecvAndSend)
{
    CLoopbackPair pair = MakeLoopbackPair();
    pair.server.reset();
    std::string line;
    ExpectFailure([&] { RecvLineWhenReadable(*pair.client, line); }, "recv() returned reset connection", true);
    std::string failure;
    WaitUntil([&] {
        try {
            SendNow(*pair.client, "more\r\n");
            return false;
        } catch (const std::exception& e) {
            failure = e.what();
            return true;
        }
    });
    EXPECT_EQ(failure.find("send() "), 0u) << failure;
}

TEST(CConnectedSocket, InactivityTimeout)
{
    CLoopbackPair idle = MakeLoopbackPair();
    CLoopbackPair halfIdle = MakeLoopbackPair();
    EXPECT_EQ(idle.server->SetInactivityTimeout(1), CConnectedSocket::DEFAULT_INACTIVITY_TIMEOUT);
    EXPECT_EQ(halfIdle.client->SetInactivityTimeout(3), CConnectedSocket::DEFAULT_INACTIVITY_TIMEOUT);
    EXPECT_FALSE(halfIdle.client->IsHalfIdle());
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));

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

TEST(CConnectedSocket, DestructionReportsDiscardedBytes)
{
    CLoopbackPair pair = MakeLoopbackPair();
    SendNow(*pair.client, "xyz\n");
    char byte;
    ASSERT_TRUE(WaitUntil([&] { return pair.server->Recv(&byte, 1, xferUPTO, nullptr) > 0; }));
    pair.server->SendLine("unsent\r\n");
    testing::internal::CaptureStderr();
    pair.server.reset();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("WARNING Pending input: 3 bytes discarded"), std::string::npos) << log;
    EXPECT_NE(log.find("WARNING Pending output: 8 bytes discarded"), std::string::npos) << log;
}
