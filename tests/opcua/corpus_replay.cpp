// Replays the fuzz target's seed corpus (every file in the folder given) through the same
// round-trip check, so that ordinary test runs keep the seeds passing without libFuzzer.
#include "opcua/fuzz/roundtrip.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "no seed files in %s\n", argv[1]);
        return 1;
    }
    int roundTrips = 0;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        // A failure aborts inside the check, naming what went wrong; say which file it was.
        std::fprintf(stderr, "%s\n", path.filename().c_str());
        if (opcua::fuzz::checkRoundTrip(data.data(), data.size()) ==
            opcua::fuzz::Outcome::RoundTrip)
            ++roundTrips;
    }
    std::printf("%zu seeds replayed, %d decoded and round-tripped\n", files.size(), roundTrips);
    // Most seeds are valid messages; if none decodes the corpus or the selector is broken.
    return roundTrips > 0 ? 0 : 1;
}
