#pragma once

#include "opcua/io.h"
#include "opcua/server/addressspace.h"
#include "opcua/server/lazydeadline.h"
#include "opcua/services.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace opcua {

// Where a subscription's messages go: the session that owns it and holds the client's queued
// Publish requests.
class PublishSink
{
public:
    virtual ~PublishSink() = default;
    // True when a Publish request is queued and can carry a message now.
    virtual bool hasPublishRequest() = 0;
    // Answers the oldest queued Publish request with `response` (subscription, sequence
    // numbers, message); the sink fills in the header and the acknowledgement results. The
    // message stays with the caller, which keeps it for retransmission without a copy. False
    // when no request could take it.
    virtual bool sendPublishResponse(PublishResponse& response) = 0;
    // The subscription ran out of lifetime: no Publish request came for its lifetime count of
    // publishing intervals. The sink deletes it (not from inside this call).
    virtual void subscriptionExpired(uint32_t subscriptionId) = 0;
};

// The caps and floors a server applies to subscriptions and monitored items.
struct SubscriptionLimits
{
    double minPublishingIntervalMs = 1.0;
    double maxPublishingIntervalMs = 3600000.0;
    double minSamplingIntervalMs = 1.0;
    double maxSamplingIntervalMs = 3600000.0;
    uint32_t maxKeepAliveCount = 100000;
    uint32_t maxLifetimeCount = 1000000;
    // A subscription lives at least this long without Publish requests, however short its
    // publishing interval, so that a client's round trip cannot outlast a 1 ms cycle's count.
    double minLifetimeMs = 10000.0;
    // And at most this long, whatever the client asks for, so that a vanished client's
    // subscriptions do not hold their places for a time it chose. Keep-alives are capped to fit.
    double maxLifetimeMs = 600000.0;
    uint32_t maxNotificationsPerPublish = 1000;
    uint32_t maxMonitoredItems = 1000;
    size_t retransmissionQueueSize = 16;
};

class Subscription;

// One monitored attribute of one node. Queue size 1: a newer sample replaces one not yet
// published. Samples are taken when the node's value changes, but no more often than the
// sampling interval; a change within the interval is sampled when the interval has passed.
class MonitoredItem final : public ValueWatcher
{
public:
    MonitoredItem(Subscription& subscription, AddressSpace& space, AddressSpace::Node& node,
                  uint32_t id, const MonitoredItemCreateRequest& request, double samplingIntervalMs,
                  const DataChangeFilter& filter, TimestampsToReturn timestamps);
    ~MonitoredItem() override;

    MonitoredItem(const MonitoredItem&) = delete;
    MonitoredItem& operator=(const MonitoredItem&) = delete;

    uint32_t id() const { return m_id; }
    uint32_t clientHandle() const { return m_clientHandle; }
    double samplingInterval() const { return m_samplingMs; }
    MonitoringMode mode() const { return m_mode; }
    bool hasNotification() const { return m_reportDue; }
    // The queued notification: the last sample with the timestamps asked for.
    MonitoredItemNotification takeNotification();

    void valueChanged(const DataValue& value) override;

private:
    template <class Value> void sample(Value&& value);
    bool changed(const DataValue& value) const;
    DataValue stamped(DataValue value) const;

    Subscription& m_subscription;
    AddressSpace& m_space;
    AddressSpace::Node& m_node;
    uint32_t m_id;
    uint32_t m_clientHandle;
    AttributeId m_attribute;
    MonitoringMode m_mode;
    double m_samplingMs;
    DataChangeFilter m_filter;
    TimestampsToReturn m_timestamps;
    // The one copy of a value an item keeps: what the next one is compared with and, until
    // taken, the notification to send.
    std::optional<DataValue> m_lastSample;
    bool m_reportDue = false;
    std::optional<DataValue> m_deferred; // a change waiting for the sampling interval
    std::optional<std::chrono::milliseconds> m_lastSampleTime;
    TimerId m_sampleTimer = 0;
};

// A subscription of one session: its monitored items and the timing of its messages.
//
// Messages are sent on demand rather than by a periodic timer: a new notification schedules a
// send at the end of the current publishing interval (at once when an interval has passed
// since the last message), so a change goes out with no more delay than the interval and an
// idle subscription costs one keep-alive timer. A keep-alive (a message without notifications
// carrying the next sequence number) goes out when nothing was sent for maxKeepAliveCount
// intervals; the first one one interval after creation. When no Publish request is queued at
// send time, the subscription is late and the session calls `serviceLate` when one arrives.
class Subscription
{
public:
    Subscription(uint32_t id, PublishSink& sink, Clock& clock, AddressSpace& space,
                 const SubscriptionLimits& limits);
    ~Subscription();

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    uint32_t id() const { return m_id; }
    double publishingInterval() const { return m_intervalMs; }
    uint32_t lifetimeCount() const { return m_lifetimeCount; }
    uint32_t maxKeepAliveCount() const { return m_keepAliveCount; }
    uint8_t priority() const { return m_priority; }
    bool publishingEnabled() const { return m_enabled; }
    bool isLate() const { return m_late; }
    size_t monitoredItemCount() const { return m_items.size(); }

    // Applies requested parameters, revised to the limits; the revised ones are readable above.
    void configure(double publishingIntervalMs, uint32_t lifetimeCount, uint32_t keepAliveCount,
                   uint32_t maxNotificationsPerPublish, uint8_t priority);
    void setPublishingEnabled(bool enabled);

    // The caller has checked `timestamps`.
    MonitoredItemCreateResult createMonitoredItem(const MonitoredItemCreateRequest& request,
                                                  TimestampsToReturn timestamps);
    StatusCode deleteMonitoredItem(uint32_t monitoredItemId);

    // Called by an item that queued a notification.
    void notificationReady();
    // A Publish request arrived for the session: the lifetime starts again, and a late
    // subscription sends now. True when it used a request.
    void publishRequestArrived();
    bool serviceLate();

    // Acknowledgement of a sequence number: Good, or BadSequenceNumberUnknown.
    StatusCode acknowledge(uint32_t sequenceNumber);
    // A message kept for retransmission, or nullptr.
    const NotificationMessage* republish(uint32_t sequenceNumber) const;

    Clock& clock() { return m_clock; }
    const SubscriptionLimits& limits() const { return m_limits; }

private:
    void schedulePublish();
    void onPublishTimer();
    void restartKeepAlive(std::chrono::milliseconds delay) { m_keepAlive.restart(delay); }
    void keepAliveDue();
    void restartLifetime();
    void lifetimeDue();
    bool hasNotifications() const;
    bool sendNotifications();
    bool sendKeepAlive();
    void send(PublishResponse& response);
    std::chrono::milliseconds intervalDuration() const;
    StatusCode checkItem(const MonitoredItemCreateRequest& request) const;
    double revisedSamplingInterval(double requested) const;
    std::vector<uint32_t> availableSequenceNumbers() const;

    uint32_t m_id;
    PublishSink& m_sink;
    Clock& m_clock;
    AddressSpace& m_space;
    SubscriptionLimits m_limits;
    double m_intervalMs = 100.0;
    uint32_t m_lifetimeCount = 3000;
    uint32_t m_keepAliveCount = 10;
    uint32_t m_maxNotifications = 0;
    uint8_t m_priority = 0;
    bool m_enabled = true;

    std::map<uint32_t, std::unique_ptr<MonitoredItem>> m_items;
    uint32_t m_nextItemId = 1;
    uint32_t m_nextSequence = 1;
    std::deque<NotificationMessage> m_retransmission;

    std::chrono::milliseconds m_lastSent{0};
    bool m_sentAny = false;       // a message (notifications or keep-alive) went out
    bool m_late = false;          // wants to send (notifications or keep-alive), no request
    bool m_keepAliveOwed = false; // the keep-alive interval passed with nothing sent
    TimerId m_publishTimer = 0;
    LazyDeadline m_keepAlive{m_clock, [this] { keepAliveDue(); }};
    LazyDeadline m_lifetime{m_clock, [this] { lifetimeDue(); }};
};

} // namespace opcua
