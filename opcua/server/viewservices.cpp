#include "opcua/security/crypto.h"
#include "opcua/server/servicecall.h"
#include "opcua/server/session.h"

#include <algorithm>

namespace opcua {

namespace {

constexpr size_t kContinuationPointLength = 16;

// Keeps what is beyond `perNode` references for BrowseNext, under a fresh continuation point,
// as long as the session has room for one more.
void holdBack(ServerSession& session, size_t maxPoints, uint32_t perNode, BrowseResult& result)
{
    if (result.references.size() <= perNode)
        return;
    if (session.continuationPoints.size() >= maxPoints) {
        result.references.clear();
        result.statusCode = status::BadNoContinuationPoints;
        return;
    }
    std::vector<ReferenceDescription> rest(result.references.begin() + perNode,
                                           result.references.end());
    result.references.resize(perNode);
    result.continuationPoint = ByteString(security::randomBytes(kContinuationPointLength));
    session.continuationPoints[result.continuationPoint] = std::move(rest);
}

BrowseResult browseNext(ServerSession& session, uint32_t perNode, bool release,
                        const ByteString& point)
{
    BrowseResult result;
    auto it = session.continuationPoints.find(point);
    if (it == session.continuationPoints.end()) {
        result.statusCode = status::BadContinuationPointInvalid;
        return result;
    }
    // Whatever happens, the point is used up; what remains goes under a fresh one.
    std::vector<ReferenceDescription> rest = std::move(it->second);
    session.continuationPoints.erase(it);
    result.statusCode = status::Good;
    if (release)
        return result;
    const auto n = ptrdiff_t(std::min<size_t>(perNode, rest.size()));
    result.references.assign(rest.begin(), rest.begin() + n);
    rest.erase(rest.begin(), rest.begin() + n);
    if (!rest.empty()) {
        result.continuationPoint = ByteString(security::randomBytes(kContinuationPointLength));
        session.continuationPoints[result.continuationPoint] = std::move(rest);
    }
    return result;
}

} // namespace

void serveBrowse(const ServiceCall& call, const BrowseRequest& request)
{
    const ServerSettings& settings = call.core.settings;
    uint32_t perNode = settings.maxReferencesPerNode;
    if (request.requestedMaxReferencesPerNode > 0)
        perNode = std::min(perNode, request.requestedMaxReferencesPerNode);
    const StatusCode check = request.view.viewId.isNull() ? status::Good : status::BadViewIdUnknown;
    serveEach<BrowseResponse>(
        call, request.nodesToBrowse,
        [&](const BrowseDescription& description) {
            BrowseResult result;
            result.statusCode = call.core.space.browse(description, result.references);
            holdBack(*call.session, settings.maxBrowseContinuationPoints, perNode, result);
            return result;
        },
        check);
}

void serveBrowseNext(const ServiceCall& call, const BrowseNextRequest& request)
{
    serveEach<BrowseNextResponse>(call, request.continuationPoints, [&](const ByteString& point) {
        return browseNext(*call.session, call.core.settings.maxReferencesPerNode,
                          request.releaseContinuationPoints, point);
    });
}

void serveTranslateBrowsePaths(const ServiceCall& call,
                               const TranslateBrowsePathsToNodeIdsRequest& request)
{
    serveEach<TranslateBrowsePathsToNodeIdsResponse>(
        call, request.browsePaths,
        [&](const BrowsePath& path) { return call.core.space.translate(path); });
}

} // namespace opcua
