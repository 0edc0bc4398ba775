#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

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

    CInternetAddress named(std::string("localhost"));
    EXPECT_EQ(named.GetHostOrder(), 0x7F000001u);

    CInternetAddress number(0x7F000001u);
    EXPECT_EQ(number.GetName(), "localhost");
    EXPECT_EQ(CInternetAddress::DottedText(0xC0A80A01u), "192.168.10.1");

    // The any-address is named after this host, without a look-up that could only fail.
    testing::internal::CaptureStderr();
    CInternetAddress any(0u);
    const std::string log = testing::internal::GetCapturedStderr();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(any.GetName(), host);
    EXPECT_EQ(log, "");
}

TEST(CInternetPort, NumbersServiceNamesAndFailures)
{
    struct Case {
        const char* text;
        CInternetPort::Protocol protocol;
        uint16_t port;
    } cases[] = {
        {"110", CInternetPort::tcp, 110}, {"00110", CInternetPort::tcp, 110}, {"65535", CInternetPort::tcp, 65535},
        {"", CInternetPort::tcp, 0},      {"pop3", CInternetPort::tcp, 110},  {"domain", CInternetPort::udp, 53},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CInternetPort port(std::string(c.text), c.protocol);
        EXPECT_EQ(port.GetHostOrder(), c.port);
        EXPECT_EQ(port.GetName(), c.text);
    }
    EXPECT_EQ(CInternetPort(110, CInternetPort::tcp).GetName(), "pop3");
    EXPECT_EQ(CInternetPort(110, static_cast<CInternetPort::Protocol>(7)).GetName(), "110");

    // Six digits, a value too large, a sign and an unknown name all go to the service look-up.
    for (const char* text : {"123456", "65536", "+110", "no-such-service"}) {
        SCOPED_TRACE(text);
        ExpectFailure([&] { CInternetPort(std::string(text), CInternetPort::tcp); },
                      std::string("getservbyname('") + text + "', tcp) failed with WSAGetLastError=", true);
    }
}

TEST(CSocket, CreationFailures)
{
    ExpectFailure([] { CSocket(Loopback(), CInternetPort(0, static_cast<CInternetPort::Protocol>(0))); },
                  "Don't have any idea how to create 'unknown' sockets");
    CSocket listener(Loopback(), AnyPort());
    listener.Listen();
    const std::string port = listener.GetBoundPort().GetDecimalText();
    ExpectFailure([&] { CSocket(Loopback(), listener.GetBoundPort()); },
                  "bind(127.0.0.1:" + port + ") failed with WSAGetLastError=", true);
}

// Taking any peer (address 0, port 0) is what every factory test does; here only a
// filtered one is turned away.
TEST(CSocket, AcceptWithPortFilterClosesOtherPeers)
{
    CSocket listener(Loopback(), AnyPort());
    listener.Listen();
    std::shared_ptr<CSocket> accepted;
    EXPECT_FALSE(listener.Accept(AnyAddress(), AnyPort(), accepted));  // nothing pending
    CSocket stranger(Loopback(), AnyPort());
    ASSERT_TRUE(WaitUntil([&] { return stranger.Connect(Loopback(), listener.GetBoundPort()); }));
    const uint16_t strangerPort = stranger.GetBoundPort().GetHostOrder();
    const CInternetPort otherPort(static_cast<uint16_t>(strangerPort ^ 1), CInternetPort::tcp);
    bool strangerClosed = WaitUntil([&] {
        listener.Accept(AnyAddress(), otherPort, accepted);
        char byte;
        try {
            stranger.Recv(&byte, 1);
            return false;
        } catch (const std::exception&) {
            return true;
        }
    });
    EXPECT_TRUE(strangerClosed);
    EXPECT_FALSE(accepted);
}

TEST(CSocket, DatagramsFromOtherSendersAreDropped)
{
    CSocket receiver(Loopback(), AnyPort(CInternetPort::udp));
    CSocket expected(Loopback(), AnyPort(CInternetPort::udp));
    CSocket stranger(Loopback(), AnyPort(CInternetPort::udp));
    EXPECT_EQ(receiver.GetMaxDatagramSize(), 65507u);
    EXPECT_EQ(stranger.SendTo(Loopback(), receiver.GetBoundPort(), "no", 2), 2u);
    EXPECT_EQ(expected.SendTo(Loopback(), receiver.GetBoundPort(), "yes", 3), 3u);
    char buffer[8];
    uint32_t received = 0;
    ASSERT_TRUE(WaitUntil([&] {
        received = receiver.RecvFrom(Loopback(), expected.GetBoundPort(), buffer, sizeof(buffer));
        return received > 0;
    }));
    EXPECT_EQ(std::string(buffer, received), "yes");  // the stranger's datagram came first
}

TEST(CSocket, OwnLockSerialisesSharers)
{
    CSocket socket(Loopback(), AnyPort());
    ExpectFailure([&] { socket.Release(); }, "Invalid call to Release(), no prior call to Acquire()");
    ASSERT_TRUE(socket.Acquire(INFINITE_TIMEOUT));
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = socket.Acquire(0); }).join();
    EXPECT_FALSE(otherGotIt);
    socket.Release();
}
