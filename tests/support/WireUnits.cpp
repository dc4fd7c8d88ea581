#include "WireUnits.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace testsupport {

Bytes eraseCommand()
{
    return {0xFA, 0x66, 0x6C, 0x61, 0x73, 0x68, 0x62, 0x96};
}

Bytes record(const std::string &hexDigits)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hexDigits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hexDigits.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes wakeUp()
{
    return {0xFE, 0xFD, 0xFC};
}

Bytes headerBlock()
{
    Bytes b(133, 0x00);
    b[0] = 0x01;
    b[2] = 0xFF;
    const std::string name = "Project.bin";
    const std::string length = "125600";
    std::copy(name.begin(), name.end(), b.begin() + 3);
    std::copy(length.begin(), length.end(), b.begin() + 15);
    b[131] = 0x99;
    b[132] = 0xC9;
    return b;
}

Bytes endBlock()
{
    Bytes b(133, 0x00);
    b[0] = 0x01;
    b[2] = 0xFF;
    return b;
}

Bytes dataBlock(int n, const Bytes &payload)
{
    Bytes b = {0x02, static_cast<std::uint8_t>(n & 0xFF),
               static_cast<std::uint8_t>(0xFF - (n & 0xFF))};
    b.insert(b.end(), payload.begin(), payload.end());
    b.resize(3 + 1024, 0x1A);
    b.push_back(0x1A);
    b.push_back(0x10);
    return b;
}

Bytes randomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    Bytes out(count);
    for (auto &b : out)
        b = static_cast<std::uint8_t>(generator() & 0xFF);
    return out;
}

std::string hexText(const Bytes &data)
{
    std::string text;
    char digits[8];
    for (std::size_t at = 0; at < data.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, data.size() - at);
        Bytes r = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(at >> 8),
                   static_cast<std::uint8_t>(at & 0xFF), 0x00};
        r.insert(r.end(), data.begin() + static_cast<long>(at),
                 data.begin() + static_cast<long>(at + n));
        unsigned sum = 0;
        for (auto b : r)
            sum += b;
        r.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
        text += ":";
        for (auto b : r) {
            std::snprintf(digits, sizeof digits, "%02X", b);
            text += digits;
        }
        text += "\r\n";
    }
    return text + ":00000001FF\r\n";
}

std::string hexOfRecords(int records)
{
    Bytes data;
    for (int r = 0; r < records; ++r)
        for (int i = 0; i < 16; ++i)
            data.push_back(static_cast<std::uint8_t>(r * 7 + i * 13));
    return hexText(data);
}

} // namespace testsupport
