// The service layer's process-wide state, kept in one object so that a stop and a new start (and
// every test) begin from a known state. Internal to wrapper/service.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "netaudio/platform/qnb_socket_set.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"

struct qnb_env;

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
    int wake_fd = -1; // readable once stop was requested

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

    // Test seams.
    std::atomic<wfa_pause_hook> pause_hook{nullptr};
    std::atomic<void *> pause_context{nullptr};
    std::atomic<wfa_init_step> init_step{nullptr};

    ~wfa_state();
};

wfa_state &wfa_state_get(void);
