// The comm functions of the POSIX backend (Linux): termios and ioctl behind the Win32-shaped
// calls of CommPlatform.h. TPosixPlatform forwards to these.
//
// How the Win32 model is carried over:
//  - A handle owns the descriptor, an eventfd that wakes its blocked calls, and a receive queue
//    of SetupComm's size that the calls fill from the terminal. Received bytes pass through the
//    queue so that EV_RXCHAR means "new bytes arrived" (bytes left unread never end a wait
//    again), the event character and null elimination can be seen, and counts are exact.
//  - Overlapped transfers never run in the background: ReadFile and WriteFile finish at once
//    when they can, else they go pending and GetOverlappedResult carries them out on the
//    caller's thread, within the COMMTIMEOUTS, until a close or release ends them.
//  - CloseHandle wakes every blocked call of the handle, waits until they have left, and only
//    then closes the descriptor, so the port can be opened again at once and no descriptor
//    number is reused while a call still uses it.
#pragma once

#include <termios.h>

#include <cstdint>

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

// ---- pure rules, reachable by table tests without a terminal

// The Win32 error for an errno value.
std::uint32_t ErrorFromErrno(int error);

// Applies the line settings of dcb (data bits, parity, stop bits, flow control, XON/XOFF
// characters, raw mode) to t, leaving the speed alone. False for values the line cannot take:
// ByteSize outside 5..8, an unknown parity or stop-bit value, 1.5 stop bits with more than five
// data bits and 2 stop bits with five, as the Win32 driver refuses them.
bool TermiosFromDcb(const TDcb& dcb, termios& t);

// The termios speed constant of a standard rate; false for any other rate.
bool StandardSpeed(std::uint32_t baud, speed_t& speed);

}  // namespace comm::posix
