#include "FleetFile.h"

#include "CliOptions.h"
#include "PortName.h"
#include "SystemFile.h"

#include <QCryptographicHash>
#include <QList>
#include <QString>

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

// The fields of a CSV line; a field in double quotes may hold the separator, "" is
// a quote.
std::vector<std::string> fields(const std::string &line, char separator)
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
        } else if (c == separator && !quoted) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    for (auto &f : out)
        f = trimmed(f);
    return out;
}

// The separator of a file, from its header line: ';' where the line holds more
// semicolons than commas outside quotes (a sheet saved where the comma is the
// decimal mark), else ','.
char separatorOf(const std::string &header)
{
    std::size_t commas = 0;
    std::size_t semicolons = 0;
    bool quoted = false;
    for (const char c : header) {
        quoted = c == '"' ? !quoted : quoted;
        commas += !quoted && c == ',' ? 1 : 0;
        semicolons += !quoted && c == ';' ? 1 : 0;
    }
    return semicolons > commas ? ';' : ',';
}

// A row of empty cells, as a sheet saves the blank rows between its devices.
bool blank(const std::vector<std::string> &f)
{
    return std::all_of(f.begin(), f.end(), [](const std::string &x) { return x.empty(); });
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

// The name as it is compared with the others: two names that differ only in case
// or in how an accented letter is encoded name one device (and one trace file on
// some systems).
QString nameKey(const std::string &name)
{
    return QString::fromStdString(name).normalized(QString::NormalizationForm_C).toCaseFolded();
}

// 1 to 64 letters, digits and marks of any script, spaces, '.', '-' or '_', a
// letter, digit, '-' or '_' first.
bool isMark(uint c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

bool goodName(const std::string &name)
{
    if (name.empty() || shown(name) != name)
        return false;
    const QList<uint> points =
        QString::fromStdString(name).normalized(QString::NormalizationForm_C).toUcs4();
    if (points.size() > 64 || points.front() == '.' || points.front() == ' ' ||
        isMark(points.front()))
        return false;
    return std::all_of(points.begin(), points.end(), [](uint c) {
        return QChar::isLetterOrNumber(c) || isMark(c) || c == ' ' || c == '.' || c == '-' ||
               c == '_';
    });
}

// Windows opens a device for these names whatever follows the first dot.
bool reservedOnWindows(const std::string &fileName)
{
    const std::string stem = lowerCase(fileName.substr(0, fileName.find('.')));
    const bool numbered = stem.size() == 4 &&
                          (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) &&
                          stem[3] >= '1' && stem[3] <= '9';
    return numbered || stem == "con" || stem == "prn" || stem == "aux" || stem == "nul";
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

// What the rows so far hold, to refuse a second row for one device, one name or
// one trace file.
struct Seen
{
    struct Row
    {
        int line = 0;
        std::string text; // as the row wrote it
    };
    std::map<QString, Row> names;      // by nameKey
    std::map<std::string, Row> links;  // by linkIdentity
    std::map<std::string, Row> traces; // by the trace file's name in lower case
};

std::string alreadyOn(const Seen::Row &there, const std::string &here)
{
    return " already on line " + std::to_string(there.line) +
           (there.text == here ? "" : " as \"" + there.text + "\"");
}

// The row's name into device; returns the fault.
std::string readName(int number, Seen &seen, run::DeviceEntry &device)
{
    const std::string &name = device.name;
    if (!goodName(name))
        return "name \"" + name +
               "\": 1 to 64 letters or digits of any script, spaces, '.', '-' or '_', not "
               "starting with '.'";
    if (const auto [it, added] = seen.names.emplace(nameKey(name), Seen::Row{number, name}); !added)
        return "name \"" + name + "\"" + alreadyOn(it->second, name);
    const std::string trace = traceFileName(name);
    if (const auto [it, added] = seen.traces.emplace(lowerCase(trace), Seen::Row{number, name});
        !added)
        return "name \"" + name + "\": its trace file " + trace + " is that of \"" +
               it->second.text + "\" on line " + std::to_string(it->second.line);
    return {};
}

// A device row into device; returns the fault.
std::string readRow(const std::vector<std::string> &f, const std::vector<int> &column, int number,
                    Seen &seen, run::DeviceEntry &device, std::array<std::string, 2> &paths)
{
    std::string linkText;
    for (std::size_t i = 0; i < f.size(); ++i) {
        std::string *into[] = {&device.name, &linkText, &paths[0], &paths[1]};
        *into[column[i]] = f[i];
    }
    if (std::string error = readName(number, seen, device); !error.empty())
        return error;
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

// The row's own firmware files, from the fleet file's folder, and the command
// line's for the others; returns the fault.
std::string firmwareOf(const std::array<std::string, 2> &paths, const std::filesystem::path &folder,
                       const std::string &dsp, const std::string &arm, run::DeviceEntry &device)
{
    std::string *into[] = {&device.dspPath, &device.armPath};
    for (int k = 0; k < 2; ++k) {
        *into[k] = paths[k].empty() ? (k == 0 ? dsp : arm) : firmwarePath(paths[k], folder);
        std::error_code error;
        if (!paths[k].empty() && !std::filesystem::exists(*into[k], error) && !error)
            return std::string(k == 0 ? "dsp" : "arm") + " file " + *into[k] + ": no such file";
    }
    if (device.dspPath.empty() && device.armPath.empty())
        return "no firmware for \"" + device.name +
               "\": give --dsp or --arm, or the row's dsp or arm column";
    return {};
}

// Every fault of the file, a line each, naming the file and the line.
std::string readDevices(const std::string &path, const std::string &dsp, const std::string &arm,
                        std::vector<run::DeviceEntry> &devices)
{
    std::ifstream in(systemPath(path), std::ios::binary);
    if (!in)
        return shown(path + ": cannot read the fleet file: " + std::strerror(errno));
    const std::filesystem::path folder = systemPath(path).parent_path();
    std::vector<int> column; // index into kColumns of each field
    char separator = ',';
    Seen seen;
    std::string faults;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        // A sheet saved as "CSV UTF-8" starts with a byte order mark.
        if (number == 1 && text.rfind(kByteOrderMark, 0) == 0)
            text.erase(0, kByteOrderMark.size());
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string line = trimmed(text);
        if (line.empty() || line[0] == '#' || line.find_first_not_of(",; \t\"") == line.npos)
            continue;
        if (column.empty())
            separator = separatorOf(line);
        std::vector<std::string> f = fields(line, separator);
        if (blank(f))
            continue;
        // The empty columns a sheet saves after its last.
        while (f.size() > std::max<std::size_t>(column.size(), 1) && f.back().empty())
            f.pop_back();
        if (column.empty()) {
            if (std::string error = readHeader(f, column); !error.empty())
                return shown(where + error);
            continue;
        }
        if (f.size() != column.size()) {
            faults += shown(where + std::to_string(f.size()) + " fields, but the header names " +
                            std::to_string(column.size())) +
                      "\n";
            continue;
        }
        run::DeviceEntry device;
        std::array<std::string, 2> paths; // the row's dsp and arm
        std::string error = readRow(f, column, number, seen, device, paths);
        if (error.empty())
            error = firmwareOf(paths, folder, dsp, arm, device);
        if (error.empty())
            devices.push_back(std::move(device));
        else
            faults += shown(where + error) + "\n";
    }
    if (column.empty())
        return shown(path + ": no header line (name,link and optionally dsp,arm)");
    if (!faults.empty()) {
        devices.clear();
        faults.pop_back();
        return faults;
    }
    if (devices.empty())
        return shown(path + ": no devices");
    return {};
}

} // namespace

std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<run::DeviceEntry> &devices)
{
    return readDevices(path, dsp, arm, devices);
}

std::string traceFileName(const std::string &name)
{
    // Letters folded to ASCII where they decompose to it (ü to u), marks dropped,
    // anything else but a letter, digit, '.', '-' or '_' of ASCII is '_'.
    std::string safe;
    const QString decomposed =
        QString::fromStdString(name).normalized(QString::NormalizationForm_KD);
    for (const uint c : decomposed.toUcs4()) {
        if (isMark(c))
            continue;
        const bool plain = c < 0x80 && (std::isalnum(static_cast<int>(c)) != 0 || c == '.' ||
                                        c == '-' || c == '_');
        safe += plain ? static_cast<char>(c) : '_';
    }
    safe = safe.substr(0, 64);
    // A name that is not its own file name gets part of a hash of it: two names
    // folded alike ("a b" and "a_b") keep a file each.
    if (safe != name || reservedOnWindows(safe)) {
        const QByteArray hash =
            QCryptographicHash::hash(QByteArray::fromStdString(name), QCryptographicHash::Sha256);
        safe += "-" + hash.toHex().left(8).toStdString();
    }
    return safe + ".trace";
}

} // namespace updater::cli
