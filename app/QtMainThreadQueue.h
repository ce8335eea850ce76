// The main-thread queue on Qt's event loop: posted work runs as a queued call on the GUI thread.
#pragma once

#include "MainThreadQueue.h"

class TQtMainThreadQueue : public rt::TMainThreadQueue {
public:
    void Post(std::function<void()> task) override;
    bool IsMainThread() const override;
    // Runs the posted events of the GUI thread, the blocking calls of other threads among them.
    void RunPending() override;
};
