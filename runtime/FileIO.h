// The file layer: text files read line by line, files of bytes moved in 512-byte blocks, and a
// file-exists test. Every failure raises rt::EInOutError with its German text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "Exception.h"

namespace rt {

inline constexpr std::size_t kBlockSize = 512;

// Runtime error codes beyond the operating system's.
inline constexpr int kErrReadBeyondEof = 100;
inline constexpr int kErrDiskFull = 101;
inline constexpr int kErrFileTooLarge = 1001;

// True for an existing file that is not a directory.
bool FileExists(const std::string& fileName);

// The German text for an errno value, as shown to the operator.
EInOutError IoErrorFromErrno(int err, const std::string& fileName);

// A text file opened for reading. A line ends at LF or CR LF; a lone CR belongs to its line.
class TTextReader {
public:
    explicit TTextReader(const std::string& fileName);
    ~TTextReader();
    TTextReader(const TTextReader&) = delete;
    TTextReader& operator=(const TTextReader&) = delete;

    bool Eof();
    // Reads the next line without its line end into line (its buffer is reused).
    // At the end of the file it leaves line empty.
    void ReadLine(std::string& line);
    void Close();

private:
    bool Fill();

    std::string FName;
    std::FILE* FFile = nullptr;
    std::unique_ptr<char[]> FBuf;
    std::size_t FPos = 0;
    std::size_t FLen = 0;
};

// A file of bytes (record size 1) that moves data in whole 512-byte blocks.
class TBlockFile {
public:
    enum class TMode { Read, Create };
    TBlockFile(const std::string& fileName, TMode mode);
    ~TBlockFile();
    TBlockFile(const TBlockFile&) = delete;
    TBlockFile& operator=(const TBlockFile&) = delete;

    std::uint64_t Size() const { return FSize; }
    std::uint64_t Position() const { return FPosition; }
    // Reads count blocks into buf. A short read keeps the bytes it got in buf and raises
    // "Versuch hinter dem Dateiende zu lesen".
    void BlockRead(void* buf, std::size_t count);
    void BlockWrite(const void* buf, std::size_t count);
    // Flushes and closes; a failure to do so is an I/O error like any write.
    void Close();

private:
    std::string FName;
    std::FILE* FFile = nullptr;
    std::uint64_t FSize = 0;
    std::uint64_t FPosition = 0;
};

// Writes a file so that it appears complete or not at all: the bytes go into a temporary file
// beside the target, which Commit renames over it. Without Commit the temporary file is removed
// and the target is left as it was.
class TAtomicFile {
public:
    explicit TAtomicFile(const std::string& fileName);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    TBlockFile& File() { return *FFile; }
    void Commit();

private:
    std::string FTarget;
    std::string FTemp;
    std::unique_ptr<TBlockFile> FFile;
    bool FCommitted = false;
};

}  // namespace rt
