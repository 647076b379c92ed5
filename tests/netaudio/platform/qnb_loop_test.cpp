#include "netaudio/platform/qnb_loop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "netaudio/platform/qnb_env.h"
#include "tests/support/fake_clock.h"

namespace {

class LoopTest : public ::testing::Test {
public:
    std::vector<std::string> trace;

protected:
    qz_test::fake_clock clock{1000, 0};
    qnb_event_loop *loop = nullptr;
    std::vector<uint32_t> events;

    void SetUp() override
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_new(&loop, &LoopTest::on_event, this,
                                                      QNB_EVENT_LOOP_SOCKETS_CHANGED | QNB_EVENT_LOOP_TIMER_EARLIEST, 2));
    }
    void TearDown() override
    {
        if (loop) {
            EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(loop));
        }
    }

    static int on_event(qnb_event_loop *, void *self, uint32_t e)
    {
        static_cast<LoopTest *>(self)->events.push_back(e);
        return 0;
    }

    // Runs passes without real waiting.
    unsigned run(int passes = 1)
    {
        unsigned total = 0;
        for (int i = 0; i < passes; ++i) {
            unsigned ran = 0;
            EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(loop, 0, &ran));
            total += ran;
        }
        return total;
    }
};

struct tagged {
    LoopTest *test;
    std::string name;
};

void record_timer(qnb_timer *, void *context)
{
    tagged *t = static_cast<tagged *>(context);
    t->test->trace.push_back(t->name);
}

TEST_F(LoopTest, TimersFireInExpiryOrderAndEqualExpiriesKeepInsertionOrder)
{
    tagged a{this, "a"}, b{this, "b"}, c{this, "c"}, d{this, "d"};
    qnb_timer *t[4];
    const qnb_timeval at3{1003, 0}, at1{1001, 0}, d2{2, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, record_timer, &at3, nullptr, &a, &t[0]));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, record_timer, &at1, nullptr, &b, &t[1]));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, record_timer, nullptr, &d2, &c, &t[2]));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, record_timer, &at1, nullptr, &d, &t[3]));
    // "b" became the earliest timer, and so did nothing else after it.
    EXPECT_EQ((std::vector<uint32_t>{QNB_EVENT_LOOP_TIMER_EARLIEST, QNB_EVENT_LOOP_TIMER_EARLIEST}), events);

    run();
    EXPECT_TRUE(trace.empty()); // nothing due on the fake clock
    clock.advance(1, 0);
    run();
    EXPECT_EQ((std::vector<std::string>{"b", "d"}), trace);
    clock.advance(5, 0);
    run();
    EXPECT_EQ((std::vector<std::string>{"b", "d", "c", "a"}), trace);
    // Fired one-shots are gone; nothing fires again.
    clock.advance(100, 0);
    EXPECT_EQ(0u, run());
}

TEST_F(LoopTest, PeriodicTimerIsRearmedAndSkipsMissedPeriods)
{
    tagged p{this, "p"};
    qnb_timer *timer = nullptr;
    const qnb_timeval interval{0, 1500000}; // normalised to 1.5 s
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_periodic(loop, record_timer, nullptr, &interval, &p, &timer));
    EXPECT_EQ(1001u, qnb_timer_get_expiry(timer)->tv_sec);
    EXPECT_EQ(500000u, qnb_timer_get_expiry(timer)->tv_usec);
    const qnb_timeval zero{0, 0};
    qnb_timer *refused = nullptr;
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_timer_new_periodic(loop, record_timer, nullptr, &zero, &p, &refused));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_timer_new_oneshot(loop, record_timer, nullptr, nullptr, &p, &refused));

    for (int i = 1; i <= 4; ++i) {
        clock.advance(1, 500000);
        run();
        EXPECT_EQ(static_cast<size_t>(i), trace.size());
    }
    EXPECT_EQ(1007u, qnb_timer_get_expiry(timer)->tv_sec);
    // Ten periods late: it fires once and is due one interval after now.
    clock.advance(15, 0);
    run();
    EXPECT_EQ(5u, trace.size());
    EXPECT_EQ(1022u, qnb_timer_get_expiry(timer)->tv_sec);
    EXPECT_EQ(500000u, qnb_timer_get_expiry(timer)->tv_usec);
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_timer_stop(timer)); // only a timer created idle stops
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_timer_delete(timer));
}

// Callbacks that change the timers while they are being dispatched.
struct rearm_case {
    explicit rearm_case(LoopTest *t, const char *a) : test(t), action(a) {}
    LoopTest *test;
    qnb_timer *self = nullptr;
    qnb_timer *other = nullptr;
    std::string action;
    int fired = 0;
};

void changing_timer(qnb_timer *timer, void *context)
{
    rearm_case *c = static_cast<rearm_case *>(context);
    c->fired++;
    c->test->trace.push_back(c->action);
    const qnb_timeval two{2, 0};
    if (c->action == "delete self") {
        qnb_timer_delete(timer);
    } else if (c->action == "rearm self") {
        qnb_timer_set_expiry(timer, nullptr, &two);
    } else if (c->action == "stop self") {
        qnb_timer_stop(timer);
    } else if (c->action == "delete other") {
        qnb_timer_delete(c->other);
    } else if (c->action == "create") {
        qnb_timer_new_oneshot(qnb_timer_get_loop(timer), changing_timer, nullptr, &two, c, &c->other);
        c->action = "created";
    }
}

TEST_F(LoopTest, CallbacksChangeTimersDuringDispatch)
{
    const qnb_timeval one{1, 0};
    // rearm self: a one-shot that re-arms itself fires again 2 s later.
    rearm_case rearm(this, "rearm self");
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, changing_timer, nullptr, &one, &rearm, &rearm.self));
    // delete self: a periodic timer deleted by its own callback never fires again.
    rearm_case del(this, "delete self");
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_periodic(loop, changing_timer, nullptr, &one, &del, &del.self));
    // delete other: a due timer deleted by an earlier one in the same pass does not fire.
    rearm_case victim(this, "victim");
    rearm_case killer(this, "delete other");
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, changing_timer, nullptr, &one, &killer, &killer.self));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, changing_timer, nullptr, &one, &victim, &victim.self));
    killer.other = victim.self;
    // stop self: an idle-created periodic timer stopped in its callback stays, idle.
    rearm_case stop(this, "stop self");
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_idle(loop, changing_timer, &stop, &stop.self));
    EXPECT_EQ(nullptr, qnb_timer_get_expiry(stop.self));
    EXPECT_EQ(0, qnb_timer_is_armed(stop.self));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_set_interval(stop.self, nullptr, &one));
    EXPECT_EQ(1, qnb_timer_is_armed(stop.self));
    // create: a timer created during dispatch waits for a later pass even when already due.
    rearm_case creator(this, "create");
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, changing_timer, nullptr, &one, &creator, &creator.self));

    clock.advance(1, 0);
    run();
    EXPECT_EQ((std::vector<std::string>{"rearm self", "delete self", "delete other", "stop self", "create"}), trace);
    EXPECT_EQ(0, victim.fired);
    EXPECT_EQ(0, qnb_timer_is_armed(stop.self));
    EXPECT_EQ(QNB_TIMER_IDLE, qnb_timer_get_state(stop.self));

    clock.advance(2, 0);
    run();
    EXPECT_EQ(2, rearm.fired);
    EXPECT_EQ(1, del.fired);
    EXPECT_EQ(1, stop.fired);
    EXPECT_EQ(2, creator.fired); // the timer it created, with the same context
    // The idle timer can be armed again; it returns to idle after a one-shot.
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_set_expiry(stop.self, nullptr, &one));
    stop.action = "again";
    clock.advance(3, 0);
    run();
    EXPECT_EQ(2, stop.fired);
    EXPECT_EQ(QNB_TIMER_IDLE, qnb_timer_get_state(stop.self));
    qnb_timer_delete(stop.self);
}

struct pass_log {
    std::vector<std::pair<int, uint32_t>> calls;
    qnb_event_loop *loop = nullptr;
    int requeue = 0;
};

void pass_callback(int argument, qnb_event_loop *loop, uint32_t handle, void *user_data)
{
    pass_log *log = static_cast<pass_log *>(user_data);
    log->calls.emplace_back(argument, handle);
    if (log->requeue > 0) {
        log->requeue--;
        qnb_event_loop_add_pass_callback(loop, nullptr, pass_callback, user_data);
    }
}

TEST_F(LoopTest, DeferredCallbacksRunOnceAndRemovedOnesNever)
{
    pass_log log;
    uint32_t h[3];
    for (uint32_t &handle : h)
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_add_pass_callback(loop, &handle, pass_callback, &log));
    EXPECT_EQ(1u, h[0]);
    EXPECT_EQ(3u, h[2]); // the buffer of 2 doubled
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_remove_pass_callback(loop, h[1], pass_callback, &log));
    EXPECT_EQ(QNB_ERR_NOTFOUND, qnb_event_loop_remove_pass_callback(loop, h[2], pass_callback, nullptr));
    EXPECT_EQ(QNB_ERR_NOTFOUND, qnb_event_loop_remove_pass_callback(loop, 9, pass_callback, &log));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_event_loop_remove_pass_callback(loop, 0, pass_callback, &log));
    // The removed item keeps its place: the next handle is not 2.
    uint32_t next = 0;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_add_pass_callback(loop, &next, pass_callback, &log));
    EXPECT_EQ(4u, next);

    log.requeue = 1;
    EXPECT_EQ(3u, run());
    ASSERT_EQ(3u, log.calls.size());
    EXPECT_EQ(std::make_pair(0, h[0]), log.calls[0]);
    EXPECT_EQ(std::make_pair(0, h[2]), log.calls[1]);
    EXPECT_EQ(std::make_pair(0, next), log.calls[2]);
    // Queued from a callback: the second buffer, next pass, once.
    EXPECT_EQ(1u, run());
    ASSERT_EQ(4u, log.calls.size());
    EXPECT_EQ(1u | QNB_EVENT_LOOP_HANDLE_SECOND, log.calls[3].second);
    EXPECT_EQ(0u, run());
    // Still queued at destruction: called once with argument 1.
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_add_pass_callback(loop, nullptr, pass_callback, &log));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(loop));
    loop = nullptr;
    ASSERT_EQ(5u, log.calls.size());
    EXPECT_EQ(1, log.calls[4].first);
}

// Sockets: a pipe per socket, readable when a byte is written.
struct pipe_socket {
    int fds[2] = {-1, -1};
    pipe_socket() { EXPECT_EQ(0, pipe2(fds, O_NONBLOCK)); }
    ~pipe_socket()
    {
        close(fds[0]);
        close(fds[1]);
    }
    void signal() { EXPECT_EQ(1, write(fds[1], "x", 1)); }
    void drain()
    {
        char b[16];
        while (read(fds[0], b, sizeof b) > 0) {
        }
    }
};

struct socket_case {
    LoopTest *test;
    pipe_socket *self;
    pipe_socket *other;
    std::string action;
    int calls = 0;
};

void socket_ready(qnb_event_loop *loop, int, unsigned, void *user_data)
{
    socket_case *c = static_cast<socket_case *>(user_data);
    c->calls++;
    c->self->drain();
    c->test->trace.push_back(c->action);
    if (c->action == "remove self")
        qnb_event_loop_set_socket(loop, c->self->fds[0], 0, nullptr, nullptr, QNB_EVENT_LOOP_CHANGE_ONLY);
    else if (c->action == "remove other")
        qnb_event_loop_set_socket(loop, c->other->fds[0], 0, nullptr, nullptr, QNB_EVENT_LOOP_CHANGE_ONLY);
    else if (c->action == "add other")
        qnb_event_loop_set_socket(loop, c->other->fds[0], 0, socket_ready, c, QNB_EVENT_LOOP_ADD_ONLY);
}

TEST_F(LoopTest, SocketsRegisteredAndRemovedInsideCallbacks)
{
    pipe_socket p1, p2, p3, p4;
    socket_case remover{this, &p1, &p2, "remove other"};
    socket_case victim{this, &p2, nullptr, "victim"};
    socket_case self{this, &p3, nullptr, "remove self"};
    socket_case adder{this, &p4, &p1, "add other"};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p1.fds[0], 0, socket_ready, &remover, 0));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p2.fds[0], 0, socket_ready, &victim, 2));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p3.fds[0], 0, socket_ready, &self, 0));
    EXPECT_EQ(3u, qnb_event_loop_socket_count(loop, 0));
    EXPECT_EQ(3u, events.size()); // every change reported
    EXPECT_EQ(uint32_t{QNB_EVENT_LOOP_SOCKETS_CHANGED}, events.back());

    struct row {
        int socket;
        unsigned set;
        int mode;
        bool with_callback;
        qnb_error result;
    } rows[] = {
        {p1.fds[0], 0, QNB_EVENT_LOOP_ADD_ONLY, true, QNB_ERR_ALREADY},
        {p4.fds[0], 0, QNB_EVENT_LOOP_CHANGE_ONLY, false, QNB_ERR_NOTFOUND},
        {p4.fds[0], 0, QNB_EVENT_LOOP_CHANGE_ONLY, true, QNB_ERR_NOTFOUND},
        {p4.fds[0], 0, QNB_EVENT_LOOP_ADD_OR_CHANGE, false, QNB_ERR_SUCCESS}, // nothing to remove
        {-1, 0, 0, true, QNB_ERR_INVALIDPARAMETER},
        {p4.fds[0], 3, 0, true, QNB_ERR_INVALIDPARAMETER},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.socket);
        EXPECT_EQ(r.result, qnb_event_loop_set_socket(loop, r.socket, r.set, r.with_callback ? socket_ready : nullptr,
                                                      &adder, r.mode));
    }
    EXPECT_EQ(3u, qnb_event_loop_socket_count(loop, 0));

    // All three ready: the first removes the second (which is not called), the third removes itself.
    p1.signal();
    p2.signal();
    p3.signal();
    EXPECT_EQ(2u, run());
    EXPECT_EQ((std::vector<std::string>{"remove other", "remove self"}), trace);
    EXPECT_EQ(1u, qnb_event_loop_socket_count(loop, 0));
    p2.signal();
    p3.signal();
    EXPECT_EQ(0u, run());

    // A socket added inside a callback is watched from the next pass on; a removed one can come back.
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p1.fds[0], 0, nullptr, nullptr, 1));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p4.fds[0], 0, socket_ready, &adder, 2));
    trace.clear();
    p4.signal();
    p1.signal();
    EXPECT_EQ(1u, run());
    EXPECT_EQ((std::vector<std::string>{"add other"}), trace);
    adder.action = "quiet";
    EXPECT_EQ(1u, run()); // p1 is still readable: now its callback runs
    EXPECT_EQ(2, adder.calls);

    // The write set reports a writable pipe.
    socket_case writer{this, &p2, nullptr, "writable"};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, p2.fds[1], QNB_EVENT_LOOP_SET_WRITE, socket_ready,
                                                         &writer, 0));
    run();
    EXPECT_EQ(1, writer.calls);
}

TEST_F(LoopTest, SetHoldingTenTwentyFourSocketsRefusesTheNext)
{
    // Descriptor numbers only: no pass runs, so they need not be open.
    for (int i = 0; i < QNB_SOCKET_SET_MAX; ++i)
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, 5000 + i, 0, socket_ready, this, 0)) << i;
    EXPECT_EQ(QNB_ERR_NOBUFS, qnb_event_loop_set_socket(loop, 4000, 0, socket_ready, this, 0));
    EXPECT_EQ(unsigned{QNB_SOCKET_SET_MAX}, qnb_event_loop_socket_count(loop, 0));
    // Other sets and changes of registered sockets are not affected.
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, 4000, 1, socket_ready, this, 0));
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, 5000, 0, socket_ready, nullptr, 1));
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, 5000, 0, nullptr, nullptr, 1));
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(loop, 4000, 0, socket_ready, this, 2));
}

int refusing_callback(qnb_event_loop *loop, void *, uint32_t)
{
    // Inside the application callback the sockets cannot change, nor can the loop go.
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, qnb_event_loop_set_socket(loop, 9, 0, socket_ready, nullptr, 0));
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, qnb_event_loop_destroy(loop));
    return 7;
}

void destroying_timer(qnb_timer *timer, void *)
{
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, qnb_event_loop_destroy(qnb_timer_get_loop(timer)));
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, qnb_event_loop_run_once(qnb_timer_get_loop(timer), 0, nullptr));
}

TEST_F(LoopTest, NotifyMasksEventsAndTheLoopCannotGoFromItsOwnCallbacks)
{
    qnb_event_loop *masked = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_new(&masked, refusing_callback, nullptr, QNB_EVENT_LOOP_TIMER_EARLIEST, 0));
    EXPECT_EQ(0, qnb_event_loop_notify(masked, QNB_EVENT_LOOP_SOCKETS_CHANGED));
    EXPECT_EQ(7, qnb_event_loop_notify(masked, QNB_EVENT_LOOP_SOCKETS_CHANGED | QNB_EVENT_LOOP_TIMER_EARLIEST));
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(masked));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_event_loop_destroy(nullptr));

    qnb_timer *timer = nullptr;
    const qnb_timeval one{1, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, destroying_timer, nullptr, &one, nullptr, &timer));
    clock.advance(1, 0);
    EXPECT_EQ(1u, run());
}

TEST_F(LoopTest, PassWaitsOnTheLibraryClockWithABoundedRealWait)
{
    tagged t{this, "t"};
    qnb_timer *timer = nullptr;
    const qnb_timeval in_an_hour{3600, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_oneshot(loop, record_timer, nullptr, &in_an_hour, &t, &timer));
    // The timer is an hour away on the fake clock: the pass waits only its real bound.
    unsigned ran = 9;
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(loop, 20, &ran));
    EXPECT_EQ(0u, ran);
    clock.advance(3600, 0);
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(loop, 60000, &ran)); // due: no wait at all
    EXPECT_EQ(1u, ran);
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, qnb_event_loop_run_once(loop, -1, nullptr));
}

// An object handed to the loop is freed with it.
TEST_F(LoopTest, EnvironmentOwnsItsLoopAndLoopOwnsAdoptedObjects)
{
    qnb_env_reset_for_tests();
    qnb_env *env = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_env_get(&env));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_env_create_event_loop(env));
    EXPECT_EQ(QNB_ERR_ALREADY, qnb_env_create_event_loop(env));
    ASSERT_NE(nullptr, env->event_loop);
    EXPECT_TRUE(env->flags & QNB_ENV_FLAG_OWNS_EVENT_LOOP);
    static int freed = 0;
    freed = 0;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_adopt_object(env->event_loop, new int(4), [](void *p) {
                  delete static_cast<int *>(p);
                  ++freed;
              }));
    qnb_timer *left = nullptr; // a timer still armed goes with the loop
    const qnb_timeval one{1, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_timer_new_periodic(env->event_loop, record_timer, nullptr, &one, nullptr, &left));
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_env_release(env));
    EXPECT_EQ(1, freed);
    EXPECT_EQ(nullptr, env->event_loop);
    qnb_env_reset_for_tests();
}

std::vector<int> g_power_states;
void power_changed(qnb_power_state_monitor *m)
{
    g_power_states.push_back(m->state);
}

TEST_F(LoopTest, PowerMonitorSleepsOnceAndWakesAfterItsDelay)
{
    g_power_states.clear();
    qnb_env env{};
    env.event_loop = loop;
    qnb_power_state_monitor m;
    const qnb_timeval delay{5, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_power_state_monitor_init(&m, &env, power_changed, &delay));
    EXPECT_EQ(0, qnb_power_state_monitor_wndproc(&m, 0x10, QNB_POWER_SUSPEND, 0)); // not a power broadcast
    EXPECT_TRUE(g_power_states.empty());
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_RESUME_AUTOMATIC, 0); // not asleep
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_SUSPEND, 0);
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_SUSPEND, 0);
    EXPECT_EQ((std::vector<int>{QNB_POWER_ASLEEP}), g_power_states);
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_RESUME_SUSPEND, 0);
    EXPECT_EQ(QNB_POWER_WAKING, m.state);
    clock.advance(4, 999999);
    run();
    EXPECT_EQ(QNB_POWER_WAKING, m.state);
    clock.advance(0, 1);
    run();
    EXPECT_EQ((std::vector<int>{QNB_POWER_ASLEEP, QNB_POWER_WAKING, QNB_POWER_AWAKE}), g_power_states);
    EXPECT_EQ(nullptr, m.wake_timer);

    // Suspended again while waking: the wake-delay timer goes, the delay never completes.
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_SUSPEND, 0);
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_RESUME_SUSPEND, 0);
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_SUSPEND, 0);
    clock.advance(10, 0);
    run();
    EXPECT_EQ(QNB_POWER_ASLEEP, m.state);
    // Without a delay, resume wakes at once.
    m.wake_delay = qnb_timeval{0, 0};
    qnb_power_state_monitor_wndproc(&m, QNB_POWER_BROADCAST, QNB_POWER_RESUME_AUTOMATIC, 0);
    EXPECT_EQ(QNB_POWER_AWAKE, m.state);
    qnb_power_state_monitor_close(&m);
}

} // namespace
