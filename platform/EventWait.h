#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace EventWait {

// Runs the events that are pending; when there are none, waits up to
// `maxWaitMs` for one to arrive and runs it. Never waits longer than that.
inline void processEvents(int maxWaitMs) {
    if (maxWaitMs <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // The timer bounds the wait: its expiry is itself an event that ends it.
    QTimer bound;
    bound.setSingleShot(true);
    bound.start(maxWaitMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace EventWait
