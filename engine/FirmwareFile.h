#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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
    ReadFailed,
    Shrunk,
    IntelHex,
    HexTooLarge,   // a DSP file above kMaxHexLength
    ImageTooLarge, // an LCD ARM image above kMaxImageLength
    SupportLog,    // chosen as an image: a trace of an update
    Text,          // chosen as an image: any other text
};

// The most a firmware file of each kind may hold, checked before it is read.
enum class FirmwareLimit
{
    Hex,   // kMaxHexLength
    Image, // kMaxImageLength
};

// Human-readable reason, without the file name ("the file is empty").
const char *fileErrorText(FileError error);

// An LCD ARM image must not be text (imageTextKind): IntelHex, SupportLog or Text
// for one that is, None otherwise. head holds the image's first bytes.
FileError imageTextError(const std::uint8_t *head, std::size_t size);

// The firmware file of a job: opened for reading, read strictly in order.
// Closing is automatic when the object goes away.
class FirmwareFile
{
public:
    // No inverter's flash holds more than 16 MiB of data. An image is its data; an
    // Intel HEX text spells each data byte in two digits and adds 13 characters a
    // record (':', count, address, type, checksum, CR LF): 16 MiB in records of 8
    // data bytes take 58 MiB, in records of 16 bytes 45 MiB.
    static constexpr std::uint64_t kMaxImageLength = std::uint64_t(16) << 20;
    static constexpr std::uint64_t kMaxHexLength = std::uint64_t(64) << 20;

    // Opens path for reading; a file above the limit is refused before it is read.
    FileError open(const std::string &path, FirmwareLimit limit);
    void close();
    bool isOpen() const { return file_ != nullptr; }

    // Length taken when the file was opened.
    std::int32_t length() const { return length_; }

    // Reads up to count bytes at the current position. Returns the number read.
    std::size_t read(std::uint8_t *buffer, std::size_t count);
    // Reads the whole file from the current position (the start, after open):
    // Shrunk when it holds fewer bytes than its length said, ReadFailed on an error.
    FileError readAll(std::vector<std::uint8_t> &bytes);

private:
    struct Closer
    {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::int32_t length_ = 0;
};

} // namespace updater
