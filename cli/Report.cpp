#include "Report.h"

#include "Texts.h"

#include <QtGlobal>

#include <cstdio>
#include <ctime>

namespace updater::cli {

namespace {

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char *stepKey(JobStep step)
{
    switch (step) {
    case JobStep::NotStarted:
        return "not started";
    case JobStep::Connecting:
        return "connecting";
    case JobStep::Erasing:
        return "erasing";
    case JobStep::Programming:
        return "programming";
    }
    return "";
}

// One "key": value pair per line of an object, indented.
class Object
{
public:
    explicit Object(std::string indent) : indent_(std::move(indent)) {}
    Object &raw(const std::string &key, const std::string &value)
    {
        text_ += (text_.empty() ? "" : ",\n") + indent_ + "  " + quoted(key) + ": " + value;
        return *this;
    }
    Object &text(const std::string &key, const std::string &value)
    {
        return raw(key, quoted(value));
    }
    Object &number(const std::string &key, long long value)
    {
        return raw(key, std::to_string(value));
    }
    std::string str() const { return "{\n" + text_ + "\n" + indent_ + "}"; }

private:
    std::string indent_;
    std::string text_;
};

std::string list(const std::vector<std::string> &items, const std::string &indent)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "\n" : ",\n") + indent + "  " + items[i];
    return out + (items.empty() ? "]" : "\n" + indent + "]");
}

// "2024-05-01T12:00:03.250Z"
std::string isoTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03lldZ", static_cast<long long>(ms.count() % 1000));
    return text;
}

} // namespace

std::string reportJson(const RunReport &r)
{
    std::vector<std::string> firmware;
    for (const run::FirmwareSummary &f : r.firmware) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", f.crc32);
        firmware.push_back(Object("    ")
                               .text("kind", run::kindInfo(f.kind).reportKey)
                               .text("path", f.path)
                               .number("size", static_cast<long long>(f.size))
                               .text("crc32", crc)
                               .str());
    }
    std::vector<std::string> devices;
    for (const RunReport::Device &d : r.devices) {
        const run::DeviceResult &x = d.result;
        const bool failed = x.outcome != run::DeviceOutcome::Success && x.failedFirmware;
        Object o("    ");
        o.text("name", d.device->name)
            .text("link", d.device->linkText)
            .text("outcome", run::outcomeName(x.outcome))
            .raw("firmware", failed ? quoted(run::kindInfo(*x.failedFirmware).reportKey) : "null")
            .raw("failedStep", failed ? quoted(stepKey(x.end.step)) : "null")
            .raw("jobState", failed ? std::to_string(x.end.state) : "null")
            .text("deviceHolds", d.where)
            .number("unitsSent", x.unitsSent)
            .number("bytesSent", static_cast<long long>(x.bytesSent))
            .number("durationMs", x.duration.count())
            .number("attempts", x.attempts)
            .text("message", x.message);
        devices.push_back(o.str());
    }
    Object versions("  ");
    versions.text("updater", texts::kAppTitle).text("qt", qVersion());
    Object run("");
    run.text("start", isoTime(r.start))
        .text("end", isoTime(r.end))
        .raw("versions", versions.str())
        .raw("firmware", list(firmware, "  "))
        .number("jobs", r.jobs)
        .number("retries", r.retries)
        .raw("interruptedBy", r.signal == 0 ? "null" : std::to_string(r.signal))
        .number("exitStatus", r.exitStatus)
        .raw("devices", list(devices, "  "));
    return run.str() + "\n";
}

} // namespace updater::cli
