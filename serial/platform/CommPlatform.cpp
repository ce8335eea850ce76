#include "CommPlatform.h"

#include <atomic>

namespace comm {
namespace {
std::atomic<TCommPlatform*> gInstalled{nullptr};
}

TCommPlatform& Platform() {
    TCommPlatform* p = gInstalled.load();
    return p ? *p : SystemPlatform();
}

void SetPlatform(TCommPlatform* platform) { gInstalled.store(platform); }

}  // namespace comm
