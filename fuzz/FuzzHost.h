#pragma once

// A host that records what a job sends and answers nothing by itself; the fuzz
// targets decide what the device replies.
#include "JobHost.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

class RecordingHost : public updater::IJobHost
{
public:
    void sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t) override;
    void setLineText(updater::StatusLine, const std::string &) override {}
    void setProgressVisible(bool) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(updater::MessageKind, const std::string &text) override
    {
        messages.push_back(text);
    }
    void idleChanged(bool idle) override { idleNow = idle; }

    std::vector<std::vector<std::uint8_t>> units;
    std::vector<std::string> messages;
    bool idleNow = true;
};

// Writes data to a file of this process's own and returns its path.
std::string writeScratchFile(const char *name, const std::uint8_t *data, std::size_t size);

// Stops the process with a message: a finding.
[[noreturn]] void fail(const char *what);

} // namespace fuzzing
