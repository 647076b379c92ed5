// The service layer's process-wide state, kept in one object so that a stop and a new start (and
// every test) begin from a known state. Internal to wrapper/service.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"
#include "wrapper/service/wfa_browse.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"

struct qnb_env;

// The browse driver's block (worker only).
struct wfa_browse_block {
    wb_browse *handle;
    wb_browse_config config;
    uint32_t sockets_flag;     // set by the browse object's sockets-changed callback
    qnb_timeval next_deadline; // earliest resolve deadline, 0:0 for none
    uint32_t browsing;
    uint16_t request_id;
    TCB *duration_task;
};

struct wfa_state {
    // Scheduler: the run list (worker only) and the inbox (guarded by inbox_lock), each bounded by
    // a head and a tail record.
    TCB run_head;
    TCB run_tail;
    TCB inbox_head;
    TCB inbox_tail;
    std::mutex inbox_lock;
    bool inbox_open = false;

    // Start and stop are serialised by control_lock.
    std::mutex control_lock;
    std::thread worker;
    int wake_fd = -1; // readable once stop was requested or a command was posted

    // Written by start before the worker exists and by the worker's clean-up after its loop.
    std::atomic<wfa_result_callback> callback{nullptr};
    std::atomic<void *> context{nullptr};
    // The context of the caller that started the running layer (under control_lock).
    const void *owner = nullptr;
    std::atomic<uint16_t> instance_id{0};
    uint16_t id_counter = 0;
    std::atomic<int> run{0};
    std::atomic<bool> started{false};

    // The worker reports the end of its initialisation here.
    std::mutex init_lock;
    std::condition_variable init_cv;
    bool init_done = false;
    uint32_t init_result = 0;

    // Socket hooks and the master set (worker only).
    bool sockets_changed = true;
    wfa_socket_provider providers[WFA_SOCKET_SLOTS] = {};
    wfa_socket_processor processors[WFA_SOCKET_SLOTS] = {};
    int cmm_socket = -1;
    wfa_cmm_socket_processor cmm_processor = nullptr;
    qnb_socket_set master{};

    std::atomic<qnb_env *> env{nullptr};
    std::atomic<uint16_t> conmon_port{0}; // test seam: the local control-and-monitoring server's port

    // Browse driver: its block, and what it asks of the control-and-monitoring driver (null: that
    // driver's own functions).
    wfa_browse_block browse{};
    std::atomic<const wfa_browse_conmon_calls *> browse_calls{nullptr};

    // Test seams.
    std::atomic<wfa_pause_hook> pause_hook{nullptr};
    std::atomic<void *> pause_context{nullptr};
    std::atomic<wfa_init_step> init_step{nullptr};
    std::atomic<uint16_t> cmm_port{0};
    std::atomic<wfa_cmm_conmon_restart> cmm_conmon_restart{nullptr};

    ~wfa_state();
};

wfa_state &wfa_state_get(void);
