#include "HexReader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "Exception.h"
#include "FileIO.h"
#include "HexTestSupport.h"
#include "RomImage.h"
#include "TestFiles.h"

using namespace testing_support;

namespace {

class HexReader : public testing::Test {
protected:
    void SetUp() override {
        ResetImageStore();
        AddressLimit = 0x7FFFFFFF;
    }

    // Feeds lines to dointel as LoadHex does; returns the fault message, empty when all passed.
    std::string Feed(const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            const std::size_t before = out.Log.size();
            try {
                dointel(line, out);
            } catch (const rt::EAbort&) {
                EXPECT_EQ(out.Log.size(), before + 1);
                return out.Log.back();
            }
            EXPECT_EQ(out.Log.size(), before) << "a passing line logged something";
        }
        return {};
    }

    std::vector<std::uint8_t> Bytes(std::uint32_t offset, std::size_t n) const {
        return {RomImage + offset, RomImage + offset + n};
    }

    static bool AllAre(std::uint32_t begin, std::uint32_t end, std::uint8_t value) {
        return std::all_of(RomImage + begin, RomImage + end,
                           [value](std::uint8_t b) { return b == value; });
    }

    TRecordingOutput out;
};

TEST_F(HexReader, EveryFaultHasItsMessageAndStoresNothing) {
    const std::string maxLine = ":" + std::string(520, '0');
    const struct {
        std::vector<std::string> lines;
        std::string message;
    } cases[] = {
        {{""}, "Zeile ist kein Intel Hex"},
        {{"0400000001020304F2"}, "Zeile ist kein Intel Hex"},
        {{" :0400000001020304F2"}, "Zeile ist kein Intel Hex"},
        {{":04000000010203G4F2"}, "ungültiges Zeichen in Datei"},
        {{":0400000001020304F2\r"}, "ungültiges Zeichen in Datei"},
        {{":0400000001020304F2 "}, "ungültiges Zeichen in Datei"},
        {{"::"}, "ungültiges Zeichen in Datei"},
        {{":0400000001020304F3"}, "Checksumme stimmt nicht"},
        {{":0400000001020304F201"}, "Checksumme stimmt nicht"},   // extra pair counts
        {{":0400000001020304F21"}, "Checksumme stimmt nicht"},    // so does a lone digit
        {{":00000001FF", DataLine(0, {1})}, "weitere Zeilen nach Ende-Markierung"},
        {{HexLine(0x01, 0x0001, {})}, "Ende-Markierung fehlerhaft"},
        {{HexLine(0x01, 0, {0})}, "Ende-Markierung fehlerhaft"},
        {{HexLine(0x04, 0x0001, {0, 1})}, "Zeile mit Typ 04 ist fehlerhaft"},
        {{HexLine(0x04, 0, {0, 1, 0, 0})}, "Zeile mit Typ 04 ist fehlerhaft"},
        {{HexLine(0x04, 0, {1})}, "Zeile mit Typ 04 ist fehlerhaft"},
        {{":020000021000EC"}, "Datentyp 2 wird nicht unterstützt"},
        {{HexLine(0x03, 0, {0, 0, 0, 0})}, "Datentyp 3 wird nicht unterstützt"},
        {{HexLine(0x05, 0, {0, 0, 0, 0})}, "Datentyp 5 wird nicht unterstützt"},
        {{HexLine(0xFF, 0, {})}, "Datentyp 255 wird nicht unterstützt"},
        {{maxLine + "0"}, "Zeile ist zu lang"},
        {{maxLine + "00"}, "Zeile ist zu lang"},
        // Past the end of RomImage, which a limit of 0x7FFFFFFF would let through.
        {{UpperLine(0x2000), DataLine(0, {1})}, "Adresse liegt außerhalb des Speichers"},
        {{UpperLine(0x1FFF), DataLine(0xFFFF, {1, 2})}, "Adresse liegt außerhalb des Speichers"},
        {{UpperLine(0x7FFF), DataLine(0xFF00, Iota(255))}, "Adresse liegt außerhalb des Speichers"},
    };
    for (const auto& c : cases) {
        ResetImageStore();
        AddressLimit = 0x7FFFFFFF;
        out.Log.clear();
        EXPECT_EQ(Feed(c.lines), c.message) << c.lines.back();
        EXPECT_EQ(ImageAreaExtent, 0u) << c.lines.back();
        EXPECT_EQ(FileAreaExtent, 0u) << c.lines.back();
        EXPECT_EQ(LastAddress, 0) << c.lines.back();
    }
}

TEST_F(HexReader, AcceptedRecordsStoreAndTrackTheLastAddress) {
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::uint32_t offset;
        std::vector<std::uint8_t> bytes;
        std::int32_t lastAddress;
    } cases[] = {
        {"extended linear address", {":020000040001F9", ":0400000001020304F2"}, 0x10000, {1, 2, 3, 4}, 0x10003},
        {"two records in order", {DataLine(0, Iota(16)), DataLine(0x10, Iota(16, 16))}, 0, Iota(32), 0x1F},
        {"only record at 0", {DataLine(0, Iota(16))}, 0, Iota(16), 0},
        {"overlap does not raise", {DataLine(0x10, Iota(16)), DataLine(0x18, Iota(16, 0x80))}, 0x18, Iota(16, 0x80), 0x1F},
        {"lower record does not lower", {DataLine(0x100, {9}), DataLine(0x10, {7})}, 0x10, {7}, 0x100},
        {"empty record above", {DataLine(0x100, {})}, 0x100, {}, 0xFF},
        {"colon alone", {UpperLine(1), ":"}, 0x10000, {}, 0xFFFF},
        {"520 zero digits", {":" + std::string(520, '0')}, 0, {}, 0},
        {"lower-case digits", {":04000000aabbccddee"}, 0, {0xAA, 0xBB, 0xCC, 0xDD}, 0},
        {"extra pairs adding up to 0", {":0400100001020304E201FF0000"}, 0x10, {1, 2, 3, 4}, 0x13},
        {"lone zero digit after checksum", {":0400100001020304E20"}, 0x10, {1, 2, 3, 4}, 0x13},
        {"255 bytes", {DataLine(0x0200, Iota(255))}, 0x200, Iota(255), 0x200 + 254},
        {"second end record and 04 after end", {":00000001FF", ":00000001FF", UpperLine(3)}, 0, {}, 0},
        {"into the file area", {UpperLine(0x1000), DataLine(0, {5, 6})}, 0x10000000, {5, 6}, 0x10000001},
        {"last byte of the array", {UpperLine(0x1FFF), DataLine(0xFFFF, {0x42})}, 0x1FFFFFFF, {0x42}, 0x1FFFFFFF},
    };
    for (const auto& c : cases) {
        ResetImageStore();
        AddressLimit = 0x7FFFFFFF;
        EXPECT_EQ(Feed(c.lines), "") << c.what;
        EXPECT_EQ(Bytes(c.offset, c.bytes.size()), c.bytes) << c.what;
        EXPECT_EQ(LastAddress, c.lastAddress) << c.what;
    }
}

TEST_F(HexReader, RecordsAtOrAboveTheLimitAreSkippedSilently) {
    AddressLimit = 0x100;
    EXPECT_EQ(Feed({DataLine(0xF0, Iota(4, 1)), DataLine(0x100, {9, 9}), DataLine(0x200, {9})}), "");
    EXPECT_EQ(Bytes(0xF0, 4), Iota(4, 1));
    EXPECT_EQ(Bytes(0x100, 2), std::vector<std::uint8_t>(2, 0));
    EXPECT_EQ(RomImage[0x200], 0);
    EXPECT_EQ(LastAddress, 0xF3);
    EXPECT_TRUE(out.Log.empty());
}

TEST_F(HexReader, EndRecordAndUpperAddressState) {
    EXPECT_EQ(Feed({UpperLine(0xABCD)}), "");
    EXPECT_EQ(UpperAddress, 0xABCD);
    EXPECT_FALSE(EndRecordSeen);
    EXPECT_EQ(Feed({":00000001FF"}), "");
    EXPECT_TRUE(EndRecordSeen);
}

class HexFile : public HexReader {
protected:
    std::string Write(const std::vector<std::string>& lines, const char* eol = "\r\n") {
        std::string text;
        for (const auto& l : lines) text += l + eol;
        WriteFile(dir.File("fw.hex"), text);
        return dir.File("fw.hex");
    }
    TTempDir dir;
};

TEST_F(HexFile, LoadFillsTheFirst16MiBAndReportsTheLastAddress) {
    RomImage[0x1000000] = 0x77;  // beyond the fill: kept
    MarkImageWritten(0x1000000, 0x1000001);
    const std::string name = Write({DataLine(0, Iota(16)), DataLine(0x10, Iota(16, 16)), ":00000001FF"});
    const THexLoadResult r = LoadHex(name, 0x7FFFFFFF, out);
    EXPECT_EQ(r.faultLine, 0);
    EXPECT_EQ(r.lines, 3);
    EXPECT_EQ(r.dataRecords, 2);
    EXPECT_EQ(r.lowAddress, 0u);
    EXPECT_EQ(r.highAddress, 0x1Fu);
    EXPECT_EQ(Bytes(0, 32), Iota(32));
    EXPECT_TRUE(AllAre(32, 0x1000000, 0xFF));
    EXPECT_EQ(RomImage[0x1000000], 0x77);
    EXPECT_EQ(RomImage[0x1000001], 0x00);
    EXPECT_EQ(LastAddress, 0x1F);
    EXPECT_EQ(AddressLimit, 0x7FFFFFFF);
    EXPECT_TRUE(out.Log.empty());
    EXPECT_EQ(out.Status, "Letzte Adresse: $00000F");
}

TEST_F(HexFile, StatusShowsLastAddressHalvedWithSixDigitsOrMore) {
    for (const auto& [upper, expect] : std::vector<std::pair<std::uint16_t, std::string>>{
             {0x0000, "Letzte Adresse: $000000"},
             {0x0100, "Letzte Adresse: $800000"},
             {0x1000, "Letzte Adresse: $8000000"}}) {
        const std::string name = Write({UpperLine(upper), DataLine(0, {1})}, "\n");
        LoadHex(name, 0x7FFFFFFF, out);
        EXPECT_EQ(out.Status, expect);
    }
}

TEST_F(HexFile, FaultStopsTheLoadAndKeepsEarlierLines) {
    const std::string name = Write({DataLine(0, {1, 2}), DataLine(2, {3, 4}), ":0400000001020304F3",
                                    DataLine(4, {5})});
    const THexLoadResult r = LoadHex(name, 0x7FFFFFFF, out);
    EXPECT_EQ(r.faultLine, 3);
    EXPECT_EQ(r.lines, 3);
    EXPECT_EQ(out.Log, (std::vector<std::string>{"Checksumme stimmt nicht", "Zeile Nr. 3"}));
    EXPECT_EQ(out.Status, "Lade :  " + name);
    EXPECT_EQ(Bytes(0, 5), (std::vector<std::uint8_t>{1, 2, 3, 4, 0xFF}));
    EXPECT_EQ(LastAddress, 3);
}

TEST_F(HexFile, EmptyLinesCountAndFault) {
    const std::string name = Write({DataLine(0, {1}), "", DataLine(4, {5})}, "\n");
    const THexLoadResult r = LoadHex(name, 0x7FFFFFFF, out);
    EXPECT_EQ(r.faultLine, 2);
    EXPECT_EQ(out.Log, (std::vector<std::string>{"Zeile ist kein Intel Hex", "Zeile Nr. 2"}));
}

TEST_F(HexFile, NoEndRecordNeededAndEveryLoadStartsCleared) {
    LoadHex(Write({UpperLine(2), DataLine(0, {1}), ":00000001FF"}), 0x7FFFFFFF, out);
    EXPECT_EQ(RomImage[0x20000], 1);
    // A second file without upper address or end record: the first file's state is gone.
    LoadHex(Write({DataLine(0x10, {2})}), 0x7FFFFFFF, out);
    EXPECT_EQ(RomImage[0x10], 2);
    EXPECT_EQ(RomImage[0x20000], 0xFF);
    EXPECT_EQ(LastAddress, 0x10);
    EXPECT_EQ(UpperAddress, 0);
    EXPECT_FALSE(EndRecordSeen);
    EXPECT_TRUE(out.Log.empty());
}

TEST_F(HexFile, ListingShowsDeviceWordsMostSignificantByteFirst) {
    out.FShowHex = true;
    LoadHex(Write({DataLine(0, Iota(32))}), 0x7FFFFFFF, out);  // LastAddress stays 0: one row
    EXPECT_EQ(out.Log, (std::vector<std::string>{"0000: 020100  060504  0A0908  0E0D0C  "}));
    out.Log.clear();
    LoadHex(Write({DataLine(0, Iota(16)), DataLine(0x10, Iota(16, 16)), DataLine(0x20, {0xAB})}),
            0x7FFFFFFF, out);
    EXPECT_EQ(out.Log, (std::vector<std::string>{
                           "0000: 020100  060504  0A0908  0E0D0C  ",
                           "0008: 121110  161514  1A1918  1E1D1C  ",
                           "0010: FFFFAB  FFFFFF  FFFFFF  FFFFFF  ",
                       }));
    EXPECT_EQ(out.Status, "Letzte Adresse: $000010");
}

TEST_F(HexFile, MissingFileRaisesAfterTheFill) {
    LastAddress = 5;
    const std::string name = dir.File("missing.hex");
    try {
        LoadHex(name, 0x7FFFFFFF, out);
        FAIL() << "no error for a missing file";
    } catch (const rt::EInOutError& e) {
        EXPECT_EQ(e.Message(), "Datei nicht gefunden");
    }
    EXPECT_TRUE(AllAre(0, 0x1000000, 0xFF));
    EXPECT_EQ(LastAddress, 0);
    EXPECT_EQ(out.Status, "Lade :  " + name);
    EXPECT_TRUE(out.Log.empty());
}

}  // namespace
