// The client's state machine against a fake server over a FakeStream and a ManualClock: the
// connect sequence, renewal, timeouts, keep-alive supervision, backoff, publish flow control,
// writes and the orderly close. No sockets, no sleeping.

#include "opcua/client/backoff.h"
#include "opcua/client/client.h"
#include "tests/client/fakeserver.h"
#include "tests/opcua/testbytes.h"

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using fake::dataValue;
using opcua::Client;
using opcua::DataValue;
using opcua::NodeId;
using opcua::StatusCode;
namespace status = opcua::status;

Q_DECLARE_METATYPE(opcua::Client::State)

namespace {

// How a running link ends.
enum class Ending {
    ChannelCut,   // the server closes the connection
    PublishFault, // the server answers a Publish with a fault
    StatusChange, // the server answers a Publish with a status change notification
    Garbage,      // the server sends bytes no server sends
};

struct Recorder : Client::Listener
{
    std::vector<std::pair<int, DataValue>> values;
    std::vector<std::pair<int, StatusCode>> rejected;
    struct Loss
    {
        StatusCode status;
        std::string reason;
        bool wasConnected;
    };
    std::vector<Loss> losses;

    void itemChanged(int item, const DataValue& value) override
    {
        values.emplace_back(item, value);
    }
    void itemRejected(int item, StatusCode status, const std::string&) override
    {
        rejected.emplace_back(item, status);
    }
    void connectionLost(StatusCode status, const std::string& reason, bool wasConnected) override
    {
        losses.push_back({status, reason, wasConnected});
    }
};

struct Fixture
{
    opcua::ManualClock clock;
    fake::FakeServer server;
    Recorder recorder;
    std::optional<Client> client; // a test may destroy it

    // `random` stands for the random source that spreads the reconnection waits.
    explicit Fixture(double random = 0.5, opcua::SecuritySettings security = {})
    {
        opcua::ClientSettings settings;
        settings.security = std::move(security);
        settings.endpoint = *opcua::parseEndpoint("opc.tcp://fake-host:4841/ua");
        settings.publishingIntervalMs = 100;
        settings.samplingIntervalMs = 50;
        settings.requestTimeout = 5000ms;
        settings.keepAliveMargin = 1000ms;
        settings.keepAlivePeriod = 1000ms;
        client.emplace(settings, server.factory(), clock, recorder, [random] { return random; });
        client->addItem(opcua::parseExpandedNodeId("nsu=urn:servo-panel:sim;s=Servo2.CommandWord"));
        client->addItem(opcua::parseExpandedNodeId("ns=1;i=77"));
    }

    void settle() { server.settle(clock); }

    // Ends the link as `ending` says, with `status` in the answer to the oldest Publish.
    void end(Ending ending, StatusCode status, const opcua::ByteBuffer& garbage)
    {
        if (ending == Ending::ChannelCut)
            return server.stream()->peerClose();
        if (ending == Ending::Garbage)
            return server.sendRaw(garbage);
        if (ending == Ending::PublishFault)
            return server.fault(server.popPublish(), status);
        server.statusChange(status);
    }

    void startRunning()
    {
        client->start();
        settle();
    }
};

} // namespace

Q_DECLARE_METATYPE(Ending)

class TestClient : public QObject
{
    Q_OBJECT
private slots:
    // Nothing happens inside start(): the connection is made from the event loop.
    void theConnectSequenceRunsInOrderAndEndsRunning()
    {
        Fixture f;
        f.client->start();
        QCOMPARE(f.server.streamsMade, 0);
        f.clock.runDue();
        QCOMPARE(f.server.streamsMade, 1);
        QCOMPARE(f.server.lastAddress, "fake-host:4841");
        f.settle();
        QCOMPARE(f.client->state(), Client::State::Running);
        // The item binding (a Read of the data types, CreateMonitoredItems) and the publish
        // requests go out together; compare in order as far as the subscription, then count.
        const std::vector<std::string> expected{"OpenSecureChannelRequest", "CreateSessionRequest",
                                                "ActivateSessionRequest", "ReadRequest",
                                                "CreateSubscriptionRequest"};
        auto services = f.server.services();
        QCOMPARE(services.size(), size_t(10));
        services.resize(expected.size());
        QCOMPARE(services, expected);
        QCOMPARE(f.server.count<opcua::ReadRequest>(), 2);
        QCOMPARE(f.server.count<opcua::PublishRequest>(), 3);
        QCOMPARE(f.server.count<opcua::CreateMonitoredItemsRequest>(), 1);

        QCOMPARE(f.server.hello.endpointUrl.str(), "opc.tcp://fake-host:4841/ua");

        const auto* session = f.server.last<opcua::CreateSessionRequest>();
        QVERIFY(session->serverUri.isEmpty()); // nothing is known of the server yet
        QCOMPARE(session->clientNonce.size(), size_t(32));
        const auto* activate = f.server.last<opcua::ActivateSessionRequest>();
        const auto token =
            opcua::unpackBody<opcua::AnonymousIdentityToken>(activate->userIdentityToken);
        QVERIFY(token);
        QCOMPARE(token->policyId.str(), "anon-policy");

        // Both items in one subscription; nsu= resolved through the namespace array.
        const auto* create = f.server.last<opcua::CreateMonitoredItemsRequest>();
        QCOMPARE(create->subscriptionId, 42u);
        QCOMPARE(create->itemsToCreate.size(), size_t(2));
        QCOMPARE(opcua::toString(create->itemsToCreate[0].itemToMonitor.nodeId),
                 opcua::toString(NodeId(2, "Servo2.CommandWord")));
        QCOMPARE(opcua::toString(create->itemsToCreate[1].itemToMonitor.nodeId),
                 opcua::toString(NodeId(1, 77u)));
        QCOMPARE(create->itemsToCreate[0].requestedParameters.samplingInterval, 50.0);

        // Every request carries the session's token and a timeout hint once the session exists.
        const auto* publish = f.server.last<opcua::PublishRequest>();
        QVERIFY(publish->requestHeader.authenticationToken == f.server.authenticationToken);
        QVERIFY(publish->requestHeader.timeoutHint > 0);
        QVERIFY(f.server.last<opcua::CreateSessionRequest>()->requestHeader.timeoutHint > 0);
    }

    void theChannelIsRenewedAtThreeQuartersOfItsLifetime()
    {
        Fixture f;
        f.server.tokenLifetimeMs = 4000;
        f.server.revisedKeepAliveCount = 100; // no keep-alive is missed meanwhile
        f.startRunning();
        QCOMPARE(f.client->tokenLifetimeMs(), 4000u);
        f.clock.advance(2999ms);
        f.server.serve();
        QCOMPARE(f.server.count<opcua::OpenSecureChannelRequest>(), 1);
        f.clock.advance(1ms);
        f.server.serve();
        QCOMPARE(f.server.count<opcua::OpenSecureChannelRequest>(), 2);
        const auto* renew = f.server.last<opcua::OpenSecureChannelRequest>();
        QCOMPARE(renew->requestType, opcua::SecurityTokenRequestType::Renew);
        QCOMPARE(f.client->statistics().channelRenewals, 1);
    }

    // A connection that never opens and a request never answered both end after the request
    // timeout; the client drops the stream and tries again.
    void aStepWithoutAnswerTimesOut_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<Client::State>("waiting");
        QTest::addColumn<int>("opens"); // OpenSecureChannel requests the server saw
        QTest::newRow("connection") << false << Client::State::Connecting << 0;
        QTest::newRow("request") << true << Client::State::OpeningChannel << 1;
    }
    void aStepWithoutAnswerTimesOut()
    {
        QFETCH(bool, accept);
        QFETCH(Client::State, waiting);
        QFETCH(int, opens);
        Fixture f;
        f.server.acceptConnections = accept;
        f.server.answerConnectSequence = false;
        f.client->start();
        f.settle();
        QCOMPARE(f.server.count<opcua::OpenSecureChannelRequest>(), opens);
        f.clock.advance(4999ms);
        QCOMPARE(f.client->state(), waiting);
        f.clock.advance(1ms);
        QCOMPARE(f.client->state(), Client::State::WaitingToReconnect);
        QCOMPARE(f.recorder.losses.size(), size_t(1));
        QVERIFY(f.recorder.losses[0].status.sameCode(status::BadTimeout));
        QVERIFY(!f.recorder.losses[0].wasConnected);
        QVERIFY(f.server.stream() == nullptr || f.server.stream()->closedLocally());
    }

    // Missing keep-alives lose the link. The waits between the attempts that follow grow from half
    // a second, doubled up to five, with a tenth of jitter either way; a later outage starts the
    // series again.
    void missingKeepAlivesLoseTheLinkAndAttemptsBackOff_data()
    {
        QTest::addColumn<double>("random");
        QTest::addColumn<QList<qint64>>("waits"); // the last one stays however many attempts fail
        QTest::newRow("no jitter") << 0.5 << QList<qint64>{500, 1000, 2000, 4000, 5000, 5000};
        QTest::newRow("shortest jitter") << 0.0 << QList<qint64>{450, 900, 1800, 3600, 4500, 4500};
        QTest::newRow("longest jitter") << 1.0 << QList<qint64>{550, 1100, 2200, 4400, 5500, 5500};
    }
    void missingKeepAlivesLoseTheLinkAndAttemptsBackOff()
    {
        QFETCH(double, random);
        QFETCH(QList<qint64>, waits);
        Fixture f(random);
        f.startRunning();
        f.server.publish({{0, dataValue(int16_t(1))}});
        // Keep-alive period 10 x 100 ms, plus a margin of 1 s.
        f.clock.advance(1999ms);
        QCOMPARE(f.client->state(), Client::State::Running);
        f.clock.advance(1ms);
        QCOMPARE(f.client->state(), Client::State::WaitingToReconnect);
        QCOMPARE(f.recorder.losses.size(), size_t(1));
        QVERIFY(f.recorder.losses[0].wasConnected);
        QVERIFY(f.recorder.losses[0].status.sameCode(status::BadTimeout));

        f.server.acceptConnections = false;
        auto lastAttempt = f.clock.now();
        int streams = f.server.streamsMade;
        for (qint64 wait : waits) {
            for (int i = 0; i < 10 && f.server.streamsMade == streams; ++i)
                f.clock.advance(*f.clock.nextDue());
            QCOMPARE(qint64((f.clock.now() - lastAttempt).count()), wait);
            streams = f.server.streamsMade;
            f.server.refuse();
            lastAttempt = f.clock.now();
        }
        // One report for the whole outage.
        QCOMPARE(f.recorder.losses.size(), size_t(1));

        // The server comes back (what resumes is whatTheServerStillHasIsResumed's).
        f.server.acceptConnections = true;
        f.clock.advance(std::chrono::milliseconds(waits.back()));
        f.settle();
        QCOMPARE(f.client->state(), Client::State::Running);

        // A later outage is a new one, with the backoff started again.
        f.server.stream()->peerClose();
        QCOMPARE(f.recorder.losses.size(), size_t(2));
        QCOMPARE(f.clock.nextDue(), std::optional(0ms)); // dropping the old stream
        f.clock.runDue();
        QCOMPARE(f.clock.nextDue(), std::optional(std::chrono::milliseconds(waits.front())));
        // However long an outage lasts, the wait stays at the cap.
        opcua::ReconnectBackoff longOutage([random] { return random; });
        for (int attempt = 1; attempt <= 64; ++attempt) {
            const qint64 wait = longOutage.nextDelay().count();
            QVERIFY(attempt < waits.size() || wait == waits.back());
        }
        // Real use draws the jitter from the system's random source.
        const auto first = opcua::ReconnectBackoff(opcua::systemRandom()).nextDelay();
        QVERIFY(first >= 450ms && first <= 550ms);
    }

    // Values arrive and are acknowledged in the Publish that replaces the answered one. The
    // revised interval and keep-alive count are the server's numbers: whatever they are, the
    // client's timers stay in range and the subscription runs. Each publish request the server
    // refuses as one too many lowers the number kept outstanding.
    void valuesArriveWhateverIntervalTheServerRevises_data()
    {
        QTest::addColumn<double>("interval");
        QTest::addColumn<uint>("keepAliveCount");
        QTest::addColumn<int>("refused");
        QTest::newRow("as asked") << 100.0 << 10u << 0;
        QTest::newRow("too many publish requests") << 100.0 << 10u << 1;
        QTest::newRow("NaN") << qQNaN() << 10u << 0;
        QTest::newRow("negative") << -100.0 << 10u << 0;
        QTest::newRow("infinite") << qInf() << 10u << 0;
        QTest::newRow("beyond 64 bits") << 1e300 << 10u << 0;
        QTest::newRow("publish timeout beyond 64 bits") << 1e15 << 5000u << 0;
        QTest::newRow("largest count") << 3600000.0 << 0xFFFFFFFFu << 0;
    }
    void valuesArriveWhateverIntervalTheServerRevises()
    {
        QFETCH(double, interval);
        QFETCH(uint, keepAliveCount);
        QFETCH(int, refused);
        Fixture f;
        f.server.revisedPublishingInterval = interval;
        f.server.revisedKeepAliveCount = keepAliveCount;
        f.startRunning();
        QCOMPARE(f.server.publishes.size(), size_t(3));
        for (int i = 0; i < refused; ++i) {
            const fake::Request newest = f.server.publishes.back();
            f.server.publishes.pop_back();
            f.server.fault(newest, status::BadTooManyPublishRequests);
            f.server.serve();
        }
        const size_t kept = size_t(3 - refused);
        QCOMPARE(f.client->publishTarget(), int(kept));
        QCOMPARE(f.server.publishes.size(), kept);
        f.server.publish({{0, dataValue(int16_t(1150))}, {1, dataValue(int16_t(-5))}});
        QCOMPARE(f.client->state(), Client::State::Running);
        const std::vector<std::pair<int, DataValue>> values{{0, dataValue(int16_t(1150))},
                                                            {1, dataValue(int16_t(-5))}};
        QCOMPARE(f.recorder.values, values);
        QVERIFY(f.recorder.losses.empty());
        QCOMPARE(f.server.publishes.size(), kept); // one answered, one more sent
        const auto* publish = f.server.last<opcua::PublishRequest>();
        QCOMPARE(publish->subscriptionAcknowledgements.size(), size_t(1));
        QCOMPARE(publish->subscriptionAcknowledgements[0].subscriptionId, 42u);
        QCOMPARE(publish->subscriptionAcknowledgements[0].sequenceNumber, 1u);
    }

    // After a broken channel (cut, or sent bytes no server sends, which the client refuses as a
    // clean error) the client resumes what the server still has: the session, then the
    // subscription with its items, and the notifications the server sent while the link was
    // failing are republished, oldest first, before any new Publish, which acknowledges them.
    // What the server has ended, or says it has ended in a Publish's fault or status change, is
    // made anew after the backoff's first wait. The loss is reported once (the fields go null)
    // and one session stays on the server.
    void whatTheServerStillHasIsResumedAndTheRestMadeAnew_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<StatusCode>("status"); // reported, and sent in a Publish's answer
        QTest::addColumn<bool>("sessionGone");
        QTest::addColumn<bool>("subscriptionGone");
        QTest::addColumn<std::vector<std::string>>("services"); // after the new channel opens
        QTest::addColumn<opcua::ByteBuffer>("garbage");
        using Services = std::vector<std::string>;
        const auto row = [](const char* name, Ending ending, StatusCode status, bool sessionGone,
                            bool subscriptionGone, const Services& services,
                            const opcua::ByteBuffer& garbage = {}) {
            QTest::newRow(name) << ending << status << sessionGone << subscriptionGone << services
                                << garbage;
        };
        const std::string activate = "ActivateSessionRequest";
        const std::string create = "CreateSessionRequest";
        const std::string subscribe = "CreateSubscriptionRequest";
        const std::string read = "ReadRequest";
        const std::string republish = "RepublishRequest";
        const Services resumed{activate, republish, republish, republish, "PublishRequest"};
        const StatusCode cut = status::BadConnectionClosed;
        row("cut, both kept", Ending::ChannelCut, cut, false, false, resumed);
        row("cut, subscription gone", Ending::ChannelCut, cut, false, true,
            {activate, republish, subscribe, read});
        row("cut, session gone", Ending::ChannelCut, cut, true, true,
            {activate, create, activate, read, subscribe});
        row("session invalid", Ending::PublishFault, status::BadSessionIdInvalid, true, true,
            {create, activate, read, subscribe});
        row("subscription timed out", Ending::StatusChange, status::BadTimeout, false, true,
            {activate, subscribe, read});
        row("session closed", Ending::StatusChange, status::BadSessionClosed, true, true,
            {create, activate, read, subscribe});
        row("text", Ending::Garbage, status::BadTcpMessageTypeInvalid, false, false, resumed,
            testbytes::fromQByteArray("HTTP/1.1 400 Bad Request\r\n\r\n"));
        row("hello from the server", Ending::Garbage, status::BadTcpMessageTypeInvalid, false,
            false, resumed, opcua::encodeHello({}));
        // An error that says Good must still end as a failure.
        row("error saying Good", Ending::Garbage, status::BadUnknownResponse, false, false, resumed,
            opcua::encodeError({status::Good, {}}));
        row("error", Ending::Garbage, status::BadTcpServerTooBusy, false, false, resumed,
            opcua::encodeError({status::BadTcpServerTooBusy, "busy"}));
    }
    void whatTheServerStillHasIsResumedAndTheRestMadeAnew()
    {
        QFETCH(Ending, ending);
        QFETCH(StatusCode, status);
        QFETCH(bool, sessionGone);
        QFETCH(bool, subscriptionGone);
        QFETCH(std::vector<std::string>, services);
        QFETCH(opcua::ByteBuffer, garbage);
        Fixture f;
        f.startRunning();
        f.server.publish({{0, dataValue(int16_t(1))}});
        f.server.losePublish({{0, dataValue(int16_t(2))}});
        f.server.losePublish({{0, dataValue(int16_t(3))}, {1, dataValue(int16_t(30))}});
        const NodeId firstSession = f.server.authenticationToken;
        if (sessionGone)
            f.server.sessions.clear();
        f.server.subscriptionKnown = !subscriptionGone;
        f.end(ending, status, garbage);
        QCOMPARE(f.client->state(), Client::State::WaitingToReconnect);
        QCOMPARE(f.recorder.losses.size(), size_t(1));
        QVERIFY(f.recorder.losses[0].status.sameCode(status));
        QVERIFY(f.recorder.losses[0].wasConnected);
        QVERIFY(!f.recorder.losses[0].reason.empty());
        const size_t cutAt = f.server.seen.size();
        f.clock.advance(500ms);
        f.settle();

        QCOMPARE(f.client->state(), Client::State::Running);
        auto sent = f.server.services(cutAt + 1); // after the OpenSecureChannel
        sent.resize(services.size());
        QCOMPARE(sent, services);
        // A resume names the first session.
        const auto& first =
            std::get_if<opcua::ActivateSessionRequest>(&f.server.seen[cutAt + 1].message);
        QVERIFY(!first || first->requestHeader.authenticationToken == firstSession);
        QCOMPARE(f.server.sessions.size(), size_t(1));
        QCOMPARE(f.client->statistics().sessionsCreated, sessionGone ? 2 : 1);
        QCOMPARE(f.client->statistics().subscriptionsCreated, subscriptionGone ? 2 : 1);
        QCOMPARE(f.server.count<opcua::CreateMonitoredItemsRequest>(), subscriptionGone ? 2 : 1);
        // A new session names the server by the URI its endpoints gave the first one.
        QCOMPARE(f.server.last<opcua::CreateSessionRequest>()->serverUri.str(),
                 sessionGone ? "urn:fake:server" : "");
        QCOMPARE(f.server.retained.empty(), !subscriptionGone);
        QCOMPARE(f.client->statistics().republished, uint64_t(subscriptionGone ? 0 : 2));
        QCOMPARE(f.server.publishes.size(), size_t(3));
        f.server.publish({{1, dataValue(int16_t(9))}});
        std::vector<std::pair<int, DataValue>> values{{0, dataValue(int16_t(1))}};
        if (!subscriptionGone)
            values.insert(values.end(), {{0, dataValue(int16_t(2))},
                                         {0, dataValue(int16_t(3))},
                                         {1, dataValue(int16_t(30))}});
        values.emplace_back(1, dataValue(int16_t(9)));
        QCOMPARE(f.recorder.values, values);
    }

    // An item whose namespace URI the server does not know is refused and takes no writes; one
    // added while running is bound at once, alone. A write goes out to its item's node without
    // waiting for the answer, and fails if the link breaks first. (The type a write takes and
    // what the server answers, refusing an item or a write, are the fields' tests.)
    void writesGoToBoundItemsOnly()
    {
        Fixture f;
        f.server.namespaces = {"http://opcfoundation.org/UA/"}; // no urn:servo-panel:sim
        QVERIFY(!f.client->write(1, opcua::Variant::fromScalar(uint16_t(1)), {}));
        f.startRunning();
        QCOMPARE(f.recorder.rejected.size(), size_t(1));
        QCOMPARE(f.recorder.rejected[0].first, 0);
        QVERIFY(f.recorder.rejected[0].second.sameCode(status::BadNodeIdUnknown));
        QCOMPARE(f.server.last<opcua::CreateMonitoredItemsRequest>()->itemsToCreate.size(),
                 size_t(1));
        QVERIFY(!f.client->write(0, opcua::Variant::fromScalar(int16_t(1)), {}));
        const int item = f.client->addItem(opcua::parseExpandedNodeId("ns=1;s=Late"));
        f.server.serve();
        QCOMPARE(f.server.count<opcua::CreateMonitoredItemsRequest>(), 2);
        const auto* create = f.server.last<opcua::CreateMonitoredItemsRequest>();
        QCOMPARE(create->itemsToCreate.size(), size_t(1));
        QCOMPARE(create->itemsToCreate[0].requestedParameters.clientHandle, uint32_t(item));

        std::vector<StatusCode> results;
        QVERIFY(f.client->write(1, opcua::Variant::fromScalar(uint16_t(1151)),
                                [&](StatusCode s, const std::string&) { results.push_back(s); }));
        f.server.serve();
        QCOMPARE(f.server.writes.size(), size_t(1));
        const auto& write = std::get<opcua::WriteRequest>(f.server.writes.front().message);
        QCOMPARE(opcua::toString(write.nodesToWrite[0].nodeId), opcua::toString(NodeId(1, 77u)));
        QVERIFY(results.empty());
        f.server.stream()->peerClose();
        QCOMPARE(results.size(), size_t(1));
        QVERIFY(results[0].sameCode(status::BadConnectionClosed));
        QVERIFY(!f.client->write(1, opcua::Variant::fromScalar(uint16_t(1)), {}));
    }

    // However the client ends, no timer of it is left to fire. Stopping a running client
    // deletes the subscription and closes session and channel first.
    // A server that locks an account after a few failures must not see a refused password
    // again: however many steps of the backoff pass, the client only reads the password, and
    // connects at the first step after it has changed.
    void aRefusedPasswordIsNotSentAgainUntilItChanges_data()
    {
        QTest::addColumn<quint32>("refusal");
        QTest::newRow("access denied") << status::BadUserAccessDenied.code;
        QTest::newRow("identity token rejected") << status::BadIdentityTokenRejected.code;
    }
    void aRefusedPasswordIsNotSentAgainUntilItChanges()
    {
        QFETCH(quint32, refusal);
        const QTemporaryDir pki;
        std::string password = "wrong";
        opcua::SecuritySettings security;
        security.pkiFolder = pki.path().toStdString();
        security.userName = "operator";
        security.password = [&password] { return password; };
        Fixture f(0.5, security);
        f.server.endpoints = {fake::userEndpoint(f.clock, security.pkiFolder)};
        f.server.activateResult = StatusCode(refusal);
        f.startRunning();
        QCOMPARE(f.server.count<opcua::ActivateSessionRequest>(), 1);
        QCOMPARE(f.recorder.losses.size(), size_t(1));
        QVERIFY2(f.recorder.losses[0].reason.find("not sent again") != std::string::npos,
                 f.recorder.losses[0].reason.c_str());

        const int streams = f.server.streamsMade;
        for (int step = 0; step < 8; ++step) {
            f.clock.advance(*f.clock.nextDue());
            f.settle();
        }
        QCOMPARE(f.server.streamsMade, streams);
        QCOMPARE(f.server.count<opcua::ActivateSessionRequest>(), 1);

        password = "right";
        f.server.activateResult = status::Good;
        f.clock.advance(*f.clock.nextDue());
        f.settle();
        QCOMPARE(f.server.count<opcua::ActivateSessionRequest>(), 2);
        QCOMPARE(f.client->state(), Client::State::Running);
    }

    // The operator is told which certificate to trust on the server, whatever the server calls
    // its refusal.
    void aServerRefusingTheClientsCertificateIsToldWithItsThumbprint_data()
    {
        QTest::addColumn<quint32>("refusal");
        QTest::newRow("security checks failed") << status::BadSecurityChecksFailed.code;
        QTest::newRow("certificate untrusted") << status::BadCertificateUntrusted.code;
    }
    void aServerRefusingTheClientsCertificateIsToldWithItsThumbprint()
    {
        QFETCH(quint32, refusal);
        const QTemporaryDir pki;
        opcua::SecuritySettings security;
        security.pkiFolder = pki.path().toStdString();
        security.userName = "operator";
        security.password = [] { return std::string("pass"); };
        Fixture f(0.5, security);
        f.server.endpoints = {fake::userEndpoint(f.clock, security.pkiFolder)};
        f.server.openAfterEndpoints = StatusCode(refusal);
        f.startRunning();
        QCOMPARE(f.recorder.losses.size(), size_t(1));
        const auto& loss = f.recorder.losses[0];
        QVERIFY(loss.status.sameCode(status::BadSecurityChecksFailed));
        // The one certificate the client made for itself.
        const std::filesystem::path file =
            std::filesystem::directory_iterator(
                opcua::pki::PkiFolder(security.pkiFolder).path(opcua::pki::Store::OwnCerts))
                ->path();
        std::ifstream in(file, std::ios::binary);
        const opcua::ByteBuffer der{std::istreambuf_iterator<char>(in), {}};
        const auto own = opcua::pki::parseCertificateChain(der).front();
        for (const std::string& named : {file.string(), own.thumbprintHex()})
            QVERIFY2(loss.reason.find(named) != std::string::npos, loss.reason.c_str());
    }

    void endingTheClientLeavesNoTimers_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("destroyed");                    // else stopped
        QTest::addColumn<std::vector<std::string>>("services"); // sent after that
        QTest::newRow("stopped while running")
            << true << false
            << std::vector<std::string>{"DeleteSubscriptionsRequest", "CloseSessionRequest",
                                        "CloseSecureChannelRequest"};
        QTest::newRow("stopped while connecting") << false << false << std::vector<std::string>{};
        QTest::newRow("destroyed while running") << true << true << std::vector<std::string>{};
    }
    void endingTheClientLeavesNoTimers()
    {
        QFETCH(bool, connected);
        QFETCH(bool, destroyed);
        QFETCH(std::vector<std::string>, services);
        Fixture f;
        f.server.acceptConnections = connected;
        f.startRunning();
        const size_t endAt = f.server.seen.size();
        if (destroyed) {
            f.client.reset();
        } else {
            f.client->stop();
            QCOMPARE(f.client->state(),
                     connected ? Client::State::Closing : Client::State::Stopped);
            f.server.serve();
            QCOMPARE(f.client->state(), Client::State::Stopped);
        }
        QCOMPARE(f.server.services(endAt), services);
        QVERIFY(f.recorder.losses.empty() || !connected);
        f.clock.runDue();
        QCOMPARE(f.clock.pendingTimers(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
