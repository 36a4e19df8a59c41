#include "opcua/server/subscription.h"

#include <algorithm>
#include <cmath>

namespace opcua {

using std::chrono::milliseconds;

namespace {

milliseconds ceilMs(double ms)
{
    if (!(ms > 0.0))
        return milliseconds(0);
    return milliseconds(int64_t(std::ceil(std::min(ms, 1e12))));
}

// The value of a numeric scalar as a double, for deadbands.
std::optional<double> numericScalar(const Variant& v)
{
    const auto* scalar = std::get_if<Variant::Scalar>(&v.storage());
    if (!scalar)
        return std::nullopt;
    return std::visit(
        [](const auto& value) -> std::optional<double> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>)
                return double(value);
            else
                return std::nullopt;
        },
        *scalar);
}

bool isNumericType(const Variant& v)
{
    switch (v.type()) {
    case BuiltinType::SByte:
    case BuiltinType::Byte:
    case BuiltinType::Int16:
    case BuiltinType::UInt16:
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Float:
    case BuiltinType::Double:
        return true;
    default:
        return false;
    }
}

// What a monitored item's filter asks for, or why it cannot be had. `numericValue` says whether
// the item watches a numeric value, which an absolute deadband needs.
StatusCode readFilter(const ExtensionObject& object, bool numericValue, DataChangeFilter& filter)
{
    if (object.isNull())
        return status::Good;
    std::optional<DataChangeFilter> decoded;
    try {
        decoded = unpackBody<DataChangeFilter>(object);
    } catch (const DecodeError&) {
        return status::BadMonitoredItemFilterInvalid;
    }
    if (!decoded)
        return status::BadMonitoredItemFilterUnsupported;
    filter = *decoded;
    if (filter.trigger != DataChangeTrigger::Status &&
        filter.trigger != DataChangeTrigger::StatusValue &&
        filter.trigger != DataChangeTrigger::StatusValueTimestamp)
        return status::BadMonitoredItemFilterInvalid;
    if (filter.deadbandType == 2) {
        // Percent deadbands need an EURange, which no variable here has.
        return status::BadMonitoredItemFilterUnsupported;
    }
    if (filter.deadbandType > 2 || !(filter.deadbandValue >= 0.0))
        return status::BadDeadbandFilterInvalid;
    if (filter.deadbandType == 1 && !numericValue)
        return status::BadFilterNotAllowed;
    return status::Good;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// MonitoredItem

MonitoredItem::MonitoredItem(Subscription& subscription, AddressSpace& space,
                             AddressSpace::Node& node, uint32_t id,
                             const MonitoredItemCreateRequest& request, double samplingIntervalMs,
                             const DataChangeFilter& filter, TimestampsToReturn timestamps)
    : m_subscription(subscription), m_space(space), m_node(node), m_id(id),
      m_clientHandle(request.requestedParameters.clientHandle),
      m_attribute(AttributeId(request.itemToMonitor.attributeId)), m_mode(request.monitoringMode),
      m_samplingMs(samplingIntervalMs), m_filter(filter), m_timestamps(timestamps)
{
    if (m_attribute == AttributeId::Value)
        m_space.watch(m_node, this);
    if (m_mode == MonitoringMode::Disabled)
        return;
    // The first sample is always reported: the client's starting value.
    ReadValueId what;
    what.nodeId = node.id;
    what.attributeId = uint32_t(m_attribute);
    DataValue first =
        m_attribute == AttributeId::Value
            ? m_space.currentValue(m_node)
            : m_space.read(what, TimestampsToReturn::Both, m_subscription.clock().utcNow());
    m_lastSampleTime = m_subscription.clock().now();
    m_lastSample = std::move(first);
    m_reportDue = m_mode == MonitoringMode::Reporting;
}

MonitoredItem::~MonitoredItem()
{
    if (m_attribute == AttributeId::Value)
        m_space.unwatch(m_node, this);
    if (m_sampleTimer)
        m_subscription.clock().cancel(m_sampleTimer);
}

MonitoredItemNotification MonitoredItem::takeNotification()
{
    MonitoredItemNotification n;
    n.clientHandle = m_clientHandle;
    n.value = stamped(*m_lastSample);
    m_reportDue = false;
    return n;
}

void MonitoredItem::valueChanged(const DataValue& value)
{
    if (m_mode == MonitoringMode::Disabled)
        return;
    // Queue size 1 and at most one message per publishing interval make sampling at every
    // change equivalent to sampling at any interval up to the publishing interval, and it
    // reports the newest value. Only a longer sampling interval needs holding back.
    const auto now = m_subscription.clock().now();
    if (m_samplingMs > m_subscription.publishingInterval() && m_lastSampleTime) {
        const auto due = *m_lastSampleTime + ceilMs(m_samplingMs);
        if (now < due) {
            m_deferred = value;
            if (!m_sampleTimer) {
                m_sampleTimer = m_subscription.clock().start(due - now, [this] {
                    m_sampleTimer = 0;
                    if (m_deferred) {
                        DataValue v = std::move(*m_deferred);
                        m_deferred.reset();
                        sample(std::move(v));
                    }
                });
            }
            return;
        }
    }
    sample(value);
}

template <class Value> void MonitoredItem::sample(Value&& value)
{
    m_lastSampleTime = m_subscription.clock().now();
    if (m_lastSample && !changed(value))
        return;
    m_lastSample = std::forward<Value>(value);
    if (m_mode != MonitoringMode::Reporting)
        return;
    m_reportDue = true;
    m_subscription.notificationReady();
}

bool MonitoredItem::changed(const DataValue& value) const
{
    const DataValue& last = *m_lastSample;
    if (value.statusOrGood() != last.statusOrGood())
        return true;
    switch (m_filter.trigger) {
    case DataChangeTrigger::Status:
        return false;
    case DataChangeTrigger::StatusValueTimestamp:
        if (value.sourceTimestamp != last.sourceTimestamp)
            return true;
        break;
    case DataChangeTrigger::StatusValue:
        break;
    }
    if (m_filter.deadbandType == 1 && value.value && last.value) {
        const auto now = numericScalar(*value.value);
        const auto before = numericScalar(*last.value);
        if (now && before)
            return std::abs(*now - *before) > m_filter.deadbandValue;
    }
    return value.value != last.value;
}

DataValue MonitoredItem::stamped(DataValue value) const
{
    switch (m_timestamps) {
    case TimestampsToReturn::Source:
        value.serverTimestamp.reset();
        value.serverPicoseconds.reset();
        break;
    case TimestampsToReturn::Server:
        value.sourceTimestamp.reset();
        value.sourcePicoseconds.reset();
        break;
    case TimestampsToReturn::Both:
        break;
    case TimestampsToReturn::Neither:
    case TimestampsToReturn::Invalid:
        value.serverTimestamp.reset();
        value.serverPicoseconds.reset();
        value.sourceTimestamp.reset();
        value.sourcePicoseconds.reset();
        break;
    }
    if (value.status && *value.status == status::Good)
        value.status.reset();
    return value;
}

// ---------------------------------------------------------------------------------------------
// Subscription

Subscription::Subscription(uint32_t id, PublishSink& sink, Clock& clock, AddressSpace& space,
                           const SubscriptionLimits& limits)
    : m_id(id), m_sink(sink), m_clock(clock), m_space(space), m_limits(limits)
{
    m_lastSent = m_clock.now();
    configure(m_intervalMs, m_lifetimeCount, m_keepAliveCount, 0, 0);
}

Subscription::~Subscription()
{
    m_items.clear();
    if (m_publishTimer)
        m_clock.cancel(m_publishTimer);
}

void Subscription::configure(double publishingIntervalMs, uint32_t lifetimeCount,
                             uint32_t keepAliveCount, uint32_t maxNotificationsPerPublish,
                             uint8_t priority)
{
    double interval = publishingIntervalMs;
    if (!(interval >= m_limits.minPublishingIntervalMs))
        interval = m_limits.minPublishingIntervalMs; // NaN included
    interval = std::min(interval, m_limits.maxPublishingIntervalMs);
    m_intervalMs = interval;

    // The lifetime is at least three keep-alives; both fit in the longest lifetime.
    const auto longest = uint64_t(std::max(3.0, std::floor(m_limits.maxLifetimeMs / interval)));
    uint32_t keepAlive = keepAliveCount == 0 ? 10 : keepAliveCount;
    keepAlive = std::min(keepAlive, m_limits.maxKeepAliveCount);
    keepAlive = uint32_t(std::min<uint64_t>(keepAlive, longest / 3));
    m_keepAliveCount = keepAlive;

    uint64_t lifetime = std::max<uint64_t>(lifetimeCount, uint64_t(keepAlive) * 3);
    const auto minimum = uint64_t(std::ceil(m_limits.minLifetimeMs / interval));
    lifetime = std::max(lifetime, minimum);
    lifetime = std::min<uint64_t>(
        lifetime, std::max<uint64_t>(m_limits.maxLifetimeCount, uint64_t(keepAlive) * 3));
    lifetime = std::min(lifetime, std::max(longest, uint64_t(keepAlive) * 3));
    m_lifetimeCount = uint32_t(std::min<uint64_t>(lifetime, 0xFFFFFFFFu));

    m_maxNotifications =
        maxNotificationsPerPublish == 0
            ? m_limits.maxNotificationsPerPublish
            : std::min(maxNotificationsPerPublish, m_limits.maxNotificationsPerPublish);
    m_priority = priority;

    // The timers follow the new interval from the last message on.
    const auto now = m_clock.now();
    // Until the first message, the keep-alive is due one interval after creation: it tells the
    // client that the subscription works.
    const auto keepAliveDue =
        m_lastSent + intervalDuration() * int64_t(m_sentAny ? m_keepAliveCount : 1);
    restartKeepAlive(std::max(milliseconds(0), keepAliveDue - now));
    restartLifetime();
    if (m_publishTimer) {
        m_clock.cancel(m_publishTimer);
        m_publishTimer = 0;
        schedulePublish();
    }
}

milliseconds Subscription::intervalDuration() const
{
    return std::max(milliseconds(1), ceilMs(m_intervalMs));
}

void Subscription::setPublishingEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled && hasNotifications())
        schedulePublish();
}

StatusCode Subscription::checkItem(const MonitoredItemCreateRequest& request) const
{
    const ReadValueId& what = request.itemToMonitor;
    if (what.attributeId < 1 || what.attributeId > 22)
        return status::BadAttributeIdInvalid;
    if (AttributeId(what.attributeId) == AttributeId::EventNotifier) {
        // Events are not offered: there is nothing to filter them with.
        return status::BadMonitoredItemFilterUnsupported;
    }
    const StatusCode probe =
        m_space.read(what, TimestampsToReturn::Neither, m_clock.utcNow()).statusOrGood();
    if (probe == status::BadAttributeIdInvalid || probe == status::BadDataEncodingInvalid ||
        probe == status::BadDataEncodingUnsupported)
        return probe;
    if (!what.indexRange.isEmpty())
        return status::BadIndexRangeInvalid;
    if (request.monitoringMode != MonitoringMode::Disabled &&
        request.monitoringMode != MonitoringMode::Sampling &&
        request.monitoringMode != MonitoringMode::Reporting)
        return status::BadMonitoringModeInvalid;
    if (m_items.size() >= m_limits.maxMonitoredItems)
        return status::BadTooManyMonitoredItems;
    return status::Good;
}

double Subscription::revisedSamplingInterval(double requested) const
{
    double sampling = requested == -1.0 ? m_intervalMs : requested;
    if (!(sampling >= m_limits.minSamplingIntervalMs))
        sampling = m_limits.minSamplingIntervalMs; // 0 (fastest) and NaN included
    return std::min(sampling, m_limits.maxSamplingIntervalMs);
}

MonitoredItemCreateResult
Subscription::createMonitoredItem(const MonitoredItemCreateRequest& request,
                                  TimestampsToReturn timestamps)
{
    MonitoredItemCreateResult result;
    AddressSpace::Node* found = m_space.find(request.itemToMonitor.nodeId);
    result.statusCode = found ? checkItem(request) : status::BadNodeIdUnknown;
    if (result.statusCode.isBad())
        return result;
    AddressSpace::Node& node = *found;
    const bool numericValue =
        AttributeId(request.itemToMonitor.attributeId) == AttributeId::Value && node.value.value &&
        isNumericType(*node.value.value);
    DataChangeFilter filter;
    result.statusCode = readFilter(request.requestedParameters.filter, numericValue, filter);
    if (result.statusCode.isBad())
        return result;

    const double sampling = revisedSamplingInterval(request.requestedParameters.samplingInterval);
    const uint32_t id = m_nextItemId++;
    auto item = std::make_unique<MonitoredItem>(*this, m_space, node, id, request, sampling, filter,
                                                timestamps);
    const bool ready = item->hasNotification();
    m_items.emplace(id, std::move(item));
    if (ready)
        notificationReady();

    result.monitoredItemId = id;
    result.revisedSamplingInterval = sampling;
    result.revisedQueueSize = 1;
    return result;
}

StatusCode Subscription::deleteMonitoredItem(uint32_t monitoredItemId)
{
    return m_items.erase(monitoredItemId) ? status::Good : status::BadMonitoredItemIdInvalid;
}

bool Subscription::hasNotifications() const
{
    return std::any_of(m_items.begin(), m_items.end(),
                       [](const auto& entry) { return entry.second->hasNotification(); });
}

void Subscription::notificationReady()
{
    schedulePublish();
}

void Subscription::schedulePublish()
{
    if (!m_enabled || m_publishTimer || m_late)
        return;
    const auto due = m_lastSent + intervalDuration();
    const auto delay = std::max(milliseconds(0), due - m_clock.now());
    m_publishTimer = m_clock.start(delay, [this] { onPublishTimer(); });
}

void Subscription::onPublishTimer()
{
    m_publishTimer = 0;
    if (!m_enabled || !hasNotifications())
        return;
    if (!sendNotifications())
        m_late = true;
}

std::vector<uint32_t> Subscription::availableSequenceNumbers() const
{
    std::vector<uint32_t> numbers;
    numbers.reserve(m_retransmission.size());
    for (const NotificationMessage& m : m_retransmission)
        numbers.push_back(m.sequenceNumber);
    return numbers;
}

bool Subscription::sendNotifications()
{
    if (!m_sink.hasPublishRequest())
        return false;
    // Counted first, so that the notifications are moved into their vector once.
    const auto due = size_t(std::count_if(m_items.begin(), m_items.end(), [](const auto& entry) {
        return entry.second->hasNotification();
    }));
    DataChangeNotification changes;
    changes.monitoredItems.reserve(std::min<size_t>(due, m_maxNotifications));
    bool more = false;
    for (auto& [id, item] : m_items) {
        if (!item->hasNotification())
            continue;
        if (changes.monitoredItems.size() >= m_maxNotifications) {
            more = true;
            break;
        }
        changes.monitoredItems.push_back(item->takeNotification());
    }
    if (changes.monitoredItems.empty())
        return false;

    PublishResponse response;
    response.moreNotifications = more;
    NotificationMessage& message = response.notificationMessage;
    message.sequenceNumber = m_nextSequence;
    m_nextSequence = m_nextSequence == 0xFFFFFFFFu ? 1 : m_nextSequence + 1;
    message.publishTime = m_clock.utcNow();
    message.notificationData.push_back(std::move(changes));
    // The message goes out first and into the retransmission queue afterwards, moved rather
    // than copied; the oldest make room before, so that the response lists what is kept.
    const bool keep = m_limits.retransmissionQueueSize > 0;
    while (!m_retransmission.empty() &&
           m_retransmission.size() + (keep ? 1 : 0) > m_limits.retransmissionQueueSize)
        m_retransmission.pop_front();
    response.availableSequenceNumbers = availableSequenceNumbers();
    if (keep)
        response.availableSequenceNumbers.push_back(message.sequenceNumber);
    send(response);
    if (keep)
        m_retransmission.push_back(std::move(message));
    if (more && !m_publishTimer)
        m_publishTimer = m_clock.start(milliseconds(0), [this] { onPublishTimer(); });
    return true;
}

bool Subscription::sendKeepAlive()
{
    if (!m_sink.hasPublishRequest())
        return false;
    PublishResponse response;
    response.notificationMessage.sequenceNumber = m_nextSequence;
    response.notificationMessage.publishTime = m_clock.utcNow();
    response.availableSequenceNumbers = availableSequenceNumbers();
    send(response);
    return true;
}

// Any answer to a publish request, notifications or a keep-alive, shows the client the
// subscription is alive and restarts both of its counts.
void Subscription::send(PublishResponse& response)
{
    response.subscriptionId = m_id;
    m_sink.sendPublishResponse(response);
    m_lastSent = m_clock.now();
    m_sentAny = true;
    m_late = false;
    m_keepAliveOwed = false;
    restartKeepAlive(intervalDuration() * int64_t(m_keepAliveCount));
    restartLifetime();
}

void Subscription::keepAliveDue()
{
    if (m_enabled && hasNotifications()) {
        // Notifications are on their way (or waiting for a request); they keep it alive.
        schedulePublish();
        restartKeepAlive(intervalDuration() * int64_t(m_keepAliveCount));
        return;
    }
    m_keepAliveOwed = true;
    if (!sendKeepAlive()) {
        m_late = true;
        restartKeepAlive(intervalDuration() * int64_t(m_keepAliveCount));
    }
}

void Subscription::restartLifetime()
{
    m_lifetime.restart(ceilMs(m_intervalMs * double(m_lifetimeCount)));
}

void Subscription::lifetimeDue()
{
    if (m_sink.hasPublishRequest()) {
        restartLifetime();
        return;
    }
    m_sink.subscriptionExpired(m_id);
}

void Subscription::publishRequestArrived()
{
    restartLifetime();
}

bool Subscription::serviceLate()
{
    if (!m_late)
        return false;
    if (m_enabled && hasNotifications())
        return sendNotifications();
    if (m_keepAliveOwed)
        return sendKeepAlive();
    m_late = false;
    return false;
}

StatusCode Subscription::acknowledge(uint32_t sequenceNumber)
{
    auto it = std::find_if(
        m_retransmission.begin(), m_retransmission.end(),
        [&](const NotificationMessage& m) { return m.sequenceNumber == sequenceNumber; });
    if (it == m_retransmission.end())
        return status::BadSequenceNumberUnknown;
    m_retransmission.erase(it);
    return status::Good;
}

const NotificationMessage* Subscription::republish(uint32_t sequenceNumber) const
{
    for (const NotificationMessage& m : m_retransmission) {
        if (m.sequenceNumber == sequenceNumber)
            return &m;
    }
    return nullptr;
}

} // namespace opcua
