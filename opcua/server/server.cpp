#include "opcua/server/server.h"

#include "opcua/server/connection.h"
#include "opcua/server/servercore.h"
#include "opcua/server/session.h"
#include "opcua/tcp.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace opcua {

namespace {

// An IPv4 client of a dual-stack listener counts as its IPv4 address.
std::string hostOf(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return (isIpv4 ? QHostAddress(ipv4) : address).toString().toStdString();
}

} // namespace

Server::Server(AddressSpace& space, Clock& clock, ServerSettings settings, QObject* parent)
    : QObject(parent), m_core(std::make_unique<ServerCore>(space, clock, std::move(settings)))
{}

Server::~Server()
{
    close();
}

bool Server::listen(const std::string& host, uint16_t port)
{
    if (m_listener)
        close();
    QHostAddress address;
    if (host == "localhost")
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(QString::fromStdString(host))) {
        m_error = "not an IP address: " + host;
        return false;
    }
    m_listener = new QTcpServer(this);
    m_listener->setMaxPendingConnections(int(m_core->settings.maxConnections));
    if (!m_listener->listen(address, port)) {
        m_error = m_listener->errorString().toStdString();
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    m_host = host;
    m_core->endpointUrl = endpointUrl();
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
            PeerAddress peer{hostOf(socket->peerAddress()), socket->peerPort()};
            attach(std::make_unique<TcpStream>(socket), std::move(peer));
        }
    });
    return true;
}

uint16_t Server::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

std::string Server::endpointUrl() const
{
    return "opc.tcp://" + m_host + ":" + std::to_string(port());
}

void Server::close()
{
    if (m_listener) {
        m_listener->close();
        delete m_listener;
        m_listener = nullptr;
    }
    m_core->endpointUrl = endpointUrl();
    m_core->clear();
}

void Server::attach(std::unique_ptr<Stream> stream, PeerAddress peer)
{
    if (!m_core->admitConnection(peer)) {
        // Too busy: say so in the protocol's terms, then hang up.
        stream->write(encodeError({status::BadTcpServerTooBusy, String()}));
        stream->close();
        return;
    }
    const uint64_t id = m_core->nextConnectionId++;
    m_core->addConnection(
        std::make_unique<ServerConnection>(*m_core, id, std::move(stream), std::move(peer)));
}

std::string PeerAddress::text() const
{
    if (host.empty())
        return "-";
    if (host.find(':') != std::string::npos)
        return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

size_t Server::connectionCount() const
{
    return m_core->connectionCount();
}

size_t Server::sessionCount() const
{
    return m_core->sessionCount();
}

size_t Server::subscriptionCount() const
{
    return m_core->subscriptionCount();
}

const ServerSettings& Server::settings() const
{
    return m_core->settings;
}

AddressSpace& Server::addressSpace()
{
    return m_core->space;
}

} // namespace opcua
