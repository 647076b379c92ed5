// Deferred calls of the program. Every single-shot delay goes through a Scheduler so that the
// sequences can be driven by a manual clock in tests instead of real timers.
#pragma once

#include <functional>

class QObject;

class Scheduler {
public:
    virtual ~Scheduler();

    // Runs `task` once, `ms` milliseconds from now, on the thread of `context`. Nothing runs when
    // `context` is destroyed before the time has come.
    virtual void singleShot(int ms, QObject *context, std::function<void()> task) = 0;
};

// Qt's single-shot timers.
class QtScheduler : public Scheduler {
public:
    void singleShot(int ms, QObject *context, std::function<void()> task) override;

    // The one shared instance the program uses by default.
    static QtScheduler &shared();
};
