// DatCon1 and the eight fields over the fake server: binding by name, what reads return before,
// during and after a connection, writes, and what reaches the operator through the failure sink.

#include "processdata/failure.h"
#include "processdata/opcua/opcuadataconnection.h"
#include "processdata/opcua/opcuafield.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "tests/client/fakeserver.h"
#include "tests/support/connectionlookup.h"
#include "tests/support/failureof.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

// Every allocation of this test program is counted, so a test can show that reading a field
// allocates nothing.
namespace {
std::atomic<long> g_allocations{0};
}

void* operator new(std::size_t size)
{
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace std::chrono_literals;
using fake::dataValue;
using servo::DataConnectionConfig;
using servo::FailureCode;
using servo::FieldValue;
using servo::test::failureOf;

namespace {

struct Counter : servo::FieldListener
{
    int changes = 0;
    void fieldChanged() override { ++changes; }
};

// What the server refuses in refusalsAreReportedOnce.
enum Refusal { Connection, Session, Item, Certificate };

struct Panel
{
    opcua::ManualClock clock;
    fake::FakeServer server;
    servo::ProcessData data;
    std::vector<servo::Failure> reports;
    std::vector<servo::Failure> changes; // what changed reports now say

    explicit Panel(const DataConnectionConfig& config = DataConnectionConfig::defaults())
        : data(servo::makeOpcUaProcessData(config, server.factory(), clock))
    {
        server.dataTypes["ns=2;s=Servo2.CommandWord"] = opcua::NodeId(0, opcua::ids::UInt16);
        server.dataTypes["ns=2;s=Servo3.CommandWord"] = opcua::NodeId(0, opcua::ids::Int32);
        data.DatCon1->setFailureSink([this](const servo::Failure& f) { reports.push_back(f); });
        data.DatCon1->setReportChangeSink(
            [this](const servo::Failure& previous, const servo::Failure& current) {
                // A change always follows the report it changes, as last changed.
                QCOMPARE((changes.empty() ? reports.back() : changes.back()).description(),
                         previous.description());
                changes.push_back(current);
            });
        servo::test::bindFields(data);
    }

    servo::ProcessField& field(int n) { return data.field(n); }
    servo::OpcUaDataConnection& connection()
    {
        return dynamic_cast<servo::OpcUaDataConnection&>(*data.DatCon1);
    }
    void settle() { server.settle(clock); }
};

// The messages logged while f runs, one string each.
template <class F> QStringList capturedLog(F f)
{
    static QStringList* captured = nullptr;
    QStringList messages;
    captured = &messages;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            captured->append(message);
        });
    f();
    qInstallMessageHandler(previous);
    captured = nullptr;
    return messages;
}

} // namespace

class TestOpcUaField : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { servo::routeProtocolLogToQt(); }

    void readsAreEmptyBeforeDataThenTheValue()
    {
        Panel p;
        Counter counter;
        p.field(3).setListener(&counter);
        QVERIFY(p.field(3).value().isEmpty());
        p.settle();
        QVERIFY(p.field(3).value().isEmpty()); // connected, no data yet
        // The design-time server identifier belongs to another protocol: no field of the
        // session carries it.
        const opcua::ByteBuffer session =
            opcua::encodeServiceMessage(*p.server.last<opcua::CreateSessionRequest>());
        const std::string_view id =
            static_cast<servo::OpcUaDataConnection&>(*p.data.DatCon1).settings().serverId;
        QVERIFY(std::search(session.begin(), session.end(), id.begin(), id.end()) == session.end());
        // All eight items in one subscription, in field order.
        const auto* create = p.server.last<opcua::CreateMonitoredItemsRequest>();
        QCOMPARE(create->itemsToCreate.size(), size_t(8));
        QCOMPARE(opcua::toString(create->itemsToCreate[2].itemToMonitor.nodeId),
                 opcua::toString(opcua::NodeId(2, "Servo2.LampWord")));

        p.server.publish({{2, dataValue(int16_t(0x1FFF))}});
        QCOMPARE(p.field(3).value(), FieldValue(int16_t(0x1FFF)));
        QCOMPARE(counter.changes, 1);
        // The same value again tells the listener nothing.
        p.server.publish({{2, dataValue(int16_t(0x1FFF))}});
        QCOMPARE(counter.changes, 1);
        p.server.publish({{2, dataValue(int16_t(5), opcua::status::BadDeviceFailure)}});
        QVERIFY(p.field(3).value().isNull());
        QCOMPARE(counter.changes, 2);
        p.field(3).setListener(nullptr);

        // An array fails to read with a clear error.
        opcua::DataValue array;
        array.value = opcua::Variant::fromArray(std::vector<int32_t>{1, 2});
        p.server.publish({{4, array}});
        const servo::Failure failure = failureOf([&] { (void)p.field(5).value(); });
        QCOMPARE(failure.code(), FailureCode::TypeMismatch);
        QVERIFY(failure.description().find("ZqNumber5") != std::string::npos);
        QVERIFY(failure.description().find("array") != std::string::npos);
    }

    void readingANumberAllocatesNothing()
    {
        Panel p;
        p.settle();
        p.server.publish({{2, dataValue(int16_t(0x0155))}, {0, dataValue(uint16_t(1150))}});
        long checksum = 0;
        const long before = g_allocations.load();
        for (int i = 0; i < 13000; ++i) {
            checksum += p.field(3).value().int16();
            checksum += p.field(1).value().int32();
        }
        const long after = g_allocations.load();
        QCOMPARE(after - before, 0L);
        QCOMPARE(checksum, 13000L * (0x0155 + 1150));

        // The count does see allocations: a long text is copied out on every read.
        p.server.publish({{4, dataValue(opcua::String(std::string(100, 'x')))}});
        const long beforeText = g_allocations.load();
        QCOMPARE(p.field(5).value().text().size(), size_t(100));
        QVERIFY(g_allocations.load() > beforeText);
    }

    void aLostConnectionMakesFieldsNullAndIsReportedOnce()
    {
        Panel p;
        p.settle();
        p.server.publish({{0, dataValue(uint16_t(1150))}, {2, dataValue(int16_t(3))}});
        QCOMPARE(p.field(1).value(), FieldValue(int32_t(1150))); // UInt16 item: 32-bit
        const auto lostAt = p.clock.now();
        p.server.stream()->peerClose();
        QVERIFY(p.field(1).value().isNull());
        QVERIFY(p.field(3).value().isNull());
        QVERIFY(p.field(4).value().isEmpty()); // never had a value
        // Reports leave from the event loop, not from inside the client.
        QVERIFY(p.reports.empty());
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.reports[0].code(), FailureCode::ConnectionLost);

        // Further failed attempts open no report, but the open one gives the latest reason; the
        // server's return brings values back.
        p.server.acceptConnections = false;
        for (int i = 0; i < 6; ++i) {
            p.clock.advance(*p.clock.nextDue());
            p.server.refuse();
        }
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.changes.size(), size_t(1));
        QVERIFY2(p.changes[0].description().ends_with(": connection refused; reconnecting"),
                 p.changes[0].what());
        QCOMPARE(failureOf([&] { p.field(1).setValue(FieldValue(int16_t(1151))); }).code(),
                 FailureCode::ConnectionUnavailable);
        p.server.acceptConnections = true;
        const int streams = p.server.streamsMade;
        for (int i = 0; i < 10 && p.server.streamsMade == streams; ++i)
            p.clock.advance(*p.clock.nextDue());
        p.settle();
        p.server.publish({{0, dataValue(uint16_t(1151))}});
        QCOMPARE(p.field(1).value(), FieldValue(int32_t(1151)));
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));

        // The report then says when the link came back, and after how long.
        QCOMPARE(p.changes.size(), size_t(2));
        QCOMPARE(p.changes[1].code(), FailureCode::ConnectionLost);
        const QString restored = QString::fromStdString(p.changes[1].description());
        const auto match =
            QRegularExpression(": connection refused; reconnecting \u2014 connection restored "
                               "at \\d\\d:\\d\\d:\\d\\d after (\\d+) s$")
                .match(restored);
        QVERIFY2(match.hasMatch(), qPrintable(restored));
        QCOMPARE(match.captured(1).toLongLong(),
                 std::chrono::round<std::chrono::seconds>(p.clock.now() - lostAt).count());
    }

    // New settings while the panel runs: their problems are reported in one report as at start,
    // and the connection starts afresh only when something it uses changed.
    void reloadedSettingsReconnectOnlyWhenTheyDiffer()
    {
        Panel p;
        p.settle();
        p.server.publish({{0, dataValue(uint16_t(1150))}});
        const int streams = p.server.streamsMade;

        p.connection().reconfigure(servo::parseDataConnectionConfig(
            "[connection]\nbogus=1\n[items]\nZqNumber9=x\n", "datacon.ini"));
        p.clock.runDue();
        QCOMPARE(p.server.streamsMade, streams);
        QCOMPARE(p.field(1).value(), FieldValue(int32_t(1150)));
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.reports[0].code(), FailureCode::ConfigurationInvalid);

        p.connection().reconfigure(servo::parseDataConnectionConfig(
            "[items]\nZqNumber1=ns=2;s=Other.CommandWord\nZqNumber2=\n", "datacon.ini"));
        QVERIFY(p.field(1).value().isNull());
        p.settle();
        QCOMPARE(p.server.streamsMade, streams + 1);
        const auto* create = p.server.last<opcua::CreateMonitoredItemsRequest>();
        QCOMPARE(create->itemsToCreate.size(), size_t(7));
        QCOMPARE(opcua::toString(create->itemsToCreate[0].itemToMonitor.nodeId),
                 opcua::toString(opcua::NodeId(2, "Other.CommandWord")));
        QCOMPARE(failureOf([&] { p.field(2).setValue(FieldValue(int16_t(1151))); }).code(),
                 FailureCode::FieldNotBound);
        QCOMPARE(p.reports.size(), size_t(1));
    }

    // Where a click's write goes, as its record in the audit log names it.
    void theWriteTargetNamesItemAndUser()
    {
        Panel anonymous;
        QCOMPARE(anonymous.field(1).writeTarget(), "nsu=urn:servo-panel:sim;s=Servo2.CommandWord");
        Panel withUser(servo::parseDataConnectionConfig(
            "[connection]\nuser=op\npassword_file=/nonexistent\n[items]\nZqNumber2=\n",
            "datacon.ini"));
        QCOMPARE(withUser.field(1).writeTarget(),
                 R"(nsu=urn:servo-panel:sim;s=Servo2.CommandWord, user "op")");
        QCOMPARE(withUser.field(2).writeTarget(), R"(no item, user "op")");
    }

    void aHostileErrorReasonReachesLogAndReportEscapedAndCapped()
    {
        // A reason as long as an ERR may carry: a forged log line, then right-to-left overrides,
        // so that the cap falls among multi-byte characters.
        std::string reason = "\n\x1b[2Kservo.opcua.client: connected to opc.tcp://forged\n";
        while (reason.size() + 3 <= opcua::kMaxErrorReasonLength)
            reason += "\xe2\x80\xae";
        opcua::ErrorMessage error;
        error.error = opcua::status::BadTcpInternalError;
        error.reason = opcua::String(reason);

        Panel p;
        p.settle();
        p.server.publish({{0, dataValue(uint16_t(1150))}});
        const QStringList log = capturedLog([&] {
            p.server.sendRaw(opcua::encodeError(error));
            p.clock.runDue();
        });
        QCOMPARE(p.reports.size(), size_t(1));
        const std::string escaped =
            "(\\n\\x1b[2Kservo.opcua.client: connected to opc.tcp://forged\\n";
        const std::string& report = p.reports[0].description();
        QVERIFY2(report.find(escaped) != std::string::npos, report.c_str());
        QVERIFY(report.size() < 700);
        QCOMPARE(QString::fromStdString(report).toStdString(), report); // whole UTF-8 characters
        const QStringList lost = log.filter(QStringLiteral("lost:"));
        QCOMPARE(lost.size(), 1);
        QVERIFY2(lost[0].contains(QString::fromStdString(escaped)), qPrintable(lost[0]));
        for (const QString& line : log)
            QVERIFY2(!line.contains('\n') && line.size() < 700, qPrintable(line));
    }

    void aWriteGoesOutInTheItemsTypeWithoutWaiting()
    {
        Panel p;
        p.settle();
        p.server.publish({{0, dataValue(uint16_t(1150))}});
        p.field(1).setValue(FieldValue(int16_t(1151)));
        p.field(2).setValue(FieldValue(int16_t(1151)));
        p.server.serve();
        QCOMPARE(p.server.writes.size(), size_t(2));
        const auto& first = std::get<opcua::WriteRequest>(p.server.writes[0].message);
        QCOMPARE(*first.nodesToWrite[0].value.value, opcua::Variant::fromScalar(uint16_t(1151)));
        QCOMPARE(opcua::toString(first.nodesToWrite[0].nodeId),
                 opcua::toString(opcua::NodeId(2, "Servo2.CommandWord")));
        const auto& second = std::get<opcua::WriteRequest>(p.server.writes[1].message);
        QCOMPARE(*second.nodesToWrite[0].value.value, opcua::Variant::fromScalar(int32_t(1151)));
        // The value read back changes only when the server reports it.
        QCOMPARE(p.field(1).value(), FieldValue(int32_t(1150)));

        // A value that does not fit the item's type fails at once, inside the handler.
        QCOMPARE(failureOf([&] { p.field(1).setValue(FieldValue(int16_t(-1))); }).code(),
                 FailureCode::Overflow);
    }

    void aRefusedOrUnansweredWriteIsReportedLater()
    {
        Panel p;
        p.settle();
        p.field(1).setValue(FieldValue(int16_t(1151)));
        p.server.serve();
        opcua::WriteResponse refused;
        refused.results.push_back(opcua::status::BadNotWritable);
        p.server.answer(p.server.writes.front(), refused);
        p.server.writes.pop_front();
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.reports[0].code(), FailureCode::ServerRejected);
        QVERIFY(p.reports[0].description().find("ZqNumber1") != std::string::npos);
        QVERIFY(p.reports[0].description().find("BadNotWritable") != std::string::npos);

        p.field(1).setValue(FieldValue(int16_t(1150)));
        p.server.serve();
        for (int i = 0; i < 10; ++i) {
            p.clock.advance(500ms);
            if (!p.server.publishes.empty())
                p.server.keepAlive();
            p.server.serve();
        }
        QCOMPARE(p.reports.size(), size_t(2));
        QCOMPARE(p.reports[1].code(), FailureCode::RequestTimedOut);
    }

    // A bad item leaves only its field unbound; unusable connection settings never connect.
    void configurationProblemsAreReportedAtStart_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("unbound"); // a field left unbound
        QTest::addColumn<bool>("connects");
        QTest::addColumn<int>("problems");
        QTest::newRow("a malformed item") << "[items]\nZqNumber2=ns=x;i=1\n" << 2 << true << 1;
        QTest::newRow("a malformed endpoint") << "[connection]\nendpoint=tcp://x\n"
                                              << 1 << false << 1;
        QTest::newRow("a misspelt security mode") << "[connection]\nsecurity_mode=SignAndEncrpyt\n"
                                                  << 1 << false << 1;
        QTest::newRow("three problems, one report")
            << "[connection]\npublishing_interval_ms=-1\n[items]\nZqNumber2=ns=x;i=1\n"
               "ZqNumber9=ns=2;i=1\n"
            << 2 << true << 3;
    }

    void configurationProblemsAreReportedAtStart()
    {
        QFETCH(QString, text);
        QFETCH(int, unbound);
        QFETCH(bool, connects);
        QFETCH(int, problems);
        Panel p(servo::parseDataConnectionConfig(text.toStdString(), "datacon.ini"));
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.reports[0].code(), FailureCode::ConfigurationInvalid);
        // One line per problem, each with its line number.
        const QStringList lines = QString::fromStdString(p.reports[0].description()).split('\n');
        QCOMPARE(lines.size(), problems + 1);
        for (const QString& line : lines.mid(1))
            QVERIFY2(line.contains(QRegularExpression("^datacon.ini line \\d: ")),
                     qPrintable(line));
        QVERIFY(p.field(unbound).value().isEmpty());
        QCOMPARE(failureOf([&] { p.field(unbound).setValue(FieldValue(int16_t(1151))); }).code(),
                 FailureCode::FieldNotBound);
        if (!connects) {
            QCOMPARE(p.server.streamsMade, 0);
            return;
        }
        p.settle();
        const auto* create = p.server.last<opcua::CreateMonitoredItemsRequest>();
        QCOMPARE(create->itemsToCreate.size(), size_t(7));
    }

    // A refused session is reported as what to act on: the user, the security settings, the
    // server's changed certificate, or else the connection.
    void refusalsAreReportedOnce_data()
    {
        QTest::addColumn<int>("refusal");
        QTest::addColumn<uint32_t>("status");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("text"); // which the report holds
        const auto row = [](const char* name, Refusal refusal, opcua::StatusCode status, int number,
                            const char* text) {
            QTest::newRow(name) << int(refusal) << status.code << number << QString(text);
        };
        row("no server at start", Connection, opcua::status::Good, 1010, "");
        row("an item", Item, opcua::status::BadNodeIdUnknown, 1011, "ZqNumber8");
        row("identity token rejected: the user", Session, opcua::status::BadIdentityTokenRejected,
            1015, "BadIdentityTokenRejected");
        row("access denied: the user", Session, opcua::status::BadUserAccessDenied, 1015,
            "BadUserAccessDenied");
        row("security checks failed", Session, opcua::status::BadSecurityChecksFailed, 1017,
            "BadSecurityChecksFailed");
        row("another certificate than the trusted one", Certificate,
            opcua::status::BadCertificateUntrusted, 1018, "Either the server was reinstalled");
        row("anything else: not connected", Session, opcua::status::BadTooManySessions, 1010,
            "BadTooManySessions");
    }

    void refusalsAreReportedOnce()
    {
        QFETCH(int, refusal);
        QFETCH(uint32_t, status);
        QFETCH(int, number);
        QFETCH(QString, text);
        // A user without security: the server's certificate is checked before the session.
        const QTemporaryDir home;
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
        DataConnectionConfig config = DataConnectionConfig::defaults();
        if (refusal == Certificate) {
            config.user = "operator";
            config.passwordFile = home.filePath("unread").toStdString();
        }
        Panel p(config);
        if (refusal == Certificate) {
            fake::trust(servo::panelPkiPath().toStdString(), fake::serverCertificate(p.clock));
            p.server.endpoints = {fake::userEndpoint(fake::serverCertificate(p.clock))};
        }
        if (refusal == Connection) {
            p.server.acceptConnections = false;
            p.clock.runDue();
            p.server.refuse();
        } else {
            if (refusal == Session)
                p.server.activateResult = opcua::StatusCode(status);
            else if (refusal == Item)
                p.server.refusedNodes["ns=2;s=Servo3.SetSpeed"] = opcua::StatusCode(status);
            p.settle();
        }
        p.clock.runDue();
        QCOMPARE(p.reports.size(), size_t(1));
        QCOMPARE(p.reports[0].number(), number);
        const QString report = QString::fromStdString(p.reports[0].description());
        QVERIFY2(report.contains(text), qPrintable(report));
        // Only a refused item reads as null; the others never had a value.
        QCOMPARE(p.field(8).value().isNull(), refusal == Item);
        QCOMPARE(p.field(8).value().isEmpty(), refusal != Item);
        QCOMPARE(failureOf([&] { p.field(8).setValue(FieldValue(int16_t(1))); }).code(),
                 refusal == Item ? FailureCode::FieldWriteFailed
                                 : FailureCode::ConnectionUnavailable);
    }

    // A field finds no connection, or outlives the one it found.
    void fieldsMayOutliveOrPrecedeTheConnection()
    {
        servo::OpcUaField alone(3);
        alone.findConnection(servo::test::ConnectionLookup(nullptr));
        QVERIFY(!alone.isBound());
        QVERIFY(alone.value().isEmpty());
        Panel p;
        auto& field = dynamic_cast<servo::OpcUaField&>(p.field(3));
        QVERIFY(field.isBound());
        p.data.DatCon1.reset();
        QVERIFY(!field.isBound());
        QCOMPARE(failureOf([&] { field.setValue(FieldValue(int16_t(1))); }).code(),
                 FailureCode::FieldNotBound);
        p.clock.runDue();
        QCOMPARE(p.clock.pendingTimers(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestOpcUaField)
#include "tst_opcuafield.moc"
