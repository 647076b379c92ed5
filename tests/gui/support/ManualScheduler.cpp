#include "tests/gui/support/ManualScheduler.h"

#include <algorithm>

void ManualScheduler::singleShot(int ms, QObject *context, std::function<void()> task)
{
    const int delay = ms < 0 ? 0 : ms;
    history.push_back({clock, ms});
    tasks.push_back({clock + delay, nextSequence++, QPointer<QObject>(context), std::move(task)});
}

qint64 ManualScheduler::nextDueIn() const
{
    if (tasks.empty())
        return -1;
    const auto next = std::min_element(tasks.begin(), tasks.end(),
                                       [](const Task &a, const Task &b) { return a.due < b.due; });
    return next->due - clock;
}

void ManualScheduler::advance(qint64 ms)
{
    const qint64 target = clock + ms;
    for (;;) {
        auto next = std::min_element(tasks.begin(), tasks.end(), [](const Task &a, const Task &b) {
            return a.due != b.due ? a.due < b.due : a.sequence < b.sequence;
        });
        if (next == tasks.end() || next->due > target)
            break;
        Task task = std::move(*next);
        tasks.erase(next);
        clock = std::max(clock, task.due);
        if (task.context)
            task.run();
    }
    clock = target;
}

bool ManualScheduler::runNext()
{
    const qint64 due = nextDueIn();
    if (due < 0)
        return false;
    advance(due);
    return true;
}
