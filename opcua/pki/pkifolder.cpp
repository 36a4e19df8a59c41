#include "opcua/pki/pkifolder.h"

#include "opcua/pki/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace opcua::pki {

namespace fs = std::filesystem;

namespace {

struct StoreRow
{
    Store store;
    const char* path;
    mode_t mode; // for a folder this code makes
};

constexpr StoreRow kStores[] = {
    {Store::OwnCerts, "own/certs", 0755},           {Store::OwnPrivate, "own/private", 0700},
    {Store::TrustedCerts, "trusted/certs", 0755},   {Store::TrustedCrl, "trusted/crl", 0755},
    {Store::IssuerCerts, "issuers/certs", 0755},    {Store::IssuerCrl, "issuers/crl", 0755},
    {Store::RejectedCerts, "rejected/certs", 0755},
};

constexpr bool inStoreOrder()
{
    for (size_t i = 0; i < std::size(kStores); ++i) {
        if (static_cast<size_t>(kStores[i].store) != i)
            return false;
    }
    return std::size(kStores) == static_cast<size_t>(Store::RejectedCerts) + 1;
}
static_assert(inStoreOrder(), "kStores is indexed by Store");

const StoreRow& row(Store store)
{
    return kStores[static_cast<size_t>(store)];
}

// The folders whose contents decide whom the application trusts and which key it uses; anyone
// who may write one of them may choose.
constexpr const char* kGuardedFolders[] = {
    ".",           "own",     "own/private",   "trusted",     "trusted/certs",
    "trusted/crl", "issuers", "issuers/certs", "issuers/crl",
};

// Makes the folder with its mode from the start, and its parents as needed with mode 0755, so
// that a umask of 002 cannot leave a folder others may write.
void makeFolder(const fs::path& folder, mode_t mode)
{
    std::error_code error;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !fs::exists(parent, error))
        makeFolder(parent, 0755);
    if (!error && ::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST)
        error = std::error_code(errno, std::generic_category());
    if (error || !fs::is_directory(folder))
        throw Error(status::BadConfigurationError,
                    "cannot make the PKI folder " + folder.string() + ": " +
                        (error ? error.message() : "a file of that name is in the way"));
}

// The regular files of a folder in name order, at most `maxEntries` entries looked at. Dot
// files are passed over silently; they are no one's certificates.
std::vector<fs::path> listFiles(const fs::path& folder, const std::string& label,
                                std::size_t maxEntries, std::vector<std::string>& skipped)
{
    std::vector<fs::path> files;
    std::error_code error;
    fs::directory_iterator entry(folder, error);
    std::size_t seen = 0;
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        if (++seen > maxEntries) {
            skipped.push_back(label + ": more than " + std::to_string(maxEntries) +
                              " entries, the rest were not read");
            break;
        }
        const std::string name = entry->path().filename().string();
        if (name.starts_with('.'))
            continue;
        std::error_code typeError;
        if (entry->is_regular_file(typeError))
            files.push_back(entry->path());
        else
            skipped.push_back(label + "/" + name + ": not a file");
    }
    if (error && error != std::errc::no_such_file_or_directory)
        skipped.push_back(label + ": " + error.message());
    std::sort(files.begin(), files.end());
    return files;
}

// Parses every file of a store with `parse`, which returns what one file holds, and appends
// it to `items`. A file that fails is listed in `skipped` with the reason.
template <class Item, class Parse>
void readStore(const PkiFolder& pki, Store store, const FolderLimits& limits, Parse parse,
               std::vector<Item>& items, std::vector<std::string>& skipped)
{
    const std::string label = row(store).path;
    for (const fs::path& file : listFiles(pki.path(store), label, limits.maxEntries, skipped)) {
        try {
            for (Item& item : parse(readFileBounded(file, limits.maxFileBytes)))
                items.push_back(std::move(item));
        } catch (const Error& error) {
            skipped.push_back(label + "/" + file.filename().string() + ": " + error.what());
        }
    }
}

std::vector<RevocationList> parseRevocationFile(ByteView bytes)
{
    return {RevocationList::fromBytes(bytes)};
}

// True when the file holds exactly these bytes.
bool holds(const fs::path& file, ByteView bytes)
{
    try {
        return std::ranges::equal(readFileBounded(file, bytes.size()), bytes);
    } catch (const Error&) {
        return false;
    }
}

// Removes the oldest certificates of rejected/certs beyond the limit, never `newest`.
void pruneRejected(const fs::path& folder, const fs::path& newest, const FolderLimits& limits)
{
    std::vector<std::string> ignored;
    std::vector<std::pair<fs::file_time_type, fs::path>> files;
    for (const fs::path& file : listFiles(folder, {}, limits.maxEntries, ignored)) {
        std::error_code error;
        const fs::file_time_type written = fs::last_write_time(file, error);
        if (!error && file.extension() == ".der" && file != newest)
            files.emplace_back(written, file);
    }
    const size_t keepBesideNewest = limits.maxRejected > 0 ? limits.maxRejected - 1 : 0;
    if (files.size() <= keepBesideNewest)
        return;
    std::sort(files.begin(), files.end());
    for (size_t i = 0; i < files.size() - keepBesideNewest; ++i) {
        std::error_code error;
        fs::remove(files[i].second, error);
    }
}

} // namespace

PkiFolder::PkiFolder(fs::path root, FolderLimits limits) : m_root(std::move(root)), m_limits(limits)
{}

fs::path PkiFolder::path(Store store) const
{
    return m_root / row(store).path;
}

void PkiFolder::create() const
{
    for (const StoreRow& store : kStores)
        makeFolder(path(store.store), store.mode);
}

void PkiFolder::checkPermissions() const
{
    for (const char* name : kGuardedFolders) {
        const fs::path folder = (m_root / name).lexically_normal();
        struct stat status
        {
        };
        if (::stat(folder.c_str(), &status) != 0 || !(status.st_mode & (S_IWGRP | S_IWOTH)))
            continue;
        throw Error(status::BadConfigurationError,
                    "the PKI folder " + folder.string() +
                        " may be written by its group or others, who could choose whom this "
                        "application trusts; it is not used until you run: chmod go-w " +
                        folder.string());
    }
}

TrustLists PkiFolder::readTrustLists() const
{
    TrustLists lists;
    readStore(*this, Store::TrustedCerts, m_limits, parseCertificateFile, lists.trusted,
              lists.skipped);
    readStore(*this, Store::IssuerCerts, m_limits, parseCertificateFile, lists.issuers,
              lists.skipped);
    for (const Store store : {Store::TrustedCrl, Store::IssuerCrl})
        readStore(*this, store, m_limits, parseRevocationFile, lists.revocationLists,
                  lists.skipped);
    return lists;
}

fs::path PkiFolder::keepRejected(const Certificate& certificate) const
{
    // The whole layout, so that trusted/certs is there to move the file into.
    create();
    const fs::path folder = path(Store::RejectedCerts);
    fs::path file = folder / rejectedFileName(certificate);
    // A peer refused again at every reconnection attempt would otherwise be written each time.
    if (!holds(file, certificate.der()))
        writeFileAtomically(file, certificate.der(), 0644);
    pruneRejected(folder, file, m_limits);
    return file;
}

std::string PkiFolder::rejectedFileName(const Certificate& certificate)
{
    return safeFileName(certificate.commonName(), "certificate") + " [" +
           certificate.thumbprintHex() + "].der";
}

} // namespace opcua::pki
