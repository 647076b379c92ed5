#include "tests/gui/support/FakeVeltoWrapper.h"

#include <thread>

namespace {

class FakeVeltoWrapper : public IVeltoWrapper {
public:
    explicit FakeVeltoWrapper(std::shared_ptr<FakeWrapperState> state) : state(std::move(state))
    {
        ++this->state->wrappersCreated;
    }
    ~FakeVeltoWrapper() override { ++state->wrappersDeleted; }

    bool init() override { return simple("init"); }
    bool stop() override { return simple("stop"); }
    int isBrowsing() override { return simple("isBrowsing") ? 1 : 0; }
    bool startBrowse() override { return simple("startBrowse"); }
    bool stopBrowse() override { return simple("stopBrowse"); }
    bool getDeviceList(std::list<std::map<std::string, std::string>> *) override { return simple("getDeviceList"); }
    bool requestPatchList(const std::string &device) override
    {
        WrapperCall call("requestPatchList");
        call.device = device;
        return state->record(call);
    }
    bool setPatch(const std::string &rxDevice, const unsigned short &rxChannel, const wfa_patch_entry &tx) override
    {
        WrapperCall call("setPatch");
        call.device = rxDevice;
        call.count = rxChannel;
        call.entries.push_back(tx);
        return state->record(call);
    }
    bool setBatchPatch(const std::string &rxDevice, const unsigned short &count,
                       const std::list<wfa_patch_entry> &entries) override
    {
        WrapperCall call("setBatchPatch");
        call.device = rxDevice;
        call.count = count;
        call.entries.assign(entries.begin(), entries.end());
        return state->record(call);
    }
    bool setPreferredMaster(const std::string &device, const bool &on) override
    {
        WrapperCall call("setPreferredMaster");
        call.device = device;
        call.flag = on;
        return state->record(call);
    }
    bool setSampleRate(const std::string &device, const unsigned short &rate) override
    {
        WrapperCall call("setSampleRate");
        call.device = device;
        call.count = rate;
        return state->record(call);
    }
    bool setLatency(const std::string &device, const unsigned short &latency) override
    {
        WrapperCall call("setLatency");
        call.device = device;
        call.count = latency;
        return state->record(call);
    }
    bool requestIfList() override { return simple("requestIfList"); }
    bool requestIf() override { return simple("requestIf"); }
    bool setIf(const std::wstring &ifName, const std::string &macAddress) override
    {
        WrapperCall call("setIf");
        call.ifName = ifName;
        call.mac = macAddress;
        return state->record(call);
    }

private:
    bool simple(const char *op) { return state->record(WrapperCall(op)); }

    std::shared_ptr<FakeWrapperState> state;
};

class FakeVeltoFactory : public IVeltoFactory {
public:
    explicit FakeVeltoFactory(std::shared_ptr<FakeWrapperState> state) : state(std::move(state))
    {
        ++this->state->factoriesCreated;
    }
    ~FakeVeltoFactory() override { ++state->factoriesDeleted; }

    IVeltoWrapper *create(IVeltoNotify *notify) override
    {
        if (state->createYieldsNothing)
            return nullptr;
        state->setNotify(notify);
        return new FakeVeltoWrapper(state);
    }

private:
    std::shared_ptr<FakeWrapperState> state;
};

} // namespace

void FakeWrapperState::setAnswer(const std::string &op, bool answer)
{
    std::lock_guard<std::mutex> guard(lock);
    answers[op] = answer;
}

std::vector<WrapperCall> FakeWrapperState::calls() const
{
    std::lock_guard<std::mutex> guard(lock);
    return log;
}

std::vector<WrapperCall> FakeWrapperState::callsOf(const std::string &op) const
{
    std::vector<WrapperCall> out;
    for (const WrapperCall &call : calls()) {
        if (call.op == op)
            out.push_back(call);
    }
    return out;
}

std::vector<std::string> FakeWrapperState::ops() const
{
    std::vector<std::string> out;
    for (const WrapperCall &call : calls())
        out.push_back(call.op);
    return out;
}

void FakeWrapperState::clearCalls()
{
    std::lock_guard<std::mutex> guard(lock);
    log.clear();
}

IVeltoNotify *FakeWrapperState::notify() const
{
    std::lock_guard<std::mutex> guard(lock);
    return notifyTarget;
}

void FakeWrapperState::setNotify(IVeltoNotify *notify)
{
    std::lock_guard<std::mutex> guard(lock);
    notifyTarget = notify;
}

bool FakeWrapperState::record(WrapperCall call)
{
    std::lock_guard<std::mutex> guard(lock);
    const auto it = answers.find(call.op);
    log.push_back(std::move(call));
    return it == answers.end() ? true : it->second;
}

void FakeWrapperState::reportFromWorker(const std::function<void(IVeltoNotify &)> &report)
{
    IVeltoNotify *target = notify();
    if (!target)
        return;
    std::thread worker([&] { report(*target); });
    worker.join();
}

VeltoFactoryFunction fakeVeltoFactory(std::shared_ptr<FakeWrapperState> state)
{
    return [state]() -> IVeltoFactory * {
        if (state->factoryYieldsNothing)
            return nullptr;
        return new FakeVeltoFactory(state);
    };
}
