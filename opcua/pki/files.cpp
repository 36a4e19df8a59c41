#include "opcua/pki/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace opcua::pki {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFileNameBytes = 64;
constexpr std::string_view kSafePunctuation = " -_.()";

[[noreturn]] void failWrite(const fs::path& file, const std::string& why)
{
    throw Error(status::BadConfigurationError, "cannot write " + file.string() + ": " + why);
}

// Writes everything, going on after partial writes and interruptions.
bool writeAll(int fd, ByteView bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes = bytes.subspan(static_cast<size_t>(written));
    }
    return true;
}

bool isSafe(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x80 && std::isalnum(byte)) ||
           kSafePunctuation.find(c) != std::string_view::npos;
}

} // namespace

ByteBuffer readFileBounded(const fs::path& file, std::uintmax_t maxBytes)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error)
        throw Error(status::BadConfigurationError, error.message());
    if (size > maxBytes)
        throw Error(status::BadConfigurationError,
                    "larger than " + std::to_string(maxBytes) + " bytes");
    std::ifstream in(file, std::ios::binary);
    // One byte more than allowed is asked for, to notice a file that grew since its size was
    // taken.
    ByteBuffer bytes(static_cast<size_t>(size) + 1);
    if (!in.read(reinterpret_cast<char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size())) &&
        !in.eof())
        throw Error(status::BadConfigurationError, "cannot be read");
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > maxBytes)
        throw Error(status::BadConfigurationError,
                    "larger than " + std::to_string(maxBytes) + " bytes");
    return bytes;
}

void writeFileAtomically(const fs::path& file, ByteView bytes, mode_t mode)
{
    // A dot file, which the folder readers pass over should it be left behind by a crash.
    const fs::path temporary = file.parent_path() / ("." + file.filename().string() + ".new");
    ::unlink(temporary.c_str()); // a leftover could carry wider permissions than `mode`
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        failWrite(file, std::strerror(errno));
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = written ? errno : writeError;
        ::unlink(temporary.c_str());
        failWrite(file, std::strerror(error));
    }
}

std::string safeFileName(std::string_view text, std::string_view fallback)
{
    std::string name;
    for (const char c : text.substr(0, kMaxFileNameBytes))
        name += isSafe(c) ? c : '_';
    const size_t start = name.find_first_not_of(". ");
    const size_t end = name.find_last_not_of(' ');
    if (start == std::string::npos)
        return std::string(fallback);
    return name.substr(start, end - start + 1);
}

} // namespace opcua::pki
