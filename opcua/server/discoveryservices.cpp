#include "opcua/securechannel.h"
#include "opcua/server/servicecall.h"

namespace opcua {

namespace {

ApplicationDescription describeApplication(const ServerCore& core, const String& url)
{
    ApplicationDescription app;
    app.applicationUri = String(core.settings.applicationUri);
    app.productUri = String(core.settings.productUri);
    app.applicationName = {String("en"), String(core.settings.applicationName)};
    app.applicationType = ApplicationType::Server;
    app.discoveryUrls = {url.isEmpty() ? String(core.endpointUrl) : url};
    return app;
}

// The URL the client asked about, or the one it connected with.
String urlOf(const ServiceCall& call, const String& requested)
{
    return requested.isEmpty() ? String(call.connection.endpointUrl()) : requested;
}

} // namespace

std::vector<EndpointDescription> describeEndpoints(const ServiceCall& call,
                                                   const String& requestedUrl)
{
    // The endpoint is described with the URL the client used, so that a client comparing
    // URLs finds it whatever name it reached the server by.
    const String url = urlOf(call, requestedUrl);
    const ServerSecurity& security = call.core.settings.security;
    std::vector<EndpointDescription> endpoints;
    for (const EndpointSecurity& offered : security.endpoints) {
        EndpointDescription endpoint;
        endpoint.endpointUrl = url.isEmpty() ? String(call.core.endpointUrl) : url;
        endpoint.server = describeApplication(call.core, url);
        if (security.certificate)
            endpoint.serverCertificate = ByteString(security.certificate->der());
        endpoint.securityMode = offered.mode;
        endpoint.securityPolicyUri = String(std::string(offered.policy->uri));
        endpoint.userIdentityTokens = userTokenPolicies(security, offered);
        endpoint.transportProfileUri = String(kTransportProfileUaTcp);
        endpoint.securityLevel = securityLevel(offered);
        endpoints.push_back(std::move(endpoint));
    }
    return endpoints;
}

void serveGetEndpoints(const ServiceCall& call, const GetEndpointsRequest& request)
{
    auto response = call.answer<GetEndpointsResponse>();
    bool wanted = request.profileUris.empty();
    for (const String& profile : request.profileUris)
        wanted = wanted || profile.str() == kTransportProfileUaTcp;
    if (wanted)
        response.endpoints = describeEndpoints(call, request.endpointUrl);
    call.reply(response);
}

void serveFindServers(const ServiceCall& call, const FindServersRequest& request)
{
    auto response = call.answer<FindServersResponse>();
    bool wanted = request.serverUris.empty();
    for (const String& uri : request.serverUris)
        wanted = wanted || uri.str() == call.core.settings.applicationUri;
    if (wanted)
        response.servers = {describeApplication(call.core, urlOf(call, request.endpointUrl))};
    call.reply(response);
}

} // namespace opcua
