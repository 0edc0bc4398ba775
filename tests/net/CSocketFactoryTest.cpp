#include <gtest/gtest.h>

#include <fcntl.h>

#include "net/CSocketFactory.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

TEST(CServerSocketFactory, BlockingAcceptHandsOutNonBlockingConnection)
{
    auto server = LoopbackServer();
    server->SetBlocking(true);
    auto clientFactory = ClientOf(*server);
    auto client = ConnectWithin(*clientFactory);
    ASSERT_TRUE(client);
    std::shared_ptr<CConnectedSocket> accepted;
    ASSERT_TRUE(server->Connect(accepted));  // returns at once: the connection is queued
    EXPECT_NE(fcntl(accepted->GetPollDescriptor(), F_GETFL) & O_NONBLOCK, 0);
    std::string line;
    EXPECT_EQ(accepted->Recv(nullptr, 0, xferLINE, &line), 0u);
}

TEST(CClientSocketFactory, RefusedConnectionIsTheFailedToConnectException)
{
    // A bound socket that does not listen holds the port, so nobody else can accept there.
    CSocket closedPort(Loopback(), AnyPort());
    CClientSocketFactory client(Loopback(), closedPort.GetBoundPort());
    std::shared_ptr<CConnectedSocket> connection;
    EXPECT_THROW(WaitUntil([&] { return client.Connect(connection); }), CSocket::CFailedToConnectException);
    EXPECT_FALSE(connection);
}

TEST(CClientSocketFactory, EachConnectMakesANewConnection)
{
    auto server = LoopbackServer();
    auto factory = ClientOf(*server);
    const uint16_t firstLocalPort = factory->GetBoundPort().GetHostOrder();
    auto first = ConnectWithin(*factory);
    EXPECT_NE(factory->GetBoundPort().GetHostOrder(), firstLocalPort);  // a fresh socket
    auto second = ConnectWithin(*factory);
    ASSERT_TRUE(first && second);
    auto acceptedFirst = ConnectWithin(*server);
    auto acceptedSecond = ConnectWithin(*server);
    ASSERT_TRUE(acceptedFirst && acceptedSecond);
    EXPECT_EQ(acceptedFirst->GetPeerAddress().GetName(), "127.0.0.1");

    first->SendLine("one\r\n");
    second->SendLine("two\r\n");
    first->Send(nullptr, 0);
    second->Send(nullptr, 0);
    std::string one, two;
    EXPECT_TRUE(WaitUntil([&] { return acceptedFirst->Recv(nullptr, 0, xferLINE, &one) > 0; }));
    EXPECT_TRUE(WaitUntil([&] { return acceptedSecond->Recv(nullptr, 0, xferLINE, &two) > 0; }));
    EXPECT_EQ(one, "one");
    EXPECT_EQ(two, "two");
}
