#include "opcua/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace opcua {

namespace {

std::string errorText(int error)
{
    return std::strerror(error);
}

// What a failed socket call means for the stream: the peer went away, or something else broke.
StatusCode statusOfError(int error)
{
    return error == EPIPE || error == ECONNRESET ? status::BadConnectionClosed
                                                 : status::BadCommunicationError;
}

// Sends as much of bytes as the socket takes now. `error` stays 0 unless the socket failed.
size_t sendSome(int fd, ByteView bytes, int& error)
{
    error = 0;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += size_t(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            error = errno;
        break;
    }
    return sent;
}

// A socket being let go: it sends what was still queued, says goodbye (FIN) and waits for the
// peer's, reading and dropping whatever still comes, so that the kernel does not answer unread
// bytes with a reset that would swallow the last message. kLinger bounds it all.
struct Linger
{
    EventLoop& loop;
    int fd;
    ByteBuffer out;
    size_t start = 0;
    WatchId watch = 0;
    TimerId deadline = 0;

    ~Linger()
    {
        loop.cancel(deadline);
        ::close(fd);
    }

    // Once all is sent, the peer has a second to close its end; a peer that never does must
    // not hold a descriptor for long.
    void sayGoodbye()
    {
        ::shutdown(fd, SHUT_WR);
        loop.change(watch, Readable);
        loop.cancel(deadline);
        deadline = loop.start(std::chrono::seconds(1), [this] { loop.unwatch(watch); });
    }

    void onEvents(uint32_t events)
    {
        if (events & (Hangup | Failed)) {
            loop.unwatch(watch);
            return;
        }
        if (events & Writable) {
            int error = 0;
            start += sendSome(fd, ByteView(out).subspan(start), error);
            if (error != 0) {
                loop.unwatch(watch);
                return;
            }
            if (start == out.size())
                sayGoodbye();
        }
        if (events & Readable) {
            std::vector<uint8_t>& buffer = loop.readBuffer();
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                loop.unwatch(watch);
        }
    }
};

void linger(EventLoop& loop, int fd, ByteBuffer out, size_t start)
{
    auto state = std::make_shared<Linger>(loop, fd, std::move(out), start);
    const bool pending = state->start < state->out.size();
    state->watch = loop.watch(fd, pending ? Readable | Writable : Readable,
                              [state](uint32_t events) { state->onEvents(events); });
    Linger* raw = state.get();
    if (pending)
        raw->deadline = loop.start(TcpStream::kLinger, [raw] { raw->loop.unwatch(raw->watch); });
    else
        raw->sayGoodbye();
}

bool parseLiteral(const std::string& host, uint16_t port, SocketAddress& address)
{
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (::inet_pton(AF_INET, bare.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        address.length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (::inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        address.length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

void setNoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// SocketAddress

std::string SocketAddress::host() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (storage.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return text;
}

uint16_t SocketAddress::port() const
{
    if (storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// HostLookup

struct HostLookup::State
{
    std::mutex mutex;
    bool dropped = false;
    Done done;
};

std::unique_ptr<HostLookup> HostLookup::start(EventLoop& loop, const std::string& host,
                                              uint16_t port, Done done)
{
    auto state = std::make_shared<State>();
    state->done = std::move(done);
    auto answer = [state](std::vector<SocketAddress> addresses, std::string error) {
        Done done;
        {
            std::lock_guard lock(state->mutex);
            if (state->dropped)
                return;
            done = std::move(state->done);
        }
        done(std::move(addresses), std::move(error));
    };
    SocketAddress literal;
    if (parseLiteral(host, port, literal)) {
        loop.post([answer, literal] { answer({literal}, {}); });
        return std::unique_ptr<HostLookup>(new HostLookup(state));
    }
    // The thread holds what it needs by value: the loop may be gone when it ends, and its
    // mailbox then drops the answer.
    std::thread([mailbox = loop.mailbox(), answer, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int result =
            ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        std::vector<SocketAddress> addresses;
        std::string error;
        if (result != 0)
            error = "host " + host + " not found: " + ::gai_strerror(result);
        for (const addrinfo* a = found; a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            SocketAddress address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = a->ai_addrlen;
            addresses.push_back(address);
        }
        if (found)
            ::freeaddrinfo(found);
        mailbox->post(
            [answer, addresses = std::move(addresses), error = std::move(error)]() mutable {
                answer(std::move(addresses), std::move(error));
            });
    }).detach();
    return std::unique_ptr<HostLookup>(new HostLookup(state));
}

HostLookup::~HostLookup()
{
    std::lock_guard lock(m_state->mutex);
    m_state->dropped = true;
}

// ---------------------------------------------------------------------------------------------
// TcpStream

TcpStream::TcpStream(EventLoop& loop) : m_loop(loop) {}

TcpStream::TcpStream(EventLoop& loop, int fd, const SocketAddress& peer)
    : m_loop(loop), m_state(State::Open), m_fd(fd), m_peer(peer)
{
    setNoDelay(m_fd);
    watchFor(Readable);
}

TcpStream::~TcpStream()
{
    close();
}

void TcpStream::connectTo(const std::string& host, uint16_t port)
{
    release();
    m_state = State::Resolving;
    // An IP address needs no lookup: the connection starts now. Its outcome is still told from
    // the loop, never from inside this call.
    SocketAddress literal;
    if (parseLiteral(host, port, literal)) {
        m_addresses = {literal};
        m_nextAddress = 0;
        m_lastError.clear();
        tryNextAddress(Report::Later);
        return;
    }
    m_lookup = HostLookup::start(m_loop, host, port,
                                 [this](std::vector<SocketAddress> addresses, std::string error) {
                                     m_addresses = std::move(addresses);
                                     m_nextAddress = 0;
                                     m_lastError = std::move(error);
                                     tryNextAddress(Report::Now);
                                 });
}

void TcpStream::tryNextAddress(Report report)
{
    while (m_nextAddress < m_addresses.size()) {
        const SocketAddress& address = m_addresses[m_nextAddress++];
        m_fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_fd < 0) {
            m_lastError = errorText(errno);
            continue;
        }
        setNoDelay(m_fd);
        m_peer = address;
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) ==
                0 ||
            errno == EINPROGRESS) {
            m_state = State::Connecting;
            watchFor(Writable);
            return;
        }
        m_lastError = errorText(errno) + " (" + peerAddress() + ")";
        ::close(m_fd);
        m_fd = -1;
    }
    const std::string reason = m_lastError.empty() ? "no address to connect to" : m_lastError;
    if (report == Report::Later)
        failLater(status::BadNotConnected, reason);
    else
        fail(status::BadNotConnected, reason);
}

void TcpStream::onConnecting(uint32_t events)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0 && !(events & Failed)) {
        m_state = State::Open;
        watchFor(m_outStart < m_out.size() ? Readable | Writable : Readable);
        notifyConnected();
        return;
    }
    m_lastError = errorText(error ? error : ECONNREFUSED) + " (" + peerAddress() + ")";
    ::close(detachSocket());
    m_state = State::Resolving;
    tryNextAddress(Report::Now);
}

void TcpStream::onEvents(uint32_t events)
{
    if (m_state == State::Connecting) {
        onConnecting(events);
        return;
    }
    if (m_state != State::Open)
        return;
    if (events & Writable) {
        if (!flush())
            return;
    }
    // A hang-up may come with the last bytes: they are read first, and the end shows as a
    // read of nothing.
    if (events & (Readable | Hangup | Failed))
        readAll();
}

void TcpStream::readAll()
{
    std::vector<uint8_t>& buffer = m_loop.readBuffer();
    // A few reads per pass, so one busy peer cannot keep the loop from the others; the rest
    // waits for the next pass.
    for (int reads = 0; reads < 4 && m_state == State::Open; ++reads) {
        const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            notifyReceived(ByteView(buffer.data(), size_t(n)));
            if (size_t(n) < buffer.size())
                return;
            continue;
        }
        if (n == 0) {
            fail(status::BadConnectionClosed, "the peer closed the connection");
            return;
        }
        if (errno == EAGAIN || errno == EINTR)
            return;
        const int error = errno;
        fail(statusOfError(error), errorText(error));
        return;
    }
}

// Sends what is queued; false when the stream failed on the way.
bool TcpStream::flush()
{
    int error = 0;
    m_outStart += sendSome(m_fd, ByteView(m_out).subspan(m_outStart), error);
    if (error != 0) {
        fail(statusOfError(error), errorText(error));
        return false;
    }
    if (m_outStart == m_out.size()) {
        m_out.clear();
        m_outStart = 0;
        watchFor(Readable);
    }
    return true;
}

void TcpStream::write(ByteView bytes)
{
    if (m_state == State::Resolving || m_state == State::Connecting) {
        m_out.insert(m_out.end(), bytes.begin(), bytes.end());
        return;
    }
    if (m_state != State::Open || bytes.empty())
        return;
    // Straight to the socket when nothing waits before these bytes: no copy, and no wait for
    // the loop's next pass.
    int error = 0;
    const size_t sent = m_outStart == m_out.size() ? sendSome(m_fd, bytes, error) : 0;
    if (error != 0) {
        // Reported from the loop: the writer may not expect its handlers inside write().
        failLater(statusOfError(error), errorText(error));
        return;
    }
    if (sent < bytes.size()) {
        m_out.insert(m_out.end(), bytes.begin() + std::ptrdiff_t(sent), bytes.end());
        watchFor(Readable | Writable);
    }
}

void TcpStream::watchFor(uint32_t events)
{
    if (m_watch == 0) {
        m_watch = m_loop.watch(m_fd, events, [this](uint32_t ready) { onEvents(ready); });
        m_watching = events;
    } else if (events != m_watching) {
        m_loop.change(m_watch, events);
        m_watching = events;
    }
}

void TcpStream::fail(StatusCode status, const std::string& reason)
{
    release();
    m_state = State::Closed;
    notifyClosed(status, reason);
}

void TcpStream::failLater(StatusCode status, const std::string& reason)
{
    release();
    m_state = State::Closed;
    m_failTimer = m_loop.start(std::chrono::milliseconds(0), [this, status, reason] {
        m_failTimer = 0;
        notifyClosed(status, reason);
    });
}

// Lets go of the socket, the watch and the lookup at once, without a goodbye.
// Stops watching the socket and hands it over to the caller, who closes it.
int TcpStream::detachSocket()
{
    if (m_watch != 0)
        m_loop.unwatch(m_watch);
    m_watch = 0;
    m_watching = 0;
    return std::exchange(m_fd, -1);
}

void TcpStream::release()
{
    m_lookup.reset();
    if (const int fd = detachSocket(); fd >= 0)
        ::close(fd);
    m_out.clear();
    m_outStart = 0;
}

void TcpStream::close()
{
    m_loop.cancel(m_failTimer);
    m_failTimer = 0;
    if (m_state == State::Open)
        linger(m_loop, detachSocket(), std::exchange(m_out, {}), std::exchange(m_outStart, 0));
    release();
    m_state = State::Closed;
}

std::string TcpStream::peerAddress() const
{
    if (m_peer.length == 0)
        return {};
    const std::string host = m_peer.host();
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_peer.port());
}

StreamFactory tcpStreamFactory(EventLoop& loop)
{
    return [&loop](const std::string& host, uint16_t port) -> std::unique_ptr<Stream> {
        auto stream = std::make_unique<TcpStream>(loop);
        stream->connectTo(host, port);
        return stream;
    };
}

// ---------------------------------------------------------------------------------------------
// TcpListener

TcpListener::~TcpListener()
{
    close();
}

bool TcpListener::listen(const std::string& host, uint16_t port, Accepted accepted)
{
    close();
    SocketAddress address;
    if (!parseLiteral(host == "localhost" ? "127.0.0.1" : host, port, address)) {
        m_error = "not an IP address: " + host;
        return false;
    }
    m_fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errorText(errno);
        return false;
    }
    const int one = 1;
    const int zero = 0;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.storage.ss_family == AF_INET6)
        ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 ||
        ::listen(m_fd, SOMAXCONN) != 0) {
        m_error = errorText(errno);
        close();
        return false;
    }
    SocketAddress bound;
    bound.length = sizeof bound.storage;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound.storage), &bound.length);
    m_port = bound.port();
    m_accepted = std::move(accepted);
    m_watch = m_loop.watch(m_fd, Readable, [this](uint32_t) { acceptAll(); });
    return true;
}

void TcpListener::acceptAll()
{
    // A bounded batch per pass; the rest are taken on the next.
    for (int i = 0; i < 64; ++i) {
        SocketAddress peer;
        peer.length = sizeof peer.storage;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer.storage), &peer.length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            m_accepted(std::make_unique<TcpStream>(m_loop, fd, peer), peer);
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors: the waiting connection stays readable, and would spin the
            // loop. Accepting pauses until some are given back.
            m_loop.change(m_watch, 0);
            m_resume = m_loop.start(std::chrono::milliseconds(100), [this] {
                m_resume = 0;
                m_loop.change(m_watch, Readable);
            });
        }
        return;
    }
}

void TcpListener::close()
{
    m_loop.cancel(m_resume);
    m_resume = 0;
    if (m_watch != 0)
        m_loop.unwatch(m_watch);
    m_watch = 0;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_port = 0;
}

} // namespace opcua
