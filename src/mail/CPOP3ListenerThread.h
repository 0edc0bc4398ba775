#pragma once

#include <memory>

#include "runtime/CListenerThreadBase.h"

namespace Nerra {

// Accepts mail clients: every connection becomes a CPOP3ServerConnection.
class CPOP3ListenerThread : public CListenerThreadBase {
public:
    using CListenerThreadBase::CListenerThreadBase;

protected:
    std::shared_ptr<CParallelWorkUnit> CreateWorkUnit(const std::shared_ptr<CConnectedSocket>& connection) override;
};

// The process's POP3 listener: set by StartThreads, emptied by StopThreads.
std::shared_ptr<CPOP3ListenerThread>& POP3Listener();

}  // namespace Nerra
