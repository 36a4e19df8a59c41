#include "opcua/log.h"

#include "text/printable.h"

#include <cstdio>

namespace opcua {

namespace {

StderrLogSink& standardError()
{
    static StderrLogSink sink;
    return sink;
}

LogSink* g_sink = nullptr;

LogSink& sink()
{
    return g_sink ? *g_sink : standardError();
}

} // namespace

void setLogSink(LogSink* sink)
{
    g_sink = sink;
}

bool StderrLogSink::enabled(LogLevel level, std::string_view) const
{
    return level >= m_least;
}

void StderrLogSink::write(LogLevel, std::string_view category, std::string_view line)
{
    // One call per line, so lines of concurrent processes on the same terminal do not mix.
    std::fprintf(stderr, "%.*s: %.*s\n", int(category.size()), category.data(), int(line.size()),
                 line.data());
}

bool LogCategory::enabled(LogLevel level) const
{
    return sink().enabled(level, m_name);
}

void LogCategory::write(LogLevel level, std::string_view line) const
{
    LogSink& out = sink();
    // Long enough for a certificate's subject and a file name in one line.
    constexpr size_t kMaxLineChars = 2048;
    if (out.enabled(level, m_name))
        out.write(level, m_name, text::printable(line, kMaxLineChars));
}

} // namespace opcua
