#include "tests/support/fakestream.h"

namespace opcua {

void FakeStream::write(ByteView bytes)
{
    if (!m_open)
        return;
    m_written.emplace_back(bytes.begin(), bytes.end());
}

ByteBuffer FakeStream::takeWritten()
{
    ByteBuffer all;
    for (const auto& piece : m_written)
        all.insert(all.end(), piece.begin(), piece.end());
    m_written.clear();
    return all;
}

void FakeStream::acceptConnection()
{
    m_open = true;
    notifyConnected();
}

void FakeStream::deliver(ByteView bytes)
{
    notifyReceived(bytes);
}

void FakeStream::peerClose(StatusCode status, const std::string& reason)
{
    m_open = false;
    notifyClosed(status, reason);
}

} // namespace opcua
