#pragma once

#include "Verdict.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updater::sim {

// What the job should have carried, when the caller knows it.
struct Expectation
{
    std::optional<std::vector<std::uint8_t>> file; // the firmware file the host was given
    std::optional<std::uint64_t> size;             // its size, when only that is known
    std::string name;                              // how to name it in the verdict
};

// What one received byte did to a boot loader.
struct FeedResult
{
    bool stray = false;                // the byte belongs to no unit and was skipped
    bool unitDone = false;             // the byte completed a unit
    bool accepted = false;             // the unit passed every check and is answered
    bool lastUnit = false;             // the unit ends the job
    std::vector<std::uint8_t> reply;   // an honest device's answer (empty if refused)
    std::string unitName;              // "record 17", "data block 3", "EOT"
    std::vector<std::string> problems; // the unit's faults, without the unit's name
};

// A boot loader as a byte-in, answer-out state machine. It checks every unit
// byte for byte; a unit that fails a check is refused (not answered), as a
// boot loader refuses to program what it cannot trust.
class BootLoader
{
public:
    virtual ~BootLoader() = default;
    virtual FeedResult feed(std::uint8_t byte) = 0;
    // Feeds bytes up to the end of the unit they complete, or of the first stray
    // one; used says how many were taken. The same as feeding them one at a time.
    virtual FeedResult feed(const std::uint8_t *bytes, std::size_t length, std::size_t &used);
    // Fills in what the job rebuilt: image, summary, comparison with the expectation.
    // Without withImage a DSP job's HEX text is only counted, not written out.
    virtual void finish(Verdict &verdict, const Expectation &expected, bool withImage) const = 0;
};

class DspBootLoader : public BootLoader
{
public:
    FeedResult feed(std::uint8_t byte) override;
    // A record's bytes are taken in one piece: a host sends each record whole.
    FeedResult feed(const std::uint8_t *bytes, std::size_t length, std::size_t &used) override;
    void finish(Verdict &verdict, const Expectation &expected, bool withImage) const override;

private:
    FeedResult eraseByte(std::uint8_t byte);
    FeedResult recordByte(std::uint8_t byte);
    FeedResult completeRecord();

    enum class Phase
    {
        Erase,
        Records,
        Done,
    };
    Phase phase_ = Phase::Erase;
    std::vector<std::uint8_t> unit_;
    // The accepted records in order: their bytes back to back, and where each ends.
    std::vector<std::uint8_t> recordBytes_;
    std::vector<std::size_t> recordEnds_;
    int recordsSeen_ = 0;
};

class ArmBootLoader : public BootLoader
{
public:
    // wakeUpTwo: answer the wake-up with '2' and ask for the digit '4' first.
    explicit ArmBootLoader(bool wakeUpTwo) : wakeUpTwo_(wakeUpTwo) {}
    using BootLoader::feed;
    FeedResult feed(std::uint8_t byte) override;
    void finish(Verdict &verdict, const Expectation &expected, bool withImage) const override;

private:
    enum class Phase
    {
        WakeUp,
        DigitFour,
        DigitOne,
        Header,
        Blocks,
        End,
        Done,
    };
    FeedResult digit(std::uint8_t byte, std::uint8_t awaited, char answer, Phase next);
    FeedResult blockByte(std::uint8_t byte);
    FeedResult completeBlock();
    FeedResult checkDataBlock();

    bool wakeUpTwo_;
    Phase phase_ = Phase::WakeUp;
    std::vector<std::uint8_t> unit_;
    std::size_t unitLength_ = 0;
    std::vector<std::uint8_t> data_; // payloads of the accepted data blocks
    int nextBlock_ = 1;
    int dataBlocks_ = 0;
    bool sawFour_ = false;
    bool sawEot_ = false;
    bool sawHeader_ = false;
};

// The bytes of each record that the lines of an Intel HEX text spell, up to and
// including the first end-of-file record (type 01). Lines end in CR, LF or CR LF;
// text before a line's ':' is skipped; digits may be of either case.
std::vector<std::vector<std::uint8_t>> hexRecords(const std::vector<std::uint8_t> &text);

} // namespace updater::sim
