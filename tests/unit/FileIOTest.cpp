#include "FileIO.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "TestFiles.h"

using namespace rt;
using testing_support::TTempDir;
using testing_support::WriteFile;

namespace {

std::vector<std::string> ReadLines(const std::string& name) {
    TTextReader r(name);
    std::vector<std::string> lines;
    std::string line;
    while (!r.Eof()) {
        r.ReadLine(line);
        lines.push_back(line);
    }
    return lines;
}

struct TLineCase {
    std::string text;
    std::vector<std::string> lines;
};

TEST(TextReader, LineEndsAtLfOrCrLfOnly) {
    const TLineCase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\rb\n", {"a\rb"}},       // a lone CR is part of its line
        {"a\r\r\n", {"a\r"}},
        {"\n", {""}},
        {"a\n\n\nb", {"a", "", "", "b"}},
        {"\r\n\r\n", {"", ""}},
    };
    TTempDir dir;
    for (const auto& c : cases) {
        WriteFile(dir.File("t.txt"), c.text);
        EXPECT_EQ(ReadLines(dir.File("t.txt")), c.lines) << testing::PrintToString(c.text);
    }
}

TEST(TextReader, LinesLongerThanTheBufferAndCrLfSplitAcrossReads) {
    TTempDir dir;
    // The reader fills 64 KiB at a time: put the CR as the last byte of the first fill.
    const std::string first(65535, 'x');
    const std::string second(200000, 'y');
    WriteFile(dir.File("t.txt"), first + "\r\n" + second + "\nend");
    const auto lines = ReadLines(dir.File("t.txt"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], second);
    EXPECT_EQ(lines[2], "end");
}

TEST(FileLayer, OpenFailuresCarryTheirGermanText) {
    TTempDir dir;
    std::filesystem::create_directory(dir.Path() / "sub");
    struct TCase {
        std::string name;
        int code;
        std::string text;
    } cases[] = {
        {dir.File("missing.hex"), 2, "Datei nicht gefunden"},
        {dir.File("nodir/missing.hex"), 3, "Pfad nicht gefunden"},
        {dir.File("sub"), 5, "Zugriff verweigert: das ist ein Verzeichnis"},
    };
    for (const auto& c : cases) {
        for (int kind = 0; kind < 2; ++kind) {
            try {
                if (kind == 0) TTextReader r(c.name);
                else TBlockFile f(c.name, TBlockFile::TMode::Read);
                ADD_FAILURE() << c.name << " opened";
            } catch (const EInOutError& e) {
                EXPECT_EQ(e.ErrorCode, c.code) << c.name;
                EXPECT_EQ(e.Message(), c.text) << c.name;
                EXPECT_EQ(e.FileName, c.name);
            }
        }
    }
}

TEST(FileLayer, ErrnoTexts) {
    struct TCase {
        int err;
        int code;
        std::string text;
    } cases[] = {
        {EACCES, 5, "Zugriff verweigert"},
        {EPERM, 5, "Zugriff verweigert"},
        {ENOSPC, kErrDiskFull, "Der Datenträger ist voll"},
        {EROFS, 19, "Der Datenträger ist schreibgeschützt"},
        {EMFILE, 4, "Zu viele geöffnete Dateien"},
        {EIO, 29, "Ein-/Ausgabefehler des Datenträgers"},
        {ENAMETOOLONG, 206, "Der Dateiname ist zu lang"},
        {EXDEV, EXDEV, "Ein-/Ausgabefehler " + std::to_string(EXDEV)},
    };
    for (const auto& c : cases) {
        const EInOutError e = IoErrorFromErrno(c.err, "f");
        EXPECT_EQ(e.ErrorCode, c.code) << c.err;
        EXPECT_EQ(e.Message(), c.text) << c.err;
    }
}

TEST(BlockFile, ShortBlockRaisesReadBeyondEndAndKeepsItsBytes) {
    TTempDir dir;
    const auto bytes = testing_support::RandomBytes(1000, 1);
    WriteFile(dir.File("f.bin"), bytes);
    TBlockFile f(dir.File("f.bin"), TBlockFile::TMode::Read);
    EXPECT_EQ(f.Size(), 1000u);
    std::vector<std::uint8_t> buf(1024, 0xEE);
    f.BlockRead(buf.data(), 1);
    EXPECT_EQ(f.Position(), 512u);
    try {
        f.BlockRead(buf.data() + 512, 1);
        FAIL() << "short block accepted";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, kErrReadBeyondEof);
        EXPECT_EQ(e.Message(), "Versuch hinter dem Dateiende zu lesen");
    }
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf.begin()));
    EXPECT_EQ(buf[1000], 0xEE);
}

TEST(BlockFile, FullDiskShowsAtTheLatestOnClose) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TBlockFile f("/dev/full", TBlockFile::TMode::Create);
    const std::vector<std::uint8_t> block(512, 1);
    try {
        for (int i = 0; i < 64; ++i) f.BlockWrite(block.data(), 1);
        f.Close();
        FAIL() << "writing to a full disk succeeded";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, kErrDiskFull);
        EXPECT_EQ(e.Message(), "Der Datenträger ist voll");
    }
}

TEST(AtomicFile, TargetChangesOnlyOnCommit) {
    TTempDir dir;
    const std::string target = dir.File("out.rom");
    WriteFile(target, std::string(512, 'o'));
    const std::vector<std::uint8_t> block(512, 'n');
    {
        TAtomicFile f(target);
        f.File().BlockWrite(block.data(), 1);
        // Destroyed without Commit, as when the writer fails half way.
    }
    EXPECT_EQ(testing_support::ReadFile(target), std::vector<std::uint8_t>(512, 'o'));
    EXPECT_EQ(testing_support::Entries(dir.Path()), std::vector<std::string>{"out.rom"});
    {
        TAtomicFile f(target);
        f.File().BlockWrite(block.data(), 1);
        f.Commit();
    }
    EXPECT_EQ(testing_support::ReadFile(target), block);
    EXPECT_EQ(testing_support::Entries(dir.Path()), std::vector<std::string>{"out.rom"});
}

TEST(AtomicFile, UncreatableTargetNamesTheTarget) {
    TTempDir dir;
    const std::string target = dir.File("nodir/out.rom");
    try {
        TAtomicFile f(target);
        FAIL();
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Pfad nicht gefunden");
        EXPECT_EQ(e.FileName, target);
    }
}

TEST(FileLayer, FileExistsOnlyForFiles) {
    TTempDir dir;
    WriteFile(dir.File("a"), "x");
    EXPECT_TRUE(FileExists(dir.File("a")));
    EXPECT_FALSE(FileExists(dir.File("b")));
    EXPECT_FALSE(FileExists(dir.Path().string()));
}

}  // namespace
