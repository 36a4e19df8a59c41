#include "opcua/io.h"

namespace opcua {

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

} // namespace opcua
