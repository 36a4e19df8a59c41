#pragma once

#include "opcua/io.h"

#include <string>
#include <vector>

namespace opcua {

// A Stream for tests: records what is written and lets the test deliver bytes, close it from
// the peer's side, or announce the connection.
class FakeStream : public Stream
{
public:
    explicit FakeStream(bool open = true) : m_open(open) {}

    void write(ByteView bytes) override;
    void close() override
    {
        m_open = false;
        m_closedLocally = true;
    }
    bool isOpen() const override { return m_open; }

    // The test side: what the code under test wrote, and events from the "peer".
    const std::vector<ByteBuffer>& written() const { return m_written; } // one entry a write
    ByteBuffer takeWritten(); // every written byte, concatenated, and forget them
    bool closedLocally() const { return m_closedLocally; }
    void acceptConnection();      // opens the stream and calls connected
    void deliver(ByteView bytes); // calls received
    void peerClose(StatusCode status = status::BadConnectionClosed,
                   const std::string& reason = "closed by peer"); // closes and calls closed

private:
    std::vector<ByteBuffer> m_written;
    bool m_open;
    bool m_closedLocally = false;
};

} // namespace opcua
