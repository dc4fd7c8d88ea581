#include "FleetFile.h"

#include "CliOptions.h"
#include "PortName.h"
#include "SystemFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>
#include <system_error>

namespace updater::cli {

namespace {

constexpr std::array<std::string_view, 4> kColumns = {"name", "link", "dsp", "arm"};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string trimmed(const std::string &text)
{
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// The fields of a CSV line; a field in double quotes may hold commas, "" is a quote.
std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> out(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            out.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    for (auto &f : out)
        f = trimmed(f);
    return out;
}

// Length of the UTF-8 sequence that starts text[i], or 0 where none does.
std::size_t utf8Length(const std::string &text, std::size_t i)
{
    const auto at = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    const std::size_t length = c < 0x80                 ? 1
                               : c >= 0xC2 && c <= 0xDF ? 2
                               : c >= 0xE0 && c <= 0xEF ? 3
                               : c >= 0xF0 && c <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    const unsigned char second = length > 1 ? at(i + 1) : 0;
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// text with its control characters (C0, DEL and C1) and the bytes that are not
// UTF-8 written as \xNN: what the fleet file holds reaches the terminal only as
// text, never as an escape sequence, and a NUL does not cut the message.
std::string shown(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Length(text, i);
        const auto c = static_cast<unsigned char>(text[i]);
        const bool control =
            c < 0x20 || c == 0x7F ||
            (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (length != 0 && !control) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i + k]));
            out += hex;
        }
        i += std::max<std::size_t>(length, 1);
    }
    return out;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool goodName(const std::string &name)
{
    return !name.empty() && name.size() <= 64 && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '.' || c == '-' || c == '_';
           });
}

// The link column into device; returns the fault.
std::string parseLink(const std::string &text, run::DeviceEntry &device)
{
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (colon == std::string::npos || (kind != "tcp" && kind != "serial"))
        return "link \"" + text + "\": give tcp:ADDR[:PORT] or serial:PORT";
    const std::string option = "--" + kind;
    const std::string value = text.substr(colon + 1);
    if (value.empty())
        return "link \"" + text + "\": no " + (kind == "tcp" ? "address" : "port");
    CliOptions l;
    std::string error = parseLinkOption(option, value, l);
    if (!error.empty()) {
        const std::string given = option + " " + value + ": ";
        return "link \"" + text +
               "\": " + (error.rfind(given, 0) == 0 ? error.substr(given.size()) : error);
    }
    device.link = linkTarget(l);
    device.linkText = kind == "tcp"      ? l.tcpAddress + ":" + std::to_string(l.tcpPort)
                      : l.comNumber != 0 ? "COM" + std::to_string(l.comNumber)
                                         : l.serialPath;
    return {};
}

// The device a link reaches, to tell two rows that name one device: the address
// and port in canonical form; a serial port after COMn is mapped to its device and
// links are resolved (/dev/serial/by-id/... and /dev/ttyUSB0 are one port).
std::string linkIdentity(const run::LinkTarget &l)
{
    if (l.tcp)
        return "tcp:" + l.tcpAddress + ":" + std::to_string(l.tcpPort);
    std::string port =
        l.comNumber != 0 ? comPortDeviceName(l.comNumber).toStdString() : l.serialPath;
    if (hostPortNaming() == PortNaming::Windows) {
        // COM10 and \\.\COM10 are one port; Windows names ignore case.
        constexpr std::string_view kDeviceNamespace = "\\\\.\\";
        if (port.rfind(kDeviceNamespace, 0) == 0)
            port.erase(0, kDeviceNamespace.size());
        return "serial:" + lowerCase(port);
    }
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(port, error);
    return "serial:" + (error ? port : resolved.string());
}

std::string firmwarePath(const std::string &given, const std::filesystem::path &folder)
{
    std::filesystem::path p = systemPath(given);
    return utf8Path(p.is_relative() ? (folder / p).lexically_normal() : p.make_preferred());
}

// The header line's fields into column; returns the fault.
std::string readHeader(const std::vector<std::string> &names, std::vector<int> &column)
{
    for (const std::string &name : names) {
        const auto known = std::find(kColumns.begin(), kColumns.end(), lowerCase(name));
        if (known == kColumns.end())
            return "unknown column \"" + name + "\" (the columns are name, link, dsp and arm)";
        const int index = static_cast<int>(known - kColumns.begin());
        if (std::find(column.begin(), column.end(), index) != column.end())
            return "column \"" + name + "\" given twice";
        column.push_back(index);
    }
    if (std::find(column.begin(), column.end(), 0) == column.end() ||
        std::find(column.begin(), column.end(), 1) == column.end())
        return "the header line must name the columns name and link";
    return {};
}

// What the rows so far hold, to refuse a second row for one device or one name.
struct Seen
{
    struct Row
    {
        int line = 0;
        std::string text; // as the row wrote it
    };
    std::map<std::string, Row> names; // by the name in lower case: it names a trace file
    std::map<std::string, Row> links; // by linkIdentity
};

// A device row into device; returns the fault.
std::string readRow(const std::vector<std::string> &f, const std::vector<int> &column, int number,
                    Seen &seen, run::DeviceEntry &device, std::array<std::string, 2> &paths)
{
    std::string linkText;
    for (std::size_t i = 0; i < f.size(); ++i) {
        std::string *into[] = {&device.name, &linkText, &paths[0], &paths[1]};
        *into[column[i]] = f[i];
    }
    if (!goodName(device.name))
        return "name \"" + device.name +
               "\": 1 to 64 letters, digits, '.', '-' or '_', not starting with '.'";
    if (const auto [it, added] =
            seen.names.emplace(lowerCase(device.name), Seen::Row{number, device.name});
        !added)
        return "name \"" + device.name + "\" already on line " + std::to_string(it->second.line) +
               (it->second.text == device.name ? "" : " as \"" + it->second.text + "\"");
    if (std::string error = parseLink(linkText, device); !error.empty())
        return error;
    const std::string identity = linkIdentity(device.link);
    if (const auto [it, added] = seen.links.emplace(identity, Seen::Row{number, device.linkText});
        !added) {
        const std::string &there = it->second.text;
        const std::string reached = identity.substr(identity.find(':') + 1);
        return device.linkText + " already on line " + std::to_string(it->second.line) +
               (there == device.linkText ? "" : " as " + there) +
               (reached == device.linkText || reached == there ? "" : " (both " + reached + ")");
    }
    for (int k = 0; k < 2; ++k) {
        if (shown(paths[k]) != paths[k])
            return std::string(k == 0 ? "dsp" : "arm") + " \"" + paths[k] +
                   "\": a file name with control characters or bytes that are not UTF-8";
    }
    return {};
}

std::string readDevices(const std::string &path, const std::string &dsp, const std::string &arm,
                        std::vector<run::DeviceEntry> &devices)
{
    std::ifstream in(systemPath(path), std::ios::binary);
    if (!in)
        return path + ": cannot read the fleet file: " + std::strerror(errno);
    const std::filesystem::path folder = systemPath(path).parent_path();
    std::vector<int> column; // index into kColumns of each field
    Seen seen;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        // A sheet saved as "CSV UTF-8" starts with a byte order mark.
        if (number == 1 && text.rfind(kByteOrderMark, 0) == 0)
            text.erase(0, kByteOrderMark.size());
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::string line = trimmed(text);
        if (line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> f = fields(line);
        if (column.empty()) {
            if (std::string error = readHeader(f, column); !error.empty())
                return where + error;
            continue;
        }
        if (f.size() != column.size())
            return where + std::to_string(f.size()) + " fields, but the header names " +
                   std::to_string(column.size());
        run::DeviceEntry device;
        std::array<std::string, 2> paths; // the row's dsp and arm
        if (std::string error = readRow(f, column, number, seen, device, paths); !error.empty())
            return where + error;
        device.dspPath = paths[0].empty() ? dsp : firmwarePath(paths[0], folder);
        device.armPath = paths[1].empty() ? arm : firmwarePath(paths[1], folder);
        if (device.dspPath.empty() && device.armPath.empty())
            return where + "no firmware for \"" + device.name +
                   "\": give --dsp or --arm, or the row's dsp or arm column";
        devices.push_back(std::move(device));
    }
    if (column.empty())
        return path + ": no header line (name,link and optionally dsp,arm)";
    if (devices.empty())
        return path + ": no devices";
    return {};
}

} // namespace

std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<run::DeviceEntry> &devices)
{
    return shown(readDevices(path, dsp, arm, devices));
}

} // namespace updater::cli
