// The client and the fields against node-opcua, an independent server, on 127.0.0.1, for what
// only a peer of another make shows: every mapped type as it encodes them, a value in its
// chunks, channel renewal over several token lifetimes, writes in the types it checks (abstract
// ones too), a session that moves to each new channel of a link cut again and again, and a
// server that offers only signed and encrypted endpoints to one user. Each server is started by
// the test on a free port and stopped by it. The client's logic (losses, reconnection, bad
// input) is tested on fakes in tests/client.

#include "opcua/client/client.h"
#include "opcua/nodeid.h"
#include "opcua/sockets.h"
#include "processdata/failure.h"
#include "processdata/opcua/opcuadataconnection.h"
#include "processdata/opcua/opcuafield.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "processdata/opcua/valuemapping.h"
#include "tests/support/childprocess.h"
#include "tests/support/connectionlookup.h"
#include "tests/support/nodeopcua.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <map>
#include <memory>

using namespace std::chrono_literals;
using servo::FailureCode;
using servo::FieldValue;

namespace {

const QString kInteropDir = QStringLiteral(SERVO_PANEL_INTEROP_DIR);
const QString kServerScript = QStringLiteral(CLIENT_INTEROP_SERVER_SCRIPT);
const QString kNode = QStringLiteral(NODE_EXECUTABLE);
const QString kPkiDir = QStringLiteral(CLIENT_INTEROP_PKI_DIR);
constexpr int kStartTimeoutMs = 30000;

// One node-opcua server process running uaserver.js.
class NodeServer
{
public:
    bool start(const QStringList& options)
    {
        m_child.process.setWorkingDirectory(kInteropDir);
        // The server's own complaints are kept for whoever investigates a failure.
        m_child.process.setStandardErrorFile(kPkiDir + "/../uaserver.log", QIODevice::Append);
        const QStringList fixed{kServerScript, "--port",     "0",  "--pki",
                                kPkiDir,       "--lifetime", "120"};
        m_port = m_child.start(kNode, fixed + options, "^PORT (\\d+)$", kStartTimeoutMs).toInt();
        return m_port != 0;
    }

    // Sends a command and waits (bounded) for its "OK" line.
    bool command(const QString& line)
    {
        const QByteArray ok = "OK " + line.toUtf8() + "\n";
        const QByteArray& output = m_child.output;
        const qsizetype from = output.size();
        m_child.process.write(line.toUtf8() + "\n");
        for (int waited = 0; waited < 5000; waited += 10) {
            if (output.indexOf(ok, from) >= 0)
                return true;
            if (output.indexOf("ERR ", from) >= 0)
                return false;
            QTest::qWait(10);
        }
        return false;
    }

    // What the server holds in a variable: the value's data type and its JSON ("Int16 1151").
    QString value(const QString& name)
    {
        if (!command("get " + name))
            return {};
        const QByteArray tag = "VALUE " + name.toUtf8() + " ";
        const QByteArray& output = m_child.output;
        const qsizetype at = output.lastIndexOf(tag) + tag.size();
        return QString::fromUtf8(output.mid(at, output.indexOf('\n', at) - at));
    }

    std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(m_port); }
    bool isRunning() const { return m_port != 0; }

private:
    servo::test::ChildProcess m_child;
    int m_port = 0;
};

// A connection the test can cut as a failing network would: the socket closes under the client,
// which hears of it as of any lost connection.
class CuttableStream final : public opcua::Stream
{
public:
    explicit CuttableStream(std::unique_ptr<opcua::Stream> socket) : m_socket(std::move(socket))
    {
        Handlers handlers;
        handlers.connected = [this] { notifyConnected(); };
        handlers.received = [this](opcua::ByteView bytes) { notifyReceived(bytes); };
        handlers.closed = [this](opcua::StatusCode status, const std::string& reason) {
            notifyClosed(status, reason);
        };
        m_socket->setHandlers(std::move(handlers));
    }

    void write(opcua::ByteView bytes) override { m_socket->write(bytes); }
    void close() override { m_socket->close(); }
    bool isOpen() const override { return m_socket->isOpen(); }

    void cut()
    {
        m_socket->close();
        notifyClosed(opcua::status::BadConnectionClosed, "cut by the test");
    }

private:
    std::unique_ptr<opcua::Stream> m_socket;
};

struct Recorder : opcua::Client::Listener
{
    std::map<int, opcua::DataValue> last;

    void itemChanged(int item, const opcua::DataValue& value) override { last[item] = value; }
    void connectionLost(opcua::StatusCode, const std::string& reason, bool) override
    {
        qInfo("lost: %s", reason.c_str());
    }
    servo::FieldReading reading(int item) const
    {
        auto it = last.find(item);
        return it == last.end() ? servo::FieldReading{} : servo::readingOf(it->second);
    }
};

opcua::ClientSettings settingsFor(const std::string& url)
{
    opcua::ClientSettings settings;
    settings.endpoint = *opcua::parseEndpoint(url);
    settings.publishingIntervalMs = 10;
    settings.samplingIntervalMs = 5;
    settings.requestTimeout = 3000ms;
    return settings;
}

opcua::ExpandedNodeId node(const char* name)
{
    return opcua::parseExpandedNodeId(std::string("nsu=urn:servo-panel:interop;s=") + name);
}

servo::DataConnectionConfig configFor(const std::string& url,
                                      const std::array<std::string, 8>& items)
{
    servo::DataConnectionConfig config = servo::DataConnectionConfig::defaults();
    config.endpoint = url;
    config.publishingIntervalMs = 10;
    config.samplingIntervalMs = 5;
    for (size_t i = 0; i < items.size(); ++i)
        config.items[i] = items[i].empty() ? "" : "nsu=urn:servo-panel:interop;s=" + items[i];
    return config;
}

// The user the secured server serves.
const QString kUser = QStringLiteral("operator");
const QString kPassword = QStringLiteral("s3cret pass");

// The panel's data connection to the test's server, with the failures it reports.
struct Panel
{
    servo::ProcessData data;
    std::vector<servo::Failure> reports;

    explicit Panel(const servo::DataConnectionConfig& config)
        : data(servo::makeOpcUaProcessData(config))
    {
        data.DatCon1->setFailureSink([this](const servo::Failure& f) { reports.push_back(f); });
        servo::test::bindFields(data);
    }
    const opcua::Client& client() const
    {
        return *static_cast<servo::OpcUaDataConnection&>(*data.DatCon1).client();
    }
};

// An item of uaserver.js, the field value it reads as (empty when it cannot be shown) and the
// type a write to it takes.
struct Row
{
    const char* node;
    FieldValue expected;
    opcua::BuiltinType writeType;
};

} // namespace

class TestInteropClient : public QObject
{
    Q_OBJECT

    // Shared by the tests that do not stop or reconfigure it. Its tokens live 2.5 s and it
    // keeps two publish requests per session.
    NodeServer m_server;
    NodeServer m_secured; // offers Sign and SignAndEncrypt only, to kUser; started when needed
    // Offers security None only, to kUser, whose password its user token policies encrypt.
    NodeServer m_userWithoutSecurity;
    QTemporaryDir m_home; // the panel's data folder: its PKI and the password file

private slots:
    void initTestCase()
    {
        SKIP_OR_FAIL_WITHOUT_NODE_OPCUA(kInteropDir);
        QDir().mkpath(kPkiDir);
        qputenv("XDG_DATA_HOME", m_home.path().toUtf8());
        QVERIFY2(m_server.start({"--token-lifetime", "2500", "--max-publish", "2"}),
                 "the node-opcua server did not start");
    }

    // The panel refuses the server until a person trusts its certificate by moving the file the
    // report names from rejected/certs to trusted/certs; then, with the right password, values
    // flow and writes arrive in every policy and mode, and without security, the password
    // encrypted as the user token policy says. A wrong password costs one activation, reported
    // once; the panel tries again only once the password file has changed.
    void aSecuredServerIsTrustedByMovingItsCertificate_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int16_t>("written");
        const std::array policies{"Basic256Sha256", "Aes128_Sha256_RsaOaep",
                                  "Aes256_Sha256_RsaPss"};
        int16_t written = 2001;
        for (const char* policy : policies) {
            for (const char* mode : {"Sign", "SignAndEncrypt"})
                QTest::addRow("%s %s", mode, policy) << mode << policy << kPassword << written++;
        }
        QTest::newRow("None, a user token policy that encrypts") << "None"
                                                                 << "" << kPassword << written++;
        QTest::newRow("a wrong password") << "SignAndEncrypt"
                                          << "" << QStringLiteral("s3cret pas") << int16_t(0);
    }

    void aSecuredServerIsTrustedByMovingItsCertificate()
    {
        QFETCH(QString, mode);
        QFETCH(QString, policy);
        QFETCH(QString, password);
        QFETCH(int16_t, written);
        const bool secured = mode != "None";
        NodeServer& server = secured ? m_secured : m_userWithoutSecurity;
        if (!server.isRunning())
            QVERIFY(server.start({"--security-modes", secured ? "Sign,SignAndEncrypt" : "None",
                                  "--user", kUser, "--password", kPassword, "--anonymous", "no"}));
        const QString pki = servo::panelPkiPath();
        QVERIFY(QDir(pki).removeRecursively());
        const QString passwordFile = m_home.filePath("operator.password");
        QVERIFY(servo::test::writePasswordFile(passwordFile, password.toUtf8()));
        servo::DataConnectionConfig config =
            configFor(server.url(), {"Write.Int16", "", "", "", "", "", "", ""});
        config.securityMode = !secured         ? opcua::MessageSecurityMode::None
                              : mode == "Sign" ? opcua::MessageSecurityMode::Sign
                                               : opcua::MessageSecurityMode::SignAndEncrypt;
        config.securityPolicy = policy.toStdString();
        config.user = kUser.toStdString();
        config.passwordFile = passwordFile.toStdString();
        Panel panel(config);
        const auto& reports = panel.reports;

        QTRY_COMPARE_WITH_TIMEOUT(reports.size(), size_t(1), 10000);
        QCOMPARE(reports[0].number(), 1014);
        const QDir rejected(pki + "/rejected/certs");
        const QStringList kept = rejected.entryList(QDir::Files);
        QCOMPARE(kept.size(), 1);
        QVERIFY2(reports[0].description().find(kept[0].toStdString()) != std::string::npos,
                 reports[0].what());
        QCOMPARE(panel.client().statistics().sessionsCreated, 0);
        QVERIFY(QFile::rename(rejected.filePath(kept[0]), pki + "/trusted/certs/" + kept[0]));

        servo::ProcessField& field = panel.data.field(1);
        if (written == 0) {
            QTRY_COMPARE_WITH_TIMEOUT(reports.size(), size_t(2), 10000);
            QCOMPARE(reports[1].number(), 1015);
            QCOMPARE(panel.client().statistics().subscriptionsCreated, 0);
            QVERIFY(field.value().isEmpty());
            QVERIFY(servo::test::writePasswordFile(passwordFile, kPassword.toUtf8()));
            QTRY_VERIFY_WITH_TIMEOUT(!field.value().isEmpty(), 10000);
            QCOMPARE(panel.client().statistics().sessionsCreated, 2);
            QCOMPARE(reports.size(), size_t(2));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!field.value().isEmpty(), 10000);
        field.setValue(FieldValue(written));
        QTRY_COMPARE_WITH_TIMEOUT(server.value("Write.Int16"), "Int16 " + QString::number(written),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(field.value(), FieldValue(written), 5000);
        QCOMPARE(reports.size(), size_t(1));
    }

    // Every type, then four token lifetimes in which the channel is renewed (at 1.875 s
    // intervals) without losing the session or its values.
    void everyMappedTypeIsReadAndSubscribedAcrossTokenRenewals()
    {
        const std::vector<Row> rows{
            {"Types.SByte", FieldValue(int16_t(-12)), opcua::BuiltinType::SByte},
            {"Types.Byte", FieldValue(int16_t(200)), opcua::BuiltinType::Byte},
            {"Types.Int16", FieldValue(int16_t(-1234)), opcua::BuiltinType::Int16},
            {"Types.UInt16", FieldValue(int32_t(65000)), opcua::BuiltinType::UInt16},
            {"Types.Int32", FieldValue(int32_t(-100000)), opcua::BuiltinType::Int32},
            {"Types.UInt32", FieldValue(int32_t(4000000)), opcua::BuiltinType::UInt32},
            {"Types.Int64", FieldValue(int32_t(-5)), opcua::BuiltinType::Int64},
            {"Types.UInt64", FieldValue(int32_t(77)), opcua::BuiltinType::UInt64},
            {"Types.UInt64Big", FieldValue(8589934593.0), opcua::BuiltinType::UInt64},
            {"Types.Float", FieldValue(1.5f), opcua::BuiltinType::Float},
            {"Types.Double", FieldValue(2.25), opcua::BuiltinType::Double},
            {"Types.Boolean", FieldValue(true), opcua::BuiltinType::Boolean},
            {"Types.String", FieldValue("Grüße"), opcua::BuiltinType::String},
            {"Types.LocalizedText", FieldValue("Hello"), opcua::BuiltinType::LocalizedText},
            {"Types.DateTime", FieldValue(), opcua::BuiltinType::DateTime},
            {"Types.Int32Array", FieldValue(), opcua::BuiltinType::Int32},
            // Beyond one chunk: node-opcua's chunking, not only ours, must reassemble. The text
            // is that of uaserver.js.
            {"Big.String",
             FieldValue(("BEGIN" + QByteArray("0123456789abcdef").repeated(12 * 1024) + "END")
                            .toStdString()),
             opcua::BuiltinType::String},
        };
        servo::QtEventLoop loop;
        Recorder recorder;
        opcua::Client client(settingsFor(m_server.url()), opcua::tcpStreamFactory(loop), loop,
                             recorder);
        for (const auto& row : rows)
            client.addItem(node(row.node));
        const int structure = client.addItem(
            opcua::ExpandedNodeId(opcua::NodeId(0, opcua::ids::Server_ServerStatus)));
        client.start();
        QTRY_VERIFY_WITH_TIMEOUT(int(recorder.last.size()) == client.itemCount(), 10000);
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            const servo::FieldReading reading = recorder.reading(int(i));
            QVERIFY2(reading.unshowable.empty() != row.expected.isEmpty(), row.node);
            QVERIFY2(reading.value == row.expected,
                     (std::string(row.node) + ": " + servo::describe(reading.value)).c_str());
            QVERIFY2(client.itemType(int(i)) == row.writeType, row.node);
        }
        QVERIFY(recorder.reading(structure).unshowable.find("structure") != std::string::npos);

        QCOMPARE(client.tokenLifetimeMs(), 2500u);
        QTRY_COMPARE_WITH_TIMEOUT(client.publishTarget(), 2, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(client.statistics().channelRenewals >= 5, 15000);
        QCOMPARE(client.statistics().sessionsCreated, 1);
        QCOMPARE(client.statistics().channelsOpened, 1);
        QCOMPARE(client.statistics().outages, 0);
        QVERIFY(m_server.command("set Types.Int32 4242"));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.reading(4).value == FieldValue(int32_t(4242)), 5000);
        client.stop();
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), opcua::Client::State::Stopped, 10000);
    }

    void fieldsWriteIntoAbstractlyTypedItemsInAConcreteSubtype()
    {
        struct Case
        {
            const char* node;
            const char* stored; // by the server after the write, or nullptr when it fails
        };
        // Each variable holds a value of another subtype than the one the field writes.
        const std::array<Case, 7> cases{{
            {"Abstract.BaseDataType", "Int16 1151"},
            {"Abstract.Number", "Int16 1151"},
            {"Abstract.Integer", "Int16 1151"},
            {"Abstract.UInteger", "UInt16 1151"},
            {"Abstract.Enumeration", "Int32 1151"},
            {"Abstract.DriveMode", "Int32 1151"},
            {"Abstract.DriveModeUnset", nullptr},
        }};
        std::array<std::string, 8> items;
        for (size_t i = 0; i < cases.size(); ++i)
            items[i] = cases[i].node;
        Panel panel(configFor(m_server.url(), items));
        QTRY_VERIFY_WITH_TIMEOUT(!panel.data.field(1).value().isEmpty() &&
                                     panel.client().itemDataType(int(cases.size()) - 1),
                                 10000);

        for (size_t i = 0; i < cases.size(); ++i) {
            servo::ProcessField& field = panel.data.field(int(i) + 1);
            QTRY_VERIFY_WITH_TIMEOUT(!cases[i].stored || !field.value().isEmpty(), 5000);
            try {
                field.setValue(FieldValue(int16_t(1151)));
                QVERIFY2(cases[i].stored, cases[i].node);
            } catch (const servo::Failure& failure) {
                QVERIFY2(!cases[i].stored, failure.what());
                QCOMPARE(failure.code(), FailureCode::TypeMismatch);
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(m_server.value(cases[i].node), QString(cases[i].stored),
                                      5000);
        }
        QTest::qWait(50);
        QVERIFY(panel.reports.empty());
    }

    // node-opcua moves the session to each new channel: on a server that allows two sessions
    // the client keeps its one through every cut, as the server's own count shows. Each move
    // proves the client's key again and sends the password encrypted with the nonce of the
    // server's last answer; a stale nonce would have the session refused and made anew.
    void aFlappingLinkKeepsOneSessionOnTheServer()
    {
        NodeServer server;
        QVERIFY(server.start({"--max-sessions", "2", "--security-modes", "SignAndEncrypt", "--user",
                              kUser, "--password", kPassword, "--anonymous", "no"}));
        // Trusted beforehand, as the server's certificate is the point of another test.
        const QTemporaryDir pki;
        QVERIFY(QDir().mkpath(pki.filePath("trusted/certs")));
        QVERIFY(QFile::copy(kPkiDir + "/server/own/certs/certificate.pem",
                            pki.filePath("trusted/certs/server.pem")));
        opcua::ClientSettings settings = settingsFor(server.url());
        settings.security.mode = opcua::MessageSecurityMode::SignAndEncrypt;
        settings.security.pkiFolder = pki.path().toStdString();
        settings.security.userName = kUser.toStdString();
        settings.security.password = [] { return kPassword.toStdString(); };
        servo::QtEventLoop loop;
        Recorder recorder;
        CuttableStream* latest = nullptr;
        opcua::StreamFactory tcp = opcua::tcpStreamFactory(loop);
        auto streams = [&](const std::string& host, uint16_t port) {
            auto stream = std::make_unique<CuttableStream>(tcp(host, port));
            latest = stream.get();
            return std::unique_ptr<opcua::Stream>(std::move(stream));
        };
        opcua::Client client(settings, streams, loop, recorder, [] { return 0.0; });
        client.addItem(node("Write.Int32"));
        const int sessions = client.addItem(opcua::ExpandedNodeId(opcua::NodeId(
            0, opcua::ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSessionCount)));
        client.start();
        constexpr int kCuts = 6;
        for (int cut = 1; cut <= kCuts; ++cut) {
            QTRY_VERIFY_WITH_TIMEOUT(client.isRunning(), 10000);
            latest->cut(); // the running client's stream is the latest made
            QVERIFY(server.command("set Write.Int32 " + QString::number(cut)));
            QTRY_VERIFY_WITH_TIMEOUT(
                client.isRunning() && recorder.reading(0).value == FieldValue(int32_t(cut)), 10000);
        }
        QCOMPARE(client.statistics().outages, kCuts);
        QCOMPARE(client.statistics().sessionsCreated, 1);
        QCOMPARE(client.statistics().sessionsResumed, kCuts);
        QCOMPARE(client.statistics().subscriptionsCreated, 1);
        QTRY_VERIFY_WITH_TIMEOUT(recorder.reading(sessions).value == FieldValue(int32_t(1)), 5000);
    }
};

QTEST_GUILESS_MAIN(TestInteropClient)
#include "tst_interop_client.moc"
