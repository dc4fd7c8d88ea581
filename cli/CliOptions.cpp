#include "CliOptions.h"
#include "CliPlatform.h"

#include <charconv>
#include <set>

namespace updater::cli {

namespace {

bool toNumber(std::string_view text, unsigned low, unsigned high, unsigned &value)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end && value >= low && value <= high;
}

// A dotted IPv4 address into canonical ("010.000.0.1" to "10.0.0.1"). Octets with
// leading zeros are decimal, as address lists kept in a spreadsheet mean them; the
// link's own parser would read them as octal.
bool parseIpv4(const std::string &text, std::string &canonical)
{
    canonical.clear();
    std::size_t start = 0;
    for (int octet = 0; octet < 4; ++octet) {
        const std::size_t dot = text.find('.', start);
        const bool last = octet == 3;
        if (last != (dot == std::string::npos))
            return false;
        const std::string_view part =
            std::string_view(text).substr(start, last ? std::string::npos : dot - start);
        unsigned value = 0;
        if (part.size() > 3 || !toNumber(part, 0, 255, value))
            return false;
        canonical += (octet == 0 ? "" : ".") + std::to_string(value);
        start = dot + 1;
    }
    return true;
}

std::string parseSerial(const std::string &text, CliOptions &o)
{
    if (text.empty())
        return "--serial needs a port name";
    o.link = CliOptions::Link::Serial;
    o.serialText = text;
    const bool comName = text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
                         (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm');
    if (!comName || text.find_first_not_of("0123456789", 3) != std::string::npos) {
        o.serialPath = text;
        return {};
    }
    if (!toNumber(std::string_view(text).substr(3), 1, 99, o.comNumber))
        return "--serial " + text + ": COM ports are numbered 1 to 99";
    return {};
}

// Why an address reaches no inverter, or "": the window refuses 0.0.0.0 alike.
std::string notAnInverter(const std::string &canonical)
{
    if (canonical == "0.0.0.0")
        return "0.0.0.0 is not the address of an inverter: a connection to it reaches this PC "
               "itself; give the address of the inverter's WiFi module (10.10.100.254 as "
               "delivered)";
    if (canonical == "255.255.255.255")
        return canonical + " is a broadcast address, not the address of an inverter";
    unsigned first = 0;
    toNumber(std::string_view(canonical).substr(0, canonical.find('.')), 0, 255, first);
    if (first >= 224 && first <= 239)
        return canonical + " is a multicast address, not the address of an inverter";
    return {};
}

std::string parseTcp(const std::string &text, CliOptions &o)
{
    o.link = CliOptions::Link::Tcp;
    const std::size_t colon = text.find(':');
    const std::string address = text.substr(0, colon);
    if (!parseIpv4(address, o.tcpAddress))
        return "--tcp " + text + ": \"" + address +
               "\" is not an IPv4 address such as 192.168.1.10";
    if (const std::string why = notAnInverter(o.tcpAddress); !why.empty())
        return "--tcp " + text + ": " + why;
    if (colon != std::string::npos) {
        unsigned port = 0;
        if (!toNumber(std::string_view(text).substr(colon + 1), 1, 65535, port))
            return "--tcp " + text + ": the TCP port must be 1 to 65535";
        o.tcpPort = static_cast<std::uint16_t>(port);
    }
    return {};
}

// The fleet's options; "-" for any other option.
std::string takeFleetValue(const std::string &option, const std::string &value, CliOptions &o)
{
    if (option == "--restart-wait") {
        if (!toNumber(value, 0, 600, o.restartWait))
            return option + " wants a number of seconds from 0 to 600";
        return {};
    }
    if (option == "--jobs" || option == "--retries") {
        const bool jobs = option == "--jobs";
        if (!toNumber(value, jobs ? 1 : 0, jobs ? 1024 : 100, jobs ? o.jobs : o.retries))
            return option + (jobs ? " wants a number of devices from 1 to 1024"
                                  : " wants a number from 0 to 100");
        return {};
    }
    std::string *path = option == "--fleet"          ? &o.fleetPath
                        : option == "--only-failed"  ? &o.onlyFailedPath
                        : option == "--skip-written" ? &o.skipWrittenPath
                        : option == "--summary"      ? &o.summaryPath
                        : option == "--report"       ? &o.reportPath
                        : option == "--trace-dir"    ? &o.traceDir
                                                     : nullptr;
    if (path == nullptr)
        return "-";
    if (value.empty())
        return option + " needs a file name";
    *path = value;
    return {};
}

std::string takeValue(const std::string &option, const std::string &value, CliOptions &o)
{
    if (option == "--serial" || option == "--tcp") {
        if (o.link != CliOptions::Link::None)
            return "give one link: --serial PORT or --tcp ADDR[:PORT]";
        return option == "--serial" ? parseSerial(value, o) : parseTcp(value, o);
    }
    if (option == "--dsp" || option == "--arm") {
        std::string &path = option == "--dsp" ? o.dspPath : o.armPath;
        if (!path.empty())
            return "give " + option + " once";
        if (value.empty())
            return option + " needs a file name";
        path = value;
        return {};
    }
    if (auto fleetError = takeFleetValue(option, value, o); fleetError != "-")
        return fleetError;
    if (value.empty())
        return "--trace needs a file name";
    o.tracePath = value;
    return {};
}

} // namespace

std::string parseCliOptions(const std::vector<std::string> &args, CliOptions &o)
{
    static const std::set<std::string> kOptions = {
        "--help",    "--version", "--list-ports", "--quiet",        "--check",      "--serial",
        "--tcp",     "--dsp",     "--arm",        "--trace",        "--fleet",      "--jobs",
        "--retries", "--report",  "--trace-dir",  "--restart-wait", "--only-failed"};
    int others = 0; // options other than --help, --version and --list-ports
    std::set<std::string> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inlineValue = false;
        if (const auto eq = option.find('=');
            option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            inlineValue = true;
        }
        // A second --trace or --dsp is a slip in a script, not a choice of the last.
        const std::string name = option == "-q" ? "--quiet" : option == "-h" ? "--help" : option;
        if (kOptions.count(name) != 0 && !given.insert(name).second)
            return "give " + name + " once";
        const bool alone = option == "--help" || option == "-h" || option == "--version" ||
                           option == "--list-ports";
        const bool flag = alone || option == "--quiet" || option == "-q" || option == "--check";
        if (flag && inlineValue)
            return option + " takes no value";
        others += alone ? 0 : 1;
        if (option == "--help" || option == "-h") {
            o.help = true;
        } else if (option == "--version") {
            o.version = true;
        } else if (option == "--list-ports") {
            o.listPorts = true;
        } else if (option == "--quiet" || option == "-q") {
            o.quiet = true;
        } else if (option == "--check") {
            o.check = true;
        } else if (option == "--merge-reports") {
            // The reports follow, as a shell's pattern gives them: up to the next option.
            o.mergeReports = true;
            if (inlineValue)
                o.mergePaths.push_back(value);
            while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0)
                o.mergePaths.push_back(args[++i]);
            if (o.mergePaths.empty())
                return "--merge-reports needs the report files";
        } else if (option == "--serial" || option == "--tcp" || option == "--dsp" ||
                   option == "--arm" || option == "--trace" || option == "--fleet" ||
                   option == "--jobs" || option == "--retries" || option == "--report" ||
                   option == "--trace-dir" || option == "--restart-wait" ||
                   option == "--only-failed" || option == "--skip-written" ||
                   option == "--summary") {
            if (!inlineValue) {
                if (i + 1 >= args.size())
                    return option + " needs a value";
                value = args[++i];
            }
            if (auto error = takeValue(option, value, o); !error.empty())
                return error;
        } else {
            return "unknown argument \"" + args[i] + "\"";
        }
    }
    if (o.help)
        return {};
    if (o.version || o.listPorts) {
        // Either prints and ends: with a job's options its exit status 0 would read as
        // an update that never happened.
        if (others > 0 || (o.version && o.listPorts))
            return std::string(o.version ? "--version" : "--list-ports") +
                   " goes alone: it updates nothing; give it without other options";
        return {};
    }
    if (o.mergeReports) {
        // others counts --merge-reports and --report (given with its value once each).
        if (o.reportPath.empty())
            return "--merge-reports needs --report FILE, the merged report to write";
        if (others != 2)
            return "--merge-reports takes only the reports and --report FILE: it contacts no "
                   "device";
        return {};
    }
    if (!o.fleetPath.empty()) {
        if (o.link != CliOptions::Link::None || !o.tracePath.empty())
            return "--fleet takes the links from the fleet file: no --serial, --tcp or --trace";
        if (!o.onlyFailedPath.empty() && !o.skipWrittenPath.empty())
            return "give --only-failed or --skip-written, not both";
        return {};
    }
    if (!o.reportPath.empty() || !o.traceDir.empty() || !o.onlyFailedPath.empty() ||
        !o.skipWrittenPath.empty() || !o.summaryPath.empty())
        return "--report, --summary, --trace-dir, --only-failed and --skip-written go with "
               "--fleet (a single run: --trace FILE)";
    if (o.link == CliOptions::Link::None)
        return "no link: give --serial PORT or --tcp ADDR[:PORT]";
    if (o.dspPath.empty() && o.armPath.empty())
        return "no firmware file: give --dsp FILE or --arm FILE";
    return {};
}

run::LinkTarget linkTarget(const CliOptions &o)
{
    return {o.link == CliOptions::Link::Tcp, o.comNumber, o.serialPath, o.tcpAddress, o.tcpPort};
}

std::string linkText(const CliOptions &o)
{
    return o.link == CliOptions::Link::Tcp ? o.tcpAddress + ":" + std::to_string(o.tcpPort)
                                           : o.serialText;
}

std::string parseLinkOption(const std::string &option, const std::string &value, CliOptions &o)
{
    return option == "--serial" ? parseSerial(value, o) : parseTcp(value, o);
}

std::string cliUsage()
{
    return R"(usage: updater-cli (--serial PORT | --tcp ADDR[:PORT]) (--dsp FILE | --arm FILE | both)
                   [--quiet] [--trace FILE]
       updater-cli --list-ports
       updater-cli --fleet FILE [--dsp FILE] [--arm FILE] [--jobs N] [--retries N]
                   [--report FILE] [--summary FILE] [--trace-dir DIR]
                   [--only-failed REPORT | --skip-written REPORT]
                   [--restart-wait S] [--check] [--quiet]
       updater-cli --merge-reports REPORT... --report FILE

Writes new firmware into the inverter, without a window: the same wire bytes,
the same 50 ms ticks, waits and texts as the desktop program.

)" + std::string(platformHelp().serialPort) +
           R"(  --tcp ADDR[:PORT] the inverter's WiFi module: an IPv4 address, TCP port 8899
                    unless given
  --dsp FILE        DSP firmware: an Intel HEX file, checked whole before anything
                    is sent
  --arm FILE        LCD ARM firmware: a binary image. With --dsp as well, both
                    files are checked first, then the DSP job runs and, after its
                    success, the ARM job; between them the link is closed, and
                    after the restart wait opened again, tried for up to 60 s
  --restart-wait S  seconds the inverter takes to restart after the DSP
                    firmware, counted from its hang-up (or from the end of the
                    line's quiet), before the link is opened again (default 3);
                    a wake-up left unanswered then is sent again for up to 60 s
  --quiet           no progress bar
  --trace FILE      write a support log of the job: every unit sent and byte
                    received with the time, the job state and the bytes in hex,
                    and the status texts and final message in order; bytes the
                    job ignores go on one line per run, with their count
  --list-ports      list the serial ports of this machine: device path, the COM
                    number that opens it, description, manufacturer, serial
                    number, USB vendor:product id
  --help            this text

Many inverters at once:
  --fleet FILE      CSV with a header line; columns name and link, optionally dsp
                    and arm (the row's own firmware files, else --dsp and --arm;
                    relative to the fleet file's folder). link is tcp:ADDR[:PORT]
                    or serial:PORT. Fields are separated by ';' where the
                    header line holds more semicolons than commas, else by ','.
                    Names: letters or digits of any script, spaces, . - _.
                    Blank lines, empty rows, empty cells after the last column
                    and lines starting with # are skipped. Every bad row is
                    refused naming the file and the line (FILE:LINE:), and every
                    firmware file is checked once, before any device is
                    contacted
  --jobs N          update up to N devices at once (default 16)
  --retries N       run a device's update again after a link not opened, a
                    time-out or a lost link, 3 s later, up to N more times
                    (default 0), from the firmware that failed
  --report FILE     write the run as JSON: start, end, versions, the firmware
                    files with size and CRC-32, and per device its outcome,
                    failed firmware and step, job state, units and bytes sent,
                    duration, attempts, final message and, per firmware, the
                    file, its CRC-32 and whether it is written, may be
                    half-written or not started ("holds"). Rewritten whole
                    whenever a device starts or ends (devices under way are "in
                    progress"). Given the path of the --only-failed or
                    --skip-written REPORT, the devices of this run replace
                    theirs and the others keep their entries
  --summary FILE    write a short text for a ticket: start and end, firmware
                    files with CRC-32, counts, and each failed device with what
                    it holds and what to do next
  --trace-dir DIR   one trace per device, DIR/NAME.trace (a name other than
                    plain ASCII folded to it, with 8 hex digits of its hash)
  --only-failed REPORT  run only the devices that REPORT (a report of an earlier
                    run of this fleet file) lists as not succeeded, each from
                    what it holds: a firmware written is not sent again, one
                    not written must be given (else exit 2, naming the device)
  --skip-written REPORT  run every device, but send no firmware that REPORT
                    shows the device holding written with the same CRC-32; a
                    device with nothing left is not contacted ("already
                    written")
  --check           check the fleet file, every firmware file and every output
                    path exactly as a run does, print each device with its
                    firmware files (size, CRC-32) and serial ports that do not
                    exist, and contact and create nothing (exit 0 or 2)
  --quiet           no live table and no status lines, only the summary
  --merge-reports REPORT...  merge the reports of many sites (each REPORT a
                    --report of one fleet, its site named by its folder:
                    plant-07/report.json is site plant-07) into --report FILE:
                    every device with its site, the counts per site and in
                    total (succeeded, already written, failed, not reached).
                    Contacts nothing. Exit status 0 every device succeeded or
                    was already written, 1 otherwise, 2 a report was refused
On a terminal a live table shows every device (step, percent, rate, time
left); otherwise each status change is one line, "inv-07 10.0.0.7:8899 Erase
Done.". A summary table (name, outcome, failed step, duration, attempts) and
the counts end the run. Fleet exit status: 0 every device succeeded or was
already written, 1 at least one failed, 2 the fleet file or a firmware file was
refused (nothing was contacted), 130/143 interrupted (every running job
abandoned; the summary and the report name each device that may be
half-written).
  --version         the program's version

Standard output carries each new status text ("Connecting...", "Erase...",
"Erase Done.", "Programing...", "Programing Done.", or the failed phase) and, last,
"Download file success!" or "time out！". On a terminal, standard error shows a
progress bar. )" +
           platformHelp().stopping + R"(
Exit status:
  0    the device acknowledged the whole firmware
  1    time-out: the device stopped answering (the failed phase is printed), or
       the firmware file failed while it was being sent, or the link was lost
       during the job or closed before all of the firmware was written to it
  2    usage error, or the firmware file was refused before anything was sent
       (the message names the file and, for HEX, the line and the fault), or
       the trace file is the firmware file
  3    the link could not be opened: no such port, port busy, connection refused
       or unreachable, and nothing of the device was changed (a device that may
       be half-written, or holds one firmware of two, ends with 1)
)" + platformHelp().stopStatus +
           R"()";
}

} // namespace updater::cli
