#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "net/CConnectedSocket.h"
#include "net/CSocketFactory.h"

namespace Nerra {

// Runs the call and checks that it fails with this message, or only begins with it when
// the rest (an error number) depends on the system.
template <class Call>
void ExpectFailure(Call call, const std::string& message, bool prefixOnly = false)
{
    try {
        call();
        ADD_FAILURE() << "no failure, expected: " << message;
    } catch (const std::exception& e) {
        EXPECT_EQ(prefixOnly ? std::string(e.what()).substr(0, message.size()) : e.what(), message) << e.what();
    }
}

// Polls the condition for at most two seconds; every network wait in the tests is bounded.
template <class Condition>
bool WaitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline CInternetAddress Loopback() { return CInternetAddress(std::string("127.0.0.1")); }
inline CInternetAddress AnyAddress() { return CInternetAddress(std::string("0.0.0.0")); }
inline CInternetPort AnyPort() { return CInternetPort(std::string("0")); }

// A listening server factory on a loopback port the system picks.
inline std::shared_ptr<CServerSocketFactory> LoopbackServer()
{
    return std::make_shared<CServerSocketFactory>(Loopback(), AnyPort());
}

inline std::shared_ptr<CClientSocketFactory> ClientOf(const CSocketFactory& server)
{
    return std::make_shared<CClientSocketFactory>(Loopback(), server.GetBoundPort());
}

// Polls a factory until it hands out a connection; null when none came in time.
inline std::shared_ptr<CConnectedSocket> ConnectWithin(CSocketFactory& factory)
{
    std::shared_ptr<CConnectedSocket> connection;
    WaitUntil([&] { return factory.Connect(connection); });
    return connection;
}

// Both ends of one loopback TCP connection.
struct CLoopbackPair {
    std::shared_ptr<CConnectedSocket> client;
    std::shared_ptr<CConnectedSocket> server;
};

inline CLoopbackPair MakeLoopbackPair()
{
    auto server = LoopbackServer();
    CLoopbackPair pair{ConnectWithin(*ClientOf(*server)), nullptr};
    pair.server = ConnectWithin(*server);
    EXPECT_TRUE(pair.client && pair.server);
    return pair;
}

}  // namespace Nerra
