#include "opcua/server/servicecall.h"
#include "opcua/server/session.h"

namespace opcua {

namespace {

// The session's subscription with this id, or nullptr after a ServiceFault
// (BadSubscriptionIdInvalid) has answered the request.
Subscription* subscriptionFor(const ServiceCall& call, uint32_t subscriptionId)
{
    auto& subscriptions = call.session->subscriptions;
    auto it = subscriptions.find(subscriptionId);
    if (it != subscriptions.end())
        return it->second.get();
    call.fault(status::BadSubscriptionIdInvalid);
    return nullptr;
}

template <class Response> Response revised(const ServiceCall& call, const Subscription& s)
{
    auto response = call.answer<Response>();
    response.revisedPublishingInterval = s.publishingInterval();
    response.revisedLifetimeCount = s.lifetimeCount();
    response.revisedMaxKeepAliveCount = s.maxKeepAliveCount();
    return response;
}

} // namespace

void serveCreateSubscription(const ServiceCall& call, const CreateSubscriptionRequest& request)
{
    ServerCore& core = call.core;
    ServerSession& session = *call.session;
    if (session.subscriptions.size() >= core.settings.maxSubscriptionsPerSession ||
        !core.makeRoom(Holding::Subscription, session.peer))
        return call.fault(status::BadTooManySubscriptions);
    const uint32_t id = core.nextSubscriptionId++;
    auto subscription = std::make_unique<Subscription>(id, session, core.clock, core.space,
                                                       core.settings.subscriptions);
    subscription->configure(request.requestedPublishingInterval, request.requestedLifetimeCount,
                            request.requestedMaxKeepAliveCount, request.maxNotificationsPerPublish,
                            request.priority);
    subscription->setPublishingEnabled(request.publishingEnabled);
    auto response = revised<CreateSubscriptionResponse>(call, *subscription);
    response.subscriptionId = id;
    session.subscriptions.emplace(id, std::move(subscription));
    ++core.counters.cumulatedSubscriptions;
    call.reply(response);
}

void serveModifySubscription(const ServiceCall& call, const ModifySubscriptionRequest& request)
{
    Subscription* subscription = subscriptionFor(call, request.subscriptionId);
    if (!subscription)
        return;
    subscription->configure(request.requestedPublishingInterval, request.requestedLifetimeCount,
                            request.requestedMaxKeepAliveCount, request.maxNotificationsPerPublish,
                            request.priority);
    call.reply(revised<ModifySubscriptionResponse>(call, *subscription));
}

void serveDeleteSubscriptions(const ServiceCall& call, const DeleteSubscriptionsRequest& request)
{
    ServerSession& session = *call.session;
    const bool served =
        serveEach<DeleteSubscriptionsResponse>(call, request.subscriptionIds, [&](uint32_t id) {
            return session.subscriptions.erase(id) ? status::Good
                                                   : status::BadSubscriptionIdInvalid;
        });
    if (served && session.subscriptions.empty())
        session.answerQueued(status::BadNoSubscription);
}

void serveSetPublishingMode(const ServiceCall& call, const SetPublishingModeRequest& request)
{
    auto& subscriptions = call.session->subscriptions;
    serveEach<SetPublishingModeResponse>(call, request.subscriptionIds, [&](uint32_t id) {
        auto it = subscriptions.find(id);
        if (it == subscriptions.end())
            return status::BadSubscriptionIdInvalid;
        it->second->setPublishingEnabled(request.publishingEnabled);
        return status::Good;
    });
}

void serveCreateMonitoredItems(const ServiceCall& call, const CreateMonitoredItemsRequest& request)
{
    Subscription* subscription = subscriptionFor(call, request.subscriptionId);
    if (!subscription)
        return;
    const TimestampsToReturn timestamps = request.timestampsToReturn;
    ServerCore& core = call.core;
    const PeerAddress& peer = call.session->peer;
    core.makeRoom(Holding::MonitoredItem, peer, request.itemsToCreate.size());
    // Counted once per request: only this request adds items meanwhile.
    size_t onServer = core.held(Holding::MonitoredItem, nullptr);
    size_t ofAddress = core.held(Holding::MonitoredItem, &peer.host);
    serveEach<CreateMonitoredItemsResponse>(
        call, request.itemsToCreate,
        [&](const MonitoredItemCreateRequest& item) {
            MonitoredItemCreateResult result;
            result.statusCode = status::BadTooManyMonitoredItems;
            if (onServer >= core.settings.maxMonitoredItems ||
                ofAddress >= core.settings.maxMonitoredItemsPerAddress)
                return result;
            result = subscription->createMonitoredItem(item, timestamps);
            const size_t added = result.statusCode.isGood() ? 1 : 0;
            onServer += added;
            ofAddress += added;
            return result;
        },
        isValidChoice(timestamps) ? status::Good : status::BadTimestampsToReturnInvalid);
}

void serveDeleteMonitoredItems(const ServiceCall& call, const DeleteMonitoredItemsRequest& request)
{
    Subscription* subscription = subscriptionFor(call, request.subscriptionId);
    if (!subscription)
        return;
    serveEach<DeleteMonitoredItemsResponse>(call, request.monitoredItemIds, [&](uint32_t id) {
        return subscription->deleteMonitoredItem(id);
    });
}

void servePublish(const ServiceCall& call, const PublishRequest& request)
{
    call.session->queuePublish(call.connection, call.requestId, request);
}

void serveRepublish(const ServiceCall& call, const RepublishRequest& request)
{
    Subscription* subscription = subscriptionFor(call, request.subscriptionId);
    if (!subscription)
        return;
    const NotificationMessage* message = subscription->republish(request.retransmitSequenceNumber);
    if (!message)
        return call.fault(status::BadMessageNotAvailable);
    auto response = call.answer<RepublishResponse>();
    response.notificationMessage = *message;
    call.reply(response);
}

} // namespace opcua
