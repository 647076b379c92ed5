#include "gui/Scheduler.h"

#include <QTimer>

Scheduler::~Scheduler() = default;

void QtScheduler::singleShot(int ms, QObject *context, std::function<void()> task)
{
    // Precise: Qt makes delays of 2 s and more coarse by default, and those fire up to 5 % early
    // (the 3000 ms before the clear step as little as 2850 ms after the last answer).
    QTimer::singleShot(ms, Qt::PreciseTimer, context, std::move(task));
}

QtScheduler &QtScheduler::shared()
{
    static QtScheduler scheduler;
    return scheduler;
}
