// The data connection's settings file: its lines, its intervals, where it is found, the
// endpoint URLs it may name, its security settings and the password file they point to.
#include "opcua/client/endpoint.h"
#include "opcua/pki/files.h"
#include "processdata/opcua/dataconnectionconfig.h"

#include <QTemporaryDir>
#include <QTest>

using opcua::MessageSecurityMode;
using servo::DataConnectionConfig;
using servo::FailureCode;

namespace {

const std::string kSimItem1 = "nsu=urn:servo-panel:sim;s=Servo2.CommandWord";
const std::string kSimItem5 = "nsu=urn:servo-panel:sim;s=Servo2.ActualSpeed";

void writeFile(const QString& path, const QByteArray& content, QFile::Permissions permissions)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

bool anyProblemMentions(const DataConnectionConfig& config, const QString& text)
{
    for (const auto& problem : config.problems) {
        if (problem.code() != FailureCode::ConfigurationInvalid)
            return false;
        if (QString::fromStdString(problem.description()).contains(text))
            return true;
    }
    return false;
}

} // namespace

class TestDataConnectionConfig : public QObject
{
    Q_OBJECT
private slots:
    void theDocumentedExampleReadsBackExactly()
    {
        const char* text = "[connection]\n"
                           "endpoint=opc.tcp://plant-node:4841/ua\n"
                           "publishing_interval_ms=20\n"
                           "sampling_interval_ms=10\n"
                           "[items]\n"
                           "ZqNumber1=ns=2;i=5\n"
                           "ZqNumber2=ns=1;s=Name\n"
                           "ZqNumber3=nsu=urn:x;s=A.B\n"
                           "ZqNumber4=ns=3;g=09087e75-8e5e-499b-954f-f2a9603db28a\n"
                           "ZqNumber5=ns=1;b=M/RbKBsRVkePCePcx24oRA==\n"
                           "ZqNumber6=i=2255\n";
        const auto config = servo::parseDataConnectionConfig(text, "datacon.ini");
        QVERIFY2(config.problems.empty(),
                 config.problems.empty() ? "" : config.problems[0].description().c_str());
        QCOMPARE(config.endpoint, "opc.tcp://plant-node:4841/ua");
        QCOMPARE(config.publishingIntervalMs, 20);
        QCOMPARE(config.samplingIntervalMs, 10);
        QCOMPARE(config.items[0], "ns=2;i=5");
        QCOMPARE(config.items[1], "ns=1;s=Name");
        QCOMPARE(config.items[2], "nsu=urn:x;s=A.B");
        QCOMPARE(config.items[3], "ns=3;g=09087e75-8e5e-499b-954f-f2a9603db28a");
        QCOMPARE(config.items[4], "ns=1;b=M/RbKBsRVkePCePcx24oRA==");
        QCOMPARE(config.items[5], "i=2255");
        // Keys not given keep their defaults.
        QCOMPARE(config.items[6], "nsu=urn:servo-panel:sim;s=Servo3.ActualSpeed");
    }

    void lines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("field");        // the field whose item is checked, 1..8
        QTest::addColumn<QString>("item");     // what it is bound to afterwards
        QTest::addColumn<QString>("endpoint"); // the endpoint afterwards
        QTest::addColumn<QString>("problem");  // a text the one report holds, or empty

        const QString sim = QString::fromStdString(kSimItem1);
        const QString local = "opc.tcp://localhost:4840";
        QTest::newRow("empty file keeps every default") << "" << 1 << sim << local << "";
        QTest::newRow("comments and blank lines")
            << "; note\n# note\n\n[items]\n  ; ZqNumber1=ns=1;i=1\n"
            << 1 << sim << local << "";
        QTest::newRow("blanks around key and value, CRLF")
            << "[items]\r\n  ZqNumber1 =  ns=1;i=7  \r\n"
            << 1 << "ns=1;i=7" << local << "";
        QTest::newRow("an empty item unbinds the field without a report") << "[items]\nZqNumber1=\n"
                                                                          << 1 << "" << local << "";
        QTest::newRow("malformed node id unbinds that field")
            << "[items]\nZqNumber1=ns=x;i=5\n"
            << 1 << "" << local << "line 2: ZqNumber1";
        QTest::newRow("malformed node id leaves other fields bound")
            << "[items]\nZqNumber1=garbage\n"
            << 5 << QString::fromStdString(kSimItem5) << local << "line 2: ZqNumber1";
        QTest::newRow("numeric id out of range") << "[items]\nZqNumber2=ns=1;i=4294967296\n"
                                                 << 2 << "" << local << "ZqNumber2";
        QTest::newRow("namespace index out of range") << "[items]\nZqNumber2=ns=65536;i=1\n"
                                                      << 2 << "" << local << "ZqNumber2";
        QTest::newRow("bad guid") << "[items]\nZqNumber2=ns=1;g=1234\n"
                                  << 2 << "" << local << "ZqNumber2";
        QTest::newRow("empty namespace uri") << "[items]\nZqNumber2=nsu=;s=A\n"
                                             << 2 << "" << local << "ZqNumber2";
        QTest::newRow("unknown field key reported, nothing unbound")
            << "[items]\nZqNumber9=ns=1;i=1\n"
            << 1 << sim << local << "ZqNumber9";
        QTest::newRow("unknown field key with a leading zero") << "[items]\nZqNumber01=ns=1;i=1\n"
                                                               << 1 << sim << local << "ZqNumber01";
        QTest::newRow("endpoint with path and port")
            << "[connection]\nendpoint=opc.tcp://10.0.0.5:48010/x\n"
            << 1 << sim << "opc.tcp://10.0.0.5:48010/x"
            << "";
        QTest::newRow("endpoint wrong scheme") << "[connection]\nendpoint=http://localhost:4840\n"
                                               << 1 << sim << ""
                                               << "opc.tcp://";
        QTest::newRow("line without '='") << "[items]\nZqNumber1\n"
                                          << 1 << sim << local << "line 2";
        QTest::newRow("key before any section") << "endpoint=opc.tcp://x:1\n"
                                                << 1 << sim << local << "before any section";
        QTest::newRow("unknown section skips its keys") << "[other]\nendpoint=opc.tcp://x:1\n"
                                                        << 1 << sim << local << "[other]";
        QTest::newRow("unclosed section header") << "[items\nZqNumber1=ns=1;i=1\n"
                                                 << 1 << sim << local << "']'";
    }

    void lines()
    {
        QFETCH(QString, text);
        QFETCH(int, field);
        QFETCH(QString, item);
        QFETCH(QString, endpoint);
        QFETCH(QString, problem);

        const QByteArray bytes = text.toUtf8();
        const auto config = servo::parseDataConnectionConfig(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), "datacon.ini");
        QCOMPARE(QString::fromStdString(config.items[std::size_t(field - 1)]), item);
        QCOMPARE(QString::fromStdString(config.endpoint), endpoint);
        if (problem.isEmpty()) {
            QCOMPARE(config.problems.size(), std::size_t(0));
        } else {
            QCOMPARE(config.problems.size(), std::size_t(1));
            QVERIFY2(anyProblemMentions(config, problem), config.problems[0].what());
            QCOMPARE(config.problems[0].number(), 1030);
        }
    }

    // Every form of URL the endpoint setting may take, as the client parses it; the rows of
    // lines() show how a refused one is reported.
    void endpointUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host"); // empty when the URL is refused
        QTest::addColumn<int>("port");
        QTest::newRow("host and port") << "opc.tcp://localhost:4840"
                                       << "localhost" << 4840;
        QTest::newRow("default port") << "opc.tcp://plc"
                                      << "plc" << 4840;
        QTest::newRow("path") << "opc.tcp://10.1.2.3:48010/UA/Server"
                              << "10.1.2.3" << 48010;
        QTest::newRow("scheme in capitals") << "OPC.TCP://h:1"
                                            << "h" << 1;
        QTest::newRow("IPv6") << "opc.tcp://[::1]:4841"
                              << "::1" << 4841;
        QTest::newRow("IPv6 default port") << "opc.tcp://[fe80::1]"
                                           << "fe80::1" << 4840;
        QTest::newRow("other scheme") << "opc.https://h:1"
                                      << "" << 0;
        QTest::newRow("no host") << "opc.tcp://:4840"
                                 << "" << 0;
        QTest::newRow("port zero") << "opc.tcp://h:0"
                                   << "" << 0;
        QTest::newRow("port too big") << "opc.tcp://h:65536"
                                      << "" << 0;
        QTest::newRow("port not a number") << "opc.tcp://h:48a"
                                           << "" << 0;
        QTest::newRow("empty port") << "opc.tcp://h:"
                                    << "" << 0;
        QTest::newRow("blank in host") << "opc.tcp://my host:1"
                                       << "" << 0;
        QTest::newRow("unclosed bracket") << "opc.tcp://[::1:4840"
                                          << "" << 0;
        QTest::newRow("empty") << ""
                               << "" << 0;
    }

    void endpointUrls()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QFETCH(int, port);
        std::string error;
        const auto endpoint = opcua::parseEndpoint(url.toStdString(), &error);
        if (host.isEmpty()) {
            QVERIFY(!endpoint);
            QVERIFY(!error.empty());
            return;
        }
        QVERIFY2(endpoint, error.c_str());
        QCOMPARE(QString::fromStdString(endpoint->host), host);
        QCOMPARE(int(endpoint->port), port);
        QCOMPARE(QString::fromStdString(endpoint->url), url);
    }

    void intervals_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("reported");
        QTest::newRow("plain") << "250" << 250 << false;
        QTest::newRow("zero, the fastest the server allows") << "0" << 0 << false;
        QTest::newRow("negative") << "-1" << 100 << true;
        QTest::newRow("fraction") << "1.5" << 100 << true;
        QTest::newRow("text") << "fast" << 100 << true;
        QTest::newRow("empty") << "" << 100 << true;
        QTest::newRow("beyond an hour") << "3600001" << 100 << true;
        QTest::newRow("beyond int") << "99999999999" << 100 << true;
    }

    void intervals()
    {
        QFETCH(QString, value);
        QFETCH(int, expected);
        QFETCH(bool, reported);
        const QByteArray text = ("[connection]\npublishing_interval_ms=" + value +
                                 "\nsampling_interval_ms=" + value + "\n")
                                    .toUtf8();
        const auto config =
            servo::parseDataConnectionConfig(std::string_view(text.constData()), "datacon.ini");
        QCOMPARE(config.publishingIntervalMs, expected);
        QCOMPARE(config.samplingIntervalMs, expected);
        QCOMPARE(config.problems.size(), std::size_t(reported ? 2 : 0));
    }

    void securitySettings_data()
    {
        QTest::addColumn<QString>("text"); // lines of [connection]
        QTest::addColumn<int>("mode");     // MessageSecurityMode afterwards
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QString>("problem"); // a text the one report holds, or empty

        const int none = int(MessageSecurityMode::None);
        const int sign = int(MessageSecurityMode::Sign);
        const int encrypt = int(MessageSecurityMode::SignAndEncrypt);
        QTest::newRow("missing keys: None and anonymous, as files before them") << "" << none << ""
                                                                                << "" << true << "";
        QTest::newRow("the documented example")
            << "security_mode=SignAndEncrypt\nsecurity_policy=Basic256Sha256\n"
               "user=operator\npassword_file=operator.password\n"
            << encrypt << "Basic256Sha256"
            << "operator" << true << "";
        QTest::newRow("a mode without a policy leaves the choice to the server's offer")
            << "security_mode=Sign\n"
            << sign << ""
            << "" << true << "";
        QTest::newRow("every policy name")
            << "security_mode=Sign\nsecurity_policy=Aes128_Sha256_RsaOaep\n"
               "security_policy=Aes256_Sha256_RsaPss\n"
            << sign << "Aes256_Sha256_RsaPss"
            << "" << true << "";
        QTest::newRow("a misspelt mode keeps the connection off, not falling back to None")
            << "security_mode=SignAndEncrpyt\n"
            << none << ""
            << "" << false << "\"SignAndEncrpyt\" is not one of None, Sign, SignAndEncrypt";
        QTest::newRow("mode names are exact") << "security_mode=sign\n"
                                              << none << ""
                                              << "" << false << "stays off";
        QTest::newRow("an unknown policy keeps the connection off")
            << "security_mode=Sign\nsecurity_policy=Basic128Rsa15\n"
            << sign << ""
            << "" << false << "\"Basic128Rsa15\" is not one of";
        QTest::newRow("policy None is no policy to ask for")
            << "security_mode=Sign\nsecurity_policy=None\n"
            << sign << ""
            << "" << false << "\"None\" is not one of";
        QTest::newRow("a policy with mode None is reported and ignored")
            << "security_policy=Basic256Sha256\n"
            << none << "Basic256Sha256"
            << "" << true << "ignored with security_mode None";
        QTest::newRow("a user without a password file keeps the connection off")
            << "user=operator\n"
            << none << ""
            << "operator" << false << "user \"operator\" has no password_file";
        QTest::newRow("an empty user is anonymous") << "user=\n"
                                                    << none << ""
                                                    << "" << true << "";
        QTest::newRow("a password file without a user is reported")
            << "password_file=p\n"
            << none << ""
            << "" << true << "session stays anonymous";
    }

    void securitySettings()
    {
        QFETCH(QString, text);
        QFETCH(int, mode);
        QFETCH(QString, policy);
        QFETCH(QString, user);
        QFETCH(bool, usable);
        QFETCH(QString, problem);

        const QByteArray bytes = ("[connection]\n" + text).toUtf8();
        const auto config = servo::parseDataConnectionConfig(
            std::string_view(bytes.constData(), std::size_t(bytes.size())), "datacon.ini");
        QCOMPARE(int(config.securityMode), mode);
        QCOMPARE(QString::fromStdString(config.securityPolicy), policy);
        QCOMPARE(QString::fromStdString(config.user), user);
        QCOMPARE(config.securityUsable, usable);
        QCOMPARE(config.problems.size(), std::size_t(problem.isEmpty() ? 0 : 1));
        if (!problem.isEmpty())
            QVERIFY2(anyProblemMentions(config, problem), config.problems[0].what());
    }

    void passwordFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("permissions");  // QFile::Permissions
        QTest::addColumn<QString>("password"); // expected, when the file is accepted
        QTest::addColumn<QString>("problem");  // a text the failure holds, or empty

        const int owner = int(QFile::ReadOwner | QFile::WriteOwner);
        QTest::newRow("the first line") << QByteArray("s3cret\nsecond line\n") << owner << "s3cret"
                                        << "";
        QTest::newRow("CRLF line end") << QByteArray("s3cret\r\n") << owner << "s3cret"
                                       << "";
        QTest::newRow("no line end") << QByteArray("s3cret") << owner << "s3cret"
                                     << "";
        QTest::newRow("blanks are part of a password")
            << QByteArray(" pass word \n") << owner << " pass word "
            << "";
        QTest::newRow("an empty file is an empty password") << QByteArray() << owner << ""
                                                            << "";
        QTest::newRow("readable by group")
            << QByteArray("s3cret\n") << int(owner | QFile::ReadGroup) << ""
            << "may be used by other users than its owner";
        QTest::newRow("readable by others")
            << QByteArray("s3cret\n") << int(owner | QFile::ReadOther) << ""
            << "chmod 600";
        QTest::newRow("writable by group")
            << QByteArray("s3cret\n") << int(owner | QFile::WriteGroup) << ""
            << "chmod 600";
        QTest::newRow("too large") << QByteArray(5000, 'x') << owner << ""
                                   << "larger than 4096 bytes";
    }

    void passwordFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, permissions);
        QFETCH(QString, password);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath("operator.password");
        writeFile(path, content, QFile::Permissions(permissions));
        try {
            const std::string read = opcua::pki::readPasswordFile(path.toStdString());
            QVERIFY2(problem.isEmpty(), "the file was accepted");
            QCOMPARE(QString::fromStdString(read), password);
        } catch (const opcua::Error& error) {
            QVERIFY2(!problem.isEmpty(), error.what());
            QCOMPARE(error.status(), opcua::status::BadConfigurationError);
            const QString text = QString::fromUtf8(error.what());
            QVERIFY2(text.contains(problem) && text.contains(path), error.what());
        }
    }

    void aMissingPasswordFileIsReportedByName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("absent.password");
        try {
            opcua::pki::readPasswordFile(path.toStdString());
            QFAIL("a missing file was read");
        } catch (const opcua::Error& error) {
            QVERIFY(QString::fromUtf8(error.what()).contains(path));
        }
    }

    void aRelativePasswordFileIsFoundBesideTheSettings()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("datacon.ini"), "[connection]\nuser=op\npassword_file=op.pw\n",
                  QFile::ReadOwner | QFile::WriteOwner);
        const auto config = servo::loadDataConnectionConfig(dir.filePath("datacon.ini"));
        QCOMPARE(QString::fromStdString(config.passwordFile), dir.filePath("op.pw"));

        writeFile(dir.filePath("datacon.ini"),
                  "[connection]\nuser=op\npassword_file=/etc/servo/op.pw\n",
                  QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(servo::loadDataConnectionConfig(dir.filePath("datacon.ini")).passwordFile,
                 "/etc/servo/op.pw");
    }

    void thePkiFolderIsUnderXdgDataHome_data()
    {
        QTest::addColumn<QByteArray>("dataHome");
        QTest::addColumn<QString>("expected");
        const QString fallback = QDir::homePath() + "/.local/share/servo-panel/pki";
        QTest::newRow("set") << QByteArray("/srv/data") << "/srv/data/servo-panel/pki";
        QTest::newRow("unset") << QByteArray() << fallback;
        QTest::newRow("relative") << QByteArray("relative/dir") << fallback;
    }

    void thePkiFolderIsUnderXdgDataHome()
    {
        QFETCH(QByteArray, dataHome);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", dataHome);
        const QString path = servo::panelPkiPath();
        qputenv("XDG_DATA_HOME", saved);
        QCOMPARE(path, expected);
    }

    void aMissingFileGivesTheDefaultsWithoutAReport()
    {
        QTemporaryDir dir;
        const auto config = servo::loadDataConnectionConfig(dir.filePath("datacon.ini"));
        QVERIFY(config.problems.empty());
        QVERIFY(config.source.isEmpty());
        QCOMPARE(config.items[0], kSimItem1);
    }

    void theFileIsFoundUnderXdgConfigHome()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("servo-panel"));
        QFile file(dir.filePath("servo-panel/datacon.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[connection]\nendpoint=opc.tcp://elsewhere:4000\n");
        file.close();

        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        const auto config = servo::loadDataConnectionConfig();
        qputenv("XDG_CONFIG_HOME", saved);

        QCOMPARE(config.endpoint, "opc.tcp://elsewhere:4000");
        QCOMPARE(config.source, file.fileName());
    }

    void aRelativeXdgConfigHomeIsIgnored()
    {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", "relative/dir");
        const QString path = servo::dataConnectionConfigPath();
        qputenv("XDG_CONFIG_HOME", saved);
        QCOMPARE(path, QDir::homePath() + "/.config/servo-panel/datacon.ini");
    }

    void unusableFilesAreReportedAndGiveTheDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("directory");
        QTest::newRow("binary") << QByteArray("[items]\0\x01\x02", 10) << false;
        QTest::newRow("huge") << QByteArray(qsizetype(200) * 1024, 'x') << false;
        QTest::newRow("a directory") << QByteArray() << true;
    }

    void unusableFilesAreReportedAndGiveTheDefaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, directory);
        QTemporaryDir dir;
        const QString path = dir.filePath("datacon.ini");
        if (directory) {
            QVERIFY(QDir(dir.path()).mkdir("datacon.ini"));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        const auto config = servo::loadDataConnectionConfig(path);
        QCOMPARE(config.problems.size(), std::size_t(1));
        QCOMPARE(config.problems[0].code(), FailureCode::ConfigurationInvalid);
        QCOMPARE(config.items[0], kSimItem1);
        QCOMPARE(config.endpoint, "opc.tcp://localhost:4840");
    }
};

QTEST_GUILESS_MAIN(TestDataConnectionConfig)
#include "tst_dataconnectionconfig.moc"
