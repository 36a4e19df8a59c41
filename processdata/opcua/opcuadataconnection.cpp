#include "processdata/opcua/opcuadataconnection.h"

#include "opcua/nodeid.h"
#include "opcua/pki/files.h"
#include "opcua/sockets.h"
#include "processdata/fieldvalue.h"
#include "processdata/opcua/opcuafield.h"
#include "processdata/opcua/valuemapping.h"
#include "text/printable.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLoggingCategory>
#include <array>

Q_LOGGING_CATEGORY(lcDataConnection, "servo.opcua.datacon")
Q_LOGGING_CATEGORY(lcSettingsReload, "servo.panel.settings")

namespace servo {

namespace {

// The failures an outage is reported as when its status says more than that the link is down:
// what the operator has to act on, rather than wait for.
struct OutageFailure
{
    opcua::StatusCode status;
    FailureCode code;
};
constexpr std::array kOutageFailures{
    OutageFailure{opcua::status::BadCertificateUntrusted, FailureCode::ServerNotTrusted},
    OutageFailure{opcua::status::BadUserAccessDenied, FailureCode::UserRefused},
    OutageFailure{opcua::status::BadIdentityTokenRejected, FailureCode::UserRefused},
    OutageFailure{opcua::status::BadIdentityTokenInvalid, FailureCode::UserRefused},
    OutageFailure{opcua::status::BadSecurityModeRejected, FailureCode::NoMatchingEndpoint},
    OutageFailure{opcua::status::BadSecurityPolicyRejected, FailureCode::NoMatchingEndpoint},
    OutageFailure{opcua::status::BadSecurityModeInsufficient, FailureCode::ConfigurationInvalid},
    OutageFailure{opcua::status::BadConfigurationError, FailureCode::ConfigurationInvalid},
    OutageFailure{opcua::status::BadSecurityChecksFailed, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadApplicationSignatureInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadNonceInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateTimeInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateIssuerTimeInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateUriInvalid, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateUseNotAllowed, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateIssuerUseNotAllowed,
                  FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateRevocationUnknown, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateIssuerRevocationUnknown,
                  FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateRevoked, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateIssuerRevoked, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificateChainIncomplete, FailureCode::SecurityCheckFailed},
    OutageFailure{opcua::status::BadCertificatePolicyCheckFailed, FailureCode::SecurityCheckFailed},
};

opcua::ClientSettings clientSettingsFor(const DataConnectionConfig& config,
                                        const opcua::Endpoint& endpoint)
{
    opcua::ClientSettings client;
    client.endpoint = endpoint;
    client.sessionName =
        opcua::String(std::string("servo-panel ") + std::string(kDataConnectionName));
    client.publishingIntervalMs = config.publishingIntervalMs;
    client.samplingIntervalMs = config.samplingIntervalMs;
    client.security.mode = config.securityMode;
    client.security.policy = config.securityPolicy;
    client.security.pkiFolder = panelPkiPath().toStdString();
    client.security.userName = config.user;
    if (!config.user.empty()) {
        client.security.password = [file = config.passwordFile] {
            return opcua::pki::readPasswordFile(file);
        };
    }
    return client;
}

// Everything but the problems and the file they came from decides what the client does.
bool sameConnection(const DataConnectionConfig& a, const DataConnectionConfig& b)
{
    return a.endpoint == b.endpoint && a.publishingIntervalMs == b.publishingIntervalMs &&
           a.samplingIntervalMs == b.samplingIntervalMs && a.securityMode == b.securityMode &&
           a.securityPolicy == b.securityPolicy && a.user == b.user &&
           a.passwordFile == b.passwordFile && a.securityUsable == b.securityUsable &&
           a.items == b.items;
}

// What the settings file holds, as far as a settings file may go; nullopt when there is none.
std::optional<QByteArray> settingsBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QFileInfo::exists(path) ? std::optional(QByteArray()) : std::nullopt;
    return file.read(qint64(64) * 1024 + 1);
}

constexpr std::chrono::milliseconds kSettingsSettleTime(300);

// Room left in a report's detail for what follows the outage's own text.
constexpr std::size_t kOutageDetailChars = Failure::kMaxDetailChars - 64;

} // namespace

OpcUaDataConnection::OpcUaDataConnection(DataConnectionConfig config)
    : OpcUaDataConnection(std::move(config), {}, std::make_unique<QtEventLoop>(), nullptr,
                          opcua::systemRandom())
{}

OpcUaDataConnection::OpcUaDataConnection(DataConnectionConfig config, opcua::StreamFactory streams,
                                         opcua::Clock& clock,
                                         opcua::ReconnectBackoff::Random random)
    : OpcUaDataConnection(std::move(config), std::move(streams), nullptr, &clock, std::move(random))
{}

OpcUaDataConnection::OpcUaDataConnection(DataConnectionConfig config, opcua::StreamFactory streams,
                                         std::unique_ptr<QtEventLoop> ownLoop, opcua::Clock* clock,
                                         opcua::ReconnectBackoff::Random random)
    : m_config(std::move(config)), m_ownLoop(std::move(ownLoop)),
      m_clock(clock ? *clock : *m_ownLoop), m_streams(std::move(streams)),
      m_random(std::move(random))
{
    if (!m_streams)
        m_streams = opcua::tcpStreamFactory(*m_ownLoop);
    for (const auto& problem : m_config.problems)
        qCWarning(lcDataConnection).noquote() << QString::fromStdString(problem.description());
    if (auto problems = problemReport(m_config))
        m_reports.push_back({std::move(*problems), std::nullopt});
    startClient();
}

void OpcUaDataConnection::startClient()
{
    if (!m_config.securityUsable)
        return;
    std::string error;
    const auto endpoint = opcua::parseEndpoint(m_config.endpoint, &error);
    if (!endpoint) {
        // The settings file's problems already name a malformed endpoint; an empty one is the
        // result of that.
        if (!m_config.endpoint.empty())
            report(Failure(FailureCode::ConfigurationInvalid,
                           "endpoint \"" + m_config.endpoint + "\": " + error));
        return;
    }
    m_client =
        std::make_unique<opcua::Client>(clientSettingsFor(m_config, *endpoint), m_streams, m_clock,
                                        static_cast<opcua::Client::Listener&>(*this), m_random);
    for (Binding& binding : m_bindings) {
        if (!binding.field)
            continue;
        const std::string& item = m_config.items[size_t(binding.field->number() - 1)];
        if (item.empty())
            continue;
        try {
            binding.item = m_client->addItem(opcua::parseExpandedNodeId(item));
        } catch (const opcua::NodeIdError& error) {
            // The settings file is checked when read; this guards settings made in code.
            report(Failure(FailureCode::ConfigurationInvalid,
                           binding.field->name() + ": " + error.what()));
            continue;
        }
        if (int(m_fieldOfItem.size()) <= binding.item)
            m_fieldOfItem.resize(size_t(binding.item) + 1, -1);
        m_fieldOfItem[size_t(binding.item)] = binding.field->number() - 1;
    }
    m_client->start();
}

void OpcUaDataConnection::reconfigure(DataConnectionConfig config)
{
    for (const auto& problem : config.problems)
        qCWarning(lcDataConnection).noquote() << QString::fromStdString(problem.description());
    if (auto problems = problemReport(config))
        report(std::move(*problems));
    if (sameConnection(config, m_config)) {
        qCInfo(lcSettingsReload) << "settings reloaded; the connection settings are unchanged";
        m_config = std::move(config);
        return;
    }
    qCInfo(lcSettingsReload).noquote()
        << QStringLiteral("settings reloaded; reconnecting to %1")
               .arg(QString::fromStdString(text::printable(config.endpoint)));
    // An outage under way is not over: its report says so once the new connection is up.
    m_client.reset();
    m_fieldOfItem.clear();
    for (Binding& binding : m_bindings)
        binding.item = -1;
    nullFieldsWithValues();
    m_config = std::move(config);
    startClient();
}

void OpcUaDataConnection::watchSettings(const QString& path)
{
    // Editors often save by writing a new file and renaming it over the old one, which ends the
    // watch on the file; the folder's watch sees the new one arrive, and the file is watched
    // again.
    // A folder that does not exist yet is watched for through its parent. Other files come and
    // go in these folders; only a change of the file's bytes counts.
    m_settingsWatcher = std::make_unique<QFileSystemWatcher>();
    auto watch = [this, path] {
        const QString folder = QFileInfo(path).absolutePath();
        for (const QString& watched : {path, folder, QFileInfo(folder).absolutePath()}) {
            if (QFileInfo::exists(watched) && !m_settingsWatcher->files().contains(watched) &&
                !m_settingsWatcher->directories().contains(watched))
                m_settingsWatcher->addPath(watched);
        }
    };
    watch();
    m_settingsRead = settingsBytes(path);
    auto reread = [this, path, watch] {
        m_rereadTimer = 0;
        watch();
        std::optional<QByteArray> bytes = settingsBytes(path);
        if (bytes == m_settingsRead)
            return;
        m_settingsRead = std::move(bytes);
        reconfigure(loadDataConnectionConfig(path));
    };
    // An editor that removes the file before writing it anew would otherwise have the built-in
    // settings take over for a moment: the file is read once the changes have settled.
    auto changed = [this, reread] {
        if (m_rereadTimer == 0)
            m_rereadTimer = m_clock.start(kSettingsSettleTime, reread);
    };
    QObject::connect(m_settingsWatcher.get(), &QFileSystemWatcher::fileChanged,
                     m_settingsWatcher.get(), changed);
    QObject::connect(m_settingsWatcher.get(), &QFileSystemWatcher::directoryChanged,
                     m_settingsWatcher.get(), changed);
}

OpcUaDataConnection::~OpcUaDataConnection()
{
    for (auto& binding : m_bindings) {
        if (binding.field)
            binding.field->detach();
    }
    if (m_reportTimer != 0)
        m_clock.cancel(m_reportTimer);
    if (m_rereadTimer != 0)
        m_clock.cancel(m_rereadTimer);
    // The client goes before the clock it runs on.
    m_client.reset();
}

void OpcUaDataConnection::setReportChangeSink(ReportChangeSink sink)
{
    m_changeSink = std::move(sink);
}

void OpcUaDataConnection::setFailureSink(FailureSink sink)
{
    m_sink = std::move(sink);
    if (!m_reports.empty())
        flushReports();
}

bool OpcUaDataConnection::bindField(OpcUaField& field)
{
    const int number = field.number();
    if (number < 1 || number > DataConnectionConfig::kFieldCount)
        return false;
    Binding& binding = m_bindings[size_t(number - 1)];
    if (binding.field == &field)
        return true;
    if (binding.field)
        return false;
    // A field without an item stays bound, so that settings read again can give it one.
    binding.field = &field;
    const std::string& item = m_config.items[size_t(number - 1)];
    if (item.empty() || !m_client)
        return true;
    try {
        binding.item = m_client->addItem(opcua::parseExpandedNodeId(item));
    } catch (const opcua::NodeIdError& error) {
        // The settings file is checked when read; this guards settings made in code.
        report(Failure(FailureCode::ConfigurationInvalid, field.name() + ": " + error.what()));
        return true;
    }
    if (int(m_fieldOfItem.size()) <= binding.item)
        m_fieldOfItem.resize(size_t(binding.item) + 1, -1);
    m_fieldOfItem[size_t(binding.item)] = number - 1;
    return true;
}

std::string OpcUaDataConnection::writeTarget(const OpcUaField& field) const
{
    std::string target = m_config.items[size_t(field.number() - 1)];
    if (target.empty())
        target = "no item";
    if (!m_config.user.empty())
        target += ", user " + text::quoted(m_config.user);
    return target;
}

void OpcUaDataConnection::unbindField(OpcUaField& field)
{
    if (Binding* binding = bindingOf(field)) {
        if (binding->item >= 0)
            m_fieldOfItem[size_t(binding->item)] = -1;
        *binding = Binding{};
    }
}

OpcUaDataConnection::Binding* OpcUaDataConnection::bindingOf(const OpcUaField& field)
{
    for (auto& binding : m_bindings) {
        if (binding.field == &field)
            return &binding;
    }
    return nullptr;
}

OpcUaField* OpcUaDataConnection::fieldOfItem(int item) const
{
    if (item < 0 || item >= int(m_fieldOfItem.size()) || m_fieldOfItem[size_t(item)] < 0)
        return nullptr;
    return m_bindings[size_t(m_fieldOfItem[size_t(item)])].field;
}

void OpcUaDataConnection::write(OpcUaField& field, const FieldValue& value)
{
    const Binding* binding = bindingOf(field);
    if (!binding || binding->item < 0 || !m_client)
        throw Failure(FailureCode::FieldNotBound, field.name() + " has no process item");
    if (!m_client->isRunning())
        throw Failure(FailureCode::ConnectionUnavailable,
                      field.name() + ": " + m_config.endpoint + " is not connected");
    opcua::Variant variant =
        variantForWrite(value, writeTypeFor(field, binding->item, value.type()));
    const std::string what = describe(value);
    const std::string& name = field.name();
    const bool sent = m_client->write(
        binding->item, std::move(variant),
        [this, name, what](opcua::StatusCode status, const std::string& reason) {
            if (!status.isBad() || status.sameCode(opcua::status::BadConnectionClosed))
                return; // done, or the outage is reported on its own
            if (status.sameCode(opcua::status::BadTimeout))
                report(Failure(FailureCode::RequestTimedOut,
                               name + ": writing " + what + ": " + reason));
            else
                report(Failure(FailureCode::ServerRejected,
                               name + ": writing " + what + ": " + reason));
        });
    if (!sent)
        throw notAccepted(field);
}

opcua::BuiltinType OpcUaDataConnection::writeTypeFor(const OpcUaField& field, int item,
                                                     FieldValue::Type written) const
{
    const auto dataType = m_client->itemDataType(item);
    if (const auto type =
            writeTypeOf(dataType.value_or(opcua::NodeId()), m_client->itemType(item), written))
        return *type;
    if (!dataType)
        throw notAccepted(field);
    throw Failure(FailureCode::TypeMismatch,
                  field.name() + ": the item's data type " + opcua::toString(*dataType) +
                      " is not one a field can write until the item holds a value");
}

Failure OpcUaDataConnection::notAccepted(const OpcUaField& field) const
{
    return Failure(FailureCode::FieldWriteFailed, field.name() +
                                                      ": the server has not accepted its item " +
                                                      m_config.items[size_t(field.number() - 1)]);
}

void OpcUaDataConnection::stateChanged(opcua::Client::State state)
{
    if (state != opcua::Client::State::Running || !m_outage)
        return;
    const auto seconds =
        std::chrono::round<std::chrono::seconds>(m_clock.now() - m_outage->began).count();
    const std::string restored =
        " \u2014 connection restored at " +
        QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString() + " after " +
        std::to_string(seconds) + " s";
    qCInfo(lcDataConnection).noquote() << QString::fromStdString(
        m_config.endpoint + ": connection restored after " + std::to_string(seconds) + " s");
    Outage outage = std::move(*m_outage);
    m_outage.reset();
    reportChange(outage.report,
                 Failure(outage.report.code(),
                         text::printable(outage.detail, kOutageDetailChars) + restored));
}

void OpcUaDataConnection::itemChanged(int item, const opcua::DataValue& value)
{
    if (OpcUaField* field = fieldOfItem(item))
        field->deliver(readingOf(value));
}

void OpcUaDataConnection::itemRejected(int item, opcua::StatusCode status,
                                       const std::string& reason)
{
    (void)status;
    OpcUaField* field = fieldOfItem(item);
    if (!field)
        return;
    field->deliver({FieldValue::null(), {}});
    report(Failure(FailureCode::ServerRejected, field->name() + " (" +
                                                    m_config.items[size_t(field->number() - 1)] +
                                                    "): " + reason));
}

void OpcUaDataConnection::connectionLost(opcua::StatusCode status, const std::string& reason,
                                         bool wasConnected)
{
    nullFieldsWithValues();
    reportOutage(outageCode(status, wasConnected), reason);
}

// A field that never had a value stays empty; one that had a value must not keep showing it as
// if it were current.
void OpcUaDataConnection::nullFieldsWithValues()
{
    for (auto& binding : m_bindings) {
        if (!binding.field)
            continue;
        try {
            if (binding.field->value().isEmpty())
                continue;
        } catch (const Failure&) {
            // An unshowable value is a value too.
        }
        binding.field->deliver({FieldValue::null(), {}});
    }
}

// A later attempt of the outage is reported only when it fails for another reason the operator
// acts on, as when a newly trusted server then refuses the user; an unreachable server is news
// to no one once the outage is reported.
void OpcUaDataConnection::attemptFailed(opcua::StatusCode status, const std::string& reason)
{
    const FailureCode code = outageCode(status, false);
    if (code != m_outageCode && code != FailureCode::ConnectionUnavailable)
        reportOutage(code, reason);
    else if (m_outage && reason != m_outage->reason)
        changeOutageReport(reason);
}

void OpcUaDataConnection::reportOutage(FailureCode code, const std::string& reason)
{
    m_outageCode = code;
    const auto began = m_outage ? m_outage->began : m_clock.now();
    const std::string detail = outageDetail(code, reason);
    m_outage = Outage{Failure(code, detail), detail, reason, began};
    report(m_outage->report);
}

// While an outage lasts its report gives the latest attempt's reason; the server may have gone
// from refusing connections to not answering at all.
void OpcUaDataConnection::changeOutageReport(const std::string& reason)
{
    Failure previous = std::move(m_outage->report);
    m_outage->detail = outageDetail(m_outageCode, reason);
    m_outage->report = Failure(m_outageCode, m_outage->detail);
    m_outage->reason = reason;
    reportChange(previous, m_outage->report);
}

std::string OpcUaDataConnection::outageDetail(FailureCode code, const std::string& reason) const
{
    if (code == FailureCode::ConnectionLost)
        return m_config.endpoint + ": " + reason + "; reconnecting";
    return "cannot connect to " + m_config.endpoint + ": " + reason + "; retrying";
}

// A changed server certificate is refused as an untrusted one; the client tells it apart.
FailureCode OpcUaDataConnection::outageCode(opcua::StatusCode status, bool wasConnected) const
{
    if (m_client && m_client->serverCertificateChanged())
        return FailureCode::ServerCertificateChanged;
    return outageFailureCode(status, wasConnected);
}

FailureCode outageFailureCode(opcua::StatusCode status, bool wasConnected)
{
    for (const auto& outage : kOutageFailures) {
        if (status.sameCode(outage.status))
            return outage.code;
    }
    return wasConnected ? FailureCode::ConnectionLost : FailureCode::ConnectionUnavailable;
}

void OpcUaDataConnection::report(Failure failure)
{
    m_reports.push_back({std::move(failure), std::nullopt});
    if (m_sink)
        flushReports();
}

void OpcUaDataConnection::reportChange(const Failure& previous, Failure current)
{
    m_reports.push_back({std::move(current), previous});
    if (m_sink)
        flushReports();
}

void OpcUaDataConnection::flushReports()
{
    // Reports leave from the event loop, so a sink that shows a dialog never runs inside the
    // client's own processing.
    if (m_reportTimer != 0)
        return;
    m_reportTimer = m_clock.start(std::chrono::milliseconds(0), [this] {
        m_reportTimer = 0;
        auto reports = std::move(m_reports);
        m_reports.clear();
        for (const auto& pending : reports) {
            if (!pending.previous && m_sink)
                m_sink(pending.failure);
            else if (pending.previous && m_changeSink)
                m_changeSink(*pending.previous, pending.failure);
        }
    });
}

} // namespace servo
