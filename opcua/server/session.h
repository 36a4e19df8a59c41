#pragma once

#include "opcua/channelendpoint.h"
#include "opcua/io.h"
#include "opcua/server/server.h"
#include "opcua/server/subscription.h"
#include "opcua/services.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace opcua {

class ServerConnection;
struct ServerCore;

// One session: its subscriptions, the client's queued Publish requests, and the continuation
// points of its browses. It closes itself when not activated within the server's activation
// timeout, and when unused for its own timeout; the publish requests it holds are answered on
// the connection they came from, as long as that one is open.
struct ServerSession final : PublishSink
{
    struct QueuedPublish
    {
        uint64_t connectionId;
        uint32_t requestId;
        uint32_t requestHandle;
        std::vector<StatusCode> acknowledgementResults;
        std::optional<std::chrono::milliseconds> deadline; // from the request's timeout hint
    };

    // `number` orders sessions by age.
    ServerSession(ServerCore& core, uint32_t number, NodeId token, double timeoutMs, String name);
    ~ServerSession() override;

    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Marks the session used now, which puts its timeout off.
    void touch();
    // Activates the session on `connection`, which it moves to.
    void activate(const ServerConnection& connection);
    // Acknowledges what the request acknowledges, then holds it until a subscription has
    // something to send, its timeout hint passes, or newer requests push it out of the queue.
    void queuePublish(ServerConnection& connection, uint32_t requestId,
                      const PublishRequest& request);
    // Answers every queued publish request with a ServiceFault of `status`.
    void answerQueued(StatusCode status);

    bool hasPublishRequest() override;
    bool sendPublishResponse(PublishResponse& response) override;
    void subscriptionExpired(uint32_t subscriptionId) override;

    ServerCore& core;
    uint32_t number;
    NodeId sessionId;
    NodeId token;
    double timeoutMs;
    String name;
    uint64_t connectionId = 0;
    // The address of the client, from the channel it was created or last activated on.
    PeerAddress peer;
    bool activated = false;
    // When the channel of the activated session went; empty while it has one.
    std::optional<std::chrono::milliseconds> channelLostAt;
    // An ActivateSession request waits for its address's turn; a second one is refused.
    bool activationWaiting = false;
    int failedActivations = 0;
    // The security of the channel the session was created on; it may move to another channel
    // only with the same.
    ChannelSecurity channel;
    // The last nonce sent, which the client signs and encrypts a password with.
    ByteBuffer serverNonce;
    std::map<uint32_t, std::unique_ptr<Subscription>> subscriptions;
    std::map<ByteString, std::vector<ReferenceDescription>> continuationPoints;

private:
    void armTimeout(std::chrono::milliseconds delay);
    void serviceLateSubscriptions();
    void armPublishTimeout();
    void publishTimedOut();
    void answer(const QueuedPublish& queued, StatusCode status);

    TimerId m_activationTimer = 0;
    TimerId m_timeoutTimer = 0;
    std::chrono::milliseconds m_lastUsed{0};
    std::deque<QueuedPublish> m_publishQueue;
    TimerId m_publishTimer = 0;
    std::chrono::milliseconds m_publishTimerAt{0};
};

} // namespace opcua
