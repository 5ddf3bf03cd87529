#include "base/sync.h"

#include "base/diagnostics.h"
#include "base/faults.h"
#include "base/messages.h"

namespace sonaflux {

bool CEventObject::Create(const char* name) {
    Close();
    m_Handle = CreateEventA(nullptr, FALSE, FALSE, name);
    if (m_Handle == nullptr || FaultFires(FaultPoint::EventCreate)) {
        if (m_Handle) CloseHandle(m_Handle);
        m_Handle = nullptr;
        ErrorBox(msg::kEventCreateFailed);
        return false;
    }
    ResetEvent(m_Handle);
    return true;
}

bool CEventObject::Set() {
    if (m_Handle == nullptr) return false;
    if (FaultFires(FaultPoint::EventSet)) return false;
    return SetEvent(m_Handle) == TRUE;
}

BOOL CEventObject::Close() {
    if (m_Handle == nullptr) return FALSE;
    ResetEvent(m_Handle);
    const BOOL closed = CloseHandle(m_Handle);
    m_Handle = nullptr;
    return closed;
}

bool CThreadObject::Start(ThreadEntry entry, void* parameter) {
    Close();
    uintptr_t h = 0;
    if (!FaultFires(FaultPoint::ThreadStart)) {
        unsigned id = 0;
        h = _beginthreadex(nullptr, 0, entry, parameter, 0, &id);
    }
    if (h == 0) {
        ErrorBox(msg::kThreadCreateFailed);
        return false;
    }
    m_Handle = reinterpret_cast<HANDLE>(h);
    return true;
}

bool CThreadObject::SetPriority(int priority) {
    if (m_Handle == nullptr) return false;
    if (FaultFires(FaultPoint::ThreadPriority)) return false;
    return SetThreadPriority(m_Handle, priority) != 0;
}

bool CThreadObject::IsRunning() const {
    return m_Handle != nullptr && WaitForSingleObject(m_Handle, 0) == WAIT_TIMEOUT;
}

bool CThreadObject::Wait(DWORD milliseconds) const {
    return m_Handle != nullptr && WaitForSingleObject(m_Handle, milliseconds) == WAIT_OBJECT_0;
}

void CThreadObject::Close() {
    if (m_Handle == nullptr) return;
    CloseHandle(m_Handle);
    m_Handle = nullptr;
}

}  // namespace sonaflux
