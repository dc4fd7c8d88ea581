#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace updater {

enum class FileError
{
    None,
    NoPath,
    NotFound,
    NotRegular,
    CannotOpen,
    CannotTakeLength,
    Empty,
    TooLarge,
    ReadFailed,
    Shrunk,
    IntelHex,
};

// Human-readable reason, without the file name ("the file is empty").
const char *fileErrorText(FileError error);

// The firmware file of a job: opened for reading, read strictly in order.
// Closing is automatic when the object goes away.
class FirmwareFile
{
public:
    // Files above this size are refused: lengths are held in signed 32 bits.
    static constexpr std::uint64_t kMaxLength = 0x7FFFFFFF;

    FileError open(const std::string &path);
    void close();
    bool isOpen() const { return file_ != nullptr; }

    // Length taken when the file was opened.
    std::int32_t length() const { return length_; }

    // An image must not be an Intel HEX text, whole or damaged: a file whose opening
    // lines are records (beginsAsIntelHex). Reads at most kOpeningBytes from the
    // start, then returns to the start. IntelHex for a HEX text, ReadFailed when the
    // file cannot be read from its start, otherwise None.
    FileError checkNotIntelHex();

    // Reads up to count bytes at the current position. Returns the number read.
    std::size_t read(std::uint8_t *buffer, std::size_t count);

private:
    struct Closer
    {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::int32_t length_ = 0;
};

} // namespace updater
