#pragma once

#include <string_view>

// The protocol's log: one line per event, in named categories ("servo.opcua.client"), written
// to a sink the program chooses. The panel maps it onto its own logging; a program that sets no
// sink gets its informational lines and warnings on standard error.
namespace opcua {

enum class LogLevel { Debug, Info, Warning };

class LogSink
{
public:
    virtual ~LogSink() = default;

    // Whether lines of this level and category are wanted, asked before a line is put together.
    virtual bool enabled(LogLevel level, std::string_view category) const = 0;
    // One line, without its end of line, already made printable: whatever a peer put in it
    // cannot start another line or drive a terminal.
    virtual void write(LogLevel level, std::string_view category, std::string_view line) = 0;
};

// Sets where every category of the process writes; nullptr restores standard error. Like a
// message handler, it is one per process: set it before the protocol runs, and keep it alive
// until the protocol has stopped.
void setLogSink(LogSink* sink);

// Standard error, "category: line", from `least` up.
class StderrLogSink : public LogSink
{
public:
    explicit StderrLogSink(LogLevel least = LogLevel::Info) : m_least(least) {}
    bool enabled(LogLevel level, std::string_view category) const override;
    void write(LogLevel level, std::string_view category, std::string_view line) override;

private:
    LogLevel m_least;
};

class LogCategory
{
public:
    constexpr explicit LogCategory(const char* name) : m_name(name) {}

    const char* name() const { return m_name; }
    bool enabled(LogLevel level) const;

    void debug(std::string_view line) const { write(LogLevel::Debug, line); }
    void info(std::string_view line) const { write(LogLevel::Info, line); }
    void warning(std::string_view line) const { write(LogLevel::Warning, line); }
    void write(LogLevel level, std::string_view line) const;

private:
    const char* m_name;
};

} // namespace opcua
