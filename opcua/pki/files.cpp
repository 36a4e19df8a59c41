#include "opcua/pki/files.h"

#include "opcua/security/openssl.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace opcua::pki {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFileNameBytes = 64;
constexpr std::size_t kMaxPasswordFileBytes = 4096;
constexpr std::string_view kSafePunctuation = " -_.()";

[[noreturn]] void refusePasswordFile(const fs::path& file, const std::string& why)
{
    throw Error(status::BadConfigurationError, "password file " + file.string() + " " + why);
}

// Closes a descriptor however the scope is left.
struct Descriptor
{
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

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

std::string readPasswordFile(const fs::path& file)
{
    const Descriptor in{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        refusePasswordFile(file, std::string("cannot be read (") + std::strerror(errno) + ")");
    struct stat status = {};
    if (::fstat(in.fd, &status) != 0 || !S_ISREG(status.st_mode))
        refusePasswordFile(file, "is not a file");
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        refusePasswordFile(file, "may be used by other users than its owner; allow only its "
                                 "owner (chmod 600)");
    if (std::uintmax_t(status.st_size) > kMaxPasswordFileBytes)
        refusePasswordFile(file,
                           "is larger than " + std::to_string(kMaxPasswordFileBytes) + " bytes");
    std::string text(kMaxPasswordFileBytes, '\0');
    const ssl::Wiped wiped(text);
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(in.fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            refusePasswordFile(file, std::string("cannot be read (") + std::strerror(errno) + ")");
        if (n == 0)
            break;
        got += size_t(n);
    }
    std::string_view password(text.data(), got);
    password = password.substr(0, password.find('\n'));
    if (password.ends_with('\r'))
        password.remove_suffix(1);
    return std::string(password);
}

} // namespace opcua::pki
