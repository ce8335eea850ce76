// The main-thread queue on Qt's event loop. Posted work waits in a queue of our own, guarded by
// a standard mutex, and a queued call by name wakes the GUI thread to run it: so every hand-off
// between the threads goes through a lock the thread sanitizer sees, and Qt's event queue
// carries no data of ours.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

#include "MainThreadQueue.h"

class TQtMainThreadQueue : public QObject, public rt::TMainThreadQueue {
    Q_OBJECT
public:
    void Post(std::function<void()> task) override;
    bool IsMainThread() const override;
    // Runs what is posted now; also runs Qt's posted events of the GUI thread.
    void RunPending() override;

private slots:
    void RunPosted();

private:
    std::mutex FMutex;
    std::deque<std::function<void()>> FTasks;
};
