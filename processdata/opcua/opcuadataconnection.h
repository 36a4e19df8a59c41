#pragma once

#include "opcua/client/client.h"
#include "processdata/dataconnection.h"
#include "processdata/fieldvalue.h"
#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/opcua/qteventloop.h"
#include "processdata/settings.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class QFileSystemWatcher;

namespace servo {

class FieldValue;
class OpcUaField;

// The failure an outage with this status is reported as: one the operator can act on when the
// status names a security or identity problem, else 1013 (ConnectionLost) after values had
// flowed and 1010 (ConnectionUnavailable) before.
FailureCode outageFailureCode(opcua::StatusCode status, bool wasConnected);

// DatCon1 as an OPC UA client: it connects to the endpoint of its settings on its own, keeps the
// items of the bound fields monitored in one subscription, and hands their values to the fields
// on the thread that owns it. It holds kDatCon1Settings as its design-time settings; none of
// them reaches the server: the server identifier names a server of another protocol's registry,
// which OPC UA has no use for.
//
// Failures that arise outside the panel's handlers go to the failure sink, always from the
// event loop and never from inside a field call: the problems of the settings file (at start),
// the loss of the connection (once per outage; every field that had a value turns null), a
// server refusing an item, and a write the server refused or did not answer. The report of an
// outage follows it: while it lasts the report gives the latest attempt's reason, and once the
// link is back it says when ("connection restored at 10:42:07 after 12 s"), through the report
// change sink.
//
// The settings can change while the panel runs (reconfigure, or watchSettings for a file): their
// problems are reported as at start, and the connection starts afresh when where or how it
// connects, or which items it monitors, changed.
class OpcUaDataConnection final : public DataConnection, private opcua::Client::Listener
{
public:
    // Connects over TCP, on a protocol event loop of its own run inside Qt's.
    explicit OpcUaDataConnection(DataConnectionConfig config);
    // Connects through streams, on clock; for tests. The clock must outlive the connection.
    OpcUaDataConnection(DataConnectionConfig config, opcua::StreamFactory streams,
                        opcua::Clock& clock,
                        opcua::ReconnectBackoff::Random random = opcua::systemRandom());
    ~OpcUaDataConnection() override;

    OpcUaDataConnection(const OpcUaDataConnection&) = delete;
    OpcUaDataConnection& operator=(const OpcUaDataConnection&) = delete;

    void setFailureSink(FailureSink sink) override;
    void setReportChangeSink(ReportChangeSink sink) override;

    // Takes new settings: reports their problems, and reconnects with them when they differ from
    // the current ones in anything but their problems and their file.
    void reconfigure(DataConnectionConfig config);
    // Reads the settings file at path again whenever it changes, is replaced, appears or goes
    // away (then the built-in settings apply), and takes what it holds (see reconfigure).
    void watchSettings(const QString& path);

    const DataConnectionSettings& settings() const { return m_settings; }
    const DataConnectionConfig& config() const { return m_config; }
    // nullptr when the endpoint could not be used.
    const opcua::Client* client() const { return m_client.get(); }
    bool isConnected() const { return m_client && m_client->isRunning(); }

    // For OpcUaField: binds the field to the item configured for its number; false when it has
    // none. unbindField forgets it (the field is going away).
    bool bindField(OpcUaField& field);
    void unbindField(OpcUaField& field);
    // For OpcUaField::setValue: throws Failure as that documents.
    void write(OpcUaField& field, const FieldValue& value);
    // For OpcUaField::writeTarget: the field's item and the session's user, if any.
    std::string writeTarget(const OpcUaField& field) const;

private:
    OpcUaDataConnection(DataConnectionConfig config, opcua::StreamFactory streams,
                        std::unique_ptr<QtEventLoop> ownLoop, opcua::Clock* clock,
                        opcua::ReconnectBackoff::Random random);

    struct Binding
    {
        OpcUaField* field = nullptr;
        int item = -1; // the client's item number
    };

    void stateChanged(opcua::Client::State state) override;
    void itemChanged(int item, const opcua::DataValue& value) override;
    void itemRejected(int item, opcua::StatusCode status, const std::string& reason) override;
    void connectionLost(opcua::StatusCode status, const std::string& reason,
                        bool wasConnected) override;
    void attemptFailed(opcua::StatusCode status, const std::string& reason) override;
    FailureCode outageCode(opcua::StatusCode status, bool wasConnected) const;
    void reportOutage(FailureCode code, const std::string& reason);
    void changeOutageReport(const std::string& reason);
    std::string outageDetail(FailureCode code, const std::string& reason) const;
    void startClient();
    void nullFieldsWithValues();

    // The type a write to the field's item uses; throws Failure when there is none yet.
    opcua::BuiltinType writeTypeFor(const OpcUaField& field, int item,
                                    FieldValue::Type written) const;
    Failure notAccepted(const OpcUaField& field) const;
    void report(Failure failure);
    void reportChange(const Failure& previous, Failure current);
    void flushReports();
    OpcUaField* fieldOfItem(int item) const;
    Binding* bindingOf(const OpcUaField& field);

    DataConnectionSettings m_settings = kDatCon1Settings;
    DataConnectionConfig m_config;
    std::unique_ptr<QtEventLoop> m_ownLoop;
    opcua::Clock& m_clock;
    opcua::StreamFactory m_streams;
    opcua::ReconnectBackoff::Random m_random;
    std::unique_ptr<opcua::Client> m_client;
    std::unique_ptr<QFileSystemWatcher> m_settingsWatcher;
    std::optional<QByteArray> m_settingsRead; // the watched file's bytes, as last read
    opcua::TimerId m_rereadTimer = 0;
    std::array<Binding, DataConnectionConfig::kFieldCount> m_bindings{};
    std::vector<int> m_fieldOfItem; // by client item number: field index, or -1

    // A report waiting for the sink or for the event loop: a new one, or a change of one sent
    // before when `previous` is set.
    struct PendingReport
    {
        Failure failure;
        std::optional<Failure> previous;
    };

    FailureSink m_sink;
    ReportChangeSink m_changeSink;
    std::vector<PendingReport> m_reports;
    opcua::TimerId m_reportTimer = 0;
    // What the current outage was last reported as: an attempt failing for another reason is
    // reported too, as the operator has something new to act on.
    FailureCode m_outageCode = FailureCode::ConnectionUnavailable;
    // The report of the outage under way, as last sent, and when the outage began.
    struct Outage
    {
        Failure report;
        std::string detail; // of the report
        std::string reason; // of the latest attempt
        std::chrono::milliseconds began;
    };
    std::optional<Outage> m_outage;
};

} // namespace servo
