#pragma once

#include "UpdateJob.h"

#include <QString>

#include <chrono>
#include <cstdint>

struct FirmwareFacts;

// The window's own texts for its status bar and boxes, made from what the link,
// the job and the firmware file say.
namespace statustext {

// Where a job stands, taken from it while it runs.
struct JobPlace
{
    int firmwareType = 0;
    int jobState = -1;
    updater::JobStep step = updater::JobStep::NotStarted;
    std::int64_t sent = 0;  // DSP: records sent; ARM: data blocks sent
    std::int64_t total = 0; // of them in the file; 0 when not known
};

// facts: the file as it was chosen; its records count only while the job's file
// has the same length.
JobPlace placeOf(const updater::JobFields &fields, const updater::ArmCounters &arm,
                 const FirmwareFacts &facts);

// "while programming (record 100 of 515)", "during the erase".
QString whereText(const JobPlace &place);

// The job's progress for the status bar: while programming "45 %, 3 686 of 8 192
// bytes, 0:05 left" (DSP: the data bytes of the records sent, when the file is the
// one facts describe; otherwise the job's own count of the file), or with a unit
// unanswered for a second "45 %, 3 686 of 8 192 bytes; no answer for 2 s of 5 s";
// while waiting "Erasing: 7 s of 20 s". sending: how long since its first unit was seen sent.
QString progressText(const JobPlace &place, const updater::JobFields &fields,
                     std::uint64_t fileBytesSent, std::uint64_t fileLength,
                     std::chrono::milliseconds sending, const FirmwareFacts &facts);

// "The download was stopped while programming (record 100 of 515). The inverter
// may be half-written: keep it powered and run the update again."
QString stopped(const JobPlace &place);

// "The window was closed while programming (record 100 of 515). The inverter may be
// half-written: keep it powered and run the update again."
QString closed(const JobPlace &place);

// "The connection to 10.10.100.254:8899 was lost while programming (record 100 of
// 515). The inverter may be half-written: keep it powered and run the update again."
QString linkLost(const QString &link, const JobPlace &place);

} // namespace statustext
