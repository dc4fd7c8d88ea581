#pragma once

#include "DeviceRun.h"
#include "FirmwareCheck.h"
#include "Holdings.h"

#include <QJsonArray>
#include <QJsonObject>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace updater::cli {

// A report of an earlier run (--only-failed, --skip-written): what each device
// held when it ended.
struct EarlierReport
{
    struct Device
    {
        QJsonObject entry; // as the report has it
        run::Holdings holds;
        bool succeeded = false; // "success" or "already written"
    };
    std::string path;
    QJsonArray entries; // every device, in the report's order
    std::map<std::string, Device> devices;
};

// Reads the report at path (option names it in the fault). Returns "" or why not.
std::string readEarlierReport(const std::string &option, const std::string &path,
                              EarlierReport &report);

// What a device's report entry says it holds, per firmware ("holds"; a report
// from before holdings were kept: the DSP firmware written when the ARM firmware failed).
run::Holdings holdingsOf(const QJsonObject &entry);
// The report's "holds" object.
QJsonObject holdingsJson(const run::Holdings &holds);

// Where each device starts from the earlier report, once its firmware files are
// checked (summaries: their sizes and CRC-32s): onlyFailed, a firmware it holds
// written is not sent again; otherwise one it holds written with the same CRC-32
// is not. Fills each device's crc32. Returns the notes to say once before the
// run: a firmware whose CRC-32 differs from the one the report names.
std::vector<std::string> startFromEarlier(std::vector<run::DeviceEntry> &devices,
                                          const std::vector<run::FirmwareSummary> &summaries,
                                          bool onlyFailed);

} // namespace updater::cli
