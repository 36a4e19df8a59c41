#include "opcua/client/clientinternal.h"
#include "opcua/security/openssl.h"

#include <algorithm>
#include <array>

namespace opcua {

using std::chrono::milliseconds;

namespace {

// Statuses that say the server no longer has the session: the next channel needs a new one.
constexpr std::array kSessionGoneStatuses{
    status::BadSessionIdInvalid,
    status::BadSessionClosed,
    status::BadSessionNotActivated,
};

// Statuses by which a server refuses this client's certificate when a secured channel opens.
constexpr std::array kCertificateRefusedStatuses{
    status::BadSecurityChecksFailed,
    status::BadCertificateUntrusted,
};

// Statuses by which a server refuses the user name or password of an activation.
constexpr std::array kPasswordRefusedStatuses{
    status::BadUserAccessDenied,
    status::BadIdentityTokenRejected,
};

// Statuses that say the session or the channel is gone: nothing more can be sent on them.
constexpr std::array kFatalStatuses{
    status::BadSessionIdInvalid,
    status::BadSessionClosed,
    status::BadSessionNotActivated,
    status::BadSecureChannelIdInvalid,
    status::BadSecureChannelClosed,
    status::BadSecureChannelTokenUnknown,
    status::BadTcpSecureChannelUnknown,
    status::BadServerHalted,
    status::BadShutdown,
    status::BadCommunicationError,
    status::BadConnectionClosed,
    status::BadNotConnected,
    status::BadServerNotConnected,
    status::BadSequenceNumberInvalid,
};

template <size_t N> bool isOneOf(const std::array<StatusCode, N>& statuses, StatusCode status)
{
    return std::any_of(statuses.begin(), statuses.end(),
                       [status](StatusCode listed) { return status.sameCode(listed); });
}

} // namespace

std::string_view Client::stateName(State state)
{
    switch (state) {
    case State::Stopped:
        return "stopped";
    case State::Connecting:
        return "connecting";
    case State::Handshaking:
        return "handshaking";
    case State::OpeningChannel:
        return "opening channel";
    case State::Discovering:
        return "discovering endpoints";
    case State::CreatingSession:
        return "creating session";
    case State::ActivatingSession:
        return "activating session";
    case State::ResumingSession:
        return "resuming session";
    case State::ReadingNamespaces:
        return "reading namespaces";
    case State::CreatingSubscription:
        return "creating subscription";
    case State::Republishing:
        return "republishing";
    case State::Running:
        return "running";
    case State::Closing:
        return "closing";
    case State::WaitingToReconnect:
        return "waiting to reconnect";
    }
    return "unknown";
}

Client::Client(ClientSettings settings, StreamFactory streams, Clock& clock, Listener& listener,
               ReconnectBackoff::Random random)
    : m_settings(std::move(settings)), m_streams(std::move(streams)), m_clock(clock),
      m_listener(listener), m_backoff(std::move(random)),
      m_channel(ChannelSide::Client, m_settings.receiveBufferSize)
{}

Client::~Client()
{
    cancelTimer(m_reconnectTimer);
    cancelTimer(m_retireTimer);
    if (m_stream && m_stream->isOpen() && m_channel.isOpen() && !m_authenticationToken.isNull()) {
        // Nothing waits for answers here: the server is told the session and the channel end,
        // and cleans up after itself if the words never reach it.
        try {
            CloseSessionRequest close;
            close.requestHeader.authenticationToken = m_authenticationToken;
            close.requestHeader.timestamp = m_clock.utcNow();
            close.requestHeader.requestHandle = m_nextRequestHandle++;
            sendMessage(MessageType::Message, close, m_nextRequestId++);
        } catch (const std::exception&) {
            // The link is being dropped anyway.
        }
    }
    sendCloseChannel();
    tearDown();
    cancelTimer(m_retireTimer);
}

void Client::start()
{
    if (m_state != State::Stopped)
        return;
    m_outageReported = false;
    m_everRunning = false;
    m_backoff.reset();
    m_refusedPassword.reset();
    setState(State::WaitingToReconnect);
    m_reconnectTimer = m_clock.start(milliseconds(0), [this] {
        m_reconnectTimer = 0;
        connect();
    });
}

void Client::stop()
{
    switch (m_state) {
    case State::Stopped:
    case State::Closing:
        return;
    case State::Running:
    case State::ReadingNamespaces:
    case State::CreatingSubscription:
    case State::Republishing:
        break;
    case State::Connecting:
    case State::Handshaking:
    case State::OpeningChannel:
    case State::Discovering:
    case State::CreatingSession:
    case State::ActivatingSession:
    case State::ResumingSession:
    case State::WaitingToReconnect:
        // A session kept for the next channel is left to time out on the server.
        finishClose();
        return;
    }
    setState(State::Closing);
    cancelTimer(m_keepAliveTimer);
    if (m_subscriptionId == 0) {
        closeSession();
        return;
    }
    DeleteSubscriptionsRequest request;
    request.subscriptionIds = {m_subscriptionId};
    send(
        std::move(request), [this](ServiceMessage&) { closeSession(); },
        [this](StatusCode, const std::string&) { closeSession(); }, m_settings.requestTimeout);
}

void Client::closeSession()
{
    if (m_state != State::Closing)
        return;
    CloseSessionRequest request;
    request.deleteSubscriptions = true;
    send(
        std::move(request), [this](ServiceMessage&) { finishClose(); },
        [this](StatusCode, const std::string&) { finishClose(); }, m_settings.requestTimeout);
}

void Client::finishClose()
{
    cancelTimer(m_reconnectTimer);
    sendCloseChannel();
    auto failures = tearDown();
    m_secured.reset();
    forgetSession();
    setState(State::Stopped);
    for (auto& failure : failures)
        failure(status::BadConnectionClosed, "the client stopped");
}

void Client::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    const std::string_view name = stateName(state);
    if (lcClient.enabled(LogLevel::Info))
        lcClient.info(m_settings.endpoint.url + ": " + std::string(name));
    m_listener.stateChanged(state);
}

void Client::lose(StatusCode status, const std::string& lossReason)
{
    switch (m_state) {
    case State::Stopped:
    case State::WaitingToReconnect:
        return;
    case State::Closing:
        finishClose();
        return;
    case State::Connecting:
    case State::Handshaking:
    case State::OpeningChannel:
    case State::Discovering:
    case State::CreatingSession:
    case State::ActivatingSession:
    case State::ResumingSession:
    case State::ReadingNamespaces:
    case State::CreatingSubscription:
    case State::Republishing:
    case State::Running:
        break;
    }
    std::string reason = lossReason;
    noteRefusal(status, reason);
    // A session never activated cannot move to another channel.
    if (isOneOf(kSessionGoneStatuses, status) || m_state == State::ActivatingSession)
        forgetSession();
    const bool wasConnected = m_everRunning;
    auto failures = tearDown();
    m_secured.reset();
    const bool report = !m_outageReported;
    m_outageReported = true;
    m_everRunning = false;
    const milliseconds delay = m_backoff.nextDelay();
    const std::string cause = reason + " (" + statusName(status) + ")";
    if (report) {
        lcClient.warning("connection to " + m_settings.endpoint.url +
                         (wasConnected ? " lost: " : " failed: ") + cause + "; next attempt in " +
                         std::to_string(delay.count()) + " ms");
    } else {
        lcClient.info("attempt " + std::to_string(m_backoff.attempts()) + " failed: " + cause +
                      "; next in " + std::to_string(delay.count()) + " ms");
    }
    setState(State::WaitingToReconnect);
    m_reconnectTimer = m_clock.start(delay, [this] {
        m_reconnectTimer = 0;
        reconnect();
    });
    for (auto& failure : failures)
        failure(status::BadConnectionClosed, "the connection was lost before the answer came");
    if (report) {
        ++m_stats.outages;
        m_listener.connectionLost(status, reason, wasConnected);
    } else {
        m_listener.attemptFailed(status, reason);
    }
}

// What the operator needs to act on a refusal: the server refusing this client's certificate
// when the secured channel opens is told as a failed security check naming the certificate,
// whatever code the server gave; a refused password is remembered, and not sent again.
void Client::noteRefusal(StatusCode& status, std::string& reason)
{
    if (m_state == State::OpeningChannel && m_secured &&
        isOneOf(kCertificateRefusedStatuses, status)) {
        const pki::OwnCertificate& own = m_secured->certificates.own;
        status = status::BadSecurityChecksFailed;
        reason += "; the server refused this client's certificate " + own.certificateFile.string() +
                  " (thumbprint " + own.certificate.thumbprintHex() +
                  "): it must be trusted on the server";
    }
    if (m_state == State::ActivatingSession && m_sentPassword &&
        isOneOf(kPasswordRefusedStatuses, status)) {
        m_refusedPassword = m_sentPassword;
        reason +=
            "; the same password is not sent again: the next attempt waits until the password "
            "file holds another one";
    }
}

// A password the server refused is not sent again: a server that locks an account after a few
// failures would lock the operator out. It is read again at each step of the backoff, and the
// client connects once it has changed, or can no longer be read, which that attempt reports.
void Client::reconnect()
{
    if (m_refusedPassword && !passwordChanged()) {
        m_reconnectTimer = m_clock.start(m_backoff.nextDelay(), [this] {
            m_reconnectTimer = 0;
            reconnect();
        });
        return;
    }
    m_refusedPassword.reset();
    connect();
}

bool Client::passwordChanged() const
{
    try {
        std::string password = m_settings.security.password();
        const ssl::Wiped wipePassword(password);
        return passwordDigest(password) != *m_refusedPassword;
    } catch (const Error&) {
        return true;
    }
}

std::vector<Client::FailureHandler> Client::tearDown()
{
    ++m_generation;
    cancelTimer(m_phaseTimer);
    cancelTimer(m_renewTimer);
    cancelTimer(m_keepAliveTimer);
    std::vector<FailureHandler> failures;
    for (auto& [id, pending] : m_pending) {
        m_clock.cancel(pending.timer);
        // Only writes have someone outside waiting; the connect sequence and the item binding
        // start over with the next connection.
        if (pending.kind == RequestKind::Write && pending.onFailure)
            failures.push_back(std::move(pending.onFailure));
    }
    m_pending.clear();
    retireStream();
    m_channel = ChannelEndpoint(ChannelSide::Client, m_settings.receiveBufferSize);
    m_token = ChannelSecurityToken{};
    m_renewing = false;
    m_publishOutstanding = 0;
    // Items bound in the kept subscription stay so; the others are tried again.
    for (auto& item : m_items) {
        if (item.state != ItemState::Monitored)
            item.state = ItemState::Unbound;
    }
    return failures;
}

void Client::cancelTimer(TimerId& id)
{
    if (id != 0)
        m_clock.cancel(id);
    id = 0;
}

void Client::retireStream()
{
    if (!m_stream)
        return;
    m_stream->close();
    m_retired.push_back(std::move(m_stream));
    // The stream may be the one whose handler is running now; it is dropped from the event
    // loop instead.
    if (m_retireTimer == 0) {
        m_retireTimer = m_clock.start(milliseconds(0), [this] {
            m_retireTimer = 0;
            m_retired.clear();
        });
    }
}

bool Client::isFatal(StatusCode status) const
{
    return isOneOf(kFatalStatuses, status);
}

} // namespace opcua
