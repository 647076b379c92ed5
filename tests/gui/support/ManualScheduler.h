// A Scheduler on a manual clock: nothing runs until the test advances the time.
#pragma once

#include "gui/Scheduler.h"

#include <QPointer>

#include <functional>
#include <vector>

class ManualScheduler : public Scheduler {
public:
    struct Request {
        qint64 at;  // the clock when the request was made
        int delay;  // milliseconds asked for
    };

    void singleShot(int ms, QObject *context, std::function<void()> task) override;

    qint64 now() const { return clock; }
    // Tasks not yet run (including those whose context has gone).
    int pendingCount() const { return static_cast<int>(tasks.size()); }
    // Milliseconds until the next task falls due, -1 when nothing is pending.
    qint64 nextDueIn() const;
    // Moves the clock forward by `ms`, running every task that falls due on the way in order of
    // due time (then of request), tasks requested meanwhile included.
    void advance(qint64 ms);
    // Runs what is due now.
    void runDue() { advance(0); }
    // Moves the clock to the next task and runs it (with every other task due then); false when
    // nothing is pending.
    bool runNext();
    // Every request made so far, in order.
    const std::vector<Request> &requests() const { return history; }

private:
    struct Task {
        qint64 due;
        quint64 sequence;
        QPointer<QObject> context;
        std::function<void()> run;
    };
    qint64 clock = 0;
    quint64 nextSequence = 0;
    std::vector<Task> tasks;
    std::vector<Request> history;
};
