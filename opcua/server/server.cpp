#include "opcua/server/server.h"

#include "opcua/server/connection.h"
#include "opcua/server/servercore.h"
#include "opcua/server/session.h"
#include "opcua/sockets.h"
#include "opcua/tcp.h"

namespace opcua {

Server::Server(AddressSpace& space, Clock& clock, ServerSettings settings)
    : m_core(std::make_unique<ServerCore>(space, clock, std::move(settings)))
{}

Server::~Server()
{
    close();
}

bool Server::listen(EventLoop& loop, const std::string& host, uint16_t port)
{
    if (m_listener)
        close();
    m_listener = std::make_unique<TcpListener>(loop);
    const bool listening = m_listener->listen(
        host, port, [this](std::unique_ptr<TcpStream> stream, SocketAddress peer) {
            attach(std::move(stream), PeerAddress{peer.host(), peer.port()});
        });
    if (!listening) {
        m_error = m_listener->errorString();
        m_listener.reset();
        return false;
    }
    m_host = host;
    m_core->endpointUrl = endpointUrl();
    return true;
}

uint16_t Server::port() const
{
    return m_listener ? m_listener->port() : 0;
}

std::string Server::endpointUrl() const
{
    return "opc.tcp://" + m_host + ":" + std::to_string(port());
}

void Server::close()
{
    m_listener.reset();
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
