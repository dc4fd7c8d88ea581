#pragma once

#include "HexImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace updater {

// The largest record a line may spell: the record buffer of the DSP sender.
inline constexpr std::size_t kMaxRecordBytes = 68;
// The longest line any Intel HEX record can take, without its line end: ':' and the
// digits of count, address, type, 255 data bytes and checksum.
inline constexpr std::size_t kLongestRecordLine = 1 + 2 * (1 + 2 + 1 + 255 + 1);
// Lines that beginsAsIntelHex looks at, and the bytes of the file that hold them.
inline constexpr std::size_t kOpeningLines = 8;
inline constexpr std::size_t kOpeningBytes = kOpeningLines * (kLongestRecordLine + 2);

enum class HexFault
{
    None,
    NotHexDigit,     // a character between ':' and the line end that is not a hex digit
    OddDigits,       // an odd number of hex digits
    TooLong,         // the line spells more than 68 bytes
    TooShort,        // fewer than 5 bytes: no room for count, address, type, checksum
    CountMismatch,   // the byte count disagrees with the line's length
    Checksum,        // the checksum does not match
    NoRecord,        // a line without ':' or digits before the end-of-file record
    EarlyZeroLength, // a record without data bytes before the end of the file
    NoEndRecord,     // no end-of-file record
    UnknownType,     // a record type above 05
    AddressLength,   // an extended address record (02, 04) whose data is not 2 bytes
    StartLength,     // a start address record (03, 05) whose data is not 4 bytes
    EndWithData,     // an end-of-file record (01) with data bytes
    Overlap,         // data that gives an address another value than an earlier line
    LineTooLong,     // more than kLongestRecordLine characters before the line end
    CrossesSegment,  // data that runs past the end of its 64 KiB
};

const char *hexFaultText(HexFault fault);

struct HexCheck
{
    HexFault fault = HexFault::None;
    int line = 0;    // 1-based line of the fault, 0 when it concerns the whole file
    int records = 0; // records up to and including the end-of-file record
    // Overlap: the first address given another value, and the line that gave it first.
    std::uint32_t address = 0;
    int firstLine = 0;
    bool ok() const { return fault == HexFault::None; }
};

// The binary records that the lines of a checked image spell, in file order: what
// the DSP sender sends, one record per acknowledgement.
class HexRecords
{
public:
    std::size_t count() const { return ends_.size(); }
    const std::uint8_t *data(std::size_t i) const { return bytes_.data() + begin(i); }
    std::size_t length(std::size_t i) const { return ends_[i] - begin(i); }

private:
    friend class HexChecker;
    friend HexCheck checkIntelHex(const std::uint8_t *, std::size_t, HexRecords *);
    std::size_t begin(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
    std::vector<std::uint8_t> bytes_; // every record, back to back
    std::vector<std::uint32_t> ends_; // where record i ends in bytes_
};

// Checks an Intel HEX text fed in pieces, exactly as checkIntelHex checks it whole.
// With records, it also decodes the text into the records that are sent (left
// empty for a text that is refused).
class HexChecker
{
public:
    explicit HexChecker(HexRecords *records = nullptr);
    ~HexChecker();
    HexChecker(const HexChecker &) = delete;
    HexChecker &operator=(const HexChecker &) = delete;

    // Takes the next bytes of the text.
    void feed(const std::uint8_t *data, std::size_t size);
    // True once more bytes cannot change whether the text passes: the end-of-file
    // record was checked, or a line has already failed. A line longer than any
    // record fails as soon as it is: a file that is no HEX text is not read through.
    bool settled() const;
    // True once the text is refused whatever follows: a line has failed.
    bool failed() const;
    // Bytes of the line being read so far.
    std::size_t lineBytes() const;
    // The outcome, once the last byte has been fed.
    HexCheck finish();

private:
    void endLine();
    HexFault checkRecord(const std::uint8_t *record, std::size_t size);

    class LineChecker;
    std::unique_ptr<LineChecker> lineChecker_;
    HexRecords *records_;
    HexCheck result_;
    int line_ = 1;
    bool done_ = false;
    bool afterCr_ = false; // an LF right after a CR ends no further line
    // Where data records go: the base of the last extended address record, and
    // whether it was a segment (type 02: offsets wrap within 64 KiB) or linear (04).
    std::uint32_t base_ = 0;
    bool segmented_ = false;
    HexImage image_;
};

// Checks an Intel HEX image before anything of it is sent and, when records is
// given, decodes it into the records that are sent. Lines end in CR, CR LF or LF;
// text before a line's ':' is skipped; hex digits may be upper or lower case. The
// first record without data bytes must be the end-of-file record (type 01) and
// ends the part of the file that is sent; what follows it is not looked at.
// Record types are 00 to 05 with the data lengths they take, and no two data
// records may give one address different values.
HexCheck checkIntelHex(const std::uint8_t *data, std::size_t size, HexRecords *records = nullptr);

// Whether a text opens as an Intel HEX text, damaged or not: of its first
// kOpeningLines lines that are not empty (up to an end-of-file record), at least one
// has the shape of a record (a ':' and hex digits whose byte count fits the line;
// the checksum is not looked at), and those together with the lines that are
// printable text with a ':' outnumber the rest. A binary image does not open so.
// head holds the file's first bytes, kOpeningBytes of them when the file has as
// many; a line longer than any record is looked at no further.
bool beginsAsIntelHex(const std::uint8_t *head, std::size_t size);

// The bytes of an image that tell whether it is text: a compiled image holds bytes
// that are no text (its vector table) within them.
inline constexpr std::size_t kTextProbeBytes = 4096;

enum class TextKind
{
    None,       // not text: an image
    IntelHex,   // a HEX text in any layout: a record among its lines
    SupportLog, // a trace of an update
    Other,      // any other text
};

// What a file whose first bytes are head is, when it is text: beginsAsIntelHex, or
// its first kTextProbeBytes decode as printable characters and line ends only, in
// UTF-8 or, with a byte order mark, UTF-16 (without one, UTF-16 of ASCII
// characters). head holds kOpeningBytes of the file when it has as many.
TextKind imageTextKind(const std::uint8_t *head, std::size_t size);

// "line 7: checksum mismatch", or "no end-of-file record" for a whole-file fault; an
// overlap adds "(address 0x00010048, first given on line 6)".
std::string describe(const HexCheck &check);

// Value of a hex digit, upper or lower case; -1 for any other character.
constexpr int hexDigitValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace updater
