#include "RomFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "FileIO.h"
#include "HexReader.h"
#include "HexTestSupport.h"
#include "RomImage.h"
#include "TestFiles.h"

using namespace testing_support;

namespace {

const std::string kKey = "Q7M!_X295836H4F_Z8W";

class RomFile : public testing::Test {
protected:
    void SetUp() override { ResetImageStore(); }

    static void Put(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
        std::memcpy(RomImage + offset, bytes.data(), bytes.size());
        MarkImageWritten(offset, offset + static_cast<std::uint32_t>(bytes.size()));
    }
    static std::vector<std::uint8_t> Get(std::uint32_t offset, std::size_t n) {
        return {RomImage + offset, RomImage + offset + n};
    }
    static std::uint8_t Scramble(std::size_t i, const std::string& key = kKey) {
        return static_cast<std::uint8_t>(key[i % key.size()]) ^ 0xAA ^ static_cast<std::uint8_t>(i);
    }
    std::string LoadHexLines(const std::vector<std::string>& lines) {
        std::string text;
        for (const auto& l : lines) text += l + "\n";
        WriteFile(dir.File("fw.hex"), text);
        TRecordingOutput out;
        EXPECT_EQ(LoadHex(dir.File("fw.hex"), 0x7FFFFFFF, out).faultLine, 0);
        return dir.File("fw.hex");
    }

    TTempDir dir;
};

TEST_F(RomFile, ZeroImageSavesAsTheKeyStream) {
    EXPECT_EQ(SaveRom(dir.File("z.rom"), kKey), 512u);
    const auto file = ReadFile(dir.File("z.rom"));
    ASSERT_EQ(file.size(), 512u);
    for (std::size_t i = 0; i < file.size(); ++i) ASSERT_EQ(file[i], Scramble(i)) << i;
}

TEST_F(RomFile, ScramblingRepeatsEvery4864BytesWithTheWindowsKey) {
    Put(0, std::vector<std::uint8_t>(3 * 4864, 0x5A));
    SaveRom(dir.File("p.rom"), kKey);
    const auto file = ReadFile(dir.File("p.rom"));
    ASSERT_GE(file.size(), 3u * 4864);
    for (std::size_t i = 0; i + 4864 < 3 * 4864; ++i) ASSERT_EQ(file[i], file[i + 4864]) << i;
    EXPECT_NE(file[0], file[256]);  // not merely every 256
    EXPECT_EQ(file[7], 0x5A ^ Scramble(7));
}

TEST_F(RomFile, SaveThenLoadGivesTheImageBackForAnyKey) {
    const auto image = RandomBytes(512 * 1024, 7);
    for (const std::string& key : {kKey, std::string("x"), std::string(255, '\xFC'),
                                  std::string("\x00\x01", 2)}) {
        ResetImageStore();
        Put(0, image);
        EXPECT_EQ(SaveRom(dir.File("r.rom"), key), image.size());
        ResetImageStore();
        EXPECT_EQ(LoadRom(dir.File("r.rom"), key), image.size());
        EXPECT_EQ(Get(0, image.size()), image) << key.size();
    }
}

TEST_F(RomFile, LoadOfWholeBlocksChangesOnlyTheirOffsets) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{512}, std::size_t{8192}}) {
        ResetImageStore();
        Put(0, std::vector<std::uint8_t>(9000, 0x33));
        std::vector<std::uint8_t> file(size);
        for (std::size_t i = 0; i < size; ++i) file[i] = Scramble(i) ^ 0x44;
        WriteFile(dir.File("b.rom"), file);
        EXPECT_EQ(LoadRom(dir.File("b.rom"), kKey), size);
        EXPECT_EQ(Get(0, size), std::vector<std::uint8_t>(size, 0x44));
        EXPECT_EQ(Get(static_cast<std::uint32_t>(size), 9000 - size),
                  std::vector<std::uint8_t>(9000 - size, 0x33));
        EXPECT_EQ(Get(kFileArea, size), file);
    }
}

TEST_F(RomFile, ShortLastBlockIsRefusedWithTheImageUnchanged) {
    Put(0, std::vector<std::uint8_t>(2048, 0x33));
    const auto file = RandomBytes(1000, 3);
    WriteFile(dir.File("short.rom"), file);
    try {
        LoadRom(dir.File("short.rom"), kKey);
        FAIL() << "1000-byte file accepted";
    } catch (const rt::EInOutError& e) {
        EXPECT_EQ(e.Message(), "Versuch hinter dem Dateiende zu lesen");
    }
    EXPECT_EQ(Get(0, 2048), std::vector<std::uint8_t>(2048, 0x33));
    EXPECT_EQ(Get(kFileArea, 1000), file);  // the file area holds what was read
}

TEST_F(RomFile, FileLargerThanTheFileAreaIsRefusedBeforeReading) {
    const std::string name = dir.File("huge.rom");
    WriteFile(name, "");
    std::filesystem::resize_file(name, std::uint64_t{kFileAreaSize} + 512);  // sparse
    Put(0, {0x12});
    try {
        LoadRom(name, kKey);
        FAIL() << "oversized file accepted";
    } catch (const rt::EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, rt::kErrFileTooLarge);
    }
    EXPECT_EQ(RomImage[0], 0x12);
    EXPECT_EQ(FileAreaExtent, 0u);
}

TEST_F(RomFile, RomLoadAfterHexLoadReplacesOnlyItsBlocks) {
    LoadHexLines({UpperLine(0), DataLine(0x0000, {1, 2, 3}), DataLine(0x3000, {4, 5, 6})});
    const std::int32_t hexLast = LastAddress;
    std::vector<std::uint8_t> file(8192);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = Scramble(i);  // image bytes 0
    WriteFile(dir.File("z.rom"), file);
    LoadRom(dir.File("z.rom"), kKey);
    EXPECT_EQ(Get(0, 8192), std::vector<std::uint8_t>(8192, 0));
    EXPECT_EQ(Get(0x3000, 4), (std::vector<std::uint8_t>{4, 5, 6, 0xFF}));
    EXPECT_EQ(LastAddress, hexLast);
}

TEST_F(RomFile, KeyTextMustHave1To255Bytes) {
    WriteFile(dir.File("k.rom"), std::string(512, 'k'));
    for (const std::string& key : {std::string(), std::string(256, 'a')}) {
        EXPECT_THROW(LoadRom(dir.File("k.rom"), key), EKeyText);
        EXPECT_THROW(SaveRom(dir.File("s.rom"), key), EKeyText);
    }
    EXPECT_EQ(RomImage[0], 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("s.rom")));
}

TEST_F(RomFile, FailedSaveLeavesNoFile) {
    try {
        SaveRom(dir.File("nodir/test.rom"), kKey);
        FAIL();
    } catch (const rt::EInOutError& e) {
        EXPECT_EQ(e.Message(), "Pfad nicht gefunden");
    }
    EXPECT_TRUE(Entries(dir.Path()).empty());
}

// The end of the saved content, for each kind of image, and what a fresh program gets back.
TEST_F(RomFile, SavedLengthForEachKindOfImage) {
    const struct {
        const char* what;
        std::function<void()> load;
        std::uint32_t last;
    } cases[] = {
        {"nothing loaded", [] {}, 0},
        {"HEX in block 0", [this] { LoadHexLines({DataLine(0, Iota(64, 1))}); }, kDeviceImageEnd - 1},
        {"HEX reaching past block 124",
         [this] { LoadHexLines({UpperLine(0xF), DataLine(0xFF00, {1, 2, 0xFF, 0})}); }, 0xFFF01},
        {"HEX above 16 MiB",
         [this] { LoadHexLines({DataLine(0, {1}), UpperLine(0x200), DataLine(0x10, {7})}); }, 0x2000010},
        {"ROM of 8192 bytes with a zero tail", [] { Put(0, Iota(5000, 1)); Put(5000, std::vector<std::uint8_t>(3192, 0)); }, 4999},
        {"ROM of 1 MiB ending in 0xFF",
         [] { Put(0, std::vector<std::uint8_t>(1 << 20, 0xFF)); Put(0x90000, {0x12}); }, 0x90000},
        {"HEX then ROM",
         [this] { LoadHexLines({DataLine(0, {1})}); Put(0, Iota(8192)); }, kDeviceImageEnd - 1},
    };
    for (const auto& c : cases) {
        ResetImageStore();
        c.load();
        EXPECT_EQ(FindImageEnd(), c.last) << c.what;
        const std::vector<std::uint8_t> before = Get(0, 0x1000000);
        const std::uint32_t size = SaveRom(dir.File("k.rom"), kKey);
        EXPECT_EQ(size, (c.last / 512 + 1) * 512) << c.what;
        EXPECT_EQ(Get(0, 0x1000000), before) << c.what << ": the save changed the image";
        ResetImageStore();
        EXPECT_EQ(LoadRom(dir.File("k.rom"), kKey), size);
        // Every byte of the file comes back, and a fresh program sends the device the same blocks.
        const std::size_t compared = std::min<std::size_t>(size, before.size());
        EXPECT_TRUE(std::equal(RomImage, RomImage + compared, before.begin())) << c.what;
        EXPECT_TRUE(std::equal(RomImage, RomImage + kDeviceImageEnd, before.begin())) << c.what;
    }
}

}  // namespace
