// The comm functions of the POSIX backend (Linux): termios and ioctl behind the Win32-shaped
// calls of CommPlatform.h. TPosixPlatform forwards to these.
#pragma once

#include "CommPlatform.h"

namespace comm::posix {

THandle CreateFile(const char* name);
bool SetupComm(const THandle& h, std::uint32_t inQueue, std::uint32_t outQueue);
bool BuildCommDCB(const char* definition, TDcb& dcb);
bool SetCommState(const THandle& h, const TDcb& dcb);
bool SetCommTimeouts(const THandle& h, const TCommTimeouts& timeouts);
bool SetCommMask(const THandle& h, std::uint32_t mask);
bool WaitCommEvent(const THandle& h, std::uint32_t& events);
bool ClearCommError(const THandle& h, std::uint32_t& errors, TComStat& stat);
bool ReadFile(const THandle& h, void* buffer, std::uint32_t count, std::uint32_t& done,
              TOverlapped* overlapped);
bool WriteFile(const THandle& h, const void* buffer, std::uint32_t count, std::uint32_t& done,
               TOverlapped* overlapped);
std::uint32_t GetLastError();
bool GetOverlappedResult(const THandle& h, TOverlapped* overlapped, std::uint32_t& done, bool wait);
void CloseHandle(const THandle& h);
void ReleaseHandle(const THandle& h);

// The file descriptor behind an open handle, -1 when closed or not a POSIX handle (tests).
int DescriptorOf(const THandle& h);

}  // namespace comm::posix
