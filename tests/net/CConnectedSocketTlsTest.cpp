#include <gtest/gtest.h>

#include <functional>
#include <poll.h>

// Only for a peer older than TLS 1.2, which the system itself never builds.
#include <openssl/ssl.h>

#include "net/CConnectedSocket.h"
#include "net/CTlsContext.h"
#include "net/NetTestUtil.h"
#include "net/TlsTestCerts.h"

using namespace Nerra;
using NerraTest::TestCerts;

namespace {

constexpr uint32_t PIECE = 65536;
constexpr int STALL_MS = 10000;

const CTlsContext& ServerContext(bool selfSigned = false)
{
    const NerraTest::TlsTestCerts& certs = TestCerts();
    static const auto trusted = CTlsContext::ForServer(certs.certificateFile, certs.keyFile);
    static const auto own = CTlsContext::ForServer(certs.selfSignedFile, certs.selfSignedKeyFile);
    return selfSigned ? *own : *trusted;
}

// One end run as a work unit runs it: queues its outgoing bytes a piece at a time, pushes
// them out, and takes what has arrived; an echoing end sends that back.
struct CEnd {
    std::shared_ptr<CConnectedSocket> socket;
    std::string outgoing;
    bool echo = false;
    size_t queued = 0;
    std::string received;
    std::string failure;  // what the end threw

    void Step()
    {
        if (!failure.empty())
            return;
        try {
            uint32_t pending = socket->Send(nullptr, 0);
            while (queued < outgoing.size() && pending < PIECE) {
                const uint32_t length = static_cast<uint32_t>(std::min<size_t>(PIECE, outgoing.size() - queued));
                socket->Send(outgoing.data() + queued, length);
                queued += length;
                pending = socket->Send(nullptr, 0);
            }
            std::string buffer(PIECE, '\0');
            // An echo stops taking input while its replies pile up, as the POP3 units do.
            for (uint32_t got = 0; pending < 4 * PIECE && (got = socket->Recv(&buffer[0], PIECE, xferUPTO, nullptr));) {
                received.append(buffer, 0, got);
                if (echo)
                    pending = socket->Send(buffer.data(), got);
            }
            socket->Send(nullptr, 0);
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }

    // What a worker polls for: input always, output while some is queued.
    pollfd Wait() const
    {
        if (!failure.empty())
            return {-1, 0, 0};
        const short wanted = static_cast<short>(POLLIN | (socket->HasPendingOutput() ? POLLOUT : 0));
        return {socket->GetPollDescriptor(), socket->GetPollEvents(wanted), 0};
    }
};

// Steps both ends until done() holds, sleeping in poll() on what each end asks for and
// stepping only an end whose wait ended, as a worker thread with that one unit would. False
// when nothing becomes ready for a long while: an end that asked for the wrong events stalls.
bool Exchange(CEnd& a, CEnd& b, const std::function<bool()>& done)
{
    pollfd waits[] = {{0, 0, POLLIN}, {0, 0, POLLIN}};
    for (;;) {
        if (waits[0].revents)
            a.Step();
        if (waits[1].revents)
            b.Step();
        if (done() || (!a.failure.empty() && !b.failure.empty()))
            return done();
        waits[0] = a.Wait();
        waits[1] = b.Wait();
        if (poll(waits, 2, STALL_MS) <= 0)
            return false;
    }
}

// Takes one line within the stall limit, as a unit woken for input would.
std::string RecvLine(CConnectedSocket& socket)
{
    std::string line;
    for (;;) {
        socket.Send(nullptr, 0);
        if (socket.Recv(nullptr, 0, xferLINE, &line) > 0)
            return line;
        const short wanted = static_cast<short>(POLLIN | (socket.HasPendingOutput() ? POLLOUT : 0));
        pollfd wait{socket.GetPollDescriptor(), socket.GetPollEvents(wanted), 0};
        if (poll(&wait, 1, STALL_MS) <= 0)
            return "(nothing came)";
    }
}

void SendNow(CConnectedSocket& socket, const std::string& text)
{
    socket.SendLine(text);
    EXPECT_EQ(socket.Send(nullptr, 0), 0u);
}

}  // namespace

TEST(TlsConnection, LinesAndAMebibyteTravelBothWays)
{
    CLoopbackPair pair = MakeLoopbackPair();
    pair.server->StartTlsServer(ServerContext());
    pair.client->StartTlsClient(*CTlsContext::ForClient(TestCerts().caFile), "127.0.0.1");
    EXPECT_TRUE(pair.client->IsTlsActive());
    EXPECT_FALSE(pair.client->IsTlsHandshakeComplete());

    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 7919) >> 5);
    CEnd client{pair.client, "USER bob\r\nPASS secret\r\n" + block};
    CEnd server{pair.server, "", true};
    ASSERT_TRUE(Exchange(client, server, [&] { return client.received.size() >= client.outgoing.size(); }))
        << client.failure << server.failure;
    EXPECT_TRUE(client.received == client.outgoing);
    EXPECT_TRUE(pair.client->IsTlsHandshakeComplete() && pair.server->IsTlsHandshakeComplete());

    // A client that goes says so in TLS, and the server hears it as the end of the session.
    client.socket.reset();
    pair.client.reset();
    client.failure = "gone";
    ASSERT_TRUE(Exchange(client, server, [&] { return !server.failure.empty(); }));
    EXPECT_EQ(server.failure, "SSL_read() failed: the peer closed the TLS session");
    EXPECT_EQ(pair.server->GetTlsFailure(), "the peer closed the TLS session");
}

TEST(TlsConnection, StlsAfterPlainLines)
{
    CLoopbackPair pair = MakeLoopbackPair();
    SendNow(*pair.client, "NOOP\r\nSTLS\r\n");
    EXPECT_EQ(RecvLine(*pair.server), "NOOP");
    EXPECT_EQ(RecvLine(*pair.server), "STLS");
    // The "+OK" waits in the queue, as small replies do, and must still leave in plain
    // before the server waits for the client's hello.
    EXPECT_GT(pair.server->SendLine("+OK Begin TLS negotiation\r\n"), 0u);
    pair.server->StartTlsServer(ServerContext());
    EXPECT_EQ(pair.server->GetPollEvents(POLLIN), POLLOUT);
    EXPECT_EQ(pair.server->Send(nullptr, 0), 0u);
    EXPECT_EQ(pair.server->GetPollEvents(POLLIN), POLLIN);

    EXPECT_EQ(RecvLine(*pair.client), "+OK Begin TLS negotiation");
    pair.client->StartTlsClient(*CTlsContext::ForClient(TestCerts().caFile), "localhost");
    EXPECT_EQ(pair.client->GetPollEvents(POLLIN), POLLOUT);  // the client speaks first

    CEnd client{pair.client, "USER bob\r\n"};
    CEnd server{pair.server, "+OK welcome back\r\n"};
    ASSERT_TRUE(Exchange(client, server, [&] { return server.received.size() == 10 && client.received.size() == 18; }))
        << client.failure << server.failure;
    EXPECT_EQ(server.received, "USER bob\r\n");
    EXPECT_EQ(client.received, "+OK welcome back\r\n");
}

TEST(TlsConnection, PlainInputAheadOfTheHandshakeFailsTheSwitch)
{
    CLoopbackPair pair = MakeLoopbackPair();
    SendNow(*pair.client, "STLS\r\nUSER evil\r\n");
    EXPECT_EQ(RecvLine(*pair.server), "STLS");
    ExpectFailure([&] { pair.server->StartTlsServer(ServerContext()); },
                  "11 bytes of plain input arrived ahead of the TLS handshake");
    EXPECT_FALSE(pair.server->IsTlsActive());
}

TEST(TlsConnection, ServerCertificateChecks)
{
    const NerraTest::TlsTestCerts& certs = TestCerts();
    const std::string verifyFailed = "certificate verify failed: ";
    const struct {
        const char* name;
        bool selfSigned;  // the server shows its self-signed certificate
        std::string caFile, host, pin, refusal;
    } cases[] = {
        {"trusted, by address", false, certs.caFile, "127.0.0.1", "", ""},
        {"trusted, by name", false, certs.caFile, "localhost", "", ""},
        {"pinned, authority unknown", false, certs.otherCaFile, "localhost", certs.fingerprint, ""},
        {"pinned self-signed for another name", true, certs.caFile, "localhost", certs.selfSignedFingerprint, ""},
        {"unknown authority", false, certs.otherCaFile, "localhost", "", "unable to get local issuer certificate"},
        {"another name", false, certs.caFile, "mail.example.org", "", "hostname mismatch"},
        {"another address", false, certs.caFile, "127.0.0.2", "", "IP address mismatch"},
        {"self-signed", true, certs.caFile, "elsewhere.example", "", "self-signed certificate"},
        {"another pin", false, certs.caFile, "localhost", certs.selfSignedFingerprint,
         "the server's certificate " + CTlsContext::NormalizeFingerprint(certs.fingerprint) + " is not the pinned " +
             CTlsContext::NormalizeFingerprint(certs.selfSignedFingerprint)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CLoopbackPair pair = MakeLoopbackPair();
        pair.server->StartTlsServer(ServerContext(c.selfSigned));
        pair.client->StartTlsClient(*CTlsContext::ForClient(c.caFile), c.host, c.pin);
        // Queued before the handshake: it must never leave unless the server passed.
        CEnd client{pair.client, "PASS secret\r\n"};
        CEnd server{pair.server};
        if (c.refusal.empty()) {
            EXPECT_TRUE(Exchange(client, server, [&] { return server.received == "PASS secret\r\n"; }))
                << client.failure << server.failure;
            continue;
        }
        EXPECT_TRUE(Exchange(client, server, [&] { return !client.failure.empty() && !server.failure.empty(); }));
        EXPECT_EQ(pair.client->GetTlsFailure(), verifyFailed + c.refusal);
        EXPECT_EQ(client.failure, "SSL_do_handshake() failed: " + verifyFailed + c.refusal);
        EXPECT_NE(pair.server->GetTlsFailure(), "");  // told by the client's alert
        EXPECT_EQ(server.received, "");
    }
}

TEST(TlsConnection, PeersOlderThanTls12AreRefused)
{
    const NerraTest::TlsTestCerts& certs = TestCerts();
    for (bool oursIsClient : {true, false}) {
        SCOPED_TRACE(oursIsClient ? "our client" : "our server");
        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> oldContext(
            SSL_CTX_new(oursIsClient ? TLS_server_method() : TLS_client_method()), &SSL_CTX_free);
        SSL_CTX_set_security_level(oldContext.get(), 0);  // where OpenSSL still allows TLS 1.1
        SSL_CTX_set_min_proto_version(oldContext.get(), TLS1_1_VERSION);
        SSL_CTX_set_max_proto_version(oldContext.get(), TLS1_1_VERSION);
        SSL_CTX_use_certificate_chain_file(oldContext.get(), certs.certificateFile.c_str());
        SSL_CTX_use_PrivateKey_file(oldContext.get(), certs.keyFile.c_str(), SSL_FILETYPE_PEM);

        CLoopbackPair pair = MakeLoopbackPair();
        CConnectedSocket& ours = oursIsClient ? *pair.client : *pair.server;
        std::unique_ptr<SSL, decltype(&SSL_free)> old(SSL_new(oldContext.get()), &SSL_free);
        SSL_set_fd(old.get(), (oursIsClient ? pair.server : pair.client)->GetPollDescriptor());
        if (oursIsClient) {
            SSL_set_accept_state(old.get());
            ours.StartTlsClient(*CTlsContext::ForClient(certs.caFile), "localhost");
        } else {
            SSL_set_connect_state(old.get());
            ours.StartTlsServer(ServerContext());
        }
        ETlsHandshake state = tlsPENDING;
        for (int step = 0; step < 1000 && state == tlsPENDING; ++step) {
            SSL_do_handshake(old.get());
            state = ours.ContinueTlsHandshake();
            pollfd wait{ours.GetPollDescriptor(), ours.GetPollEvents(POLLIN), 0};
            poll(&wait, 1, 10);
        }
        EXPECT_EQ(state, tlsFAILED);
        EXPECT_NE(ours.GetTlsFailure().find("protocol"), std::string::npos) << ours.GetTlsFailure();
    }
}
