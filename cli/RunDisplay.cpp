#include "RunDisplay.h"

#include "RunOutcome.h"
#include "RunWords.h"

#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstdio>

namespace updater::cli {

namespace {

constexpr int kPollMs = 100;
constexpr int kPollsPerRedraw = 5;

std::string failedStep(const run::DeviceResult &r)
{
    if (run::succeeded(r.outcome) || !r.failedFirmware)
        return {};
    return std::string(run::kindInfo(*r.failedFirmware).name) + " " + run::stepName(r.end.step);
}

// Where a device goes in the live table: the failed first (a technician must see
// them however many run), then the running, the waiting, and last the finished
// good ones.
int tableGroup(run::DeviceOutcome o)
{
    switch (o) {
    case run::DeviceOutcome::Running:
        return 1;
    case run::DeviceOutcome::Waiting:
        return 2;
    case run::DeviceOutcome::Success:
    case run::DeviceOutcome::AlreadyWritten:
        return 3;
    default:
        return 0;
    }
}

std::vector<std::string> tableRow(const run::DeviceRun &r)
{
    const run::DeviceRow row = r.row();
    std::string percent, rate, left;
    if (row.fileLength > 0) {
        percent = std::to_string(std::uint64_t(row.fileBytesSent) * 100 / row.fileLength) + "%";
        if (const auto seconds = run::secondsLeft(row.fileBytesSent, row.fileLength, row.sending)) {
            rate = kibText(row.fileBytesSent / std::chrono::duration<double>(row.sending).count()) +
                   "/s";
            left = run::minutesSeconds(*seconds);
        }
    }
    return {r.device().name, r.device().linkText, row.status, percent, rate, left};
}

} // namespace

RunDisplay::RunDisplay(const CliOptions &options, Console &console)
    : console_(console), fleet_(!options.fleetPath.empty()),
      showTable_(fleet_ && !options.quiet && isTerminal(stdout)),
      showProgress_(!fleet_ && !options.quiet && isTerminal(stderr))
{
    QObject::connect(&poller_, &QTimer::timeout, [this] { poll(); });
}

void RunDisplay::start(const run::FleetRun &run)
{
    run_ = &run;
    // Only a live table or a progress bar needs a look at the runs.
    if (showTable_ || showProgress_)
        poller_.start(kPollMs);
}

void RunDisplay::poll()
{
    ++polls_;
    if (showTable_ && polls_ % kPollsPerRedraw == 0)
        drawTable();
    if (!showProgress_)
        return;
    const run::DeviceRow row = run_->runs().front()->row();
    if (row.fileLength > 0)
        console_.drawProgress({row.fileBytesSent, row.fileLength, row.sending});
}

void RunDisplay::ended()
{
    poller_.stop();
    console_.clearProgress();
    if (showTable_)
        drawTable();
    if (fleet_) {
        const std::size_t width =
            isTerminal(stdout) ? std::clamp(terminalSize().columns, 20, 80) : 80;
        std::fputs(("\n" + summary(*run_, width)).c_str(), stdout);
        std::fflush(stdout);
    }
}

void RunDisplay::drawTable()
{
    std::vector<const run::DeviceRun *> order;
    std::array<int, 4> counts{}; // failed, running, waiting, succeeded
    for (int group = 0; group < 4; ++group) {
        for (const auto &r : run_->runs()) {
            if (tableGroup(r->outcome()) == group) {
                order.push_back(r.get());
                ++counts[group];
            }
        }
    }
    const TerminalSize size = terminalSize();
    std::vector<std::vector<std::string>> rows = {{"name", "link", "step", "%", "rate", "left"}};
    const std::size_t room = static_cast<std::size_t>(std::max(3, size.rows - 4));
    for (const run::DeviceRun *r : order) {
        if (rows.size() >= room)
            break;
        rows.push_back(tableRow(*r));
    }
    // One column short of the edge, so that no line wraps. The step and the name
    // give way; a link or a figure is never cut (127.0.0.1:47 reads as another
    // device): rate and time left are left out before the name is cut short, link
    // and percent last.
    const std::size_t width = static_cast<std::size_t>(std::max(20, size.columns - 1));
    std::string text =
        columns(rows, width, {{2, 12}, {0, 16}, {4, 0}, {5, 0}, {2, 8}, {0, 10}, {1, 0}, {3, 0}});
    if (order.size() + 1 > rows.size())
        text += "(" + std::to_string(order.size() + 1 - rows.size()) + " more)\n";
    text += columns(
        {{std::to_string(counts[1]) + " running, " + std::to_string(counts[3]) + " succeeded, " +
          std::to_string(counts[0]) + " failed, " + std::to_string(counts[2]) + " waiting"}},
        width);
    live_.draw(text, size.columns);
}

void RunDisplay::listChecked(const run::FleetRun &run,
                             const std::vector<run::FirmwareSummary> &firmware)
{
    for (const auto &r : run.runs()) {
        const run::DeviceEntry &d = r->device();
        std::string line = d.name + " " + d.linkText;
        // A serial port that is not there now will not be there for the run.
        if (!d.link.tcp && !d.link.serialPath.empty() &&
            !QFileInfo::exists(QString::fromStdString(d.link.serialPath)))
            line += " (no such port)";
        line += ":";
        std::string files;
        for (const run::FirmwareSummary &f : firmware) {
            if (f.path != (f.kind == run::FirmwareKind::Dsp ? d.dspPath : d.armPath))
                continue;
            files += (files.empty() ? " " : ", ") + f.path + " (" + std::to_string(f.size) +
                     " bytes, CRC-32 " + run::crcText(f.crc32) + ")";
        }
        if (files.empty())
            files = " nothing to send: " + run::holdingsText(d.earlier);
        std::fputs((line + files + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
}

std::string RunDisplay::summary(const run::FleetRun &run, std::size_t width)
{
    std::vector<std::vector<std::string>> rows = {
        {"name", "outcome", "failed step", "duration", "attempts"}};
    int succeeded = 0;
    int already = 0;
    std::vector<std::string> halfWritten;
    for (const auto &r : run.runs()) {
        const run::DeviceResult x = r->result();
        rows.push_back({r->device().name, run::outcomeName(x.outcome), failedStep(x),
                        run::minutesSeconds(x.duration.count() / 1000),
                        std::to_string(x.attempts)});
        succeeded += x.outcome == run::DeviceOutcome::Success ? 1 : 0;
        already += x.outcome == run::DeviceOutcome::AlreadyWritten ? 1 : 0;
        if (x.mayBeHalfWritten)
            halfWritten.push_back(r->device().name);
    }
    const std::size_t count = run.runs().size();
    // The name and the failed step give way; the lines below the table are
    // wrapped, naming each device whole.
    std::string text = columns(rows, width, {{0, 16}, {2, 14}, {0, 10}, {2, 8}});
    std::string below =
        std::to_string(count) + (count == 1 ? " device: " : " devices: ") +
        std::to_string(succeeded) + " succeeded, " +
        (already > 0 ? std::to_string(already) + " already written, " : std::string()) +
        std::to_string(count - succeeded - already) + " failed\n";
    if (!halfWritten.empty()) {
        below += "may be half-written, run the update again:";
        for (const std::string &name : halfWritten)
            below += " " + name;
        below += "\n";
    }
    for (const auto &r : run.runs()) {
        if (!run::succeeded(r->outcome()))
            below += r->device().name + ": " + r->deviceHolds() + "\n";
    }
    for (std::size_t start = 0; start < below.size();) {
        const std::size_t end = below.find('\n', start);
        text += wrapped(below.substr(start, end - start), width) + "\n";
        start = end + 1;
    }
    return text;
}

} // namespace updater::cli
