#include "HexReader.h"

#include <array>
#include <cstring>

#include "FileIO.h"
#include "Format.h"
#include "RomImage.h"

namespace {

constexpr std::size_t kRecordBytes = 260;  // the longest record: 255 data bytes
constexpr std::size_t kMaxDigits = 2 * kRecordBytes;
constexpr std::uint8_t kNoDigit = 0xFF;  // any value with high bits set

constexpr std::array<std::uint8_t, 256> MakeDigitTable() {
    std::array<std::uint8_t, 256> t{};
    for (auto& v : t) v = kNoDigit;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = t[c + ('a' - 'A')] = static_cast<std::uint8_t>(c - 'A' + 10);
    return t;
}
constexpr auto kDigit = MakeDigitTable();

[[noreturn]] void Fault(THexOutput& out, const std::string& message) {
    out.AddLine(message);
    throw rt::EAbort();
}

}  // namespace

THexRecord dointel(std::string_view line, THexOutput& out) {
    std::uint8_t rec[kRecordBytes] = {};

    if (line.empty() || line[0] != ':') Fault(out, "Zeile ist kein Intel Hex");
    if (line.size() - 1 > kMaxDigits) Fault(out, "Zeile ist zu lang");

    // Each digit pair forms one byte, first digit high; a lone last digit forms a byte of its
    // own value. Bytes past the record stay zero, so the sum over all 260 bytes is the sum over
    // the decoded ones, the checksum included.
    const char* digits = line.data() + 1;
    const std::size_t count = line.size() - 1;
    std::uint8_t sum = 0;
    std::size_t m = 0;
    for (; 2 * m + 1 < count; ++m) {
        const std::uint8_t hi = kDigit[static_cast<unsigned char>(digits[2 * m])];
        const std::uint8_t lo = kDigit[static_cast<unsigned char>(digits[2 * m + 1])];
        if ((hi | lo) & 0xF0) Fault(out, "ungültiges Zeichen in Datei");
        rec[m] = static_cast<std::uint8_t>(hi << 4 | lo);
        sum = static_cast<std::uint8_t>(sum + rec[m]);
    }
    if (count % 2) {
        const std::uint8_t v = kDigit[static_cast<unsigned char>(digits[count - 1])];
        if (v == kNoDigit) Fault(out, "ungültiges Zeichen in Datei");
        rec[m] = v;
        sum = static_cast<std::uint8_t>(sum + v);
    }
    if (sum != 0) Fault(out, "Checksumme stimmt nicht");

    THexRecord r;
    r.length = rec[0];
    r.type = rec[3];
    switch (r.type) {
        case 0x00: {
            if (EndRecordSeen) Fault(out, "weitere Zeilen nach Ende-Markierung");
            const std::uint32_t n = rec[0];
            r.address = (std::uint32_t{UpperAddress} << 16) + (std::uint32_t{rec[1]} << 8) + rec[2];
            if (std::int64_t{r.address} >= AddressLimit) break;
            if (std::uint64_t{r.address} + n > kRomImageSize)
                Fault(out, "Adresse liegt außerhalb des Speichers");
            std::memcpy(RomImage + r.address, rec + 4, n);
            MarkImageWritten(r.address, r.address + n);
            if (std::int64_t{r.address} > LastAddress)
                LastAddress = static_cast<std::int32_t>(r.address + n) - 1;
            r.stored = true;
            break;
        }
        case 0x01:
            if (rec[0] != 0 || rec[1] != 0 || rec[2] != 0) Fault(out, "Ende-Markierung fehlerhaft");
            EndRecordSeen = true;
            break;
        case 0x04:
            if (rec[0] != 2 || rec[1] != 0 || rec[2] != 0)
                Fault(out, "Zeile mit Typ 04 ist fehlerhaft");
            UpperAddress = static_cast<std::uint16_t>((rec[4] << 8) | rec[5]);
            break;
        default:
            Fault(out, "Datentyp " + std::to_string(r.type) + " wird nicht unterstützt");
    }
    return r;
}

namespace {

void ListImage(THexOutput& out) {
    // Four device words a row, most significant byte first; the label is the row's device
    // address. The fourth byte of each group carries nothing and is not shown.
    std::string row;
    const std::uint32_t rows = static_cast<std::uint32_t>(LastAddress) / 16;
    for (std::uint32_t r = 0; r <= rows; ++r) {
        row = rt::IntToHex(8ull * r, 4);
        row += ": ";
        const std::uint8_t* g = RomImage + 16ull * r;
        for (int j = 0; j < 4; ++j, g += 4) {
            for (int b = 2; b >= 0; --b) row += rt::IntToHex(g[b], 2);
            row += "  ";
        }
        out.AddLine(row);
    }
}

}  // namespace

THexLoadResult LoadHex(const std::string& fileName, std::int32_t limit, THexOutput& out) {
    AddressLimit = limit;
    out.SetStatus("Lade :  " + fileName);
    LastAddress = 0;
    std::memset(RomImage, kHexFill, kHexFillEnd);
    MarkImageWritten(0, kHexFillEnd);
    EndRecordSeen = false;
    UpperAddress = 0;

    rt::TTextReader file(fileName);
    THexLoadResult result;
    std::string line;
    while (result.faultLine == 0 && !file.Eof()) {
        file.ReadLine(line);
        ++result.lines;
        try {
            const THexRecord r = dointel(line, out);
            if (r.stored && r.length > 0) {
                const std::uint32_t high = r.address + r.length - 1;
                if (result.dataRecords == 0 || r.address < result.lowAddress)
                    result.lowAddress = r.address;
                if (result.dataRecords == 0 || high > result.highAddress) result.highAddress = high;
                ++result.dataRecords;
            }
        } catch (...) {
            out.AddLine("Zeile Nr. " + std::to_string(result.lines));
            result.faultLine = result.lines;
        }
    }
    file.Close();
    if (result.faultLine != 0) return result;

    if (out.ShowHex()) ListImage(out);
    out.SetStatus("Letzte Adresse: $" + rt::IntToHex(static_cast<std::uint32_t>(LastAddress) / 2, 6));
    return result;
}
