#include "opcua/client/clientinternal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace opcua {

using std::chrono::milliseconds;

namespace {

// A session's subscription outlives this long without publish requests, whatever the interval.
constexpr milliseconds kSubscriptionLifetime{10000};

// The longest keep-alive period the client plans its timers with, whatever the server granted.
constexpr milliseconds kMaxKeepAlivePeriod = std::chrono::hours(24);

// The most notification messages Republish recovers after an outage. A server keeps only a few
// for retransmission; the bound stops one that answers every Republish.
constexpr int kMaxRepublished = 100;

// Sequence numbers of notification messages skip 0 when they wrap.
uint32_t nextSequence(uint32_t sequenceNumber)
{
    return sequenceNumber == UINT32_MAX ? 1 : sequenceNumber + 1;
}

// How long the server may stay silent: its revised publishing interval times its keep-alive
// count. Both are the server's numbers and may be anything (NaN, infinite, negative, huge); the
// period is kept between 0 and kMaxKeepAlivePeriod so that the timers built on it stay in range.
milliseconds keepAlivePeriodOf(double publishingIntervalMs, uint32_t keepAliveCount)
{
    const double period = std::ceil(publishingIntervalMs * double(keepAliveCount));
    if (!(period > 0.0))
        return milliseconds(0);
    return milliseconds(int64_t(std::min(period, double(kMaxKeepAlivePeriod.count()))));
}

} // namespace

void Client::subscribe()
{
    if (m_subscriptionId == 0)
        createSubscription();
    else
        republish(nextSequence(m_lastSequence), kMaxRepublished);
}

void Client::createSubscription()
{
    setState(State::CreatingSubscription);
    const double interval = std::max(m_settings.publishingIntervalMs, 1.0);
    const auto keepAlive = uint32_t(
        std::clamp(std::ceil(double(m_settings.keepAlivePeriod.count()) / interval), 1.0, 10000.0));
    const auto lifetime = uint32_t(std::max(
        double(keepAlive) * 3, std::ceil(double(kSubscriptionLifetime.count()) / interval)));
    CreateSubscriptionRequest request;
    request.requestedPublishingInterval = m_settings.publishingIntervalMs;
    request.requestedMaxKeepAliveCount = keepAlive;
    request.requestedLifetimeCount = lifetime;
    request.maxNotificationsPerPublish = 0;
    request.publishingEnabled = true;
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "CreateSubscription failed: " + reason);
    };
    send(std::move(request),
         expect<CreateSubscriptionResponse>(
             [this](CreateSubscriptionResponse& response) { onSubscriptionCreated(response); },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onSubscriptionCreated(const CreateSubscriptionResponse& response)
{
    ++m_stats.subscriptionsCreated;
    m_subscriptionId = response.subscriptionId;
    m_publishingInterval = response.revisedPublishingInterval;
    m_keepAliveCount = std::max<uint32_t>(response.revisedMaxKeepAliveCount, 1);
    m_publishTarget = std::max(m_settings.publishRequests, 1);
    m_lastSequence = 0;
    enterRunning();
}

// Asks for the notification messages after the last one delivered, one at a time and in order,
// before any Publish: a newer value must not arrive ahead of an older one.
void Client::republish(uint32_t sequenceNumber, int budget)
{
    if (budget == 0) {
        enterRunning();
        return;
    }
    setState(State::Republishing);
    RepublishRequest request;
    request.subscriptionId = m_subscriptionId;
    request.retransmitSequenceNumber = sequenceNumber;
    send(
        std::move(request),
        [this, sequenceNumber, budget](ServiceMessage& message) {
            onRepublished(sequenceNumber, budget, message);
        },
        [this](StatusCode status, const std::string& reason) {
            lose(status, "Republish failed: " + reason);
        },
        m_settings.requestTimeout, RequestKind::Resume);
}

void Client::onRepublished(uint32_t sequenceNumber, int budget, ServiceMessage& message)
{
    if (m_state != State::Republishing)
        return;
    const StatusCode result = serviceResultOf(message);
    auto* response = std::get_if<RepublishResponse>(&message);
    if (result.sameCode(status::BadSubscriptionIdInvalid) ||
        result.sameCode(status::BadNoSubscription)) {
        // The session outlived its subscription; the items are monitored anew.
        forgetSubscription();
        createSubscription();
        return;
    }
    if (isFatal(result)) {
        lose(result, "Republish was answered with " + statusName(result));
        return;
    }
    // BadMessageNotAvailable ends the catch-up, and so does any other refusal: what is missing
    // then stays missing, and the next change of each item brings its value.
    if (result.isBad() || !response ||
        response->notificationMessage.sequenceNumber != sequenceNumber) {
        enterRunning();
        return;
    }
    ++m_stats.republished;
    m_lastSequence = sequenceNumber;
    m_acks.push_back({m_subscriptionId, sequenceNumber});
    const uint64_t generation = m_generation;
    deliver(response->notificationMessage);
    if (generation == m_generation)
        republish(nextSequence(sequenceNumber), budget - 1);
}

void Client::enterRunning()
{
    m_backoff.reset();
    m_outageReported = false;
    m_everRunning = true;
    if (lcClient.enabled(LogLevel::Info)) {
        char interval[32];
        std::snprintf(interval, sizeof interval, "%g", m_publishingInterval);
        lcClient.info("connected to " + m_settings.endpoint.url + ": subscription " +
                      std::to_string(m_subscriptionId) + ", publishing every " + interval +
                      " ms, keep-alive every " + std::to_string(m_keepAliveCount) + " intervals");
    }
    setState(State::Running);
    restartKeepAliveTimer();
    bindItems();
    topUpPublish();
}

void Client::topUpPublish()
{
    const milliseconds period = keepAlivePeriodOf(m_publishingInterval, m_keepAliveCount);
    // The server holds each request until it has something to say; the last one in the queue
    // waits for all before it.
    const milliseconds timeout =
        period * (m_publishTarget + 1) + m_settings.keepAliveMargin + m_settings.requestTimeout;
    while (m_state == State::Running && m_publishOutstanding < m_publishTarget) {
        PublishRequest request;
        request.subscriptionAcknowledgements = std::move(m_acks);
        m_acks.clear();
        ++m_publishOutstanding;
        auto onFailure = [this](StatusCode status, const std::string& reason) {
            --m_publishOutstanding;
            onPublishFailure(status, reason);
        };
        send(std::move(request),
             expect<PublishResponse>(
                 [this](PublishResponse& response) {
                     --m_publishOutstanding;
                     onPublished(response);
                 },
                 onFailure),
             onFailure, timeout, RequestKind::Publish);
    }
}

void Client::onPublished(PublishResponse& response)
{
    if (m_state != State::Running)
        return;
    ++m_stats.publishResponses;
    restartKeepAliveTimer();
    if (response.subscriptionId == m_subscriptionId) {
        if (response.notificationMessage.notificationData.empty()) {
            ++m_stats.keepAlives;
        } else {
            m_lastSequence = response.notificationMessage.sequenceNumber;
            m_acks.push_back({m_subscriptionId, m_lastSequence});
            const uint64_t generation = m_generation;
            deliver(response.notificationMessage);
            if (generation != m_generation)
                return;
        }
    }
    topUpPublish();
}

void Client::onPublishFailure(StatusCode status, const std::string& reason)
{
    if (m_state != State::Running)
        return;
    if (status.sameCode(status::BadTooManyPublishRequests)) {
        // The server keeps fewer requests than asked; the ones it holds are enough.
        const int target = std::max(1, m_publishOutstanding);
        if (target < m_publishTarget) {
            lcClient.info("the server holds at most " + std::to_string(target) +
                          " publish requests; keeping that many outstanding");
            m_publishTarget = target;
        }
        topUpPublish();
        return;
    }
    if (status.sameCode(status::BadTimeout) || status.sameCode(status::BadRequestTimeout)) {
        // The server let one request expire after its timeout hint; send another.
        topUpPublish();
        return;
    }
    lose(status, "Publish failed: " + statusName(status) +
                     (reason.empty() ? std::string() : " (" + reason + ")"));
}

void Client::deliver(const NotificationMessage& message)
{
    const uint64_t generation = m_generation;
    for (const auto& notification : message.notificationData) {
        if (const auto* dataChange = std::get_if<DataChangeNotification>(&notification)) {
            for (const auto& item : dataChange->monitoredItems) {
                if (item.clientHandle >= m_items.size())
                    continue;
                Item& it = m_items[item.clientHandle];
                if (it.state != ItemState::Monitored && it.state != ItemState::Binding)
                    continue;
                if (item.value.value && !item.value.value->isEmpty())
                    it.valueType = item.value.value->type();
                ++m_stats.notifications;
                m_listener.itemChanged(int(item.clientHandle), item.value);
                if (generation != m_generation)
                    return;
            }
        } else if (const auto* statusChange =
                       std::get_if<StatusChangeNotification>(&notification)) {
            if (statusChange->status.isBad()) {
                forgetSubscription();
                lose(statusChange->status,
                     "the server ended the subscription: " + statusName(statusChange->status));
                return;
            }
        }
    }
}

void Client::restartKeepAliveTimer()
{
    cancelTimer(m_keepAliveTimer);
    const milliseconds period = keepAlivePeriodOf(m_publishingInterval, m_keepAliveCount);
    const milliseconds deadline = period + std::max(m_settings.keepAliveMargin, period / 2);
    m_keepAliveTimer = m_clock.start(deadline, [this, deadline] {
        m_keepAliveTimer = 0;
        lose(status::BadTimeout, "no data and no keep-alive from the server within " +
                                     std::to_string(deadline.count()) + " ms");
    });
}

void Client::forgetSubscription()
{
    m_subscriptionId = 0;
    m_publishingInterval = 0;
    m_keepAliveCount = 0;
    m_lastSequence = 0;
    m_acks.clear();
    for (auto& item : m_items) {
        item.state = ItemState::Unbound;
        item.dataType.reset();
        item.valueType.reset();
        item.monitoredItemId = 0;
    }
}

} // namespace opcua
