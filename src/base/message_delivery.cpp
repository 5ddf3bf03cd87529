#include "base/message_delivery.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostics.h"
#include "base/messages.h"
#include "base/sync.h"
#include "platform/text.h"

namespace sonaflux {
namespace {

thread_local bool t_moduleThread = false;

struct Entry {
    int32_t severity = 0;
    const char* format = nullptr;
    uint32_t droppedBefore = 0;  // messages dropped just before this one got in
    char text[kReportBufferBytes] = {};
};

// The queue and its delivery thread. A plain std::thread, not one of the platform layer's:
// it may sit in the host's callback for any time, and the software device's manual clock
// must not count it among the workers it waits for.
class Delivery {
public:
    Queued Push(int32_t severity, const char* format, const char* text);
    void SetCallback(MusicMessageCallback callback, void* context);
    void StopForTeardown();
    DeliveryCounts Figures() {
        const std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Counts;
    }

private:
    void Run();
    void Deliver(const Entry& entry, uint32_t dropped);
    void StopAndJoin(std::unique_lock<std::mutex>& lock);

    std::mutex m_Mutex;
    std::condition_variable m_Wake;      // the delivery thread: a message, or stop
    std::condition_variable m_Progress;  // setters and teardown: a message was handed out
    std::vector<Entry> m_Ring;
    uint32_t m_Head = 0;
    uint32_t m_Count = 0;
    uint32_t m_PendingDropped = 0;  // dropped since the last message that got in
    uint64_t m_Taken = 0;           // messages taken out of the queue
    DeliveryCounts m_Counts;
    MusicMessageCallback m_Callback = nullptr;
    void* m_Context = nullptr;
    bool m_InCallback = false;
    bool m_Stop = false;
    bool m_Returned = false;
    std::thread m_Thread;
    Entry m_Current;  // the delivery thread's copy of the message it hands out
};

Delivery& TheDelivery() {
    // Never destroyed: the thread may outlive static destruction at process exit.
    alignas(Delivery) static unsigned char storage[sizeof(Delivery)];
    static Delivery* const delivery = new (storage) Delivery;
    return *delivery;
}

Queued Delivery::Push(int32_t severity, const char* format, const char* text) {
    const std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Callback == nullptr || m_Ring.empty()) return Queued::NoCallback;
    if (m_Count == m_Ring.size()) {
        ++m_PendingDropped;
        ++m_Counts.dropped;
        return Queued::Dropped;
    }
    Entry& entry = m_Ring[(m_Head + m_Count) % m_Ring.size()];
    entry.severity = severity;
    entry.format = format;
    entry.droppedBefore = m_PendingDropped;
    std::snprintf(entry.text, sizeof entry.text, "%s", text);
    m_PendingDropped = 0;
    ++m_Count;
    ++m_Counts.queued;
    m_Wake.notify_one();
    return Queued::Yes;
}

void Delivery::Run() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_Stop || m_Count > 0 || m_PendingDropped > 0; });
        if (m_Stop) break;
        uint32_t dropped = 0;
        bool hasEntry = false;
        if (m_Count > 0) {
            m_Current = m_Ring[m_Head];
            m_Head = (m_Head + 1) % static_cast<uint32_t>(m_Ring.size());
            --m_Count;
            ++m_Taken;
            dropped = m_Current.droppedBefore;
            hasEntry = true;
        } else {
            dropped = m_PendingDropped;  // the queue ran empty after an overflow
            m_PendingDropped = 0;
        }
        m_InCallback = true;
        lock.unlock();
        if (!hasEntry) m_Current.format = nullptr;
        Deliver(m_Current, dropped);
        lock.lock();
        m_InCallback = false;
        if (hasEntry) ++m_Counts.delivered;
        m_Progress.notify_all();
    }
    m_Returned = true;
    m_Progress.notify_all();
}

void Delivery::Deliver(const Entry& entry, uint32_t dropped) {
    // The callback is read without the lock: setters change it only while no message is
    // being handed out (they wait for m_InCallback to clear).
    const MusicMessageCallback callback = m_Callback;
    void* const context = m_Context;
    auto send = [&](int32_t severity, const char* format, const char* text) {
        try {
            const std::string utf8 = Cp932ToUtf8(text);
            const MusicMessage message{severity, MessageId(format), text, utf8.c_str()};
            if (callback != nullptr) callback(context, &message);
        } catch (...) {
            // No memory for the UTF-8 copy, or a callback that threw: the next one goes on.
        }
    };
    if (dropped > 0) {
        char text[kReportBufferBytes];
        std::snprintf(text, sizeof text, msg::kMessagesDropped, static_cast<unsigned>(dropped));
        send(MusicMessage::kDebug, msg::kMessagesDropped, text);
        WriteDebugOutput(text);
    }
    if (entry.format == nullptr) return;
    send(entry.severity, entry.format, entry.text);
    if (entry.severity == MusicMessage::kBox) ShowSystemBox(entry.text);
}

void Delivery::StopAndJoin(std::unique_lock<std::mutex>& lock) {
    m_Stop = true;
    m_Wake.notify_all();
    lock.unlock();
    m_Thread.join();
    lock.lock();
    // What got in while the callback was being removed is not handed to anyone; its
    // debugger lines went to the debugger output when they were raised.
    m_Head = m_Count = m_PendingDropped = 0;
    m_Stop = false;
}

void Delivery::SetCallback(MusicMessageCallback callback, void* context) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (m_Thread.joinable()) {
        // What was queued before this call belongs to the previous callback.
        const uint64_t target = m_Taken + m_Count;
        m_Progress.wait(lock, [&] { return m_Taken >= target && !m_InCallback; });
    }
    m_Callback = callback;
    m_Context = context;
    if (callback == nullptr) {
        if (m_Thread.joinable()) StopAndJoin(lock);
        return;
    }
    if (m_Thread.joinable()) return;
    try {
        if (m_Ring.empty()) m_Ring.resize(kMessageQueueSlots);
        m_Returned = false;
        m_Thread = std::thread(&Delivery::Run, this);
    } catch (...) {
        // No thread or no memory: the module's threads report as before, on their own.
        m_Ring.clear();
    }
}

void Delivery::StopForTeardown() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Callback = nullptr;
    if (!m_Thread.joinable()) return;
    switch (CurrentTeardown()) {
        case Teardown::ProcessExit:  // the thread went with the process
            m_Thread.detach();
            return;
        case Teardown::LibraryUnload:
            // The thread cannot end under the loader lock: wait for its entry to return.
            m_Stop = true;
            m_Wake.notify_all();
            m_Progress.wait_for(lock, std::chrono::milliseconds(CThreadObject::kUnloadWaitMs),
                                [this] { return m_Returned; });
            m_Thread.detach();
            return;
        case Teardown::None:
            StopAndJoin(lock);
            return;
    }
}

}  // namespace

void MarkModuleThread() {
    t_moduleThread = true;
}

bool IsModuleThread() {
    return t_moduleThread;
}

Queued QueueMessage(int32_t severity, const char* format, const char* text) {
    return TheDelivery().Push(severity, format, text);
}

void SetDeliveryCallback(MusicMessageCallback callback, void* context) {
    TheDelivery().SetCallback(callback, context);
}

void StopDeliveryForTeardown() {
    TheDelivery().StopForTeardown();
}

DeliveryCounts DeliveryFigures() {
    return TheDelivery().Figures();
}

}  // namespace sonaflux
