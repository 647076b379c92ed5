// A veltoWrapper stand-in: records every IVeltoWrapper call and answers as the test says. The
// state is shared with the test, so it stays readable after the program has deleted the wrapper.
#pragma once

#include "gui/AppServices.h"
#include "wrapper/veltoWrapper.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

inline bool operator==(const wfa_patch_entry &a, const wfa_patch_entry &b)
{
    return a.name == b.name && a.value == b.value;
}

inline void PrintTo(const wfa_patch_entry &e, std::ostream *os)
{
    *os << "{\"" << e.name << "\", " << e.value << "}";
}

struct WrapperCall {
    explicit WrapperCall(std::string op = std::string()) : op(std::move(op)) {}

    std::string op; // the IVeltoWrapper operation: "init", "setBatchPatch", ...
    std::string device;
    unsigned short count = 0;
    std::vector<wfa_patch_entry> entries;
    bool flag = false;
    std::wstring ifName;
    std::string mac;
};

class FakeWrapperState {
public:
    // Behaviour.
    std::atomic<bool> factoryYieldsNothing{false};
    std::atomic<bool> createYieldsNothing{false};
    // The answer of an operation (default true).
    void setAnswer(const std::string &op, bool answer);

    // Observation.
    std::vector<WrapperCall> calls() const;
    std::vector<WrapperCall> callsOf(const std::string &op) const;
    std::vector<std::string> ops() const;
    void clearCalls();
    IVeltoNotify *notify() const;
    std::atomic<int> factoriesCreated{0};
    std::atomic<int> factoriesDeleted{0};
    std::atomic<int> wrappersCreated{0};
    std::atomic<int> wrappersDeleted{0};

    // Runs `report` with the notify interface on a thread of its own, as veltoWrapper's worker
    // does, and waits for it to finish.
    void reportFromWorker(const std::function<void(IVeltoNotify &)> &report);

    // Used by the fake itself.
    bool record(WrapperCall call);
    void setNotify(IVeltoNotify *notify);

private:
    mutable std::mutex lock;
    std::vector<WrapperCall> log;
    std::map<std::string, bool> answers;
    IVeltoNotify *notifyTarget = nullptr;
};

// A factory function that yields factories of fakes sharing `state`.
VeltoFactoryFunction fakeVeltoFactory(std::shared_ptr<FakeWrapperState> state);
