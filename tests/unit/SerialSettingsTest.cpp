#include <gtest/gtest.h>

#include "SerialTestSupport.h"

using namespace testing_support;

namespace {

const std::string kWindowText =
    "VKT10011152004020001638400016384000000170190000819200000512063026013000000000000000000000000113";

class SerialSettings : public testing::Test {
protected:
    void SetUp() override {
        platform.Fake.SetPorts({1, 2, 7});
        manager = std::make_unique<TCOMManagerInstance>();
        ser = std::make_unique<TSerial>(nullptr);
        // The main window's settings.
        ser->SetCOMPort(1);
        ser->SetBaudrate(115200);
        ser->SetStopBits(TStopBits::sb_2);
    }
    void TearDown() override {
        ser.reset();
        manager.reset();
    }

    // Replaces the characters at pos and writes a fresh check number.
    static std::string Edit(std::string text, std::size_t pos, const std::string& chars) {
        text.replace(pos, chars.size(), chars);
        int x = 0;
        for (int i = 0; i < 92; ++i) x ^= static_cast<unsigned char>(text[i]);
        char check[4];
        std::snprintf(check, sizeof check, "%03d", x);
        return text.substr(0, 92) + check + text.substr(95);
    }

    TSerialSettings Read(const std::string& text) {
        TSerialSettings s;
        ser->TextToSettings(text, s);
        return s;
    }

    TSerialSettings Current() {
        TSerialSettings s;
        ser->GetSettings(s);
        return s;
    }

    comm::TFakePlatformScope platform;
    std::unique_ptr<TCOMManagerInstance> manager;
    std::unique_ptr<TSerial> ser;
};

bool SameSettings(const TSerialSettings& a, const TSerialSettings& b) {
    return a.COMPort == b.COMPort && a.Baudrate == b.Baudrate && a.DataBits == b.DataBits &&
           a.ParityBit == b.ParityBit && a.StopBits == b.StopBits && a.BufSizeTrm == b.BufSizeTrm &&
           a.BufSizeRec == b.BufSizeRec && a.HandshakeRtsCts == b.HandshakeRtsCts &&
           a.HandshakeDtrDsr == b.HandshakeDtrDsr && a.HandshakeXOnXOff == b.HandshakeXOnXOff &&
           a.RTSActive == b.RTSActive && a.DTRActive == b.DTRActive && a.XOnChar == b.XOnChar &&
           a.XOffChar == b.XOffChar && a.XOffLimit == b.XOffLimit && a.XOnLimit == b.XOnLimit &&
           a.ErrorChar == b.ErrorChar && a.EofChar == b.EofChar && a.EventChar == b.EventChar &&
           a.ContinueOnXOff == b.ContinueOnXOff && a.UseErrorChar == b.UseErrorChar &&
           a.EliminateNullChar == b.EliminateNullChar && a.AbortOnError == b.AbortOnError &&
           a.RecTimeOut == b.RecTimeOut && a.TrmTimeOut == b.TrmTimeOut;
}

TEST_F(SerialSettings, TheWindowsSettingsGiveTheirTextAndBack) {
    const TSerialSettings current = Current();
    EXPECT_EQ(current.Valid, 1);
    const std::string text = ser->SettingsToText(current);
    EXPECT_EQ(text, kWindowText);
    EXPECT_EQ(text.size(), 95u);
    const TSerialSettings back = Read(text);
    EXPECT_EQ(back.Valid, 1);
    EXPECT_TRUE(SameSettings(back, current));
}

TEST_F(SerialSettings, EveryFieldAtItsPlace) {
    TSerialSettings s{};
    s.Valid = 1;
    s.COMPort = 12;
    s.Baudrate = 921600;
    s.DataBits = TDataBits::db_7;
    s.ParityBit = TParityBit::space;
    s.StopBits = TStopBits::sb_15;
    s.BufSizeTrm = 4096;
    s.BufSizeRec = 99999999;
    s.HandshakeRtsCts = true;
    s.HandshakeXOnXOff = true;
    s.DTRActive = true;
    s.XOnChar = '\xFF';
    s.XOffChar = 'A';
    s.XOffLimit = 7;
    s.XOnLimit = 6;
    s.ErrorChar = 0;
    s.EofChar = 1;
    s.EventChar = 10;
    s.UseErrorChar = true;
    s.AbortOnError = true;
    s.RecTimeOut = 2147483647;
    s.TrmTimeOut = 5;
    const std::string text = ser->SettingsToText(s);
    ASSERT_EQ(text.size(), 95u);
    EXPECT_EQ(text.substr(0, 92),
              "VKT1" "012" "921600" "341" "00004096" "99999999" "10101" "255" "065" "00000007"
              "00000006" "000" "001" "010" "0101" "2147483647" "0000000005");
    const TSerialSettings back = Read(text);
    EXPECT_EQ(back.Valid, 1);
    EXPECT_TRUE(SameSettings(back, s));
}

TEST_F(SerialSettings, InvalidRecordGivesEmptyText) {
    TSerialSettings s = Current();
    s.Valid = 0;
    EXPECT_EQ(ser->SettingsToText(s), "");
}

TEST_F(SerialSettings, CheckNumberCatchesEverySingleChange) {
    for (std::size_t pos = 0; pos < 92; ++pos) {
        std::string t = kWindowText;
        t[pos] = t[pos] == '0' ? '1' : '0';
        EXPECT_EQ(Read(t).Valid, 0) << pos;
    }
    // Two changes whose codes cancel under XOR: '0'^'2' == '1'^'3'.
    std::string t = kWindowText;
    const char delta = t[20] ^ '2';  // BufSizeTrm 00016384 -> 00016284
    t[20] = '2';
    t[28] ^= delta;  // BufSizeRec 00016384 -> 00016284: both fields stay numbers
    EXPECT_EQ(Read(t).Valid, 1);
}

TEST_F(SerialSettings, RefusedTextsKeepTheCurrentSettings) {
    ser->SetBaudrate(57600);
    const TSerialSettings current = Current();
    const std::string cases[] = {
        "",
        "VKT1",
        "VKT2" + kWindowText.substr(4),
        kWindowText.substr(0, 92) + "114",
        kWindowText.substr(0, 92) + "abc",
        kWindowText.substr(0, 92),            // no check number at all
        kWindowText + std::string(33, '0'),   // 128 characters: longer than the work copy
        kWindowText + std::string(1000, '7'),
    };
    for (const auto& text : cases) {
        const TSerialSettings s = Read(text);
        EXPECT_EQ(s.Valid, 0) << text;
        EXPECT_TRUE(SameSettings(s, current)) << text;
    }
    // Up to 127 characters fit: the text's tail after the check number is not read.
    EXPECT_EQ(Read(kWindowText + std::string(32, 'z')).Valid, 1);
}

TEST_F(SerialSettings, AFailingFieldKeepsTheFieldsBeforeIt) {
    ser->SetCOMPort(2);
    ser->SetBaudrate(9600);
    const TSerialSettings s = Read(Edit(kWindowText, 7, "000045"));
    EXPECT_EQ(s.Valid, 0);
    EXPECT_EQ(s.COMPort, 1);                 // from the text
    EXPECT_EQ(s.Baudrate, 9600);             // current from here on
    EXPECT_EQ(s.StopBits, TStopBits::sb_2);

    const struct {
        std::size_t pos;
        std::string chars;
    } refusals[] = {
        {13, "5"}, {14, "5"}, {15, "3"}, {13, "x"}, {32, "-"}, {16, "1234567z"}, {72, "         -"},
    };
    for (const auto& r : refusals) EXPECT_EQ(Read(Edit(kWindowText, r.pos, r.chars)).Valid, 0) << r.chars;
}

TEST_F(SerialSettings, WideValuesAreCutAndNegativesDoNotReadBack) {
    TSerialSettings s = Current();
    s.BufSizeTrm = 123456789;
    std::string text = ser->SettingsToText(s);
    EXPECT_EQ(text.substr(16, 8), "12345678");
    EXPECT_EQ(Read(text).BufSizeTrm, 12345678);
    EXPECT_EQ(Read(text).Valid, 1);

    s = Current();
    s.RecTimeOut = 77;
    s.TrmTimeOut = -1;
    text = ser->SettingsToText(s);
    EXPECT_EQ(text.substr(82, 10), "00000000-1");
    const TSerialSettings back = Read(text);
    EXPECT_EQ(back.Valid, 0);
    EXPECT_EQ(back.RecTimeOut, 77);  // the field before it was read
    EXPECT_EQ(back.TrmTimeOut, 0);
}

TEST_F(SerialSettings, CharacterFieldsNeverRefuse) {
    const struct {
        std::string chars;
        char expect;
    } cases[] = {{"300", 44}, {"abc", 0}, {"1a2", 1}, {"$41", 'A'}, {"-01", '\xFF'}, {"  9", 9}};
    for (const auto& c : cases) {
        const TSerialSettings s = Read(Edit(kWindowText, 37, c.chars));
        EXPECT_EQ(s.Valid, 1) << c.chars;
        EXPECT_EQ(s.XOnChar, c.expect) << c.chars;
    }
}

TEST_F(SerialSettings, NumbersInEveryNotation) {
    const struct {
        std::string field;  // COMPort, three characters
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"007", true, 7},  {"  7", true, 7}, {" +7", true, 7}, {"-07", true, -7}, {"$0C", true, 12},
        {"x1f", true, 31}, {"X1F", true, 31}, {"0x9", true, 9}, {"0X9", true, 9}, {"   ", false, 0},
        {" + ", false, 0}, {"$  ", false, 0}, {"0x ", false, 0}, {"7 7", false, 0}, {"1.5", false, 0},
    };
    for (const auto& c : cases) {
        const TSerialSettings s = Read(Edit(kWindowText, 4, c.field));
        EXPECT_EQ(s.Valid != 0, c.ok) << c.field;
        if (c.ok) {
            EXPECT_EQ(s.COMPort, c.value) << c.field;
        }
    }
    // Decimal beyond 32 bits fails; hexadecimal may fill all 32.
    EXPECT_EQ(Read(Edit(kWindowText, 72, "2147483648")).Valid, 0);
    EXPECT_EQ(Read(Edit(kWindowText, 72, "2147483647")).RecTimeOut, 2147483647);
    EXPECT_EQ(Read(Edit(kWindowText, 72, "-214748364")).RecTimeOut, -214748364);
    EXPECT_EQ(Read(Edit(kWindowText, 72, "$FFFFFFFF ")).Valid, 0);   // a blank after the digits
    EXPECT_EQ(Read(Edit(kWindowText, 72, "0$FFFFFFFF")).Valid, 0);
    EXPECT_EQ(Read(Edit(kWindowText, 72, " $FFFFFFFF")).RecTimeOut, -1);
    EXPECT_EQ(Read(Edit(kWindowText, 72, "$100000000")).Valid, 0);
}

TEST_F(SerialSettings, SetSettingsAppliesTheSettersInRecordOrder) {
    TSerialSettings s = Current();
    s.BufSizeRec = 16384;
    s.XOffLimit = 300;  // adjusted against the current XOnLimit 512 ...
    s.XOnLimit = 100;   // ... before this one is written
    s.COMPort = 5;      // not listed: ignored
    s.Baudrate = 250000;
    s.ParityBit = TParityBit::even;
    s.TrmTimeOut = -3;
    ser->SetSettings(s);
    EXPECT_EQ(ser->XOffLimit(), 513);
    EXPECT_EQ(ser->XOnLimit(), 100);
    EXPECT_EQ(ser->COMPort(), 1);
    EXPECT_EQ(ser->Baudrate(), 256000);
    EXPECT_TRUE(ser->ParityCheck());
    EXPECT_EQ(ser->TrmTimeOut(), 0);

    s.Valid = 0;
    s.Baudrate = 300;
    ser->SetSettings(s);
    EXPECT_EQ(ser->Baudrate(), 256000);
}

}  // namespace
