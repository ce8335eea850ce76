// The Intel HEX reader: record types 00 (data), 01 (end of file) and 04 (extended linear
// address). Every line is checked strictly; the first bad line stops the load with a message
// in the log naming the fault and the line number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Where the reader reports: the window implements it with its log and caption.
class THexOutput {
public:
    virtual ~THexOutput() = default;
    virtual void AddLine(const std::string& line) = 0;  // a new line at the end of the log
    virtual void SetStatus(const std::string& text) = 0;
    virtual bool ShowHex() const { return false; }      // list the loaded image in the log
};

// What one line was, for callers that count (romtool info).
struct THexRecord {
    std::uint8_t type = 0;
    std::uint8_t length = 0;
    std::uint32_t address = 0;  // data records: UpperAddress * 65536 + the record's offset
    bool stored = false;        // data records below AddressLimit
};

// Decodes and applies one line (without its line end). A fault appends its message to the log
// and raises rt::EAbort; nothing of that line has been stored then.
THexRecord dointel(std::string_view line, THexOutput& out);

struct THexLoadResult {
    std::int32_t lines = 0;            // lines read, the faulty one included
    std::int32_t faultLine = 0;        // 0: no line faulted
    std::int32_t dataRecords = 0;      // data records stored
    std::uint32_t lowAddress = 0;      // lowest byte address stored (valid if dataRecords > 0)
    std::uint32_t highAddress = 0;     // highest byte address stored, likewise
};

// Loads a whole file through dointel. A faulty line is reported in the log and ends the load;
// only a failure of the file itself leaves as rt::EInOutError.
THexLoadResult LoadHex(const std::string& fileName, std::int32_t limit, THexOutput& out);
