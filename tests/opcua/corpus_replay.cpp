// Replays a fuzz target's seed corpus (every file in the folder given) through the same check
// the target makes, so that ordinary test runs keep the seeds passing without libFuzzer.
#include "opcua/fuzz/chunkfeed.h"
#include "opcua/fuzz/roundtrip.h"
#include "opcua/fuzz/sessionfeed.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

// A target, and what a seed does when it gets through rather than being turned away early.
struct Target
{
    std::string_view name;
    bool (*getsThrough)(const uint8_t* data, size_t size);
    const char* through;
};

const Target kTargets[] = {
    {"messages",
     [](const uint8_t* data, size_t size) {
         return opcua::fuzz::checkRoundTrip(data, size) == opcua::fuzz::Outcome::RoundTrip;
     },
     "decoded and round-tripped"},
    {"chunks",
     [](const uint8_t* data, size_t size) { return opcua::fuzz::feedChannel(data, size) > 0; },
     "handed out a message"},
    {"server",
     [](const uint8_t* data, size_t size) { return opcua::fuzz::runSession(data, size) > 0; },
     "were answered"},
};

const Target* findTarget(std::string_view name)
{
    for (const Target& target : kTargets) {
        if (target.name == name)
            return &target;
    }
    return nullptr;
}

std::vector<std::filesystem::path> seedFiles(const char* folder)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char** argv)
{
    const Target* target = argc == 3 ? findTarget(argv[1]) : nullptr;
    if (!target) {
        std::fprintf(stderr, "usage: %s messages|chunks|server <corpus folder>\n", argv[0]);
        return 2;
    }
    const auto files = seedFiles(argv[2]);
    if (files.empty()) {
        std::fprintf(stderr, "no seed files in %s\n", argv[2]);
        return 1;
    }
    int through = 0;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        // A failure aborts inside the check, naming what went wrong; say which file it was.
        std::fprintf(stderr, "%s\n", path.filename().c_str());
        if (target->getsThrough(data.data(), data.size()))
            ++through;
    }
    std::printf("%zu seeds replayed, %d %s\n", files.size(), through, target->through);
    // Most seeds are valid input; if none gets through, the corpus or the set-up is broken.
    return through > 0 ? 0 : 1;
}
