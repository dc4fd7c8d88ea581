#pragma once

#include "CliOptions.h"
#include "Console.h"
#include "FleetTable.h"

#include "FleetRun.h"

#include <QTimer>

#include <string>

namespace updater::cli {

// What updater-cli shows of a run on the terminal: for one device a progress bar
// on standard error, for a fleet a live table on standard output while it runs and
// a summary once it has ended. With --check, the devices and files checked.
class RunDisplay
{
public:
    RunDisplay(const CliOptions &options, Console &console);

    // The live table stands instead of the devices' own lines.
    bool showsTable() const { return showTable_; }

    // Starts looking at run, when a table or a progress bar is shown.
    void start(const run::FleetRun &run);
    // The run has ended: the last table and, for a fleet, the summary.
    void ended();

    // "inv-1 10.0.0.7:8899: dsp.hex (52311 bytes, CRC-32 0badf00d), arm.bin (...)"
    // a device on standard output, with "(no such port)" after a serial port that
    // is not there.
    static void listChecked(const run::FleetRun &run,
                            const std::vector<run::FirmwareSummary> &firmware);
    // The fleet's summary: a row per device, the counts, the devices that may be
    // half-written and what each failed device holds, in lines of at most width
    // columns.
    static std::string summary(const run::FleetRun &run, std::size_t width);

private:
    void poll();
    void drawTable();

    Console &console_;
    const bool fleet_;
    const bool showTable_;
    const bool showProgress_;
    const run::FleetRun *run_ = nullptr;
    LiveTable live_;
    QTimer poller_;
    int polls_ = 0;
};

} // namespace updater::cli
