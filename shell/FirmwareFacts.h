#pragma once

#include "FirmwareCheck.h"

#include <QString>

#include <cstdint>

// What the window tells of a firmware file once it is chosen, before anything is
// sent: its kind, size, records and CRC-32, or why a job would refuse it. The file
// is read once, by the run's check; the job reads it again when it runs.
struct FirmwareFacts
{
    QString path;
    updater::run::FirmwareSummary file; // as the check read it; its kind also when refused
    QString fault; // why a job refuses the file ("line 7: checksum mismatch"); empty if none

    bool valid() const { return !path.isEmpty() && fault.isEmpty(); }
    bool dsp() const { return file.kind == updater::run::FirmwareKind::Dsp; }
    // "DSP Firmware, 8 192 bytes in 512 records, CRC-32 1A2B3C4D",
    // "LCD ARM Firmware, 125 600 bytes, CRC-32 74CA9B89", or
    // "DSP Firmware refused: line 7: checksum mismatch".
    QString summary() const;
};

// Reads and checks the file as a job of that firmware type would.
FirmwareFacts readFirmwareFacts(int firmwareType, const QString &path);

// "125 600": the digits in groups of three, as the window writes byte counts.
QString groupedNumber(std::uint64_t value);
