#pragma once

#include "opcua/io.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace opcua {

// What a watched descriptor is ready for, or what happened to it.
enum IoEvent : uint32_t {
    Readable = 1u << 0,
    Writable = 1u << 1,
    Hangup = 1u << 2, // the peer closed or reset; reading tells which
    Failed = 1u << 3, // an error is pending on the descriptor
};

using WatchId = uint64_t;

// Where other threads leave work for a loop. A thread keeps it as long as it needs; once the
// loop is gone, what is posted is dropped.
class Mailbox
{
public:
    ~Mailbox();
    void post(std::function<void()> work);

private:
    friend class EventLoop;
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_queue;
    int m_wakeFd = -1;
    bool m_closed = false;
};

// The protocol's event loop, on the thread that runs it: readiness of descriptors (epoll,
// level-triggered), single-shot timers, and work handed over by other threads. It is also the
// Clock the protocol code takes, so one object gives a program its sockets and its time.
//
// A program runs it with run(); a program with an event loop of its own polls descriptor()
// and calls runOnce(0ms) whenever it is readable, on the same thread.
class EventLoop : public Clock
{
public:
    using Handler = std::function<void(uint32_t events)>;

    EventLoop();
    ~EventLoop() override;

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    std::chrono::milliseconds now() const override;
    TimerId start(std::chrono::milliseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;
    size_t pendingTimers() const { return m_liveTimers; }

    // Calls handler with the IoEvents of fd while it is watched: those in `events` (Readable,
    // Writable) and always Hangup and Failed. The descriptor stays the caller's to close,
    // after unwatch. A handler may unwatch any watch, its own included.
    WatchId watch(int fd, uint32_t events, Handler handler);
    void change(WatchId id, uint32_t events);
    void unwatch(WatchId id);

    // Runs work on the loop's thread during a later pass. Any thread may call it.
    void post(std::function<void()> work) { m_mailbox->post(std::move(work)); }
    // For a thread that may outlive the loop.
    std::shared_ptr<Mailbox> mailbox() const { return m_mailbox; }

    // Dispatches what is ready, first waiting up to `wait` for something to be (0: no wait,
    // negative: as long as it takes).
    void runOnce(std::chrono::milliseconds wait);
    // Runs until quit() is called from something it dispatches.
    void run();
    void quit() { m_quit = true; }

    // Readable whenever runOnce would find something to do.
    int descriptor() const { return m_epoll; }

    // A buffer for one read at a time, shared by every socket of the loop.
    std::vector<uint8_t>& readBuffer() { return m_readBuffer; }

private:
    struct Watch
    {
        int fd;
        Handler handler;
    };
    struct TimerSlot
    {
        TimerId id = 0;
        std::function<void()> callback;
    };
    struct Due
    {
        int64_t at; // steady-clock nanoseconds
        TimerId id;
    };
    // The heap keeps the earliest deadline in front.
    static bool laterDue(const Due& a, const Due& b) { return a.at > b.at; }

    void runTimers();
    void armTimer();
    void compactTimers();
    void runPosted();

    int m_epoll = -1;
    int m_timerFd = -1;
    std::shared_ptr<Mailbox> m_mailbox;

    std::unordered_map<WatchId, std::shared_ptr<Watch>> m_watches;
    WatchId m_nextWatch = 16; // the keys below are the loop's own descriptors

    // Timers: slots reused through a free list and a binary heap of deadlines, so starting a
    // timer allocates nothing once the vectors have grown. A cancelled timer's heap entry stays
    // until it comes up or the heap is compacted; its id no longer matches its slot.
    std::vector<TimerSlot> m_timers;
    std::vector<uint32_t> m_freeTimers;
    std::vector<Due> m_due;
    size_t m_liveTimers = 0;
    uint64_t m_timerSequence = 1;
    int64_t m_armedAt = 0; // 0: the timer descriptor is not armed

    std::vector<uint8_t> m_readBuffer;
    bool m_quit = false;
};

} // namespace opcua
