#include <gtest/gtest.h>

#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CSocket.h"
#include "net/NetTestUtil.h"

using namespace Nerra;

TEST(CInternetAddress, ResolutionRules)
{
    CInternetAddress dotted(std::string("127.0.0.1"));
    EXPECT_EQ(dotted.GetHostOrder(), 0x7F000001u);
    EXPECT_EQ(dotted.GetName(), "127.0.0.1");  // a look-up would have named it "localhost"
    EXPECT_EQ(CInternetAddress(std::string("localhost")).GetHostOrder(), 0x7F000001u);
    // A number is named by its dotted text: no look-up on a thread that serves many peers.
    EXPECT_EQ(CInternetAddress(0xC0A80A01u).GetName(), "192.168.10.1");
}

TEST(CInternetPort, NumbersServiceNamesAndFailures)
{
    struct Case {
        const char* text;
        uint16_t port;
    } cases[] = {{"110", 110}, {"00110", 110}, {"65535", 65535}, {"", 0}, {"pop3", 110}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CInternetPort port{std::string(c.text)};
        EXPECT_EQ(port.GetHostOrder(), c.port);
        EXPECT_EQ(port.GetName(), c.text);
    }
    // Six digits, a value too large, a sign and an unknown name all go to the service look-up.
    for (const char* text : {"123456", "65536", "+110", "no-such-service"})
        ExpectFailure([&] { CInternetPort{std::string(text)}; },
                      std::string("getservbyname('") + text + "', tcp) failed with WSAGetLastError=", true);
}

TEST(CSocket, ATakenPortFailsToBindAndARefusedConnectionIsTheFailedToConnectException)
{
    CSocket listener(Loopback(), AnyPort());
    listener.Listen();
    const std::string port = listener.GetBoundPort().GetDecimalText();
    ExpectFailure([&] { CSocket(Loopback(), listener.GetBoundPort()); },
                  "bind(127.0.0.1:" + port + ") failed with WSAGetLastError=", true);

    // A bound socket that does not listen holds the port, so nobody else can accept there.
    CSocket closedPort(Loopback(), AnyPort());
    CClientSocketFactory client(Loopback(), closedPort.GetBoundPort());
    std::shared_ptr<CConnectedSocket> connection;
    EXPECT_THROW(WaitUntil([&] { return client.Connect(connection); }), CSocket::CFailedToConnectException);
    EXPECT_FALSE(connection);
}
