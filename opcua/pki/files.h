#pragma once

#include "opcua/types.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

// File helpers of the PKI folder: bounded reads, writes that never leave half a file, file
// names made from text a peer chose, and password files.
namespace opcua::pki {

// The whole file when it holds at most `maxBytes`. Throws Error(BadConfigurationError) saying
// why not: missing, unreadable, or too large (in which case nothing beyond the bound is read).
ByteBuffer readFileBounded(const std::filesystem::path& file, std::uintmax_t maxBytes);

// Replaces `file` with `bytes` through a new file in the same folder renamed over it, so a
// reader sees the old or the new contents, never a part. The new file is created with `mode`
// (less any umask), so a private key is never readable by others, not even for a moment.
// Throws Error(BadConfigurationError) naming the file and the reason.
void writeFileAtomically(const std::filesystem::path& file, ByteView bytes, mode_t mode);

// `text` reduced to a name that is safe as one path component on any file system: letters,
// digits, space and "-_.()" kept, every other byte replaced by '_', no leading dot or space,
// at most 64 bytes. `fallback` when nothing is left.
std::string safeFileName(std::string_view text, std::string_view fallback);

// The password on the first line of `file`, without its line end (possibly empty). Checked on
// the open file, so that what is checked is what is read: refused unless it is a regular file
// that only its owner may read, write or run, of at most 4 KiB. Throws
// Error(BadConfigurationError) naming the file and what to do.
std::string readPasswordFile(const std::filesystem::path& file);

} // namespace opcua::pki
