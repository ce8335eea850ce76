#include "QtMainThreadQueue.h"

#include <QCoreApplication>
#include <QThread>

void TQtMainThreadQueue::Post(std::function<void()> task) {
    bool wake;
    {
        std::lock_guard lock(FMutex);
        wake = FTasks.empty();  // one wake-up runs everything queued before it runs
        FTasks.push_back(std::move(task));
    }
    if (wake) QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

bool TQtMainThreadQueue::IsMainThread() const {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

void TQtMainThreadQueue::RunPosted() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(FMutex);
            if (FTasks.empty()) return;
            task = std::move(FTasks.front());
            FTasks.pop_front();
        }
        task();
    }
}

void TQtMainThreadQueue::RunPending() {
    RunPosted();
    QCoreApplication::sendPostedEvents();
}
