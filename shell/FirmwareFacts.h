#pragma once

#include <QString>

#include <cstdint>
#include <vector>

// What the window tells of a firmware file once it is chosen, before anything is
// sent: its kind, size, records and CRC-32, or why a job would refuse it. The job
// reads the file again when it runs.
struct FirmwareFacts
{
    QString path;
    int firmwareType = 0; // 0 DSP Firmware, 1 LCD ARM Firmware
    std::uint64_t fileBytes = 0;
    std::uint32_t crc32 = 0; // of the whole file, as zlib computes it
    // DSP: the records a job sends, the end-of-file record included; the records
    // that carry data and their data bytes; and for each record sent, the data
    // bytes of the records up to and including it.
    int records = 0;
    int dataRecords = 0;
    std::uint64_t dataBytes = 0;
    std::vector<std::uint64_t> dataThrough;
    QString fault; // why a job refuses the file ("line 7: checksum mismatch"); empty if none

    bool valid() const { return !path.isEmpty() && fault.isEmpty(); }
    // "DSP Firmware, 8 192 bytes in 512 records, CRC-32 1A2B3C4D",
    // "LCD ARM Firmware, 125 600 bytes, CRC-32 74CA9B89", or
    // "DSP Firmware refused: line 7: checksum mismatch".
    QString summary() const;
};

// Reads and checks the file as a job of that firmware type would.
FirmwareFacts readFirmwareFacts(int firmwareType, const QString &path);

// "125 600": the digits in groups of three, as the window writes byte counts.
QString groupedNumber(std::uint64_t value);
