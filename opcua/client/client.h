#pragma once

#include "opcua/channelendpoint.h"
#include "opcua/client/backoff.h"
#include "opcua/client/clientsecurity.h"
#include "opcua/client/endpoint.h"
#include "opcua/io.h"
#include "opcua/securechannel.h"
#include "opcua/services.h"
#include "opcua/tcp.h"
#include "opcua/types.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace opcua {

// What the client asks of the server. The server may revise the lifetimes and intervals; the
// client works with what it is granted.
struct ClientSettings
{
    Endpoint endpoint;
    String applicationUri = String("urn:servo-panel:client");
    String productUri = String("urn:servo-panel");
    String applicationName = String("servo-panel");
    String sessionName = String("servo-panel");
    // Its application URI goes into the certificate the client makes for itself on first use.
    SecuritySettings security;

    double publishingIntervalMs = 100;
    double samplingIntervalMs = 100;
    // The timestamps the server attaches to monitored values. The panel needs none; a probe that
    // times the server's changes asks for the source timestamps.
    TimestampsToReturn monitoredTimestamps = TimestampsToReturn::Neither;
    // How long the server may go without a publish response (data or keep-alive) before the
    // client counts the link as lost, beyond the keep-alive period the server was granted.
    std::chrono::milliseconds keepAliveMargin{1000};
    // The keep-alive period asked for: the server answers a publish at least this often.
    std::chrono::milliseconds keepAlivePeriod{1000};

    // Every request but Publish is given up after this long (and the server told so in
    // timeoutHint).
    std::chrono::milliseconds requestTimeout{5000};
    uint32_t requestedTokenLifetimeMs = 600000;
    double requestedSessionTimeoutMs = 60000;
    // Publish requests kept outstanding; fewer when the server answers
    // BadTooManyPublishRequests.
    int publishRequests = 3;

    // Offered in Hello. The chunk sizes bound one chunk; maxMessageSize a reassembled message.
    uint32_t receiveBufferSize = 65536;
    uint32_t sendBufferSize = 65536;
    uint32_t maxMessageSize = 16 * 1024 * 1024;
    uint32_t maxChunkCount = 0;
};

// An OPC UA client over UA-TCP, made for one purpose: keep a fixed set of items monitored in one
// subscription, deliver their values and pass on writes. It runs on the thread that owns its stream
// and clock, driven by their callbacks; nothing in it blocks or waits.
//
// Once started it connects, and whenever the link breaks (socket error, missing keep-alives, an
// invalid session or channel, a request of the connect sequence failing or timing out) it
// reports the outage once and tries again after a backoff until it is stopped. A new channel
// resumes the session the client had: it activates it again, republishes the notifications the
// outage swallowed and keeps the subscription with its items, so a flapping link holds one
// session on the server. Only what the server says is gone is made anew: a session it refuses
// to resume is abandoned for a new one, a subscription it no longer knows is created again.
//
// With security or a user asked for, each attempt first asks the server for its endpoints over
// a channel without security, takes the one the settings ask for, checks its certificate against
// the PKI folder read afresh, and then opens the secured channel on a connection of its own.
class Client
{
public:
    enum class State {
        Stopped,              // not started, or stopped: no stream, no timers
        Connecting,           // the TCP connection is being made
        Handshaking,          // Hello sent, waiting for Acknowledge
        OpeningChannel,       // OpenSecureChannel (issue) sent
        Discovering,          // GetEndpoints sent on the channel without security
        CreatingSession,      // CreateSession sent
        ActivatingSession,    // ActivateSession sent
        ResumingSession,      // ActivateSession of the session kept from before the outage sent
        ReadingNamespaces,    // Read of the server's namespace array sent
        CreatingSubscription, // CreateSubscription sent
        Republishing,         // Republish of a notification the outage swallowed sent
        Running,              // subscribed: items are bound and publish requests outstanding
        Closing,              // stop() asked for an orderly close; requests are winding down
        WaitingToReconnect,   // the link broke; the backoff timer runs
    };

    // Told what happens, on the client's thread. The listener must not destroy the client from
    // inside a call. A reason quotes text from the server only made printable and short
    // (text::printable), so it may go to a log line or to the operator as it is.
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void stateChanged(State state) { (void)state; }
        // A monitored item's value or status changed.
        virtual void itemChanged(int item, const DataValue& value) = 0;
        // The server would not let the item be monitored (unknown node, unknown namespace,
        // access denied ...). Told once per connection.
        virtual void itemRejected(int item, StatusCode status, const std::string& reason)
        {
            (void)item, (void)status, (void)reason;
        }
        // The link is down: told once per outage, when a connected link breaks or the first
        // attempt to connect fails. wasConnected says whether values had been flowing.
        virtual void connectionLost(StatusCode status, const std::string& reason,
                                    bool wasConnected) = 0;
        // A later attempt of the same outage failed too. The reason may differ from the one
        // reported, as when a newly trusted server then refuses the user.
        virtual void attemptFailed(StatusCode status, const std::string& reason)
        {
            (void)status, (void)reason;
        }
    };

    // Figures for tests and diagnostics.
    struct Statistics
    {
        int connectAttempts = 0; // TCP connections started
        int channelsOpened = 0;  // OpenSecureChannel issue answered
        int channelRenewals = 0; // OpenSecureChannel renew answered
        int sessionsCreated = 0; // CreateSession answered
        int sessionsResumed = 0; // ActivateSession on a new channel answered
        int subscriptionsCreated = 0;
        int outages = 0;            // connectionLost reports
        uint64_t notifications = 0; // item values delivered
        uint64_t republished = 0;   // notification messages recovered with Republish
        uint64_t publishResponses = 0;
        uint64_t keepAlives = 0;
    };

    using WriteDone = std::function<void(StatusCode status, const std::string& reason)>;

    // The stream factory and clock must outlive the client. random() feeds the backoff jitter.
    Client(ClientSettings settings, StreamFactory streams, Clock& clock, Listener& listener,
           ReconnectBackoff::Random random = systemRandom());
    ~Client();

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Adds an item to monitor and returns its number (0, 1, ...). Items added while running
    // are bound at once; otherwise at the next connection.
    int addItem(ExpandedNodeId node);
    int itemCount() const { return int(m_items.size()); }

    // Starts connecting (from the event loop, never inside this call). Does nothing unless
    // stopped.
    void start();
    // Orderly close: deletes the subscription, closes the session and the channel, each step
    // bounded by the request timeout, then Stopped. Without a connection it stops at once.
    void stop();

    State state() const { return m_state; }
    bool isRunning() const { return m_state == State::Running; }
    const Statistics& statistics() const { return m_stats; }
    // Whether the latest attempt failed because the server presented another certificate than
    // the one trusted for its application URI (told as BadCertificateUntrusted).
    bool serverCertificateChanged() const { return m_serverCertificateChanged; }

    // The built-in type writes to the item use: from its DataType attribute when that names a
    // built-in type, else the type of the last value delivered. nullopt when not yet known.
    // The abstract BaseDataType, Number, Integer and UInteger name none: which of their
    // subtypes to write is the caller's choice, made from itemDataType.
    std::optional<BuiltinType> itemType(int item) const;
    // The item's DataType attribute as read when it was bound; nullopt before that.
    std::optional<NodeId> itemDataType(int item) const;

    // Writes the value attribute of an item. Returns false, sending nothing, unless running
    // with the item bound. done is called once: with the write's result, with BadTimeout when
    // no answer came within the request timeout, or with BadConnectionClosed when the link
    // broke first. done may be empty.
    bool write(int item, Variant value, const WriteDone& done);

    // The publish requests kept outstanding now (lowered by BadTooManyPublishRequests).
    int publishTarget() const { return m_publishTarget; }
    // The lifetime the server granted the current security token, in ms; 0 when none.
    uint32_t tokenLifetimeMs() const { return m_token.revisedLifetime; }
    uint32_t secureChannelId() const { return m_token.channelId; }
    uint32_t subscriptionId() const { return m_subscriptionId; }

    static std::string_view stateName(State state);

private:
    enum class ItemState {
        Unbound,   // to be resolved and monitored at the next chance
        Binding,   // its Read or CreateMonitoredItems is in flight
        Monitored, // the server reports its changes
        Rejected,  // the server refused it on this connection
    };

    struct Item
    {
        ExpandedNodeId node;
        NodeId resolved;
        ItemState state = ItemState::Unbound;
        std::optional<NodeId> dataType;       // its DataType attribute
        std::optional<BuiltinType> valueType; // of the last value delivered
        uint32_t monitoredItemId = 0;
    };

    using ResponseHandler = std::function<void(ServiceMessage& response)>;
    using FailureHandler = std::function<void(StatusCode status, const std::string& reason)>;

    enum class RequestKind {
        Internal, // part of connecting or binding: forgotten when the link breaks
        Resume,   // like Internal, but its handler also deals with a session or channel gone
        Publish,  // a timeout means the link is gone
        Write,    // its caller is told when the link breaks before the answer
    };

    struct Pending
    {
        TimerId timer = 0;
        RequestKind kind = RequestKind::Internal;
        std::string service; // for messages
        ResponseHandler onResponse;
        FailureHandler onFailure;
    };

    void setState(State state);
    void connect();
    void noteRefusal(StatusCode& status, std::string& reason);
    void reconnect();
    bool passwordChanged() const;
    void onConnected();
    void onReceived(ByteView bytes);
    void onHandshake(const RawChunk& chunk);
    void onMessage(AssembledMessage message);

    void sendHello();
    void openChannel(SecurityTokenRequestType type);
    void onChannelOpened(const OpenSecureChannelResponse& response, SecurityTokenRequestType type);
    // The step after a channel opens: the session kept from before is resumed, else one is
    // created.
    void startSession();
    bool needsDiscovery() const;
    void discoverEndpoints();
    void onEndpoints(const std::vector<EndpointDescription>& endpoints);
    void logOwnCertificate();
    pki::ApplicationIdentity applicationIdentity() const;
    void fillIdentity(ActivateSessionRequest& request);
    void createSession();
    void onSessionCreated(const CreateSessionResponse& created);
    void activateSession(State state, ResponseHandler onResponse, FailureHandler onFailure,
                         RequestKind kind);
    void resumeSession();
    void onResumeRefused(const std::string& reason);
    void readNamespaces();
    // Republishes what the outage swallowed when the subscription is kept, else creates one.
    void subscribe();
    void createSubscription();
    void onSubscriptionCreated(const CreateSubscriptionResponse& response);
    void republish(uint32_t sequenceNumber, int budget);
    void onRepublished(uint32_t sequenceNumber, int budget, ServiceMessage& message);
    void enterRunning();
    void bindItems();
    void onItemTypesRead(const std::vector<int>& items, const ReadResponse& response);
    void monitorItems(const std::vector<int>& items);
    void onItemsMonitored(const std::vector<int>& items, const CreateMonitoredItemsResponse& r);
    void rejectItem(int item, StatusCode status, const std::string& reason);
    void topUpPublish();
    void onPublished(PublishResponse& response);
    void onPublishFailure(StatusCode status, const std::string& reason);
    void deliver(const NotificationMessage& message);
    void restartKeepAliveTimer();
    void closeSession();
    void finishClose();

    // Sends a service request; exactly one of the handlers is called later (never inside this
    // call). The request header is filled in here.
    void send(ServiceMessage request, ResponseHandler onResponse, FailureHandler onFailure,
              std::chrono::milliseconds timeout, RequestKind kind = RequestKind::Internal);
    void sendMessage(MessageType type, const ServiceMessage& request, uint32_t requestId);
    // Tells the server the channel ends, where there is one; the stream is dropped afterwards
    // whether or not the message could be sent.
    void sendCloseChannel();
    template <class Response, class OnOk>
    ResponseHandler expect(OnOk onOk, FailureHandler onFailure);

    // The link is broken: tear down and schedule the next attempt.
    void lose(StatusCode status, const std::string& lossReason);
    // Drops the stream and everything tied to the connection, keeping the session and the
    // subscription for the next channel; returns the handlers of the requests that were
    // pending so the caller can fail them once the state is consistent.
    std::vector<FailureHandler> tearDown();
    void forgetSession();
    void forgetSubscription();
    void cancelTimer(TimerId& id);
    void retireStream();
    bool isFatal(StatusCode status) const;

    ClientSettings m_settings;
    StreamFactory m_streams;
    Clock& m_clock;
    Listener& m_listener;
    ReconnectBackoff m_backoff;

    State m_state = State::Stopped;
    Statistics m_stats;
    std::vector<Item> m_items;

    std::unique_ptr<Stream> m_stream;
    std::vector<std::unique_ptr<Stream>> m_retired;
    uint64_t m_generation = 0; // tells callbacks of an old stream from those of the current one
    ChannelEndpoint m_channel;
    HelloMessage m_hello;
    ChannelSecurityToken m_token;
    ByteString m_channelNonce; // of the last OpenSecureChannel request, for the token's keys
    bool m_renewing = false;
    // The endpoint this attempt's secured channel goes to, once discovery chose it; reset when
    // the attempt ends so that the next one reads the PKI folder afresh.
    std::optional<SecuredEndpoint> m_secured;
    // The password of the latest activation, and one the server refused, which is not sent again.
    std::optional<PasswordDigest> m_sentPassword;
    std::optional<PasswordDigest> m_refusedPassword;
    bool m_serverCertificateChanged = false; // in the latest attempt
    bool m_ownCertificateLogged = false;

    // The session and its subscription outlive a channel; both are null or 0 when there is none.
    NodeId m_authenticationToken;
    String m_anonymousPolicyId;
    ByteString m_sessionNonce; // the client nonce of CreateSession, which the server signs
    // The nonce of the server's last CreateSession or ActivateSession response: the next
    // ActivateSession signs it and encrypts the password with it.
    ByteString m_serverNonce;
    // The server's application URI from the endpoints its last session named; empty before
    // the first session. CreateSession offers it back as the server the client wants.
    String m_serverUri;
    std::vector<std::string> m_namespaces;
    uint32_t m_subscriptionId = 0;
    double m_publishingInterval = 0;
    uint32_t m_keepAliveCount = 0;
    int m_publishTarget = 0;
    int m_publishOutstanding = 0;
    std::vector<SubscriptionAcknowledgement> m_acks;
    uint32_t m_lastSequence = 0;   // of the last notification message delivered
    bool m_outageReported = false; // since the last time values flowed
    bool m_everRunning = false;    // values flowed on some connection since the last report

    uint32_t m_nextRequestId = 1;
    uint32_t m_nextRequestHandle = 1;
    std::map<uint32_t, Pending> m_pending; // by request id

    TimerId m_phaseTimer = 0;     // bounds Connecting and Handshaking
    TimerId m_renewTimer = 0;     // at 75% of the token lifetime
    TimerId m_keepAliveTimer = 0; // publish responses must come before it fires
    TimerId m_reconnectTimer = 0; // the backoff wait, or the deferred first connect
    TimerId m_retireTimer = 0;    // drops retired streams outside their handlers
};

} // namespace opcua
