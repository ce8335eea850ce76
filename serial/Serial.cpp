#include "Serial.h"

#include <algorithm>

// ---------------------------------------------------------------- TCustomSerial

TCustomSerial::TCustomSerial(rt::TComponent* owner) : rt::TComponent(owner) {
    if (COMManager && COMManager->PortCount() > 0) SetPortIndex(0);
}

TCustomSerial::~TCustomSerial() {
    // No list entry may name a component that is gone.
    if (COMManager) COMManager->ForgetOwner(this);
}

void TCustomSerial::SetCOMPort(std::int32_t value) {
    if (value == 0 || (COMManager && COMManager->PortExists(value))) FCOMPort = value;
}

void TCustomSerial::SetPortIndex(std::int32_t index) {
    if (!COMManager) return;
    const std::vector<TPortEntry> ports = COMManager->Ports();
    if (index >= 0 && static_cast<std::size_t>(index) < ports.size())
        FCOMPort = ports[static_cast<std::size_t>(index)].Record.PortNo;
}

rt::TNotifyEvent TCustomSerial::OnCOMRemoved() const {
    std::lock_guard lock(FEventLock);
    return FOnCOMRemoved;
}

void TCustomSerial::SetOnCOMRemoved(const rt::TNotifyEvent& value) {
    std::lock_guard lock(FEventLock);
    FOnCOMRemoved = value;
}

void TCustomSerial::COMRemoved() {
    FActive = false;
    if (const rt::TNotifyEvent handler = OnCOMRemoved()) handler(this);
}

// ---------------------------------------------------------------- TSerial

std::int32_t RoundBaudrate(std::int32_t value) {
    constexpr std::int32_t kClock = 9216000;
    value = std::clamp(value, 50, 921600);
    return kClock / (kClock / value);
}

TSerial::TSerial(rt::TComponent* owner)
    : TCustomSerial(owner),
      ReceiveString(this, &TSerial::ReceiveStringClosed, &TSerial::ReceiveStringImmediate,
                    &TSerial::ReceiveStringOverlapped),
      SendData(this, &TSerial::SendDataClosed, &TSerial::SendDataImmediate,
               &TSerial::SendDataOverlapped),
      ReceiveData(this, &TSerial::ReceiveDataClosed, &TSerial::ReceiveDataImmediate,
                  &TSerial::ReceiveDataOverlapped),
      SendString(this, &TSerial::SendStringClosed, &TSerial::SendStringImmediate,
                 &TSerial::SendStringOverlapped),
      FLink(std::make_shared<TSerThreadLink>()) {
    FLink->Component = this;
    std::uint32_t platformId = 0;
    FIsWinNT = comm::Platform().GetVersionEx(platformId) && platformId == comm::VER_PLATFORM_WIN32_NT;
    FThreadPriority = rt::TThreadPriority::tpNormal;
    FBufSizeTrm = 16384;
    FBufSizeRec = 16384;
    BindSlots(TTransferVariant::Closed);
}


void TSerial::SetBaudrate(std::int32_t value) { FBaudrate = RoundBaudrate(value); }

void TSerial::SetParityBit(TParityBit value) {
    FParityBit = value;
    FParityCheck = value != TParityBit::none;
}

void TSerial::SetBufSizeTrm(std::int32_t value) { FBufSizeTrm = std::max(value, 4096); }

void TSerial::SetBufSizeRec(std::int32_t value) {
    FBufSizeRec = std::max(value, 4096);
    if (FXOffLimit > FBufSizeRec) FXOffLimit = FBufSizeRec;
    if (FXOnLimit >= FXOffLimit) FXOnLimit = FXOffLimit - 1;
}

void TSerial::SetXOffLimit(std::int32_t value) {
    if (value <= FXOnLimit) value = FXOnLimit + 1;
    if (value > FBufSizeRec) value = FBufSizeRec;
    FXOffLimit = value;
}

void TSerial::SetXOnLimit(std::int32_t value) {
    if (value >= FXOffLimit) value = FXOffLimit - 1;
    if (value < 0) value = 0;
    FXOnLimit = value;
}

void TSerial::SetDataSize(std::int32_t value) { FDataSize = std::clamp(value, 0, FBufSizeRec); }

rt::TNotifyEvent TSerial::Handler(TEvent e) const {
    std::lock_guard lock(FEventLock);
    return FHandlers[e];
}

void TSerial::SetHandler(TEvent e, const rt::TNotifyEvent& handler) {
    std::lock_guard lock(FEventLock);
    FHandlers[e] = handler;
}

