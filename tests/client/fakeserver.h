#pragma once

// The server side of the client's tests: it reads what the client wrote to a FakeStream through
// a server's channel endpoint, which checks the client's framing, and answers the way a server
// would. The connect sequence is answered from the settings below; publish requests and writes
// are held for the test to answer; answers fill in what the client reads of them, no more. No
// sockets and no real time. It must outlive the client.

#include "opcua/channelendpoint.h"
#include "opcua/nodeid.h"
#include "opcua/pki/issue.h"
#include "opcua/services.h"
#include "opcua/tcp.h"
#include "tests/support/fakestream.h"
#include "tests/support/manualclock.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ranges>
#include <string>
#include <vector>

namespace fake {

using namespace opcua;

// A value as a server delivers it.
template <class T> DataValue dataValue(T v, std::optional<StatusCode> status = std::nullopt)
{
    DataValue value;
    value.value = Variant::fromScalar(v);
    value.status = status;
    return value;
}

// A server's certificate, valid at the clock's time, naming urn:fake:server.
inline pki::Certificate serverCertificate(const ManualClock& clock)
{
    const pki::ApplicationIdentity server{"fake", "Test", "urn:fake:server", "fake-host"};
    return pki::issueCertificate(
        pki::applicationCertificateProfile(server, clock.utcNow().toTimePoint()),
        pki::PrivateKey::generateRsa(pki::kApplicationKeyBits));
}

// Puts `certificate` in the trusted certificates of the PKI folder `folder`.
inline void trust(const std::filesystem::path& folder, const pki::Certificate& certificate)
{
    const pki::PkiFolder pki(folder);
    pki.create();
    std::ofstream(pki.path(pki::Store::TrustedCerts) / (certificate.thumbprintHex() + ".der"),
                  std::ios::binary)
        .write(reinterpret_cast<const char*>(certificate.der().data()),
               std::streamsize(certificate.der().size()));
}

// An endpoint without security that takes user names with passwords encrypted to `certificate`
// with Basic256Sha256.
inline EndpointDescription userEndpoint(const pki::Certificate& certificate)
{
    EndpointDescription endpoint;
    endpoint.server.applicationUri = String(certificate.applicationUri());
    endpoint.serverCertificate = ByteString(certificate.der());
    endpoint.securityMode = MessageSecurityMode::None;
    endpoint.securityPolicyUri = String(std::string(kSecurityPolicyNone));
    UserTokenPolicy userName;
    userName.policyId = String("user-id");
    userName.tokenType = UserTokenType::UserName;
    userName.securityPolicyUri =
        String("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    endpoint.userIdentityTokens.push_back(userName);
    return endpoint;
}

// The same with a new certificate that the PKI folder `folder` trusts.
inline EndpointDescription userEndpoint(const ManualClock& clock,
                                        const std::filesystem::path& folder)
{
    const pki::Certificate certificate = serverCertificate(clock);
    trust(folder, certificate);
    return userEndpoint(certificate);
}

struct Request
{
    MessageType type = MessageType::Message;
    uint32_t requestId = 0;
    ServiceMessage message;
};

// The client's end of a connection; the server forgets it once the client drops it.
class ClientEnd : public FakeStream
{
public:
    explicit ClientEnd(ClientEnd*& latest) : FakeStream(false), m_latest(latest) { latest = this; }
    ~ClientEnd() override
    {
        if (m_latest == this)
            m_latest = nullptr;
    }

private:
    ClientEnd*& m_latest;
};

class FakeServer
{
public:
    // What the server answers with.
    uint32_t tokenLifetimeMs = 600000;
    double revisedPublishingInterval = 100;
    uint32_t revisedKeepAliveCount = 10;
    std::vector<String> namespaces{"http://opcfoundation.org/UA/", "urn:fake:server",
                                   "urn:servo-panel:sim"};
    // The DataType attribute of each node; Int16 for any node not listed.
    std::map<std::string, NodeId> dataTypes;
    // Nodes CreateMonitoredItems refuses, with the status.
    std::map<std::string, StatusCode> refusedNodes;
    bool acceptConnections = true;
    bool answerConnectSequence = true;
    // What ActivateSession is answered with: a fault when Bad.
    StatusCode activateResult = status::Good;
    // What GetEndpoints is answered with.
    std::vector<EndpointDescription> endpoints;
    // When Bad, an OpenSecureChannel on a connection after one that asked for the endpoints is
    // answered with an Error message of this status, as a server refusing the client's
    // certificate answers.
    StatusCode openAfterEndpoints = status::Good;

    // Every request seen, in order, and those held for the test.
    std::vector<Request> seen;
    std::deque<Request> publishes;
    std::deque<Request> writes;
    int streamsMade = 0;
    HelloMessage hello;

    StreamFactory factory()
    {
        return [this](const std::string& host, uint16_t port) -> std::unique_ptr<Stream> {
            lastAddress = host + ":" + std::to_string(port);
            auto stream = std::make_unique<ClientEnd>(m_stream);
            ++streamsMade;
            m_channel.emplace(ChannelSide::Server, 1 << 24);
            m_accepted = false;
            // Requests of the old connection can no longer be answered.
            publishes.clear();
            writes.clear();
            return stream;
        };
    }

    // The stream of the latest connection, or nullptr once the client has dropped it.
    FakeStream* stream() const { return m_stream; }
    std::string lastAddress; // host:port of the latest connection
    uint32_t channelId = 7;
    uint32_t tokenId = 1;
    NodeId authenticationToken; // of the latest session
    // The open sessions; ActivateSession with any other token is refused. Sessions never time
    // out here: one the client abandons stays open, as on a server within its timeout.
    std::vector<NodeId> sessions;
    uint32_t subscriptionId = 42;
    bool subscriptionKnown = true; // else Republish answers BadSubscriptionIdInvalid
    // Notification messages sent and not yet acknowledged, by sequence number, for Republish.
    std::map<uint32_t, NotificationMessage> retained;

    // Accepts a pending connection (when allowed), reads and answers until the client has
    // nothing more to say, including what it wrote before closing the connection. Returns the
    // number of requests seen.
    size_t serve()
    {
        if (!stream())
            return 0;
        if (!m_accepted && acceptConnections && !m_stream->closedLocally()) {
            m_accepted = true;
            m_stream->acceptConnection();
        }
        // The client drops a stream from the event loop, never while it is being served.
        size_t count = 0;
        for (int rounds = 0; rounds < 1000; ++rounds) {
            const ByteBuffer bytes = m_stream->takeWritten();
            if (bytes.empty())
                break;
            m_channel->feed(bytes);
            while (auto input = m_channel->next())
                count += handle(*input);
        }
        return count;
    }

    // Lets due timers fire and the server answer until nothing more happens.
    void settle(ManualClock& clock)
    {
        for (int i = 0; i < 50; ++i) {
            clock.runDue();
            if (serve() == 0 && clock.nextDue() != std::chrono::milliseconds(0))
                break;
        }
    }

    // Refuses the connection the client is making.
    void refuse()
    {
        if (stream() && !m_accepted) {
            m_accepted = true;
            m_stream->peerClose(status::BadNotConnected, "connection refused");
        }
    }

    // The client matches answers by request id: the response header is left as it is.
    void answer(const Request& request, const ServiceMessage& response)
    {
        FakeStream chunks;
        m_channel->send(chunks, request.type, request.requestId, response);
        if (m_stream->isOpen())
            m_stream->deliver(chunks.takeWritten());
    }

    void fault(const Request& request, StatusCode status)
    {
        ServiceFault fault;
        fault.responseHeader.serviceResult = status;
        answer(request, fault);
    }

    using Changes = std::vector<std::pair<uint32_t, DataValue>>; // clientHandle, value

    // Answers the oldest held publish with data changes and reads the client's next requests.
    void publish(const Changes& changes)
    {
        answerPublish(retain(changes));
        serve();
    }

    // Uses up the oldest held publish for data changes whose answer the link loses.
    void losePublish(const Changes& changes)
    {
        popPublish();
        retain(changes);
    }

    void keepAlive() { answerPublish(NotificationMessage{m_nextNotification, {}, {}}); }

    // Answers the oldest held publish with the subscription's new status.
    void statusChange(StatusCode status)
    {
        answerPublish(
            NotificationMessage{m_nextNotification++, {}, {StatusChangeNotification{status, {}}}});
    }

    // Takes the oldest held publish, for the test to answer.
    Request popPublish()
    {
        Request request = std::move(publishes.front());
        publishes.pop_front();
        return request;
    }

    // Sends raw bytes, as a broken or hostile peer would.
    void sendRaw(const ByteBuffer& bytes) { m_stream->deliver(bytes); }

    // The service names of the requests seen, in order, from the `from`th on.
    std::vector<std::string> services(size_t from = 0) const
    {
        std::vector<std::string> names;
        for (size_t i = from; i < seen.size(); ++i)
            names.emplace_back(serviceName(seen[i].message));
        return names;
    }

    template <class T> const T* last() const
    {
        for (const Request& request : seen | std::views::reverse) {
            if (const T* message = std::get_if<T>(&request.message))
                return message;
        }
        return nullptr;
    }

    template <class T> int count() const
    {
        return int(std::count_if(seen.begin(), seen.end(), [](const Request& request) {
            return std::holds_alternative<T>(request.message);
        }));
    }

private:
    NotificationMessage retain(const Changes& changes)
    {
        NotificationMessage message;
        message.sequenceNumber = m_nextNotification++;
        DataChangeNotification change;
        for (const auto& [handle, value] : changes)
            change.monitoredItems.push_back({handle, value});
        message.notificationData.push_back(change);
        retained[message.sequenceNumber] = message;
        return message;
    }

    void answerPublish(NotificationMessage message)
    {
        PublishResponse response;
        response.subscriptionId = subscriptionId;
        response.notificationMessage = std::move(message);
        answer(popPublish(), response);
    }

    size_t handle(const ChannelInput& input)
    {
        if (const auto* chunk = std::get_if<RawChunk>(&input)) {
            hello = decodeHello(chunk->bytes);
            const AcknowledgeMessage ack = negotiate(hello, TransportLimits{});
            m_channel->setLimits(serverLimits(hello, ack));
            m_stream->deliver(encodeAcknowledge(ack));
            return 0;
        }
        const auto& message = std::get<AssembledMessage>(input);
        Request request{message.type, message.requestId, decodeServiceMessage(message.body)};
        seen.push_back(request);
        // CloseSecureChannel has no answer; the client closes the stream itself.
        if (message.type != MessageType::CloseSecureChannel)
            handleRequest(request);
        return 1;
    }

    // Holds publish requests and writes; answers a request of the connect sequence or of the
    // subscription's life, unless told not to; leaves any other unanswered.
    void handleRequest(const Request& request)
    {
        const ServiceMessage& m = request.message;
        if (const auto* publish = std::get_if<PublishRequest>(&m)) {
            for (const auto& ack : publish->subscriptionAcknowledgements)
                retained.erase(ack.sequenceNumber);
            publishes.push_back(request);
        } else if (std::holds_alternative<WriteRequest>(m)) {
            writes.push_back(request);
        } else if (!answerConnectSequence) {
            return;
        } else if (const auto* open = std::get_if<OpenSecureChannelRequest>(&m)) {
            if (openAfterEndpoints.isBad() && count<GetEndpointsRequest>() > 0)
                return m_stream->deliver(encodeError({openAfterEndpoints, String("refused")}));
            if (open->requestType == SecurityTokenRequestType::Renew)
                m_channel->renew(++tokenId, {});
            else
                m_channel->open(channelId, tokenId, {});
            const ChannelSecurityToken token{channelId, tokenId, DateTime{}, tokenLifetimeMs};
            answer(request, OpenSecureChannelResponse{{}, kProtocolVersion, token, {}});
        } else if (std::holds_alternative<GetEndpointsRequest>(m)) {
            answer(request, GetEndpointsResponse{{}, endpoints});
        } else if (std::holds_alternative<CreateSessionRequest>(m)) {
            createSession(request);
        } else if (std::holds_alternative<ActivateSessionRequest>(m)) {
            if (activateResult.isBad())
                fault(request, activateResult);
            else if (std::ranges::count(sessions, requestHeaderOf(m)->authenticationToken))
                answer(request, ActivateSessionResponse{});
            else
                fault(request, status::BadSessionIdInvalid);
        } else if (const auto* read = std::get_if<ReadRequest>(&m)) {
            answer(request, readAnswer(*read));
        } else if (std::holds_alternative<CreateSubscriptionRequest>(m)) {
            subscriptionKnown = true;
            CreateSubscriptionResponse response;
            response.subscriptionId = subscriptionId;
            response.revisedPublishingInterval = revisedPublishingInterval;
            response.revisedMaxKeepAliveCount = revisedKeepAliveCount;
            answer(request, response);
        } else if (const auto* create = std::get_if<CreateMonitoredItemsRequest>(&m)) {
            answer(request, itemsCreated(*create));
        } else if (std::holds_alternative<DeleteSubscriptionsRequest>(m)) {
            answer(request, DeleteSubscriptionsResponse{});
            // The publish requests held for the deleted subscription are answered too.
            while (!publishes.empty())
                fault(popPublish(), status::BadNoSubscription);
        } else if (const auto* republish = std::get_if<RepublishRequest>(&m)) {
            answerRepublish(request, *republish);
        } else if (std::holds_alternative<CloseSessionRequest>(m)) {
            std::erase(sessions, requestHeaderOf(m)->authenticationToken);
            answer(request, CloseSessionResponse{});
        }
    }

    void answerRepublish(const Request& request, const RepublishRequest& republish)
    {
        if (!subscriptionKnown || republish.subscriptionId != subscriptionId)
            return fault(request, status::BadSubscriptionIdInvalid);
        auto it = retained.find(republish.retransmitSequenceNumber);
        if (it == retained.end())
            return fault(request, status::BadMessageNotAvailable);
        answer(request, RepublishResponse{{}, it->second});
    }

    void createSession(const Request& request)
    {
        authenticationToken = NodeId(1, "session-token-" + std::to_string(++m_sessionsMade));
        sessions.push_back(authenticationToken);
        CreateSessionResponse response;
        response.authenticationToken = authenticationToken;
        response.serverNonce = ByteString(ByteBuffer(32, uint8_t(m_sessionsMade)));
        EndpointDescription endpoint;
        endpoint.server.applicationUri = String("urn:fake:server");
        endpoint.securityMode = MessageSecurityMode::None;
        UserTokenPolicy anonymous;
        anonymous.policyId = String("anon-policy");
        anonymous.tokenType = UserTokenType::Anonymous;
        endpoint.userIdentityTokens.push_back(anonymous);
        response.serverEndpoints.push_back(endpoint);
        answer(request, response);
    }

    // The namespace array and the data types asked for; any other attribute is refused.
    ReadResponse readAnswer(const ReadRequest& read) const
    {
        ReadResponse response;
        for (const auto& id : read.nodesToRead) {
            DataValue value;
            if (id.nodeId == NodeId(0, ids::Server_NamespaceArray)) {
                value.value = Variant::fromArray(namespaces);
            } else if (id.attributeId == uint32_t(AttributeId::DataType)) {
                auto it = dataTypes.find(toString(id.nodeId));
                value.value =
                    Variant::fromScalar(it != dataTypes.end() ? it->second : NodeId(0, ids::Int16));
            } else {
                value.status = status::BadAttributeIdInvalid;
            }
            response.results.push_back(value);
        }
        return response;
    }

    CreateMonitoredItemsResponse itemsCreated(const CreateMonitoredItemsRequest& create) const
    {
        CreateMonitoredItemsResponse response;
        for (const auto& item : create.itemsToCreate) {
            MonitoredItemCreateResult result;
            auto it = refusedNodes.find(toString(item.itemToMonitor.nodeId));
            if (it != refusedNodes.end())
                result.statusCode = it->second;
            else
                result.monitoredItemId = 100 + item.requestedParameters.clientHandle;
            response.results.push_back(result);
        }
        return response;
    }

    ClientEnd* m_stream = nullptr;
    bool m_accepted = false;
    std::optional<ChannelEndpoint> m_channel;
    uint32_t m_nextNotification = 1;
    int m_sessionsMade = 0;
};

} // namespace fake
