// Runs the simulated local control-and-monitoring server with its devices on its own, for trying
// the program end to end.
//
//   qz_conmon_server [--port N] [--devices FILE] [--version V] [--name NAME] [--interfaces N]
//                    [--silent] [--no-answer OPCODE]... [--delay MS] [--named] [--loss N]
//                    [--duplicate N]
//
// Without --devices it offers one KTV4-S and one RQA-310 unit. It runs until interrupted.
#include <arpa/inet.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_error.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/programs/tn_program.h"

namespace {

using tn_program::catch_stop;
using tn_program::g_stop;
using tn_program::parse_number;

void usage(const char *name)
{
    fprintf(stderr,
            "usage: %s [--port N] [--devices FILE] [--version V] [--name NAME] [--interfaces N]\n"
            "          [--silent] [--no-answer OPCODE]... [--delay MS] [--named] [--loss N] [--duplicate N]\n",
            name);
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long port = TN_CONMON_DEFAULT_PORT, version = TN_CONMON_DEFAULT_VERSION, interfaces = 1, delay = 0;
    unsigned long loss = 0, duplicate = 0;
    const char *file = nullptr;
    const char *name = nullptr;
    bool silent = false, named = false;
    unsigned long unanswered[16];
    unsigned unanswered_count = 0;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takes = true;
        bool ok;
        if (!strcmp(a, "--port"))
            ok = parse_number(v, 65535, &port);
        else if (!strcmp(a, "--devices"))
            ok = (file = v) != nullptr;
        else if (!strcmp(a, "--version"))
            ok = parse_number(v, 0x1FFF, &version) && version >= 0x1000;
        else if (!strcmp(a, "--name"))
            ok = (name = v) != nullptr;
        else if (!strcmp(a, "--interfaces"))
            ok = parse_number(v, TN_CONMON_MAX_INTERFACES, &interfaces);
        else if (!strcmp(a, "--no-answer"))
            ok = unanswered_count < 16 && parse_number(v, 0xFFFF, &unanswered[unanswered_count++]);
        else if (!strcmp(a, "--delay"))
            ok = parse_number(v, 3600000, &delay);
        else if (!strcmp(a, "--loss"))
            ok = parse_number(v, 1000000, &loss);
        else if (!strcmp(a, "--duplicate"))
            ok = parse_number(v, 1000000, &duplicate);
        else {
            takes = false;
            ok = true;
            if (!strcmp(a, "--silent"))
                silent = true;
            else if (!strcmp(a, "--named"))
                named = true;
            else
                ok = false;
        }
        if (!ok) {
            usage(argv[0]);
            return 2;
        }
        if (takes)
            ++i;
    }

    qnb_error err = QNB_ERR_SUCCESS;
    tn_conmon_server *srv = tn_conmon_server_new(static_cast<uint16_t>(port), &err);
    if (!srv) {
        fprintf(stderr, "cannot open 127.0.0.1:%lu: %s\n", port, qnb_error_get_text(err));
        return 1;
    }
    err = file ? tn_conmon_server_load_file(srv, file) : tn_conmon_server_load_text(srv, tn_conmon_default_devices);
    if (!err)
        err = tn_conmon_server_set_version(srv, static_cast<uint16_t>(version));
    if (!err && name)
        err = tn_conmon_server_set_name(srv, name);
    if (!err) {
        tn_conmon_interface records[TN_CONMON_MAX_INTERFACES] = {};
        for (unsigned i = 0; i < interfaces; ++i) {
            records[i].index = i + 1;
            records[i].address = htonl(i == 0 ? 0x7F000001u : 0xA9FE0000u | (i << 8) | 1u);
            records[i].netmask = htonl(i == 0 ? 0xFF000000u : 0xFFFF0000u);
            records[i].link_speed = 1000;
            snprintf(records[i].name, sizeof records[i].name, i == 0 ? "lo" : "eth%u", i);
        }
        err = tn_conmon_server_set_interfaces(srv, records, static_cast<unsigned>(interfaces));
    }
    if (err) {
        fprintf(stderr, "cannot set the server up: %s\n", qnb_error_get_text(err));
        tn_conmon_server_delete(srv);
        return 1;
    }
    tn_conmon_server_set_silent(srv, silent);
    tn_conmon_server_set_named_messages(srv, named);
    tn_conmon_server_set_reply_delay_ms(srv, static_cast<uint32_t>(delay));
    tn_conmon_server_set_loss(srv, static_cast<unsigned>(loss));
    tn_conmon_server_set_duplication(srv, static_cast<unsigned>(duplicate));
    for (unsigned i = 0; i < unanswered_count; ++i)
        tn_conmon_server_set_unanswered(srv, static_cast<uint16_t>(unanswered[i]), true);

    catch_stop();
    printf("control-and-monitoring server listening on 127.0.0.1:%u with %u devices\n", tn_conmon_server_get_port(srv),
           tn_conmon_server_device_count(srv));
    fflush(stdout);
    while (!g_stop) {
        err = tn_conmon_server_poll(srv, 20);
        if (err && err != QNB_ERR_INTERRUPTED)
            fprintf(stderr, "control-and-monitoring server: %s\n", qnb_error_get_text(err));
    }
    tn_conmon_server_delete(srv);
    return 0;
}
