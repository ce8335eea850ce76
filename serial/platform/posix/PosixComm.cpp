// Placeholder being replaced by the real backend in this change; everything fails for now.
#include "PosixComm.h"

namespace comm::posix {
THandle CreateFile(const char*) { return nullptr; }
bool SetupComm(const THandle&, std::uint32_t, std::uint32_t) { return false; }
bool BuildCommDCB(const char*, TDcb&) { return false; }
bool SetCommState(const THandle&, const TDcb&) { return false; }
bool SetCommTimeouts(const THandle&, const TCommTimeouts&) { return false; }
bool SetCommMask(const THandle&, std::uint32_t) { return false; }
bool WaitCommEvent(const THandle&, std::uint32_t&) { return false; }
bool ClearCommError(const THandle&, std::uint32_t&, TComStat&) { return false; }
bool ReadFile(const THandle&, void*, std::uint32_t, std::uint32_t& done, TOverlapped*) { done = 0; return false; }
bool WriteFile(const THandle&, const void*, std::uint32_t, std::uint32_t& done, TOverlapped*) { done = 0; return false; }
std::uint32_t GetLastError() { return ERROR_INVALID_HANDLE; }
bool GetOverlappedResult(const THandle&, TOverlapped*, std::uint32_t& done, bool) { done = 0; return false; }
void CloseHandle(const THandle&) {}
void ReleaseHandle(const THandle&) {}
int DescriptorOf(const THandle&) { return -1; }
}  // namespace comm::posix
