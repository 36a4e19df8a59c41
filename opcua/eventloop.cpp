#include "opcua/eventloop.h"

#include "opcua/types.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace opcua {

namespace {

constexpr WatchId kTimerKey = 1;
constexpr WatchId kPostedKey = 2;
constexpr uint32_t kSlotBits = 24;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint32_t toEpoll(uint32_t events)
{
    return ((events & Readable) ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u) |
           ((events & Writable) ? uint32_t(EPOLLOUT) : 0u);
}

uint32_t fromEpoll(uint32_t events)
{
    return ((events & EPOLLIN) ? Readable : 0u) | ((events & EPOLLOUT) ? Writable : 0u) |
           ((events & (EPOLLHUP | EPOLLRDHUP)) ? Hangup : 0u) | ((events & EPOLLERR) ? Failed : 0u);
}

void addToEpoll(int epoll, int fd, uint32_t events, WatchId key)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        throw Error(status::BadResourceUnavailable,
                    std::string("cannot watch a descriptor: ") + std::strerror(errno));
}

} // namespace

Mailbox::~Mailbox()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void Mailbox::post(std::function<void()> work)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return;
    m_queue.push_back(std::move(work));
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
}

EventLoop::EventLoop() : m_mailbox(std::make_shared<Mailbox>()), m_readBuffer(64 * 1024)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    m_mailbox->m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_epoll < 0 || m_timerFd < 0 || m_mailbox->m_wakeFd < 0) {
        const std::string reason = std::strerror(errno);
        if (m_epoll >= 0)
            ::close(m_epoll);
        if (m_timerFd >= 0)
            ::close(m_timerFd);
        throw Error(status::BadResourceUnavailable, "cannot make an event loop: " + reason);
    }
    addToEpoll(m_epoll, m_timerFd, EPOLLIN, kTimerKey);
    addToEpoll(m_epoll, m_mailbox->m_wakeFd, EPOLLIN, kPostedKey);
}

EventLoop::~EventLoop()
{
    {
        std::lock_guard lock(m_mailbox->m_mutex);
        m_mailbox->m_closed = true;
        m_mailbox->m_queue.clear();
    }
    // Handlers and callbacks may own objects that unwatch or cancel as they go.
    auto watches = std::move(m_watches);
    watches.clear();
    auto timers = std::move(m_timers);
    timers.clear();
    ::close(m_timerFd);
    ::close(m_epoll);
}

std::chrono::milliseconds EventLoop::now() const
{
    return std::chrono::milliseconds(steadyNs() / 1000000);
}

// ---------------------------------------------------------------------------------------------
// Timers

TimerId EventLoop::start(std::chrono::milliseconds delay, std::function<void()> callback)
{
    uint32_t slot = 0;
    if (!m_freeTimers.empty()) {
        slot = m_freeTimers.back();
        m_freeTimers.pop_back();
    } else {
        if (m_timers.size() > kSlotMask)
            throw Error(status::BadResourceUnavailable, "too many timers");
        slot = uint32_t(m_timers.size());
        m_timers.emplace_back();
    }
    const TimerId id = (m_timerSequence++ << kSlotBits) | slot;
    m_timers[slot] = TimerSlot{id, std::move(callback)};
    ++m_liveTimers;
    const int64_t wait = std::max<int64_t>(0, delay.count());
    // Far deadlines are held at about 292 years, which is never for a panel.
    const int64_t at = steadyNs() + std::min<int64_t>(wait, int64_t{1} << 43) * 1000000;
    m_due.push_back({at, id});
    std::push_heap(m_due.begin(), m_due.end(), laterDue);
    if (m_armedAt == 0 || at < m_armedAt)
        armTimer();
    return id;
}

void EventLoop::cancel(TimerId id)
{
    const uint32_t slot = uint32_t(id & kSlotMask);
    if (id == 0 || slot >= m_timers.size() || m_timers[slot].id != id)
        return;
    m_timers[slot] = TimerSlot{};
    m_freeTimers.push_back(slot);
    --m_liveTimers;
    // Keep-alive restarts cancel a timer and start another many times over; without this the
    // heap would keep every cancelled entry until its far deadline.
    if (m_due.size() > 2 * m_liveTimers + 64)
        compactTimers();
}

void EventLoop::compactTimers()
{
    std::erase_if(m_due,
                  [this](const Due& due) { return m_timers[due.id & kSlotMask].id != due.id; });
    std::make_heap(m_due.begin(), m_due.end(), laterDue);
}

void EventLoop::armTimer()
{
    while (!m_due.empty() && m_timers[m_due.front().id & kSlotMask].id != m_due.front().id) {
        std::pop_heap(m_due.begin(), m_due.end(), laterDue);
        m_due.pop_back();
    }
    m_armedAt = m_due.empty() ? 0 : m_due.front().at;
    itimerspec deadline{};
    if (m_armedAt != 0) {
        deadline.it_value.tv_sec = m_armedAt / 1000000000;
        // A deadline of zero would disarm the timer rather than fire it.
        deadline.it_value.tv_nsec = std::max<int64_t>(m_armedAt % 1000000000, 1);
    }
    ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void EventLoop::runTimers()
{
    // Timers started by the callbacks of this pass wait for the next one, so a callback that
    // starts a timer of 0 ms cannot keep the loop here.
    const uint64_t startedBefore = m_timerSequence;
    const int64_t now = steadyNs();
    while (!m_due.empty() && m_due.front().at <= now) {
        const Due due = m_due.front();
        if ((due.id >> kSlotBits) >= startedBefore)
            break;
        std::pop_heap(m_due.begin(), m_due.end(), laterDue);
        m_due.pop_back();
        const uint32_t slot = uint32_t(due.id & kSlotMask);
        if (m_timers[slot].id != due.id)
            continue;
        std::function<void()> callback = std::move(m_timers[slot].callback);
        m_timers[slot] = TimerSlot{};
        m_freeTimers.push_back(slot);
        --m_liveTimers;
        callback();
    }
    armTimer();
}

// ---------------------------------------------------------------------------------------------
// Descriptors

WatchId EventLoop::watch(int fd, uint32_t events, Handler handler)
{
    const WatchId id = m_nextWatch++;
    addToEpoll(m_epoll, fd, toEpoll(events), id);
    m_watches.emplace(id, std::make_shared<Watch>(Watch{fd, std::move(handler)}));
    return id;
}

void EventLoop::change(WatchId id, uint32_t events)
{
    const auto it = m_watches.find(id);
    if (it == m_watches.end())
        return;
    epoll_event event{};
    event.events = toEpoll(events);
    event.data.u64 = id;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, it->second->fd, &event);
}

void EventLoop::unwatch(WatchId id)
{
    const auto it = m_watches.find(id);
    if (it == m_watches.end())
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second->fd, nullptr);
    // A handler running now holds its own reference; it goes when the handler returns.
    m_watches.erase(it);
}

// ---------------------------------------------------------------------------------------------
// Work from other threads

void EventLoop::runPosted()
{
    uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(m_mailbox->m_wakeFd, &count, sizeof count);
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(m_mailbox->m_mutex);
        work.swap(m_mailbox->m_queue);
    }
    for (auto& item : work)
        item();
}

// ---------------------------------------------------------------------------------------------
// Running

void EventLoop::runOnce(std::chrono::milliseconds wait)
{
    constexpr int kEvents = 64;
    epoll_event events[kEvents];
    const int timeout = wait.count() < 0 ? -1 : int(std::min<int64_t>(wait.count(), 1 << 30));
    const int n = ::epoll_wait(m_epoll, events, kEvents, timeout);
    bool timersDue = false;
    bool posted = false;
    for (int i = 0; i < n; ++i) {
        const WatchId key = events[i].data.u64;
        if (key == kTimerKey) {
            uint64_t expirations = 0;
            [[maybe_unused]] const auto read = ::read(m_timerFd, &expirations, sizeof expirations);
            timersDue = true;
            continue;
        }
        if (key == kPostedKey) {
            posted = true;
            continue;
        }
        const auto it = m_watches.find(key);
        if (it == m_watches.end())
            continue; // unwatched by an earlier handler of this pass
        const std::shared_ptr<Watch> watch = it->second;
        watch->handler(fromEpoll(events[i].events));
    }
    if (posted)
        runPosted();
    if (timersDue || (!m_due.empty() && m_due.front().at <= steadyNs()))
        runTimers();
}

void EventLoop::run()
{
    m_quit = false;
    while (!m_quit)
        runOnce(std::chrono::milliseconds(-1));
}

} // namespace opcua
