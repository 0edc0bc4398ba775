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

// Polls the condition; the limit only bounds a failing test, so it is generous.
template <class Condition>
bool WaitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline CInternetAddress Loopback() { return CInternetAddress(std::string("127.0.0.1")); }
inline CInternetPort AnyPort() { return CInternetPort(std::string("0")); }

// Both ends of one loopback TCP connection.
struct CLoopbackPair {
    std::shared_ptr<CConnectedSocket> client;
    std::shared_ptr<CConnectedSocket> server;
};

inline CLoopbackPair MakeLoopbackPair()
{
    CServerSocketFactory server(Loopback(), AnyPort());
    CClientSocketFactory client(Loopback(), server.GetBoundPort());
    CLoopbackPair pair;
    EXPECT_TRUE(WaitUntil([&] { return client.Connect(pair.client); }));
    EXPECT_TRUE(WaitUntil([&] { return server.Connect(pair.server); }));
    return pair;
}

}  // namespace Nerra
