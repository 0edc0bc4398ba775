#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/CInternetAddress.h"
#include "net/CInternetPort.h"
#include "net/CSocket.h"
#include "net/CStreamBuffer.h"

namespace Nerra {

// How Recv delivers: exactly the length asked for, whatever is there up to the length, or
// one text line.
enum ETransferMode { xferEXACT = 0, xferUPTO = 1, xferLINE = 2 };

// "exact", "upto" or "line".
const char* TransferModeName(ETransferMode mode);

// A connection as the POP3 units see it: buffered, never-blocking transfers over a socket,
// with an inactivity clock. A call that cannot complete now returns 0 and the caller tries
// again on a later step. Used by one work unit, on one thread at a time.
class CConnectedSocket {
public:
    static constexpr int32_t DEFAULT_INACTIVITY_TIMEOUT = 120;  // seconds

    virtual ~CConnectedSocket();
    CConnectedSocket(const CConnectedSocket&) = delete;
    CConnectedSocket& operator=(const CConnectedSocket&) = delete;

    // Queues the bytes and sends what the socket takes; returns the count still queued.
    // With no data it only pushes queued output out.
    virtual uint32_t Send(const void* data, uint32_t length) = 0;
    // Returns the count delivered (for lines, the line's length plus 1), or 0 for nothing yet.
    virtual uint32_t Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line) = 0;

    // The caller includes the line end.
    uint32_t SendLine(const std::string& text);
    void SetBlocking(bool blocking);
    CInternetAddress GetPeerAddress() const;

    // Returns the previous time-out, and fails at once when the new one has already run out.
    int32_t SetInactivityTimeout(int32_t seconds);
    void Touch();
    // True once half the time-out has passed without traffic: time to flush or keep alive.
    bool IsHalfIdle() const;
    int32_t GetInactivityTimeout() const { return m_InactivityTimeout; }
    // Received bytes not yet delivered, such as the start of a line still to be completed.
    bool HasPendingInput() const { return m_Input && m_Input->GetSize() > 0; }

    // For a caller that waits on many connections: poll this descriptor for input, and for
    // writability too while output is queued.
    int GetPollDescriptor() const;
    bool HasPendingOutput() const;

protected:
    CConnectedSocket(std::shared_ptr<CSocket> socket, bool hasInput, bool hasOutput);

    // Fails with "Inactivity timeout" once the time-out has passed without traffic.
    void CheckInactivity() const;
    static void ValidateRecvArguments(const void* buffer, uint32_t length, ETransferMode mode, const std::string* line);

    std::shared_ptr<CStreamBuffer> m_Input;   // empty for kinds that only send
    std::shared_ptr<CStreamBuffer> m_Output;  // empty for kinds that only receive
    std::shared_ptr<CSocket> m_Socket;
    std::unique_ptr<uint8_t[]> m_Scratch;  // RECV_CHUNK bytes, for kinds that read the socket
    int64_t m_LastActivity;                // seconds on the monotonic clock
    int32_t m_InactivityTimeout = DEFAULT_INACTIVITY_TIMEOUT;

    static constexpr uint32_t RECV_CHUNK = 65536;
    static constexpr uint32_t FLUSH_THRESHOLD = 65536;
};

// The TCP connection the POP3 client and server talk through. Small writes are coalesced
// until more than 64 KiB are queued, half the time-out has passed, or an empty Send flushes.
class CConnectedStreamSocket : public CConnectedSocket {
public:
    explicit CConnectedStreamSocket(std::shared_ptr<CSocket> socket);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line) override;
};

// Sends one datagram to a fixed peer over a socket it may share with other senders.
class CConnectedDatagramClientSocket : public CConnectedSocket {
public:
    CConnectedDatagramClientSocket(std::shared_ptr<CSocket> socket, const CInternetAddress& peerAddress,
                                   const CInternetPort& peerPort);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line) override;

private:
    CInternetAddress m_PeerAddress;
    CInternetPort m_PeerPort;
};

// Serves the contents of one received datagram; nothing more ever arrives.
class CConnectedDatagramServerSocket : public CConnectedSocket {
public:
    CConnectedDatagramServerSocket(std::shared_ptr<CSocket> socket, const void* data, uint32_t length);

    uint32_t Send(const void* data, uint32_t length) override;
    uint32_t Recv(void* buffer, uint32_t length, ETransferMode mode, std::string* line) override;
};

}  // namespace Nerra
