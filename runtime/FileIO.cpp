#include "FileIO.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace rt {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTextBufSize = 1 << 16;

struct TErrText {
    int err;
    int code;
    const char* text;
};

// Codes follow the runtime's numbering so that callers can tell the errors apart.
constexpr TErrText kErrTexts[] = {
    {ENOTDIR, 3, "Pfad nicht gefunden"},
    {EMFILE, 4, "Zu viele geöffnete Dateien"},
    {ENFILE, 4, "Zu viele geöffnete Dateien"},
    {EACCES, 5, "Zugriff verweigert"},
    {EPERM, 5, "Zugriff verweigert"},
    {EISDIR, 5, "Zugriff verweigert: das ist ein Verzeichnis"},
    {ENOMEM, 8, "Nicht genügend Arbeitsspeicher"},
    {EROFS, 19, "Der Datenträger ist schreibgeschützt"},
    {EIO, 29, "Ein-/Ausgabefehler des Datenträgers"},
    {EBUSY, 32, "Die Datei wird von einem anderen Prozess verwendet"},
    {EEXIST, 80, "Die Datei existiert bereits"},
    {EINVAL, 87, "Ungültiger Parameter"},
    {ENOSPC, kErrDiskFull, "Der Datenträger ist voll"},
#ifdef EDQUOT
    {EDQUOT, kErrDiskFull, "Der Datenträger ist voll"},
#endif
    {EFBIG, kErrFileTooLarge, "Die Datei ist zu groß"},
    {ENAMETOOLONG, 206, "Der Dateiname ist zu lang"},
#ifdef ELOOP
    {ELOOP, 3, "Pfad nicht gefunden"},
#endif
};

// fopen reports a missing file and a missing directory alike; the operator is told which.
bool ParentMissing(const std::string& fileName) {
    std::error_code ec;
    const fs::path parent = fs::path(fileName).parent_path();
    return !parent.empty() && !fs::is_directory(parent, ec);
}

std::FILE* Open(const std::string& fileName, const char* mode) {
    errno = 0;
    std::FILE* f = std::fopen(fileName.c_str(), mode);
    if (!f) throw IoErrorFromErrno(errno ? errno : EIO, fileName);
    // fopen succeeds on a directory on some systems; reading it would fail later and less clearly.
    std::error_code ec;
    if (fs::is_directory(fileName, ec)) {
        std::fclose(f);
        throw IoErrorFromErrno(EISDIR, fileName);
    }
    return f;
}

[[noreturn]] void ThrowStreamError(std::FILE* f, const std::string& fileName, int fallback) {
    const int err = errno;
    std::clearerr(f);
    throw IoErrorFromErrno(err ? err : fallback, fileName);
}

}  // namespace

EInOutError IoErrorFromErrno(int err, const std::string& fileName) {
    if (err == ENOENT) {
        if (ParentMissing(fileName)) return EInOutError(3, "Pfad nicht gefunden", fileName);
        return EInOutError(2, "Datei nicht gefunden", fileName);
    }
    for (const TErrText& t : kErrTexts)
        if (t.err == err) return EInOutError(t.code, t.text, fileName);
    return EInOutError(err, "Ein-/Ausgabefehler " + std::to_string(err), fileName);
}

bool FileExists(const std::string& fileName) {
    std::error_code ec;
    return fs::is_regular_file(fileName, ec);
}

// ---- TTextReader

TTextReader::TTextReader(const std::string& fileName)
    : FName(fileName), FFile(Open(fileName, "rb")), FBuf(new char[kTextBufSize]) {}

TTextReader::~TTextReader() { Close(); }

void TTextReader::Close() {
    if (FFile) std::fclose(FFile);
    FFile = nullptr;
}

bool TTextReader::Fill() {
    if (!FFile) return false;
    errno = 0;
    FLen = std::fread(FBuf.get(), 1, kTextBufSize, FFile);
    FPos = 0;
    if (FLen == 0 && std::ferror(FFile)) ThrowStreamError(FFile, FName, EIO);
    return FLen > 0;
}

bool TTextReader::Eof() { return FPos >= FLen && !Fill(); }

void TTextReader::ReadLine(std::string& line) {
    line.clear();
    while (FPos < FLen || Fill()) {
        const char* start = FBuf.get() + FPos;
        const std::size_t avail = FLen - FPos;
        const void* lf = std::memchr(start, '\n', avail);
        if (lf) {
            const std::size_t n = static_cast<const char*>(lf) - start;
            line.append(start, n);
            FPos += n + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return;
        }
        line.append(start, avail);
        FPos = FLen;
    }
}

// ---- TBlockFile

TBlockFile::TBlockFile(const std::string& fileName, TMode mode) : FName(fileName) {
    FFile = Open(fileName, mode == TMode::Read ? "rb" : "wb");
    if (mode == TMode::Read) {
        std::error_code ec;
        FSize = fs::file_size(fileName, ec);
        if (ec) {
            Close();
            throw IoErrorFromErrno(ec.value(), fileName);
        }
    }
}

TBlockFile::~TBlockFile() {
    if (FFile) std::fclose(FFile);
}

void TBlockFile::BlockRead(void* buf, std::size_t count) {
    errno = 0;
    const std::size_t want = count * kBlockSize;
    const std::size_t got = std::fread(buf, 1, want, FFile);
    FPosition += got;
    if (got == want) return;
    if (std::ferror(FFile)) ThrowStreamError(FFile, FName, EIO);
    throw EInOutError(kErrReadBeyondEof, "Versuch hinter dem Dateiende zu lesen", FName);
}

void TBlockFile::BlockWrite(const void* buf, std::size_t count) {
    errno = 0;
    const std::size_t want = count * kBlockSize;
    const std::size_t put = std::fwrite(buf, 1, want, FFile);
    FPosition += put;
    FSize = FPosition;
    if (put != want) ThrowStreamError(FFile, FName, ENOSPC);
}

void TBlockFile::Close() {
    if (!FFile) return;
    std::FILE* f = FFile;
    FFile = nullptr;
    errno = 0;
    // Buffered bytes reach the disk here, so a full disk can show only now.
    const bool flushed = std::fflush(f) == 0;
    const int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) throw IoErrorFromErrno(err ? err : (errno ? errno : EIO), FName);
}

// ---- TAtomicFile

TAtomicFile::TAtomicFile(const std::string& fileName) : FTarget(fileName) {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<std::uint64_t>(rd()) << 32) ^ rd());
    for (int attempt = 0;; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".tmp%012llx",
                      static_cast<unsigned long long>(gen() & 0xFFFFFFFFFFFFull));
        FTemp = fileName + suffix;
        std::error_code ec;
        if (fs::exists(FTemp, ec) && attempt < 16) continue;
        break;
    }
    try {
        FFile = std::make_unique<TBlockFile>(FTemp, TBlockFile::TMode::Create);
    } catch (EInOutError& e) {
        // Report the file the caller named, not our temporary one.
        e.FileName = FTarget;
        throw;
    }
}

TAtomicFile::~TAtomicFile() {
    if (FCommitted) return;
    FFile.reset();
    std::error_code ec;
    fs::remove(FTemp, ec);
}

void TAtomicFile::Commit() {
    try {
        FFile->Close();
    } catch (EInOutError& e) {
        e.FileName = FTarget;
        throw;
    }
    std::error_code ec;
    fs::rename(FTemp, FTarget, ec);
    if (ec) throw IoErrorFromErrno(ec.value(), FTarget);
    FCommitted = true;
}

}  // namespace rt
