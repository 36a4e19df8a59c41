#include "opcua/server/session.h"

#include "opcua/server/connection.h"
#include "opcua/server/servercore.h"

#include <cmath>

namespace opcua {

using std::chrono::milliseconds;

ServerSession::ServerSession(ServerCore& core, uint32_t number, NodeId token, double timeoutMs,
                             String name)
    : core(core), number(number), sessionId(1, number), token(std::move(token)),
      timeoutMs(timeoutMs), name(std::move(name))
{
    m_activationTimer = core.clock.start(core.settings.activationTimeout, [this] {
        m_activationTimer = 0;
        ++this->core.counters.sessionTimeouts;
        logEvent(LogLevel::Info, peer, "session " + toString(sessionId) + " not activated in time");
        this->core.closeSession(*this, status::BadSessionClosed);
    });
}

ServerSession::~ServerSession()
{
    for (TimerId timer : {m_activationTimer, m_publishTimer, m_timeoutTimer}) {
        if (timer)
            core.clock.cancel(timer);
    }
    subscriptions.clear();
}

void ServerSession::activate(const ServerConnection& connection)
{
    connectionId = connection.id();
    peer = connection.peer();
    activated = true;
    channelLostAt.reset();
    if (m_activationTimer) {
        core.clock.cancel(m_activationTimer);
        m_activationTimer = 0;
    }
    touch();
}

// Every request touches its session; the timer is armed once per timeout, not per request,
// and on firing looks at when the session was last used.
void ServerSession::touch()
{
    m_lastUsed = core.clock.now();
    if (!m_timeoutTimer)
        armTimeout(milliseconds(int64_t(std::ceil(timeoutMs))));
}

void ServerSession::armTimeout(milliseconds delay)
{
    m_timeoutTimer = core.clock.start(delay, [this] {
        m_timeoutTimer = 0;
        const auto deadline = m_lastUsed + milliseconds(int64_t(std::ceil(timeoutMs)));
        const auto now = core.clock.now();
        if (now < deadline) {
            armTimeout(deadline - now);
            return;
        }
        ++core.counters.sessionTimeouts;
        logEvent(LogLevel::Info, peer, "session " + toString(sessionId) + " timed out");
        core.closeSession(*this, status::BadSessionClosed);
    });
}

bool ServerSession::hasPublishRequest()
{
    while (!m_publishQueue.empty()) {
        ServerConnection* c = core.connection(m_publishQueue.front().connectionId);
        if (c && c->isOpen())
            return true;
        m_publishQueue.pop_front();
    }
    return false;
}

bool ServerSession::sendPublishResponse(PublishResponse& response)
{
    if (!hasPublishRequest())
        return false;
    QueuedPublish queued = std::move(m_publishQueue.front());
    m_publishQueue.pop_front();
    response.responseHeader.timestamp = core.clock.utcNow();
    response.responseHeader.requestHandle = queued.requestHandle;
    response.results = std::move(queued.acknowledgementResults);
    core.connection(queued.connectionId)->send(queued.requestId, response);
    return true;
}

void ServerSession::subscriptionExpired(uint32_t subscriptionId)
{
    // The subscription is inside its own timer; it goes once that has returned.
    ServerCore& owner = core;
    core.defer([&owner, subscriptionId, token = token] {
        ServerSession* session = owner.session(token);
        if (!session)
            return;
        session->subscriptions.erase(subscriptionId);
        if (session->subscriptions.empty())
            session->answerQueued(status::BadNoSubscription);
    });
}

void ServerSession::answer(const QueuedPublish& queued, StatusCode status)
{
    if (ServerConnection* c = core.connection(queued.connectionId))
        c->sendFault(queued.requestId, queued.requestHandle, status);
}

void ServerSession::answerQueued(StatusCode status)
{
    while (!m_publishQueue.empty()) {
        const QueuedPublish queued = std::move(m_publishQueue.front());
        m_publishQueue.pop_front();
        answer(queued, status);
    }
}

// One timer for all queued requests, armed for the earliest deadline.
void ServerSession::armPublishTimeout()
{
    std::optional<milliseconds> earliest;
    for (const QueuedPublish& q : m_publishQueue) {
        if (q.deadline && (!earliest || *q.deadline < *earliest))
            earliest = q.deadline;
    }
    if (!earliest || (m_publishTimer && m_publishTimerAt <= *earliest))
        return;
    if (m_publishTimer)
        core.clock.cancel(m_publishTimer);
    m_publishTimerAt = *earliest;
    m_publishTimer = core.clock.start(*earliest - core.clock.now(), [this] {
        m_publishTimer = 0;
        publishTimedOut();
    });
}

void ServerSession::publishTimedOut()
{
    const auto now = core.clock.now();
    for (auto it = m_publishQueue.begin(); it != m_publishQueue.end();) {
        if (!it->deadline || *it->deadline > now) {
            ++it;
            continue;
        }
        const QueuedPublish queued = std::move(*it);
        it = m_publishQueue.erase(it);
        answer(queued, status::BadTimeout);
    }
    armPublishTimeout();
}

void ServerSession::queuePublish(ServerConnection& connection, uint32_t requestId,
                                 const PublishRequest& request)
{
    QueuedPublish queued;
    queued.connectionId = connection.id();
    queued.requestId = requestId;
    queued.requestHandle = request.requestHeader.requestHandle;
    for (const SubscriptionAcknowledgement& ack : request.subscriptionAcknowledgements) {
        auto it = subscriptions.find(ack.subscriptionId);
        queued.acknowledgementResults.push_back(it == subscriptions.end()
                                                    ? status::BadSubscriptionIdInvalid
                                                    : it->second->acknowledge(ack.sequenceNumber));
    }
    if (subscriptions.empty()) {
        connection.sendFault(requestId, queued.requestHandle, status::BadNoSubscription);
        return;
    }
    if (request.requestHeader.timeoutHint > 0)
        queued.deadline = core.clock.now() + milliseconds(request.requestHeader.timeoutHint);
    m_publishQueue.push_back(std::move(queued));
    armPublishTimeout();
    if (m_publishQueue.size() > core.settings.maxPublishRequestsPerSession) {
        const QueuedPublish oldest = std::move(m_publishQueue.front());
        m_publishQueue.pop_front();
        answer(oldest, status::BadTooManyPublishRequests);
    }
    for (auto& [id, subscription] : subscriptions)
        subscription->publishRequestArrived();
    serviceLateSubscriptions();
}

void ServerSession::serviceLateSubscriptions()
{
    // Late subscriptions take the requests in order of priority, then of id.
    while (hasPublishRequest()) {
        Subscription* next = nullptr;
        for (auto& [id, subscription] : subscriptions) {
            if (subscription->isLate() && (!next || subscription->priority() > next->priority()))
                next = subscription.get();
        }
        if (!next)
            return;
        if (!next->serviceLate() && next->isLate())
            return;
    }
}

} // namespace opcua
