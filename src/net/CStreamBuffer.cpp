#include "net/CStreamBuffer.h"

#include <cstring>

#include "core/Trace.h"

namespace Nerra {

CStreamBuffer::CStreamBuffer() : m_Data(new uint8_t[INITIAL_CAPACITY]) {}

void CStreamBuffer::Write(const void* data, uint32_t length)
{
    NERRA_TRACE_BEGIN
    if (!data || length == 0)
        throw CMessageException("Null data pointer or zero data length");
    const uint64_t needed = static_cast<uint64_t>(m_Length) + length;
    if (needed > m_Capacity) {
        uint64_t capacity = m_Capacity;
        while (capacity < needed) {
            capacity *= 2;
            if (capacity > MAX_CAPACITY)
                throw CMessageException("Buffer size may not exceed %u", MAX_CAPACITY);
        }
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (m_Length > 0)
            memcpy(grown.get(), m_Data.get() + m_Start, m_Length);
        m_Data = std::move(grown);
        m_Capacity = static_cast<uint32_t>(capacity);
        m_Start = 0;
    } else if (m_Start + needed > m_Capacity) {
        // Compact only when the tail is too short: moving bytes on every read would cost
        // more than the rare move here.
        memmove(m_Data.get(), m_Data.get() + m_Start, m_Length);
        m_Start = 0;
    }
    memcpy(m_Data.get() + m_Start + m_Length, data, length);
    m_Length += length;
    NERRA_TRACE_END("CStreamBuffer::Write(" NERRA_PTR ", %u)", NERRA_PTR_ARG(data), length)
}

uint32_t CStreamBuffer::Read(void* buffer, uint32_t length)
{
    NERRA_TRACE_BEGIN
    if (length == 0)
        throw CMessageException("Invalid argument: zero buffer size");
    const uint32_t count = length < m_Length ? length : m_Length;
    if (count == 0)
        return 0;
    if (buffer)
        memcpy(buffer, m_Data.get() + m_Start, count);
    m_Start += count;
    m_Length -= count;
    if (m_Length == 0)
        m_Start = 0;
    return count;
    NERRA_TRACE_END("CStreamBuffer::Read(" NERRA_PTR ", %u)", NERRA_PTR_ARG(buffer), length)
}

uint32_t CStreamBuffer::ReadLine(std::string* line)
{
    NERRA_TRACE_BEGIN
    const uint8_t* data = GetData();
    const void* found = m_Length > 0 ? memchr(data, '\n', m_Length) : nullptr;
    if (!found)
        return 0;
    const uint32_t feed = static_cast<uint32_t>(static_cast<const uint8_t*>(found) - data);
    const uint32_t end = feed > 0 && data[feed - 1] == '\r' ? feed - 1 : feed;
    if (line)
        line->assign(reinterpret_cast<const char*>(data), end);
    Read(nullptr, feed + 1);
    return end + 1;
    NERRA_TRACE_END("CStreamBuffer::ReadLine(" NERRA_PTR ")", NERRA_PTR_ARG(line))
}

}  // namespace Nerra
