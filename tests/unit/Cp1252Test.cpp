#include "Cp1252.h"

#include <gtest/gtest.h>

using namespace rt;

TEST(Cp1252, RoundTripsTheOperatorsCharacters) {
    const struct {
        std::string utf8;
        std::string cp1252;
    } cases[] = {
        {"Q7M!_X295836H4F_Z8W", "Q7M!_X295836H4F_Z8W"},
        {"Menü: Geräte Übertragen ß", "Men\xFC: Ger\xE4te \xDC" "bertragen \xDF"},
        {"€ „x“ – ™", "\x80 \x84x\x93 \x96 \x99"},
        {"\xC2\x81", "\x81"},  // undefined in CP1252: kept as the C1 control
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToCp1252(c.utf8), c.cp1252) << c.utf8;
        EXPECT_EQ(Cp1252ToUtf8(c.cp1252), c.utf8) << c.utf8;
    }
}

TEST(Cp1252, RefusesWhatItCannotRepresent) {
    for (const char* bad : {"\xE4\xB8\xAD",      // CJK
                            "\xFC",              // a CP1252 byte, not UTF-8
                            "\xC3",              // truncated
                            "\xC0\x80",          // overlong NUL
                            "\xF0\x9F\x98\x80"}) // emoji
        EXPECT_FALSE(Utf8ToCp1252(bad).has_value()) << testing::PrintToString(std::string(bad));
}
