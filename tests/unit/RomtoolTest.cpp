// romtool as a whole process: real files in a temporary folder, HEX files made by srec_cat.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "HexTestSupport.h"
#include "Process.h"
#include "TestFiles.h"

using namespace testing_support;

namespace {

class Romtool : public testing::Test {
protected:
    TProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), ROMTOOL_PATH);
        return RunProcess(args, scratch.Path().string());
    }

    // Intel HEX of bin placed at offset, 16-byte records with extended linear address records.
    std::string SrecHex(const std::vector<std::uint8_t>& bin, std::uint32_t offset, const std::string& name) {
        WriteFile(dir.File(name + ".bin"), bin);
        const auto r = RunProcess({"srec_cat", dir.File(name + ".bin"), "-binary", "-offset",
                                   std::to_string(offset), "-o", dir.File(name + ".hex"), "-intel",
                                   "-obs=16", "-disable=exec_start_address"},
                                  scratch.Path().string());
        EXPECT_EQ(r.status, 0) << "srec_cat (package srecord) is needed: " << r.err;
        return dir.File(name + ".hex");
    }

    TTempDir dir;      // inputs and outputs
    TTempDir scratch;  // captured output of the processes
};

TEST_F(Romtool, Hex2RomThenRom2BinGivesTheBinaryBack) {
    const struct {
        std::size_t size;
        std::uint32_t offset;
        std::size_t expectSize;  // rom2bin's output: whole 512-byte blocks of the image
    } cases[] = {
        {1 << 20, 0, 1 << 20},
        {70001, 0, 512000},           // inside the device's blocks: the whole device image
        {100000, 0x30000, 512000},
        {600001, 0, 600064},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "fw" + std::to_string(n++);
        const auto bin = RandomBytes(c.size, static_cast<std::uint32_t>(c.size));
        const std::string hex = SrecHex(bin, c.offset, name);
        ASSERT_NE(Slurp(hex).find(":02000004"), std::string::npos) << "no extended address records";
        auto r = Run({"hex2rom", hex, dir.File(name + ".rom")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        r = Run({"rom2bin", dir.File(name + ".rom"), dir.File(name + ".out")});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto out = ReadFile(dir.File(name + ".out"));
        ASSERT_EQ(out.size(), c.expectSize) << c.size;
        EXPECT_EQ(std::filesystem::file_size(dir.File(name + ".rom")), c.expectSize);
        EXPECT_TRUE(std::all_of(out.begin(), out.begin() + c.offset, [](auto b) { return b == 0xFF; }));
        EXPECT_TRUE(std::equal(bin.begin(), bin.end(), out.begin() + c.offset)) << c.size;
        EXPECT_TRUE(std::all_of(out.begin() + c.offset + c.size, out.end(), [](auto b) { return b == 0xFF; }));
    }
}

TEST_F(Romtool, KeyOptionScramblesWithAnotherKey) {
    const std::string hex = SrecHex(RandomBytes(4096, 5), 0, "k");
    ASSERT_EQ(Run({"--key", "Geheimnis", "hex2rom", hex, dir.File("a.rom")}).status, 0);
    ASSERT_EQ(Run({"hex2rom", hex, dir.File("b.rom")}).status, 0);
    EXPECT_NE(ReadFile(dir.File("a.rom")), ReadFile(dir.File("b.rom")));
    ASSERT_EQ(Run({"rom2bin", "--key=Geheimnis", dir.File("a.rom"), dir.File("a.bin")}).status, 0);
    ASSERT_EQ(Run({"rom2bin", dir.File("b.rom"), dir.File("b.bin")}).status, 0);
    EXPECT_EQ(ReadFile(dir.File("a.bin")), ReadFile(dir.File("b.bin")));
    // Umlauts are taken in code page 1252, as the window's key text is.
    ASSERT_EQ(Run({"--key", "Schlüssel", "hex2rom", hex, dir.File("u.rom")}).status, 0);
    ASSERT_EQ(Run({"--key", "Schl\xFC" "ssel", "hex2rom", hex, dir.File("v.rom")}).status, 2);
}

TEST_F(Romtool, BadInputFailsWithItsGermanTextAndLeavesNoOutput) {
    WriteFile(dir.File("bad.hex"), DataLine(0, {1, 2}) + "\n:0400000001020304F3\n:00000001FF\n");
    WriteFile(dir.File("short.rom"), std::string(1000, 'x'));
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"hex2rom", dir.File("bad.hex"), dir.File("out")}, "Checksumme stimmt nicht, Zeile Nr. 2"},
        {{"hex2rom", dir.File("none.hex"), dir.File("out")}, "Datei nicht gefunden"},
        {{"hex2rom", dir.File("bad.hex") + "/x", dir.File("out")}, "Pfad nicht gefunden"},
        {{"rom2bin", dir.File("short.rom"), dir.File("out")}, "Versuch hinter dem Dateiende zu lesen"},
        {{"info", dir.File("bad.hex")}, "Checksumme stimmt nicht, Zeile Nr. 2"},
        {{"info", dir.File("short.rom")}, "Versuch hinter dem Dateiende zu lesen"},
    };
    const auto before = Entries(dir.Path());
    for (const auto& c : cases) {
        const auto r = Run(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.args[1];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        EXPECT_EQ(Entries(dir.Path()), before) << r.err;
    }
}

TEST_F(Romtool, UnwritableOutputLeavesNothingBehind) {
    const std::string hex = SrecHex(RandomBytes(512, 9), 0, "w");
    std::filesystem::create_directory(dir.Path() / "sub");
    const auto before = Entries(dir.Path());
    auto r = Run({"hex2rom", hex, dir.File("nodir/out.rom")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Pfad nicht gefunden"), std::string::npos) << r.err;
    r = Run({"hex2rom", hex, dir.File("sub")});  // a directory cannot be replaced by a file
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(Entries(dir.Path()), before);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path() / "sub"));
}

TEST_F(Romtool, WrongUsageExits2) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"flash", "a"},
        {"hex2rom", "a.hex"},
        {"rom2bin", "a", "b", "c"},
        {"info"},
        {"--key"},
        {"--key", "", "info", "a"},
        {"--key", std::string(256, 'k'), "info", "a"},
        {"--verbose", "info", "a"},
    };
    for (const auto& args : cases) {
        const auto r = Run(args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("romtool: "), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Romtool, HelpExplainsEveryCommand) {
    const auto r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"hex2rom", "rom2bin", "info", "--key", "Exit status"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST_F(Romtool, InfoDescribesRomAndHexFiles) {
    WriteFile(dir.File("fw.hex"), UpperLine(1) + "\n" + DataLine(0x0010, Iota(16)) + "\n" +
                                      DataLine(0x2000, Iota(4)) + "\n:00000001FF\n");
    auto r = Run({"info", dir.File("fw.hex")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("records: 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data records: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("LastAddress: $012003\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("device addresses: $008008 to $009001\n"), std::string::npos) << r.out;

    ASSERT_EQ(Run({"hex2rom", dir.File("fw.hex"), dir.File("fw.rom")}).status, 0);
    r = Run({"info", dir.File("fw.rom")});
    ASSERT_EQ(r.status, 0) << r.err;
    // Data inside the device's blocks: the ROM file is the whole device image.
    EXPECT_NE(r.out.find("size: 512000 bytes\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("blocks: 125\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("device addresses: $000000 to $03E7FF\n"), std::string::npos) << r.out;

    WriteFile(dir.File("small.rom"), std::string(1536, 'x'));
    r = Run({"info", dir.File("small.rom")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("size: 1536 bytes\nblocks: 1 (the last one partial)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("device addresses: $000000 to $0002FF\n"), std::string::npos) << r.out;
}

}  // namespace
