#pragma once

#include "opcua/server/connection.h"
#include "opcua/server/servercore.h"
#include "opcua/services.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// The server's services, in groups by the file that implements them, and what they share.
namespace opcua {

struct ServerSession;

// One request on its way through a service: where it came from and how to answer it.
struct ServiceCall
{
    ServerCore& core;
    ServerConnection& connection;
    uint32_t requestId = 0;
    const RequestHeader& header;
    DateTime now;
    ServerSession* session = nullptr; // the activated session, for services that need one

    // A response to this request, its header filled in.
    template <class Response> Response answer() const
    {
        Response response;
        response.responseHeader.timestamp = now;
        response.responseHeader.requestHandle = header.requestHandle;
        return response;
    }
    void reply(const ServiceMessage& response) const { connection.send(requestId, response); }
    void fault(StatusCode status) const
    {
        connection.sendFault(requestId, header.requestHandle, status);
    }
};

// Serves a request made of a list of operations: a ServiceFault with BadNothingToDo for an
// empty list, BadTooManyOperations for one longer than the server's maxOperationsPerRequest,
// or `check` when that is not Good; otherwise a response with one result per operation, from
// serveOne, in order. Returns whether the operations were served.
template <class Response, class Operation, class ServeOne>
bool serveEach(const ServiceCall& call, const std::vector<Operation>& operations, ServeOne serveOne,
               StatusCode check = status::Good)
{
    StatusCode verdict = check;
    if (operations.empty())
        verdict = status::BadNothingToDo;
    else if (operations.size() > call.core.settings.maxOperationsPerRequest)
        verdict = status::BadTooManyOperations;
    if (!verdict.isGood()) {
        call.fault(verdict);
        return false;
    }
    auto response = call.answer<Response>();
    response.results.reserve(operations.size());
    for (const Operation& operation : operations)
        response.results.push_back(serveOne(operation));
    call.reply(response);
    return true;
}

// Whether a request's TimestampsToReturn is one of the four choices.
inline bool isValidChoice(TimestampsToReturn timestamps)
{
    return timestamps >= TimestampsToReturn::Source && timestamps <= TimestampsToReturn::Neither;
}

// discoveryservices.cpp
void serveGetEndpoints(const ServiceCall& call, const GetEndpointsRequest& request);
void serveFindServers(const ServiceCall& call, const FindServersRequest& request);
// The server's endpoints, one per security mode and policy offered, described with the URL the
// client asked about, else the one it connected with.
std::vector<EndpointDescription> describeEndpoints(const ServiceCall& call,
                                                   const String& requestedUrl);

// sessionservices.cpp
void serveCreateSession(const ServiceCall& call, const CreateSessionRequest& request);
void serveActivateSession(const ServiceCall& call, const ActivateSessionRequest& request);
void serveCloseSession(const ServiceCall& call, const CloseSessionRequest& request);

// attributeservices.cpp
void serveRead(const ServiceCall& call, const ReadRequest& request);
void serveWrite(const ServiceCall& call, const WriteRequest& request);

// viewservices.cpp
void serveBrowse(const ServiceCall& call, const BrowseRequest& request);
void serveBrowseNext(const ServiceCall& call, const BrowseNextRequest& request);
void serveTranslateBrowsePaths(const ServiceCall& call,
                               const TranslateBrowsePathsToNodeIdsRequest& request);

// subscriptionservices.cpp
void serveCreateSubscription(const ServiceCall& call, const CreateSubscriptionRequest& request);
void serveModifySubscription(const ServiceCall& call, const ModifySubscriptionRequest& request);
void serveDeleteSubscriptions(const ServiceCall& call, const DeleteSubscriptionsRequest& request);
void serveSetPublishingMode(const ServiceCall& call, const SetPublishingModeRequest& request);
void serveCreateMonitoredItems(const ServiceCall& call, const CreateMonitoredItemsRequest& request);
void serveDeleteMonitoredItems(const ServiceCall& call, const DeleteMonitoredItemsRequest& request);
void servePublish(const ServiceCall& call, const PublishRequest& request);
void serveRepublish(const ServiceCall& call, const RepublishRequest& request);

} // namespace opcua
