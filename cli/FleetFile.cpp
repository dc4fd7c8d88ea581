#include "FleetFile.h"

#include "CliOptions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace updater::cli {

namespace {

constexpr std::array<const char *, 4> kColumns = {"name", "link", "dsp", "arm"};

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

bool goodName(const std::string &name)
{
    return !name.empty() && name.size() <= 64 && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '.' || c == '-' || c == '_';
           });
}

// The link column into device; returns the fault.
std::string parseLink(const std::string &text, run::DeviceSpec &device)
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
    device.link = linkSpec(l);
    device.linkText = kind == "tcp"      ? l.tcpAddress + ":" + std::to_string(l.tcpPort)
                      : l.comNumber != 0 ? "COM" + std::to_string(l.comNumber)
                                         : l.serialPath;
    return {};
}

std::string firmwarePath(const std::string &given, const std::filesystem::path &folder)
{
    const std::filesystem::path p(given);
    return p.is_relative() ? (folder / p).lexically_normal().string() : given;
}

} // namespace

std::string readFleetFile(const std::string &path, const std::string &dsp, const std::string &arm,
                          std::vector<run::DeviceSpec> &devices)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return path + ": cannot read the fleet file: " + std::strerror(errno);
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::vector<int> column; // index into kColumns of each field
    std::map<std::string, int> names, links;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::string line = trimmed(text);
        if (line.empty() || line[0] == '#')
            continue;
        const std::vector<std::string> f = fields(line);
        if (column.empty()) {
            for (const std::string &name : f) {
                const auto known = std::find(kColumns.begin(), kColumns.end(), name);
                if (known == kColumns.end())
                    return where + "unknown column \"" + name +
                           "\" (the columns are name, link, dsp and arm)";
                const int index = static_cast<int>(known - kColumns.begin());
                if (std::find(column.begin(), column.end(), index) != column.end())
                    return where + "column \"" + name + "\" given twice";
                column.push_back(index);
            }
            if (std::find(column.begin(), column.end(), 0) == column.end() ||
                std::find(column.begin(), column.end(), 1) == column.end())
                return where + "the header line must name the columns name and link";
            continue;
        }
        if (f.size() != column.size())
            return where + std::to_string(f.size()) + " fields, but the header names " +
                   std::to_string(column.size());
        run::DeviceSpec device;
        std::string linkText, rowDsp, rowArm;
        for (std::size_t i = 0; i < f.size(); ++i) {
            std::string *into[] = {&device.name, &linkText, &rowDsp, &rowArm};
            *into[column[i]] = f[i];
        }
        if (!goodName(device.name))
            return where + "name \"" + device.name +
                   "\": 1 to 64 letters, digits, '.', '-' or '_', not starting with '.'";
        if (const auto [it, added] = names.emplace(device.name, number); !added)
            return where + "name \"" + device.name + "\" already on line " +
                   std::to_string(it->second);
        if (std::string error = parseLink(linkText, device); !error.empty())
            return where + error;
        if (const auto [it, added] = links.emplace(device.linkText, number); !added)
            return where + device.linkText + " already on line " + std::to_string(it->second);
        device.dspPath = rowDsp.empty() ? dsp : firmwarePath(rowDsp, folder);
        device.armPath = rowArm.empty() ? arm : firmwarePath(rowArm, folder);
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

} // namespace updater::cli
