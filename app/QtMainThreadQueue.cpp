#include "QtMainThreadQueue.h"

#include <QCoreApplication>
#include <QThread>

void TQtMainThreadQueue::Post(std::function<void()> task) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

bool TQtMainThreadQueue::IsMainThread() const {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

void TQtMainThreadQueue::RunPending() { QCoreApplication::sendPostedEvents(); }
