// Exceptions of the runtime stand-ins. Every message is the German text shown to the operator.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace rt {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// The silent abort: ends an operation without a message box; whoever raises it has already
// told the operator what happened.
class EAbort : public Exception {
public:
    EAbort() : Exception("") {}
};

// A failure of the file layer. ErrorCode follows the runtime's numbering (2 file not found,
// 3 path not found, 5 access denied, 100 read beyond end of file, 101 disk full, ...);
// FileName is the file the failed operation was on.
class EInOutError : public Exception {
public:
    EInOutError(int errorCode, std::string message, std::string fileName = {})
        : Exception(std::move(message)), ErrorCode(errorCode), FileName(std::move(fileName)) {}

    int ErrorCode;
    std::string FileName;
};

}  // namespace rt
