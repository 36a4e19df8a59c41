#include "opcua/fuzz/sessionfeed.h"

#include "opcua/nodeid.h"
#include "opcua/securechannel.h"
#include "opcua/server/server.h"
#include "opcua/services.h"
#include "tests/support/manualclock.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

namespace opcua::fuzz {

namespace {

using std::chrono::milliseconds;

constexpr size_t kRecordHeaderSize = 3;
constexpr milliseconds kStepUnit{16};
// Beyond the Hello timeout, the token lifetime with its grace and the session timeout the
// settings below allow, so that nothing may be left afterwards.
constexpr milliseconds kPastEveryTimeout{10 * 60 * 1000};
// Namespace 1, Guid 00000000-0000-0000-0000-000000000000.
constexpr std::array<uint8_t, 19> kTokenPlaceholder = {0x04, 0x01, 0x00};

[[noreturn]] void bug(const std::string& what)
{
    std::fprintf(stderr, "session feed: %s\n", what.c_str());
    std::abort();
}

struct VariableRow
{
    const char* name;
    uint32_t dataType;
    uint8_t accessLevel;
};

constexpr VariableRow kVariables[] = {
    {"Counter", ids::Int16, kAccessLevelCurrentRead | kAccessLevelCurrentWrite},
    {"Speed", ids::Double, kAccessLevelCurrentRead | kAccessLevelCurrentWrite},
    {"Label", ids::String, kAccessLevelCurrentRead},
};

Variant initialValue(uint32_t dataType)
{
    switch (dataType) {
    case ids::Int16:
        return Variant::fromScalar(int16_t(7));
    case ids::Double:
        return Variant::fromScalar(1.5);
    default:
        return Variant::fromScalar(String("servo"));
    }
}

void addVariables(AddressSpace& space)
{
    for (const VariableRow& row : kVariables) {
        VariableDefinition variable;
        variable.id = NodeId(1, String(row.name));
        variable.browseName = {1, String(row.name)};
        variable.parent = NodeId(0, ids::ObjectsFolder);
        variable.referenceType = NodeId(0, ids::Organizes);
        variable.dataType = NodeId(0, row.dataType);
        variable.accessLevel = row.accessLevel;
        variable.value = initialValue(row.dataType);
        space.addVariable(variable);
    }
}

// Small limits, so that the fuzzer reaches them, and short timeouts, so that passing every
// timeout takes few timer rounds.
ServerSettings fuzzSettings()
{
    ServerSettings settings;
    settings.maxSessions = 4;
    settings.maxSubscriptionsPerSession = 4;
    settings.maxTokenLifetimeMs = 60000;
    settings.defaultTokenLifetimeMs = 60000;
    settings.maxSessionTimeoutMs = 60000;
    settings.subscriptions.minPublishingIntervalMs = 100;
    settings.subscriptions.minSamplingIntervalMs = 100;
    settings.subscriptions.maxMonitoredItems = 100;
    return settings;
}

// The client's end of the connection: bytes go to the server's received handler, and what
// the server writes lands in a buffer owned by the caller, which outlives the stream.
class ClientEnd final : public Stream
{
public:
    explicit ClientEnd(ByteBuffer& sink) : m_sink(sink) {}

    void write(ByteView bytes) override
    {
        if (m_open)
            m_sink.insert(m_sink.end(), bytes.begin(), bytes.end());
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }

    void deliver(ByteView bytes) { notifyReceived(bytes); }
    void leave()
    {
        m_open = false;
        notifyClosed(status::BadConnectionClosed, "the client went away");
    }

private:
    ByteBuffer& m_sink;
    bool m_open = true;
};

// Takes apart what the server sent, as a client would; all of it must decode.
class ServerOutput
{
public:
    void take(ByteBuffer& bytes)
    {
        try {
            m_reader.feed(bytes);
            bytes.clear();
            while (auto chunk = m_reader.next())
                read(*chunk);
        } catch (const Error& e) {
            bug(std::string("the server sent what does not decode: ") + e.what());
        }
    }
    size_t responses() const { return m_responses; }
    const std::optional<NodeId>& authenticationToken() const { return m_token; }

private:
    void read(const RawChunk& chunk)
    {
        if (chunk.header.type == MessageType::Acknowledge) {
            decodeAcknowledge(chunk.bytes);
            return;
        }
        if (chunk.header.type == MessageType::Error) {
            decodeError(chunk.bytes);
            return;
        }
        if (!isSecureType(chunk.header.type))
            bug("the server sent " + std::string(messageTypeName(chunk.header.type)));
        auto message = m_assembler.add(decodeSecureChunk(chunk));
        if (!message)
            return;
        const ServiceMessage response = decodeServiceMessage(message->body);
        if (const auto* created = std::get_if<CreateSessionResponse>(&response))
            m_token = created->authenticationToken;
        ++m_responses;
    }

    ChunkReader m_reader{1 << 24};
    MessageAssembler m_assembler;
    size_t m_responses = 0;
    std::optional<NodeId> m_token;
};

ByteBuffer openingBytes()
{
    HelloMessage hello;
    hello.endpointUrl = String("opc.tcp://127.0.0.1:4840");
    ByteBuffer bytes = encodeHello(hello);
    OpenSecureChannelRequest request;
    request.requestHeader.requestHandle = 1;
    request.clientNonce = ByteString(ByteBuffer{});
    request.requestedLifetime = 60000;
    const ByteBuffer body = encodeServiceMessage(request);
    SequenceNumberGenerator sequence;
    const OutgoingMessage open = channelMessage(MessageType::OpenSecureChannel, 0, 0, 1, body);
    for (const ByteBuffer& chunk : splitIntoChunks(open, TransportLimits{}, sequence))
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    return bytes;
}

struct Record
{
    ByteBuffer bytes;
    milliseconds step{0};
};

// The next record; a last record shorter than its length takes what is left.
std::optional<Record> nextRecord(ByteView& rest)
{
    if (rest.size() < kRecordHeaderSize)
        return std::nullopt;
    const size_t length =
        std::min<size_t>(size_t(rest[0]) | size_t(rest[1]) << 8, rest.size() - kRecordHeaderSize);
    Record record;
    record.step = kStepUnit * rest[2];
    const ByteView bytes = rest.subspan(kRecordHeaderSize, length);
    record.bytes.assign(bytes.begin(), bytes.end());
    rest = rest.subspan(kRecordHeaderSize + length);
    return record;
}

void putToken(ByteBuffer& record, const NodeId& token)
{
    const ByteBuffer encoded = encodeToBytes(token);
    if (encoded.size() != kTokenPlaceholder.size())
        return;
    auto at = record.begin();
    while ((at = std::search(at, record.end(), kTokenPlaceholder.begin(),
                             kTokenPlaceholder.end())) != record.end())
        at = std::copy(encoded.begin(), encoded.end(), at);
}

// True when the record is one OPN, MSG or CLO chunk, which now carries `sequenceNumber`.
bool renumber(ByteBuffer& record, uint32_t sequenceNumber)
{
    try {
        const ChunkHeaders headers = decodeChunkHeaders(record);
        if (headers.plainSize + kSequenceHeaderSize > record.size())
            return false;
        for (size_t i = 0; i < 4; ++i)
            record[headers.plainSize + i] = uint8_t(sequenceNumber >> (8 * i));
        return true;
    } catch (const Error&) {
        return false;
    }
}

void checkNothingLeft(const Server& server)
{
    if (server.connectionCount() + server.sessionCount() + server.subscriptionCount() == 0)
        return;
    bug("left after every timeout: " + std::to_string(server.connectionCount()) + " connections, " +
        std::to_string(server.sessionCount()) + " sessions, " +
        std::to_string(server.subscriptionCount()) + " subscriptions");
}

} // namespace

size_t runSession(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const bool opened = (data[0] & 1) != 0;
    const bool numbered = (data[0] & 2) != 0;
    ByteView rest(data + 1, size - 1);

    ByteBuffer wire;
    ServerOutput output;
    ManualClock clock;
    AddressSpace space;
    addVariables(space);
    Server server(space, clock, fuzzSettings());
    auto owned = std::make_unique<ClientEnd>(wire);
    ClientEnd* client = owned.get(); // valid while the server keeps the connection
    server.attach(std::move(owned));
    try {
        if (opened)
            client->deliver(openingBytes());
        uint32_t sequenceNumber = opened ? 2 : 1;
        while (server.connectionCount() > 0) {
            std::optional<Record> record = nextRecord(rest);
            if (!record)
                break;
            if (output.authenticationToken())
                putToken(record->bytes, *output.authenticationToken());
            if (numbered && renumber(record->bytes, sequenceNumber))
                ++sequenceNumber;
            client->deliver(record->bytes);
            output.take(wire);
            clock.advance(record->step);
            output.take(wire);
        }
        if (server.connectionCount() > 0)
            client->leave();
        clock.advance(kPastEveryTimeout);
    } catch (const std::exception& e) {
        bug(std::string("thrown out of the server: ") + e.what());
    }
    output.take(wire);
    checkNothingLeft(server);
    return output.responses();
}

} // namespace opcua::fuzz
