#include "SimOptions.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

namespace updater::sim {

namespace {

bool toNumber(const std::string &text, long long low, long long high, long long &value)
{
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value >= low && value <= high;
}

std::string parseListen(const std::string &text, SimOptions &o)
{
    const auto colon = text.rfind(':');
    long long port = 0;
    if (colon == std::string::npos || colon == 0 ||
        !toNumber(text.substr(colon + 1), 0, 65535, port))
        return "--listen wants ADDR:PORT, for example 127.0.0.1:8899, not \"" + text + "\"";
    o.listenAddress = text.substr(0, colon);
    o.listenPort = static_cast<std::uint16_t>(port);
    return {};
}

// --expect names a plain file to read, --save a file to write in an existing
// folder; refused here, not found out halfway (a folder as --expect cannot be
// read, and a folder as --save would end the run with an image it never wrote).
std::string fileFault(const std::string &option, const std::string &path, bool written)
{
    namespace fs = std::filesystem;
    if (path.empty())
        return {};
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status))
        return option + " " + path + ": a folder; give a file";
    if (!written && fs::exists(status) && !fs::is_regular_file(status))
        return option + " " + path + ": not a regular file";
    const fs::path folder = fs::path(path).parent_path();
    if (written && !folder.empty() && !fs::is_directory(folder, ec))
        return option + " " + path + ": the folder " + folder.string() + " does not exist";
    return {};
}

// Options that take a whole number, and where it goes.
int *unitOption(const std::string &name, SimOptions &o)
{
    if (name == "--silent-from")
        return &o.faults.silentFrom;
    if (name == "--silent-once-from")
        return &o.faults.silentOnceFrom;
    if (name == "--nak-from")
        return &o.faults.nakFrom;
    if (name == "--noise-from")
        return &o.faults.noiseFrom;
    if (name == "--noise-bytes")
        return &o.faults.noiseBytes;
    if (name == "--duplicate-from")
        return &o.faults.duplicateFrom;
    if (name == "--drop-after")
        return &o.dropAfter;
    if (name == "--delay-ms")
        return &o.delayMs;
    if (name == "--delay-from")
        return &o.delayFrom;
    if (name == "--restart-ms")
        return &o.restartMs;
    return nullptr;
}

} // namespace

std::string parseSimOptions(const std::vector<std::string> &args, SimOptions &o)
{
    bool listenGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--pty") {
            o.pty = true;
        } else if (a == "--repeat") {
            o.repeat = true;
        } else if (a == "--stay") {
            o.stay = true;
        } else if (a == "--hang-up") {
            o.hangUp = true;
        } else if (a == "--wake-two") {
            o.faults.wakeUpTwo = true;
        } else if (a == "--fast-line") {
            o.fastLine = true;
        } else if (a == "--noise-any") {
            o.faults.noiseAny = true;
        } else if (a == "--devices") {
            long long n = 0;
            if (!hasValue || !toNumber(args[++i], 1, 1024, n))
                return "--devices wants a number from 1 to 1024";
            o.devices = static_cast<int>(n);
        } else if (a == "--listen" || a == "--save" || a == "--expect" || a == "--expect-size" ||
                   unitOption(a, o)) {
            if (!hasValue)
                return a + " needs a value";
            const std::string &v = args[++i];
            long long n = 0;
            if (a == "--listen") {
                listenGiven = true;
                if (auto error = parseListen(v, o); !error.empty())
                    return error;
            } else if (a == "--save") {
                o.savePath = v;
            } else if (a == "--expect") {
                o.expectPath = v;
            } else if (a == "--expect-size") {
                if (!toNumber(v, 1, 0x7FFFFFFF, n))
                    return "--expect-size wants a number of bytes from 1, not \"" + v + "\"";
                o.expectSize = static_cast<std::uint64_t>(n);
            } else if (const auto at = v.find('@'); at != std::string::npos) {
                long long device = 0;
                if (!toNumber(v.substr(0, at), a == "--delay-ms" ? 0 : 1, 1000000, n) ||
                    !toNumber(v.substr(at + 1), 1, 1024, device))
                    return a + " K@D wants a whole number and a device from 1, not \"" + v + "\"";
                o.deviceFaults.push_back({static_cast<int>(device), a, static_cast<int>(n)});
            } else {
                const long long low = a == "--delay-ms" || a == "--restart-ms" ? 0 : 1;
                const long long high = a == "--noise-bytes" ? 100000000 : 1000000;
                if (!toNumber(v, low, high, n))
                    return a + " wants a whole number from " + std::to_string(low) + ", not \"" +
                           v + "\"";
                *unitOption(a, o) = static_cast<int>(n);
            }
        } else {
            return "unknown option \"" + a + "\" (see --help)";
        }
    }
    if (o.pty && listenGiven)
        return "--pty and --listen exclude each other";
    for (const auto &fault : o.deviceFaults) {
        if (fault.device > o.devices)
            return fault.option + " names device " + std::to_string(fault.device) +
                   ", but --devices serves " + std::to_string(o.devices);
    }
    if (o.pty && o.devices > 0)
        return "--devices serves TCP: no --pty";
    if (o.hangUp && o.dropAfter == 0)
        return "--hang-up goes with --drop-after";
    if (o.fastLine && !o.pty)
        return "--fast-line goes with --pty (TCP is never paced)";
    const bool noiseGiven =
        o.faults.noiseFrom > 0 || std::ranges::any_of(o.deviceFaults, [](const auto &f) {
            return f.option == "--noise-from";
        });
    if (o.faults.noiseAny && !noiseGiven)
        return "--noise-any goes with --noise-from";
    if (!o.expectPath.empty() && o.expectSize)
        return "--expect and --expect-size exclude each other";
    if (auto error = fileFault("--expect", o.expectPath, false); !error.empty())
        return error;
    return fileFault("--save", o.savePath, true);
}

SimOptions deviceOptions(const SimOptions &options, int device)
{
    SimOptions o = options;
    for (const auto &fault : options.deviceFaults) {
        if (fault.device == device)
            *unitOption(fault.option, o) = fault.value;
    }
    o.deviceFaults.clear();
    return o;
}

std::string simUsage()
{
    return R"(usage: updater-sim [--listen ADDR:PORT | --pty] [options]

A simulated inverter that answers both boot loaders: the DSP boot loader (erase
command, Intel HEX records, each acknowledged with 0xCC) and the LCD ARM boot
loader (wake-up, digits, header block, 1024-byte data blocks, EOT, end block,
each acknowledged with ACK). It tells them apart by the first bytes, checks every
unit byte for byte, refuses (does not answer) a unit that fails a check, and at
the end of a job prints a verdict: what it received, the rebuilt image's size and
CRC-32, and every deviation. It serves one connection and exits.

Over a pseudo-terminal it answers a unit no sooner than a 9600-baud line (10 bits
a byte) could have carried the unit in: the time of its first byte plus that of
the rest, so that an ARM data block of 1029 bytes is answered about 1.07 s after
its first byte. Behind a line that slow already it adds nothing. TCP (the WiFi
module) answers at once.

Like an inverter, it restarts after a job: 300 ms after its last answer it closes
the TCP connection or hangs up the pseudo-terminal, and bytes that come meanwhile
are ignored. With --repeat a pseudo-terminal is not hung up, so that its path
serves the next job: the line only goes quiet for the restart.

  --listen ADDR:PORT  listen for the TCP link (default 127.0.0.1:8899; port 0
                      takes a free port, printed on the first line)
  --pty               make a pseudo-terminal instead and print its device path,
                      to be given to updater-cli --serial
  --fast-line         with --pty: answer each unit as soon as it is in, sooner
                      than a 9600-baud line could carry it: what no real device
                      on such a line can do (to try a host's check of answers
                      that come too soon)
  --save FILE         write the rebuilt image at the end of each job: DSP, the
                      received records as Intel HEX text (upper-case digits,
                      CR LF); ARM, the data bytes (padding cut when the size is
                      known from --expect or --expect-size)
  --expect FILE       compare the job with the firmware file the host was given
  --expect-size N     ARM: the image is N bytes; the rest of the last block must
                      be 0x1A padding (DSP: N data bytes)
  --repeat            keep serving jobs and connections until interrupted
  --stay              do not restart after a job: the connection stays open
  --restart-ms MS     restart MS ms after a job's last answer (default 300)
  --devices N         serve N independent inverters on N consecutive ports from
                      the --listen port (port 0: a free range, the first port
                      printed, then the range); each serves until interrupted,
                      restarts after a job as the single device does, and
                      prints each verdict after a line naming it: device K
                      (ADDR:PORT)

Faults (units are numbered from 1 in each job; the DSP erase command and the ARM
wake-up sequence are unit 1):
  --silent-from K     answer nothing from unit K on
  --silent-once-from K  the same in the first job only (a later attempt passes)
  --nak-from K        answer NAK (0x15) instead of the acknowledgement
  --noise-from K      answer three bytes of noise instead of the acknowledgement,
                      never a byte that a host takes for an answer
  --noise-bytes N     answer N bytes of noise instead of three (up to 100000000)
  --noise-any         with --noise-from: noise of every byte value, 0xCC, ACK
                      and the digits included, as on a disturbed line
  --duplicate-from K  send every acknowledgement twice
  --delay-ms D        send every answer D ms after the unit that it answers (or
                      when the line's pace allows, if that is later)
  --delay-from K      delay only the answers from unit K on (with --delay-ms)
  --drop-after K      drop the connection once unit K was answered (TCP: the
                      socket is closed; pseudo-terminal: the line goes dead)
  --hang-up           with --drop-after: hang up the pseudo-terminal instead, so
                      that the host's reads and writes fail, as when an adapter
                      is pulled out
  --wake-two          ARM: answer the wake-up with '2' and expect the digit '4'
A fault of one device of --devices: K@D, e.g. --silent-from 3@5 makes device 5
silent from unit 3 on (devices are numbered from 1; give the option again for
another device).

Exit status: 0 every job passed; 1 a job failed or was incomplete;
2 usage error, or the link could not be set up.
)";
}

} // namespace updater::sim
