#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Nerra {

// A byte queue for one direction of a connection: bytes are appended at the back and taken
// from the front, in blocks or as text lines. It grows by doubling from 1 KiB and refuses
// to grow beyond 1 MiB, so a peer that never ends a line cannot exhaust memory.
class CStreamBuffer {
public:
    static constexpr uint32_t INITIAL_CAPACITY = 1024;
    static constexpr uint32_t MAX_CAPACITY = 1048576;

    CStreamBuffer();
    CStreamBuffer(const CStreamBuffer&) = delete;
    CStreamBuffer& operator=(const CStreamBuffer&) = delete;

    // Appends all the bytes or, when they would pass the limit, none of them.
    void Write(const void* data, uint32_t length);
    // Takes up to length bytes from the front; a null buffer discards them.
    uint32_t Read(void* buffer, uint32_t length);
    // Takes one line ended by LF or CR LF (a lone CR is data) and returns its length plus
    // 1, so an empty line gives 1; 0 when no complete line is pending.
    uint32_t ReadLine(std::string* line);

    uint32_t GetSize() const { return m_Length; }
    const uint8_t* GetData() const { return m_Data.get() + m_Start; }

private:
    uint32_t m_Start = 0;
    uint32_t m_Length = 0;
    uint32_t m_Capacity = INITIAL_CAPACITY;
    std::unique_ptr<uint8_t[]> m_Data;
};

}  // namespace Nerra
