#include "processdata/opcua/dataconnectionconfig.h"

#include "opcua/client/clientsecurity.h"
#include "opcua/client/endpoint.h"
#include "opcua/nodeid.h"
#include "text/printable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <charconv>

Q_LOGGING_CATEGORY(lcSettings, "servo.panel.settings")

namespace servo {

namespace {

// A settings file is a few hundred bytes; anything far larger is not one.
constexpr qint64 kLargestFile = qint64(64) * 1024;
constexpr int kLongestIntervalMs = 3'600'000;
// A password file holds one line; anything far larger is not one.

struct ModeName
{
    std::string_view name;
    opcua::MessageSecurityMode mode;
};
constexpr std::array kSecurityModes{
    ModeName{"None", opcua::MessageSecurityMode::None},
    ModeName{"Sign", opcua::MessageSecurityMode::Sign},
    ModeName{"SignAndEncrypt", opcua::MessageSecurityMode::SignAndEncrypt},
};

constexpr std::array<std::string_view, DataConnectionConfig::kFieldCount> kDefaultItems{
    "nsu=urn:servo-panel:sim;s=Servo2.CommandWord", "nsu=urn:servo-panel:sim;s=Servo3.CommandWord",
    "nsu=urn:servo-panel:sim;s=Servo2.LampWord",    "nsu=urn:servo-panel:sim;s=Servo3.LampWord",
    "nsu=urn:servo-panel:sim;s=Servo2.ActualSpeed", "nsu=urn:servo-panel:sim;s=Servo2.SetSpeed",
    "nsu=urn:servo-panel:sim;s=Servo3.ActualSpeed", "nsu=urn:servo-panel:sim;s=Servo3.SetSpeed",
};

enum class Section {
    None,       // before the first section header
    Connection, // [connection]
    Items,      // [items]
    Unknown,    // any other header: its keys are skipped, the header itself reported
};

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

class Reader
{
public:
    Reader(DataConnectionConfig& config, std::string_view sourceName)
        : m_config(config), m_source(sourceName)
    {}

    void line(int number, std::string_view text)
    {
        m_line = number;
        if (!isUtf8(text)) {
            notUtf8(trim(text));
            return;
        }
        text = trim(text);
        if (text.empty() || text.front() == ';' || text.front() == '#')
            return;
        if (text.front() == '[') {
            header(text);
            return;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) {
            problem("expected key=value or [section], found \"" + std::string(text) + "\"");
            return;
        }
        entry(trim(text.substr(0, equals)), trim(text.substr(equals + 1)));
    }

private:
    static bool isUtf8(std::string_view text)
    {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
        return !decoder.hasError();
    }

    // A line in another encoding would turn into replacement characters inside node ids and
    // names, so the whole line is set aside and its key keeps its value.
    void notUtf8(std::string_view text)
    {
        const std::string_view key = trim(text.substr(0, text.find('=')));
        const bool plainKey = !key.empty() && std::ranges::all_of(key, [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_';
        });
        problem("not UTF-8 text: " + text::quoted(text, 64) + "; ignored, " +
                (plainKey && text.find('=') != std::string_view::npos
                     ? "so " + std::string(key) + " keeps its value"
                     : std::string("save the file as UTF-8")));
    }

    void header(std::string_view text)
    {
        if (text.back() != ']') {
            problem("the section header has no closing ']'");
            m_section = Section::Unknown;
            return;
        }
        const std::string_view name = trim(text.substr(1, text.size() - 2));
        if (name == "connection") {
            m_section = Section::Connection;
        } else if (name == "items") {
            m_section = Section::Items;
        } else {
            problem("unknown section [" + std::string(name) + "]");
            m_section = Section::Unknown;
        }
    }

    void entry(std::string_view key, std::string_view value)
    {
        switch (m_section) {
        case Section::None:
            problem("\"" + std::string(key) + "\" stands before any section");
            return;
        case Section::Connection:
            connectionEntry(key, value);
            return;
        case Section::Items:
            itemEntry(key, value);
            return;
        case Section::Unknown:
            return;
        }
    }

    void connectionEntry(std::string_view key, std::string_view value)
    {
        if (key == "endpoint") {
            std::string error;
            if (::opcua::parseEndpoint(value, &error)) {
                m_config.endpoint = std::string(value);
            } else {
                problem("endpoint \"" + std::string(value) + "\": " + error);
                m_config.endpoint.clear();
            }
        } else if (key == "publishing_interval_ms") {
            interval(key, value, m_config.publishingIntervalMs);
        } else if (key == "sampling_interval_ms") {
            interval(key, value, m_config.samplingIntervalMs);
        } else if (key == "security_mode") {
            securityMode(value);
        } else if (key == "security_policy") {
            securityPolicy(value);
        } else if (key == "user") {
            m_config.user = std::string(value);
        } else if (key == "password_file") {
            m_config.passwordFile = std::string(value);
        } else {
            problem("unknown key \"" + std::string(key) + "\" in [connection]");
        }
    }

    void interval(std::string_view key, std::string_view value, int& target)
    {
        int number = 0;
        const auto [end, status] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || status != std::errc() || end != value.data() + value.size() ||
            number < 0 || number > kLongestIntervalMs) {
            problem(std::string(key) + " \"" + std::string(value) +
                    "\" is not a whole number of milliseconds from 0 to " +
                    std::to_string(kLongestIntervalMs) + "; keeping " + std::to_string(target));
            return;
        }
        target = number;
    }

    void securityMode(std::string_view value)
    {
        const auto found = std::ranges::find(kSecurityModes, value, &ModeName::name);
        if (found == kSecurityModes.end()) {
            unusableSecurity("security_mode \"" + std::string(value) +
                             "\" is not one of None, Sign, SignAndEncrypt");
            return;
        }
        m_config.securityMode = found->mode;
    }

    void securityPolicy(std::string_view value)
    {
        if (std::ranges::find(::opcua::kPoliciesByStrength, value) ==
            ::opcua::kPoliciesByStrength.end()) {
            unusableSecurity("security_policy \"" + std::string(value) +
                             "\" is not one of Basic256Sha256, Aes128_Sha256_RsaOaep, "
                             "Aes256_Sha256_RsaPss");
            return;
        }
        m_config.securityPolicy = std::string(value);
    }

    void unusableSecurity(const std::string& text)
    {
        problem(text + "; the connection stays off until it is corrected");
        m_config.securityUsable = false;
    }

    void itemEntry(std::string_view key, std::string_view value)
    {
        constexpr std::string_view prefix = "ZqNumber";
        int number = 0;
        if (key.starts_with(prefix)) {
            const std::string_view digits = key.substr(prefix.size());
            const auto [end, status] =
                std::from_chars(digits.data(), digits.data() + digits.size(), number);
            if (digits.empty() || status != std::errc() || end != digits.data() + digits.size())
                number = 0;
        }
        if (number < 1 || number > DataConnectionConfig::kFieldCount ||
            key.size() != prefix.size() + 1) {
            problem("unknown key \"" + std::string(key) + "\" in [items]");
            return;
        }
        std::string& item = m_config.items[std::size_t(number - 1)];
        if (value.empty()) {
            item.clear();
            return;
        }
        try {
            if (::opcua::parseExpandedNodeId(value).serverIndex != 0) {
                problem(std::string(key) + ": \"" + std::string(value) +
                        "\" names a node on another server; the field stays unbound");
                item.clear();
                return;
            }
        } catch (const ::opcua::NodeIdError& error) {
            problem(std::string(key) + ": " + error.what() + "; the field stays unbound");
            item.clear();
            return;
        }
        item = std::string(value);
    }

public:
    // The checks that need the whole [connection] section.
    void finish()
    {
        m_line = 0;
        if (!m_config.securityPolicy.empty() &&
            m_config.securityMode == ::opcua::MessageSecurityMode::None)
            problem("security_policy is for the modes Sign and SignAndEncrypt; ignored with "
                    "security_mode None");
        if (!m_config.user.empty() && m_config.passwordFile.empty())
            unusableSecurity("user \"" + m_config.user + "\" has no password_file");
        if (m_config.user.empty() && !m_config.passwordFile.empty())
            problem("password_file without a user; the session stays anonymous");
    }

private:
    void problem(const std::string& text)
    {
        const std::string where =
            m_line > 0 ? " line " + std::to_string(m_line) + ": " : std::string(": ");
        m_config.problems.emplace_back(FailureCode::ConfigurationInvalid,
                                       std::string(m_source) + where + text);
    }

    DataConnectionConfig& m_config;
    std::string_view m_source;
    Section m_section = Section::None;
    int m_line = 0;
};

} // namespace

DataConnectionConfig DataConnectionConfig::defaults()
{
    DataConnectionConfig config;
    for (std::size_t i = 0; i < kDefaultItems.size(); ++i)
        config.items[i] = std::string(kDefaultItems[i]);
    return config;
}

DataConnectionConfig parseDataConnectionConfig(std::string_view text, std::string_view sourceName)
{
    DataConnectionConfig config = DataConnectionConfig::defaults();
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    Reader reader(config, sourceName);
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        reader.line(++number, text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    reader.finish();
    return config;
}

QString dataConnectionConfigPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/servo-panel/datacon.ini");
}

DataConnectionConfig loadDataConnectionConfig(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        qCInfo(lcSettings).noquote()
            << QStringLiteral("no settings file %1; using the built-in settings").arg(path);
        return DataConnectionConfig::defaults();
    }

    const std::string name = path.toStdString();
    auto unusable = [&](const std::string& why) {
        qCWarning(lcSettings).noquote()
            << QStringLiteral("settings file %1 unusable; using the built-in settings").arg(path);
        DataConnectionConfig config = DataConnectionConfig::defaults();
        config.problems.emplace_back(FailureCode::ConfigurationInvalid,
                                     name + ": " + why + "; using the built-in settings");
        return config;
    };
    if (!info.isFile())
        return unusable("not a file");
    if (info.size() > kLargestFile)
        return unusable("larger than " + std::to_string(kLargestFile) + " bytes");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return unusable("cannot be read (" + file.errorString().toStdString() + ")");
    const QByteArray bytes = file.read(kLargestFile + 1);
    if (bytes.contains('\0'))
        return unusable("holds binary data");

    DataConnectionConfig config = parseDataConnectionConfig(
        std::string_view(bytes.constData(), std::size_t(bytes.size())), name);
    config.source = path;
    qCInfo(lcSettings).noquote() << QStringLiteral("settings read from %1 (problems: %2)")
                                        .arg(path)
                                        .arg(config.problems.size());
    if (!config.passwordFile.empty())
        config.passwordFile = info.absoluteDir()
                                  .absoluteFilePath(QString::fromStdString(config.passwordFile))
                                  .toStdString();
    return config;
}

std::optional<Failure> problemReport(const DataConnectionConfig& config)
{
    if (config.problems.empty())
        return std::nullopt;
    // Every problem names the file; the report names it once, above one line per problem.
    const std::string file = config.source.toStdString();
    std::vector<std::string> lines;
    if (!file.empty())
        lines.push_back(file);
    for (const Failure& problem : config.problems) {
        std::string_view detail = problem.description();
        detail.remove_prefix(
            std::min(detail.size(), failureInfo(problem.code()).description.size() + 2));
        if (!file.empty() && detail.starts_with(file)) {
            detail.remove_prefix(file.size());
            detail.remove_prefix(detail.starts_with(": ") ? 2 : detail.starts_with(' ') ? 1 : 0);
        }
        lines.emplace_back(detail);
    }
    return Failure(FailureCode::ConfigurationInvalid, lines);
}

QString panelPkiPath()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/servo-panel/pki");
}

DataConnectionConfig loadDataConnectionConfig()
{
    return loadDataConnectionConfig(dataConnectionConfigPath());
}

} // namespace servo
