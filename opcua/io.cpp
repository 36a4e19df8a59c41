#include "opcua/io.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <limits>

namespace opcua {

// ---------------------------------------------------------------------------------------------
// Stream

void Stream::notifyConnected()
{
    if (m_handlers.connected)
        m_handlers.connected();
}

void Stream::notifyReceived(ByteView bytes)
{
    if (m_handlers.received)
        m_handlers.received(bytes);
}

void Stream::notifyClosed(StatusCode status, const std::string& reason)
{
    if (m_handlers.closed)
        m_handlers.closed(status, reason);
}

// ---------------------------------------------------------------------------------------------
// TcpStream

TcpStream::TcpStream() : m_socket(new QTcpSocket)
{
    attach();
}

TcpStream::TcpStream(QTcpSocket* socket) : m_socket(socket)
{
    m_socket->setParent(nullptr);
    attach();
}

// The bytes still queued on a dropped stream (a final CLO, an ERR) still leave: the socket
// disconnects once they are sent and goes then, or after kLinger when the peer does not take
// them. Deletion is deferred, in case the stream is dropped while the socket is inside a signal.
TcpStream::~TcpStream()
{
    QObject::disconnect(m_socket, nullptr, nullptr, nullptr);
    QTcpSocket* socket = m_socket;
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->disconnectFromHost();
    if (socket->state() != QAbstractSocket::ClosingState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kLinger, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void TcpStream::attach()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QObject::connect(m_socket, &QTcpSocket::connected, m_socket, [this] {
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        notifyConnected();
    });
    QObject::connect(m_socket, &QTcpSocket::readyRead, m_socket, [this] {
        // A handler may close the stream; stop delivering once it has.
        while (!m_closing && m_socket->bytesAvailable() > 0) {
            const QByteArray bytes = m_socket->read(qint64{64} * 1024);
            if (bytes.isEmpty())
                break;
            notifyReceived(ByteView(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                    size_t(bytes.size())));
        }
    });
    QObject::connect(m_socket, &QTcpSocket::errorOccurred, m_socket,
                     [this](QAbstractSocket::SocketError error) {
                         if (m_closing)
                             return;
                         m_closing = true;
                         const std::string reason = m_socket->errorString().toStdString();
                         switch (error) {
                         case QAbstractSocket::RemoteHostClosedError:
                             notifyClosed(status::BadConnectionClosed, reason);
                             return;
                         case QAbstractSocket::ConnectionRefusedError:
                         case QAbstractSocket::HostNotFoundError:
                         case QAbstractSocket::SocketTimeoutError:
                         case QAbstractSocket::NetworkError:
                             notifyClosed(m_socket->state() == QAbstractSocket::ConnectedState
                                              ? status::BadCommunicationError
                                              : status::BadNotConnected,
                                          reason);
                             return;
                         default:
                             notifyClosed(status::BadCommunicationError, reason);
                             return;
                         }
                     });
    QObject::connect(m_socket, &QTcpSocket::disconnected, m_socket, [this] {
        if (m_closing)
            return;
        m_closing = true;
        notifyClosed(status::BadConnectionClosed, "connection closed by peer");
    });
}

void TcpStream::connectTo(const std::string& host, uint16_t port)
{
    m_closing = false;
    m_socket->connectToHost(QString::fromStdString(host), port);
}

void TcpStream::write(ByteView bytes)
{
    if (!isOpen())
        return;
    m_socket->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
}

void TcpStream::close()
{
    if (m_closing)
        return;
    m_closing = true;
    // Lets queued bytes (a final CLO, an ERR) leave before the connection ends.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
    else
        m_socket->abort();
}

bool TcpStream::isOpen() const
{
    return !m_closing && m_socket->state() == QAbstractSocket::ConnectedState;
}

std::string TcpStream::peerAddress() const
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return {};
    return m_socket->peerAddress().toString().toStdString() + ":" +
           std::to_string(m_socket->peerPort());
}

StreamFactory tcpStreamFactory()
{
    return [](const std::string& host, uint16_t port) -> std::unique_ptr<Stream> {
        auto stream = std::make_unique<TcpStream>();
        stream->connectTo(host, port);
        return stream;
    };
}

// ---------------------------------------------------------------------------------------------
// QtClock

struct QtClock::Impl
{
    QElapsedTimer elapsed;
};

QtClock::QtClock() : m_impl(std::make_unique<Impl>())
{
    m_impl->elapsed.start();
}

QtClock::~QtClock()
{
    for (auto& [id, timer] : m_timers)
        delete timer;
}

std::chrono::milliseconds QtClock::now() const
{
    return std::chrono::milliseconds(m_impl->elapsed.elapsed());
}

TimerId QtClock::start(std::chrono::milliseconds delay, std::function<void()> callback)
{
    const TimerId id = m_nextId++;
    auto* timer = new QTimer;
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, cb = std::move(callback)] {
        const auto it = m_timers.find(id);
        if (it == m_timers.end())
            return;
        QTimer* fired = it->second;
        m_timers.erase(it);
        // The callback is copied out first: it lives in the connection of a timer about to go.
        auto run = cb;
        fired->deleteLater();
        run();
    });
    m_timers.emplace(id, timer);
    // QTimer keeps its interval in an int of milliseconds: a longer delay would wrap and fire
    // at once or never. Clamped, a far deadline fires early (after about 24 days), which the
    // callers take as an early renewal or check, never as a missed one.
    const std::chrono::milliseconds longest(std::numeric_limits<int>::max());
    timer->start(std::clamp(delay, std::chrono::milliseconds(0), longest));
    return id;
}

void QtClock::cancel(TimerId id)
{
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    it->second->stop();
    it->second->deleteLater();
    m_timers.erase(it);
}

} // namespace opcua
