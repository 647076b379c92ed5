#include "gui/Scheduler.h"

#include <QTimer>

Scheduler::~Scheduler() = default;

void QtScheduler::singleShot(int ms, QObject *context, std::function<void()> task)
{
    QTimer::singleShot(ms, context, std::move(task));
}

QtScheduler &QtScheduler::shared()
{
    static QtScheduler scheduler;
    return scheduler;
}
