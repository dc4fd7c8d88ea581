#include "SimOptions.h"

#include <charconv>

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

// Options that take a whole number, and where it goes.
int *unitOption(const std::string &name, SimOptions &o)
{
    if (name == "--silent-from")
        return &o.faults.silentFrom;
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
        } else if (a == "--wake-two") {
            o.faults.wakeUpTwo = true;
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
    if (!o.expectPath.empty() && o.expectSize)
        return "--expect and --expect-size exclude each other";
    return {};
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

Like an inverter, it restarts after a job: 300 ms after its last answer it closes
the TCP connection or hangs up the pseudo-terminal, and bytes that come meanwhile
are ignored. With --repeat a pseudo-terminal is not hung up, so that its path
serves the next job: the line only goes quiet for the restart.

  --listen ADDR:PORT  listen for the TCP link (default 127.0.0.1:8899; port 0
                      takes a free port, printed on the first line)
  --pty               make a pseudo-terminal instead and print its device path,
                      to be given to updater-cli --serial
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

Faults (units are numbered from 1 in each job; the DSP erase command and the ARM
wake-up sequence are unit 1):
  --silent-from K     answer nothing from unit K on
  --nak-from K        answer NAK (0x15) instead of the acknowledgement
  --noise-from K      answer three bytes of noise instead of the acknowledgement
  --noise-bytes N     answer N bytes of noise instead of three (up to 100000000)
  --duplicate-from K  send every acknowledgement twice
  --delay-ms D        send every answer D ms after the unit that it answers
  --delay-from K      delay only the answers from unit K on (with --delay-ms)
  --drop-after K      drop the connection once unit K was answered (TCP: the
                      socket is closed; pseudo-terminal: the line goes dead)
  --wake-two          ARM: answer the wake-up with '2' and expect the digit '4'

Exit status: 0 every job passed; 1 a job failed or was incomplete;
2 usage error, or the link could not be set up.
)";
}

} // namespace updater::sim
