#pragma once

#include "opcua/services.h"
#include "processdata/failure.h"

#include <QString>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace servo {

// Where DatCon1 connects and which server node each field is bound to, as read from
// servo-panel/datacon.ini in the user's configuration directory:
//
//   [connection]
//   endpoint=opc.tcp://localhost:4840
//   publishing_interval_ms=100
//   sampling_interval_ms=100
//   security_mode=SignAndEncrypt
//   security_policy=Basic256Sha256
//   user=operator
//   password_file=operator.password
//   [items]
//   ZqNumber1=nsu=urn:servo-panel:sim;s=Servo2.CommandWord
//   ...
//
// A key that is missing keeps its default. Lines starting with ';' or '#' are comments; there
// are no comments after a value, since node ids hold ';'. An item given as an empty value is
// unbound on purpose and not reported.
struct DataConnectionConfig
{
    static constexpr int kFieldCount = 8;

    // The server's endpoint URL; empty when the one given could not be used (reported), and
    // then the connection never connects.
    std::string endpoint = "opc.tcp://localhost:4840";
    int publishingIntervalMs = 100;
    int samplingIntervalMs = 100;
    // The link's security: the mode, a policy's name (empty: the strongest the server offers
    // for the mode), the user (empty: anonymous) and the file holding the password. The file
    // is as given in the settings; loadDataConnectionConfig makes it absolute.
    opcua::MessageSecurityMode securityMode = opcua::MessageSecurityMode::None;
    std::string securityPolicy;
    std::string user;
    std::string passwordFile;
    // False when a security setting could not be used (reported): the connection then stays
    // off rather than connect with other protection than was asked for.
    bool securityUsable = true;
    // The node id of each field's item in its text form; empty when the field is unbound.
    // Index 0 is ZqNumber1.
    std::array<std::string, kFieldCount> items;
    // Everything that was wrong with the file, each a Failure(ConfigurationInvalid) naming the
    // line; the data connection reports them to the operator at start.
    std::vector<Failure> problems;
    // The file the settings came from; empty when the built-in defaults were used.
    QString source;

    // The built-in defaults: the simulated drives on this machine.
    static DataConnectionConfig defaults();
};

// The settings in the text of a datacon.ini; sourceName names the file in problem reports.
DataConnectionConfig parseDataConnectionConfig(std::string_view text, std::string_view sourceName);

// All the problems of the settings in one report to the operator (the file, then one line per
// problem with its line number); nullopt when there are none.
std::optional<Failure> problemReport(const DataConnectionConfig& config);

// $XDG_CONFIG_HOME/servo-panel/datacon.ini, or ~/.config/servo-panel/datacon.ini when
// XDG_CONFIG_HOME is unset, empty or not an absolute path.
QString dataConnectionConfigPath();

// $XDG_DATA_HOME/servo-panel/pki, or ~/.local/share/servo-panel/pki when XDG_DATA_HOME is unset,
// empty or not an absolute path: the panel's certificates and the ones it trusts.
QString panelPkiPath();

// The settings from the file at path; the built-in defaults when there is no such file. A file
// that exists but cannot be read is reported and gives the defaults.
DataConnectionConfig loadDataConnectionConfig(const QString& path);

// The settings from the user's datacon.ini (see dataConnectionConfigPath()).
DataConnectionConfig loadDataConnectionConfig();

} // namespace servo
