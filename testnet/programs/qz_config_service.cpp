// Runs the simulated local configuration service on its own, for trying the program end to end.
//
//   qz_config_service [--port N] [--interfaces FILE] [--change-delay MS] [--silent]
//                     [--foreign-lock] [--status OPCODE=STATUS]... [--fault truncate|seqnum|duplicate]
//
// Without --interfaces it offers the PC's view of a small test installation (two interfaces, the
// first in use). It runs until interrupted.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_error.h"
#include "testnet/tn_config_service.h"
#include "testnet/programs/tn_program.h"

namespace {

using tn_program::catch_stop;
using tn_program::g_stop;
using tn_program::parse_number;

void usage(const char *name)
{
    fprintf(stderr,
            "usage: %s [--port N] [--interfaces FILE] [--change-delay MS] [--silent] [--foreign-lock]\n"
            "          [--status OPCODE=STATUS]... [--fault truncate|seqnum|duplicate]\n",
            name);
}

const char *k_default_interfaces = "interface 02:00:00:00:00:01 Ethernet\n"
                                   "interface 02:00:00:00:00:02 Ethernet 2\n"
                                   "current 02:00:00:00:00:01\n";

} // namespace

int main(int argc, char **argv)
{
    unsigned long port = 8850;
    unsigned long delay = 500;
    const char *file = nullptr;
    bool silent = false;
    bool foreign = false;
    tn_config_fault fault = TN_CONFIG_FAULT_NONE;
    struct status_rule {
        unsigned long opcode, status;
    } rules[16];
    unsigned rule_count = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!strcmp(a, "--port") && parse_number(v, 65535, &port)) {
            ++i;
        } else if (!strcmp(a, "--interfaces") && v) {
            file = v;
            ++i;
        } else if (!strcmp(a, "--change-delay") && parse_number(v, 3600000, &delay)) {
            ++i;
        } else if (!strcmp(a, "--silent")) {
            silent = true;
        } else if (!strcmp(a, "--foreign-lock")) {
            foreign = true;
        } else if (!strcmp(a, "--status") && v && rule_count < 16) {
            char op[16] = "";
            const char *eq = strchr(v, '=');
            if (!eq || eq - v >= static_cast<long>(sizeof op)) {
                usage(argv[0]);
                return 2;
            }
            memcpy(op, v, static_cast<size_t>(eq - v));
            if (!parse_number(op, 65535, &rules[rule_count].opcode) ||
                !parse_number(eq + 1, 65535, &rules[rule_count].status)) {
                usage(argv[0]);
                return 2;
            }
            ++rule_count;
            ++i;
        } else if (!strcmp(a, "--fault") && v) {
            if (!strcmp(v, "truncate"))
                fault = TN_CONFIG_FAULT_TRUNCATE;
            else if (!strcmp(v, "seqnum"))
                fault = TN_CONFIG_FAULT_WRONG_SEQNUM;
            else if (!strcmp(v, "duplicate"))
                fault = TN_CONFIG_FAULT_DUPLICATE;
            else {
                usage(argv[0]);
                return 2;
            }
            ++i;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    qnb_error err = QNB_ERR_SUCCESS;
    tn_config_service *svc = tn_config_service_new(static_cast<uint16_t>(port), &err);
    if (!svc) {
        fprintf(stderr, "cannot open 127.0.0.1:%lu: %s\n", port, qnb_error_get_text(err));
        return 1;
    }
    err = file ? tn_config_service_load_file(svc, file) : tn_config_service_load_text(svc, k_default_interfaces);
    if (err) {
        fprintf(stderr, "cannot load the interface description: %s\n", qnb_error_get_text(err));
        tn_config_service_delete(svc);
        return 1;
    }
    tn_config_service_set_change_delay_ms(svc, static_cast<uint32_t>(delay));
    tn_config_service_set_silent(svc, silent);
    tn_config_service_set_foreign_lock(svc, foreign);
    tn_config_service_set_fault(svc, fault);
    for (unsigned i = 0; i < rule_count; ++i)
        tn_config_service_set_status(svc, static_cast<uint16_t>(rules[i].opcode),
                                     static_cast<uint16_t>(rules[i].status));

    catch_stop();
    printf("configuration service listening on 127.0.0.1:%u with %u interfaces\n", tn_config_service_get_port(svc),
           tn_config_service_interface_count(svc));
    fflush(stdout);
    while (!g_stop) {
        err = tn_config_service_poll(svc, 100);
        if (err && err != QNB_ERR_INTERRUPTED)
            fprintf(stderr, "configuration service: %s\n", qnb_error_get_text(err));
    }
    tn_config_service_delete(svc);
    return 0;
}
