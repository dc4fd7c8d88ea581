#include "FuzzHost.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fuzzing {

void RecordingHost::sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t)
{
    units.emplace_back(data, data + length);
}

std::string writeScratchFile(const char *name, const std::uint8_t *data, std::size_t size)
{
    const auto path = std::filesystem::temp_directory_path() /
                      ("updater-fuzz-" + std::to_string(getpid()) + "-" + name);
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        fail("cannot write the scratch file");
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        fail("cannot write the scratch file");
    std::fclose(f);
    return path.string();
}

void fail(const char *what)
{
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

} // namespace fuzzing
