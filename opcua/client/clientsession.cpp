#include "opcua/client/clientinternal.h"
#include "opcua/nodeid.h"
#include "opcua/security/crypto.h"
#include "opcua/security/openssl.h"

namespace opcua {

namespace {

// The nonce length servers expect in CreateSession, even without security.
constexpr size_t kNonceLength = 32;

// The application URI of the server whose endpoints these are; empty when none names it.
String applicationUriOf(const std::vector<EndpointDescription>& endpoints)
{
    for (const auto& endpoint : endpoints) {
        if (!endpoint.server.applicationUri.isEmpty())
            return endpoint.server.applicationUri;
    }
    return String();
}

// The policy id of the anonymous identity token the server offers without security.
String anonymousPolicyOf(const std::vector<EndpointDescription>& endpoints)
{
    for (const auto& endpoint : endpoints) {
        if (endpoint.securityMode != MessageSecurityMode::None)
            continue;
        for (const auto& token : endpoint.userIdentityTokens) {
            if (token.tokenType == UserTokenType::Anonymous)
                return token.policyId;
        }
    }
    return String("anonymous");
}

} // namespace

// Once, so that the operator has the thumbprint to compare when trusting it on a server.
void Client::logOwnCertificate()
{
    if (m_ownCertificateLogged)
        return;
    m_ownCertificateLogged = true;
    const pki::OwnCertificate& own = m_secured->certificates.own;
    lcClient.info("this client's certificate is " + own.certificateFile.string() + ", thumbprint " +
                  own.certificate.thumbprintHex());
}

pki::ApplicationIdentity Client::applicationIdentity() const
{
    pki::ApplicationIdentity identity;
    identity.applicationName = m_settings.applicationName.str();
    identity.applicationUri = m_settings.applicationUri.str();
    identity.hostName = pki::localHostName();
    return identity;
}

void Client::startSession()
{
    if (m_authenticationToken.isNull())
        createSession();
    else
        resumeSession();
}

void Client::createSession()
{
    setState(State::CreatingSession);
    CreateSessionRequest request;
    request.clientDescription.applicationUri = m_settings.applicationUri;
    request.clientDescription.productUri = m_settings.productUri;
    request.clientDescription.applicationName.text = m_settings.applicationName;
    request.clientDescription.applicationType = ApplicationType::Client;
    request.serverUri = m_serverUri;
    request.endpointUrl = String(m_settings.endpoint.url);
    request.sessionName = m_settings.sessionName;
    request.clientNonce = ByteString(security::randomBytes(kNonceLength));
    m_sessionNonce = request.clientNonce;
    if (m_secured) {
        request.clientCertificate = ByteString(m_secured->certificates.own.certificate.der());
        request.serverUri = m_secured->endpoint.server.applicationUri;
    }
    request.requestedSessionTimeout = m_settings.requestedSessionTimeoutMs;
    request.maxResponseMessageSize = m_settings.maxMessageSize;
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "CreateSession failed: " + reason);
    };
    send(std::move(request),
         expect<CreateSessionResponse>(
             [this](CreateSessionResponse& response) { onSessionCreated(response); }, onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onSessionCreated(const CreateSessionResponse& created)
{
    if (m_secured) {
        try {
            checkCreatedSession(*m_secured, created, m_sessionNonce.bytes(), m_settings.security);
        } catch (const Error& error) {
            lose(error.status(), "CreateSession: " + std::string(error.what()));
            return;
        }
    }
    ++m_stats.sessionsCreated;
    m_authenticationToken = created.authenticationToken;
    m_serverNonce = created.serverNonce;
    m_serverUri = applicationUriOf(created.serverEndpoints);
    m_anonymousPolicyId = anonymousPolicyOf(created.serverEndpoints);
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "ActivateSession failed: " + reason);
    };
    activateSession(State::ActivatingSession,
                    expect<ActivateSessionResponse>(
                        [this](ActivateSessionResponse&) { readNamespaces(); }, onFailure),
                    onFailure, RequestKind::Internal);
}

void Client::activateSession(State state, ResponseHandler onResponse, FailureHandler onFailure,
                             RequestKind kind)
{
    setState(state);
    ActivateSessionRequest request;
    try {
        fillIdentity(request);
    } catch (const Error& error) {
        lose(error.status(), error.what());
        return;
    }
    auto keepNonce = [this, onResponse = std::move(onResponse)](ServiceMessage& message) {
        if (const auto* activated = std::get_if<ActivateSessionResponse>(&message))
            m_serverNonce = activated->serverNonce;
        onResponse(message);
    };
    send(std::move(request), std::move(keepNonce), std::move(onFailure), m_settings.requestTimeout,
         kind);
}

// Without discovery the session is anonymous and unsigned, with the token policy the server
// named when the session was created. The password file is read at each activation, so that
// a corrected one counts at the next attempt.
void Client::fillIdentity(ActivateSessionRequest& request)
{
    if (!m_secured) {
        request.userIdentityToken = packBody(AnonymousIdentityToken{m_anonymousPolicyId});
        return;
    }
    UserIdentity user{m_settings.security.userName, {}};
    const ssl::Wiped wipePassword(user.password);
    if (!user.userName.empty()) {
        if (!m_settings.security.password)
            throw Error(status::BadConfigurationError,
                        "no password is configured for user \"" + user.userName + "\"");
        user.password = m_settings.security.password();
        m_sentPassword = passwordDigest(user.password);
    }
    authenticate(request, *m_secured, user, m_serverNonce.bytes());
}

// The session moves to the new channel with the same token. Any refusal by the server leads to
// a new session: retrying one it will not resume would lock the panel out.
void Client::resumeSession()
{
    auto onResumed = [this](ActivateSessionResponse&) {
        ++m_stats.sessionsResumed;
        if (m_namespaces.empty())
            readNamespaces();
        else
            subscribe();
    };
    auto onRefused = [this](StatusCode, const std::string& reason) { onResumeRefused(reason); };
    auto onNoAnswer = [this](StatusCode status, const std::string& reason) {
        lose(status, "resuming the session failed: " + reason);
    };
    activateSession(State::ResumingSession, expect<ActivateSessionResponse>(onResumed, onRefused),
                    onNoAnswer, RequestKind::Resume);
}

void Client::onResumeRefused(const std::string& reason)
{
    lcClient.info("the server would not resume the session (" + reason +
                  "); abandoning it for a new one");
    forgetSession();
    createSession();
}

void Client::readNamespaces()
{
    setState(State::ReadingNamespaces);
    ReadRequest request;
    request.timestampsToReturn = TimestampsToReturn::Neither;
    ReadValueId namespaces;
    namespaces.nodeId = NodeId(0, ids::Server_NamespaceArray);
    namespaces.attributeId = uint32_t(AttributeId::Value);
    request.nodesToRead.push_back(namespaces);
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "reading the namespace array failed: " + reason);
    };
    send(std::move(request),
         expect<ReadResponse>(
             [this](ReadResponse& response) {
                 m_namespaces.clear();
                 if (response.results.size() == 1 && response.results[0].value &&
                     !response.results[0].statusOrGood().isBad()) {
                     const Variant& value = *response.results[0].value;
                     if (const auto* uris = value.elements<String>()) {
                         for (const auto& uri : *uris)
                             m_namespaces.push_back(uri.str());
                     } else if (const auto uri = value.scalar<String>()) {
                         // Some servers send a table of one namespace as a scalar.
                         m_namespaces.push_back(uri->str());
                     }
                 }
                 subscribe();
             },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::forgetSession()
{
    m_authenticationToken = NodeId();
    m_sessionNonce = ByteString();
    m_serverNonce = ByteString();
    m_namespaces.clear();
    forgetSubscription();
}

} // namespace opcua
