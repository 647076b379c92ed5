// Runs simulated routing devices on their own, for trying the program end to end.
//
//   qz_routing_device [--address A] [--port N] [--ktv4s N] [--rqa310 N] [--device NAME=TX/RX]...
//                     [--arcp X.Y.Z] [--router X.Y.Z] [--page-size N] [--labels N] [--names-extended]
//                     [--safe] [--publish [auto|library|command]] [--dump FILE|-] [--trace]
//                     [--silent] [--drop N] [--delay MS] [--fault KIND]... [--fault-opcode OP]
//                     [--result OPCODE=RESULT]... [--faulty NAME]... [--delay-range MIN-MAX]
//
// Without options it runs one KTV4-S and one RQA-310 unit on 127.0.0.1 ports 4440 and 4441. It
// prints one line per device (name, model, address and port), writes the subscriptions of every
// device on SIGUSR1 and at the end when --dump is given, and runs until interrupted.
#include <arpa/inet.h>
#include <strings.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "testnet/tn_routing_device.h"
#include "testnet/programs/tn_program.h"

namespace {

using tn_program::catch_dump;
using tn_program::catch_stop;
using tn_program::g_dump;
using tn_program::g_stop;
using tn_program::parse_number;
using tn_program::parse_range;

void usage(const char *name)
{
    fprintf(stderr,
            "usage: %s [--address A] [--port N] [--ktv4s N] [--rqa310 N] [--device NAME=TX/RX]...\n"
            "          [--arcp X.Y.Z] [--router X.Y.Z] [--page-size N] [--labels N] [--names-extended]\n"
            "          [--safe] [--publish [auto|library|command]] [--dump FILE|-] [--trace]\n"
            "          [--silent] [--drop N] [--delay MS] [--fault KIND]... [--fault-opcode OP]\n"
            "          [--result OPCODE=RESULT]... [--faulty NAME]... [--delay-range MIN-MAX]\n"
            "fault kinds: duplicate, seqnum, opcode, truncate, other-port\n",
            name);
}

bool parse_version(const char *text, unsigned *major, unsigned *minor, unsigned *patch)
{
    char extra = 0;
    return text && sscanf(text, "%u.%u.%u%c", major, minor, patch, &extra) == 3;
}

struct custom_device {
    std::string name;
    unsigned long tx, rx;
};

void dump_all(const tn_routing_set *set, const char *path)
{
    FILE *out = strcmp(path, "-") == 0 ? stdout : fopen(path, "w");
    if (!out) {
        fprintf(stderr, "cannot write %s\n", path);
        return;
    }
    for (size_t i = 0; i < tn_routing_set_count(set); ++i)
        tn_routing_device_dump_subscriptions(tn_routing_set_at(set, i), out);
    if (out != stdout)
        fclose(out);
    else
        fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const char *address_text = "127.0.0.1";
    unsigned long port = 4440, ktv4s = 1, rqa310 = 1, page_size = 16, labels = 0, drop = 0, delay = 0;
    unsigned long fault_opcode = 0, delay_min = 0, delay_max = 0;
    unsigned arcp[3] = {2, 7, 41}, router[3] = {4, 2, 1};
    bool names_extended = false, safe = false, publish = false, trace = false, silent = false;
    tn_routing_publish_mode publish_mode = TN_ROUTING_PUBLISH_AUTO;
    const char *dump = nullptr;
    unsigned faults = 0;
    std::vector<custom_device> customs;
    std::vector<std::string> faulty; // devices the misbehaviour applies to; empty: all
    std::vector<std::pair<unsigned long, unsigned long>> results;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!strcmp(a, "--address") && v) {
            address_text = v;
            ++i;
        } else if (!strcmp(a, "--port") && parse_number(v, 65535, &port)) {
            ++i;
        } else if (!strcmp(a, "--ktv4s") && parse_number(v, 0xFFF, &ktv4s)) {
            ++i;
        } else if (!strcmp(a, "--rqa310") && parse_number(v, 0xFFF, &rqa310)) {
            ++i;
        } else if (!strcmp(a, "--device") && v && strchr(v, '=') && strchr(v, '/')) {
            custom_device d;
            const char *eq = strchr(v, '=');
            d.name.assign(v, static_cast<size_t>(eq - v));
            std::string counts(eq + 1);
            size_t slash = counts.find('/');
            if (!parse_number(counts.substr(0, slash).c_str(), TN_ROUTING_MAX_CHANNELS, &d.tx) ||
                !parse_number(counts.substr(slash + 1).c_str(), TN_ROUTING_MAX_CHANNELS, &d.rx)) {
                usage(argv[0]);
                return 2;
            }
            customs.push_back(d);
            ++i;
        } else if (!strcmp(a, "--arcp") && parse_version(v, &arcp[0], &arcp[1], &arcp[2]) && arcp[0] < 16 &&
                   arcp[1] < 16 && arcp[2] < 256) {
            ++i;
        } else if (!strcmp(a, "--router") && parse_version(v, &router[0], &router[1], &router[2]) && router[0] < 256 &&
                   router[1] < 256 && router[2] < 65536) {
            ++i;
        } else if (!strcmp(a, "--page-size") && parse_number(v, 255, &page_size) && page_size > 0) {
            ++i;
        } else if (!strcmp(a, "--labels") && parse_number(v, TN_ROUTING_MAX_LABELS, &labels)) {
            ++i;
        } else if (!strcmp(a, "--names-extended")) {
            names_extended = true;
        } else if (!strcmp(a, "--safe")) {
            safe = true;
        } else if (!strcmp(a, "--publish")) {
            publish = true;
            if (v && !strcmp(v, "auto")) {
                ++i;
            } else if (v && !strcmp(v, "library")) {
                publish_mode = TN_ROUTING_PUBLISH_LIBRARY;
                ++i;
            } else if (v && !strcmp(v, "command")) {
                publish_mode = TN_ROUTING_PUBLISH_COMMAND;
                ++i;
            }
        } else if (!strcmp(a, "--dump") && v) {
            dump = v;
            ++i;
        } else if (!strcmp(a, "--trace")) {
            trace = true;
        } else if (!strcmp(a, "--silent")) {
            silent = true;
        } else if (!strcmp(a, "--drop") && parse_number(v, 1000000, &drop)) {
            ++i;
        } else if (!strcmp(a, "--delay") && parse_number(v, 3600000, &delay)) {
            ++i;
        } else if (!strcmp(a, "--delay-range") && parse_range(v, 3600000, &delay_min, &delay_max)) {
            ++i;
        } else if (!strcmp(a, "--fault-opcode") && parse_number(v, 65535, &fault_opcode)) {
            ++i;
        } else if (!strcmp(a, "--fault") && v) {
            static const struct {
                const char *name;
                unsigned fault;
            } kinds[] = {{"duplicate", TN_ROUTING_FAULT_DUPLICATE},   {"seqnum", TN_ROUTING_FAULT_WRONG_SEQNUM},
                         {"opcode", TN_ROUTING_FAULT_WRONG_OPCODE},   {"truncate", TN_ROUTING_FAULT_TRUNCATE},
                         {"other-port", TN_ROUTING_FAULT_OTHER_PORT}};
            unsigned found = 0;
            for (const auto &k : kinds)
                if (!strcmp(v, k.name))
                    found = k.fault;
            if (!found) {
                usage(argv[0]);
                return 2;
            }
            faults |= found;
            ++i;
        } else if (!strcmp(a, "--faulty") && v) {
            faulty.emplace_back(v);
            ++i;
        } else if (!strcmp(a, "--result") && v && strchr(v, '=')) {
            std::string rule(v);
            size_t eq = rule.find('=');
            unsigned long op = 0, result = 0;
            if (!parse_number(rule.substr(0, eq).c_str(), 65535, &op) ||
                !parse_number(rule.substr(eq + 1).c_str(), 65535, &result)) {
                usage(argv[0]);
                return 2;
            }
            results.emplace_back(op, result);
            ++i;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    uint32_t address = 0;
    if (qnb_inet_aton(address_text, &address) != QNB_ERR_SUCCESS) {
        fprintf(stderr, "not an IPv4 address: %s\n", address_text);
        return 2;
    }

    std::vector<tn_routing_device_config> configs;
    for (unsigned long u = 1; u <= ktv4s; ++u) {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_KTV4S, static_cast<unsigned>(u));
        configs.push_back(cfg);
    }
    for (unsigned long u = 1; u <= rqa310; ++u) {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_RQA310, static_cast<unsigned>(u));
        configs.push_back(cfg);
    }
    for (const custom_device &d : customs) {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_CUSTOM, 0);
        snprintf(cfg.name, sizeof cfg.name, "%s", d.name.c_str());
        cfg.tx_count = static_cast<uint16_t>(d.tx);
        cfg.rx_count = static_cast<uint16_t>(d.rx);
        configs.push_back(cfg);
    }

    tn_routing_set *set = tn_routing_set_new();
    if (!set)
        return 1;
    for (size_t i = 0; i < configs.size(); ++i) {
        tn_routing_device_config &cfg = configs[i];
        cfg.address = address;
        cfg.port = port ? static_cast<uint16_t>(port + i) : 0;
        cfg.arcp_version = static_cast<uint16_t>(arcp[0] << 12 | arcp[1] << 8 | arcp[2]);
        cfg.router_major = static_cast<uint8_t>(router[0]);
        cfg.router_minor = static_cast<uint8_t>(router[1]);
        cfg.router_patch = static_cast<uint16_t>(router[2]);
        cfg.page_size = static_cast<uint16_t>(page_size);
        cfg.label_slots = static_cast<uint16_t>(labels);
        if (names_extended)
            cfg.capability_word |= 0x0100;
        cfg.safe_mode = safe;
        qnb_error err = QNB_ERR_SUCCESS;
        tn_routing_device *dev = tn_routing_set_add(set, &cfg, &err);
        if (!dev) {
            fprintf(stderr, "cannot start device %s on %s:%u: %s\n", cfg.name, address_text, cfg.port,
                    qnb_error_get_text(err));
            tn_routing_set_delete(set);
            return 1;
        }
        bool misbehaves = faulty.empty();
        for (const std::string &f : faulty)
            misbehaves = misbehaves || strcasecmp(f.c_str(), cfg.name) == 0;
        if (misbehaves) {
            tn_routing_device_set_silent(dev, silent);
            tn_routing_device_drop_nth(dev, static_cast<unsigned>(drop));
            tn_routing_device_set_delay_ms(dev, static_cast<uint32_t>(delay));
            tn_routing_device_set_delay_range(dev, static_cast<unsigned>(delay_min), static_cast<unsigned>(delay_max));
            tn_routing_device_set_faults(dev, faults, static_cast<uint16_t>(fault_opcode));
            for (const auto &r : results)
                tn_routing_device_set_result(dev, static_cast<uint16_t>(r.first), static_cast<uint16_t>(r.second));
        }
        if (trace)
            tn_routing_device_set_trace(dev, stderr);
        if (publish && (err = tn_routing_device_publish(dev, publish_mode)))
            fprintf(stderr, "%s: cannot publish: %s\n", cfg.name, qnb_error_get_text(err));
        printf("%s %s %s:%u\n", cfg.name, cfg.model_name, address_text, tn_routing_device_get_port(dev));
    }
    fflush(stdout);

    catch_stop();
    catch_dump();
    while (!g_stop) {
        tn_routing_set_poll(set, 20);
        if (g_dump && dump) {
            g_dump = 0;
            dump_all(set, dump);
        }
    }
    if (dump)
        dump_all(set, dump);
    tn_routing_set_delete(set);
    return 0;
}
