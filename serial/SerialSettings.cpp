// The settings record and its text: "VKT1", every setting as a zero-padded decimal field at a
// fixed position, and a three-digit check number, 95 characters in all.

#include <cstring>
#include <type_traits>

#include "Serial.h"

namespace {

constexpr std::size_t kWork = 128;  // the work copy; a text must leave room for its end
constexpr char kPrefix[] = "VKT1";
constexpr int kCheckPos = 92;

// Decimal text of value with "0" put in front up to width, cut to its first width characters.
void PutNumber(char* text, int pos, int width, long long value) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
    std::memcpy(text + pos, digits.data(), static_cast<std::size_t>(width));
}

void PutChar(char* text, int pos, char c) { PutNumber(text, pos, 3, static_cast<unsigned char>(c)); }

int CheckNumber(const char* text) {
    int x = 0;
    for (int i = 0; i < kCheckPos; ++i) x ^= static_cast<unsigned char>(text[i]);
    return x;
}

struct TNumber {
    bool ok;
    std::int32_t value;  // when not ok: what the conversion reached before it stopped
};

// A field read as a signed 32-bit number, up to its first code 0: leading blanks, an optional
// sign, decimal digits, or hexadecimal ones after "$", "x", "X", "0x" or "0X".
TNumber ReadNumber(const char* text, int pos, int width) {
    const char* p = text + pos;
    const void* nul = std::memchr(p, 0, static_cast<std::size_t>(width));
    const char* const end = nul ? static_cast<const char*>(nul) : p + width;
    while (p < end && *p == ' ') ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int base = 10;
    if (p < end && (*p == '$' || *p == 'x' || *p == 'X')) {
        base = 16;
        ++p;
    } else if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    std::uint64_t value = 0;
    bool digits = false;
    const auto result = [&](bool ok) {
        const auto v = static_cast<std::uint32_t>(value);
        return TNumber{ok, static_cast<std::int32_t>(negative ? 0u - v : v)};
    };
    for (; p < end; ++p) {
        int d;
        if (*p >= '0' && *p <= '9') d = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
        else return result(false);
        const std::uint64_t next = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        const std::uint64_t limit = base == 16 ? 0xFFFFFFFFull : negative ? 0x80000000ull : 0x7FFFFFFFull;
        if (next > limit) return result(false);
        value = next;
        digits = true;
    }
    return result(digits);
}

}  // namespace

void TSerial::GetSettings(TSerialSettings& s) {
    s.Valid = 1;
    s.COMPort = COMPort();
    s.Baudrate = Baudrate();
    s.DataBits = DataBits();
    s.ParityBit = ParityBit();
    s.StopBits = StopBits();
    s.BufSizeTrm = BufSizeTrm();
    s.BufSizeRec = BufSizeRec();
    s.HandshakeRtsCts = HandshakeRtsCts();
    s.HandshakeDtrDsr = HandshakeDtrDsr();
    s.HandshakeXOnXOff = HandshakeXOnXOff();
    s.RTSActive = RTSActive();
    s.DTRActive = DTRActive();
    s.XOnChar = XOnChar();
    s.XOffChar = XOffChar();
    s.XOffLimit = XOffLimit();
    s.XOnLimit = XOnLimit();
    s.ErrorChar = ErrorChar();
    s.EofChar = EofChar();
    s.EventChar = EventChar();
    s.ContinueOnXOff = ContinueOnXOff();
    s.UseErrorChar = UseErrorChar();
    s.EliminateNullChar = EliminateNullChar();
    s.AbortOnError = AbortOnError();
    s.RecTimeOut = RecTimeOut();
    s.TrmTimeOut = TrmTimeOut();
}

// Through the setters, in record order: each limit is adjusted against the values current at
// the moment it is written.
void TSerial::SetSettings(TSerialSettings s) {
    if (s.Valid == 0) return;
    SetCOMPort(s.COMPort);
    SetBaudrate(s.Baudrate);
    SetDataBits(s.DataBits);
    SetParityBit(s.ParityBit);
    SetStopBits(s.StopBits);
    SetBufSizeTrm(s.BufSizeTrm);
    SetBufSizeRec(s.BufSizeRec);
    SetHandshakeRtsCts(s.HandshakeRtsCts);
    SetHandshakeDtrDsr(s.HandshakeDtrDsr);
    SetHandshakeXOnXOff(s.HandshakeXOnXOff);
    SetRTSActive(s.RTSActive);
    SetDTRActive(s.DTRActive);
    SetXOnChar(s.XOnChar);
    SetXOffChar(s.XOffChar);
    SetXOffLimit(s.XOffLimit);
    SetXOnLimit(s.XOnLimit);
    SetErrorChar(s.ErrorChar);
    SetEofChar(s.EofChar);
    SetEventChar(s.EventChar);
    SetContinueOnXOff(s.ContinueOnXOff);
    SetUseErrorChar(s.UseErrorChar);
    SetEliminateNullChar(s.EliminateNullChar);
    SetAbortOnError(s.AbortOnError);
    SetRecTimeOut(s.RecTimeOut);
    SetTrmTimeOut(s.TrmTimeOut);
}

std::string TSerial::SettingsToText(TSerialSettings s) {
    if (s.Valid == 0) return {};
    char t[kWork] = {};
    std::memcpy(t, kPrefix, 4);
    PutNumber(t, 4, 3, s.COMPort);
    PutNumber(t, 7, 6, s.Baudrate);
    PutNumber(t, 13, 1, static_cast<int>(s.DataBits));
    PutNumber(t, 14, 1, static_cast<int>(s.ParityBit));
    PutNumber(t, 15, 1, static_cast<int>(s.StopBits));
    PutNumber(t, 16, 8, s.BufSizeTrm);
    PutNumber(t, 24, 8, s.BufSizeRec);
    PutNumber(t, 32, 1, s.HandshakeRtsCts);
    PutNumber(t, 33, 1, s.HandshakeDtrDsr);
    PutNumber(t, 34, 1, s.HandshakeXOnXOff);
    PutNumber(t, 35, 1, s.RTSActive);
    PutNumber(t, 36, 1, s.DTRActive);
    PutChar(t, 37, s.XOnChar);
    PutChar(t, 40, s.XOffChar);
    PutNumber(t, 43, 8, s.XOffLimit);
    PutNumber(t, 51, 8, s.XOnLimit);
    PutChar(t, 59, s.ErrorChar);
    PutChar(t, 62, s.EofChar);
    PutChar(t, 65, s.EventChar);
    PutNumber(t, 68, 1, s.ContinueOnXOff);
    PutNumber(t, 69, 1, s.UseErrorChar);
    PutNumber(t, 70, 1, s.EliminateNullChar);
    PutNumber(t, 71, 1, s.AbortOnError);
    PutNumber(t, 72, 10, s.RecTimeOut);
    PutNumber(t, 82, 10, s.TrmTimeOut);
    PutNumber(t, kCheckPos, 3, CheckNumber(t));
    return std::string(t);
}

void TSerial::TextToSettings(const std::string& text, TSerialSettings& s) {
    GetSettings(s);
    s.Valid = 0;
    // Too short to hold anything, or too long for the work copy: refused.
    if (text.size() <= 4 || text.size() >= kWork) return;
    char w[kWork] = {};
    std::memcpy(w, text.data(), text.size());
    if (std::memcmp(w, kPrefix, 4) != 0) return;
    const TNumber check = ReadNumber(w, kCheckPos, 3);
    if (!check.ok || check.value != CheckNumber(w)) return;

    // Each field in layout order; the first that fails ends the reading.
    const auto number = [&](int pos, int width, std::int32_t& out) {
        const TNumber n = ReadNumber(w, pos, width);
        if (n.ok) out = n.value;
        return n.ok;
    };
    const auto flag = [&](int pos, bool& out) {
        const TNumber n = ReadNumber(w, pos, 1);
        if (n.ok) out = n.value > 0;
        return n.ok;
    };
    const auto ordinal = [&](int pos, std::int32_t below, auto& out) {
        const TNumber n = ReadNumber(w, pos, 1);
        if (!n.ok || n.value < 0 || n.value >= below) return false;
        out = static_cast<std::remove_reference_t<decltype(out)>>(n.value);
        return true;
    };
    // No test of its own: what the conversion reached, low 8 bits.
    const auto character = [&](int pos, char& out) {
        out = static_cast<char>(ReadNumber(w, pos, 3).value & 0xFF);
        return true;
    };
    const auto baudrate = [&](int pos, std::int32_t& out) {
        const TNumber n = ReadNumber(w, pos, 6);
        if (!n.ok || n.value < 50 || n.value > 921600) return false;
        out = n.value;
        return true;
    };

    const bool ok = number(4, 3, s.COMPort) && baudrate(7, s.Baudrate) &&
                    ordinal(13, 5, s.DataBits) && ordinal(14, 5, s.ParityBit) &&
                    ordinal(15, 3, s.StopBits) && number(16, 8, s.BufSizeTrm) &&
                    number(24, 8, s.BufSizeRec) && flag(32, s.HandshakeRtsCts) &&
                    flag(33, s.HandshakeDtrDsr) && flag(34, s.HandshakeXOnXOff) &&
                    flag(35, s.RTSActive) && flag(36, s.DTRActive) && character(37, s.XOnChar) &&
                    character(40, s.XOffChar) && number(43, 8, s.XOffLimit) &&
                    number(51, 8, s.XOnLimit) && character(59, s.ErrorChar) &&
                    character(62, s.EofChar) && character(65, s.EventChar) &&
                    flag(68, s.ContinueOnXOff) && flag(69, s.UseErrorChar) &&
                    flag(70, s.EliminateNullChar) && flag(71, s.AbortOnError) &&
                    number(72, 10, s.RecTimeOut) && number(82, 10, s.TrmTimeOut);
    if (ok) s.Valid = 1;
}
