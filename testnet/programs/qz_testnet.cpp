// Runs the whole simulated installation in one process: the local configuration service, the
// local control-and-monitoring server with its devices and one routing device per unit, every unit
// published through DNS-SD, all driven by one loop.
//
//   qz_testnet [--ktv4s N] [--area1 N] [--area2 N] [--area3 N] [--area4 N]
//              [--config-port N] [--conmon-port N] [--device-port N] [--no-publish]
//              [--interfaces FILE] [--current MAC] [--dump FILE|-] [--trace]
//              [--silent] [--drop N] [--loss N] [--delay MS] [--fault KIND]... [--fault-opcode OP]
//              [--result OPCODE=RESULT]... [--faulty NAME]...
//              [--conmon-silent] [--conmon-delay MS] [--conmon-loss N] [--conmon-duplicate N]
//              [--conmon-named] [--conmon-lose-global N] [--config-silent] [--config-fault KIND]
//              [--foreign-lock] [--commands FILE|-] [--subscriptions FILE]
//              [--loss-pct P] [--duplicate-pct P] [--reorder-pct P] [--conmon-loss-pct P]
//              [--conmon-duplicate-pct P] [--conmon-reorder-pct P] [--seed N] [--vanish NAME:N[:OPCODE]]
//              [--conmon-trace] [--delay-range MIN-MAX]
//
// Without options it offers the installation of the program's default settings (one KTV4-S and
// areas of 9, 8, 8 and 8 RQA-310 units) on the fixed local ports, needing a running avahi-daemon;
// the configuration service lists the PC's two interfaces of qz_config_service, "Ethernet" in use
// (`--current`: the listed interface of that MAC instead, as a service that kept the interface a
// program set before). It prints the interfaces as the description does ("interface MAC NAME",
// "current MAC"), one line per unit, then "ready" once the daemon has confirmed every registration,
// and writes the subscriptions of every unit on SIGUSR1 and when it ends (SIGINT, SIGTERM, SIGHUP).
#include <fcntl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_time.h"
#include "testnet/tn_config_service.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/tn_installation.h"
#include "testnet/tn_routing_device.h"
#include "testnet/programs/tn_program.h"

namespace {

using tn_program::catch_dump;
using tn_program::catch_stop;
using tn_program::g_dump;
using tn_program::g_stop;
using tn_program::parse_number;

void usage(const char *name)
{
    fprintf(stderr,
            "usage: %s [--ktv4s N] [--area1 N] [--area2 N] [--area3 N] [--area4 N]\n"
            "          [--config-port N] [--conmon-port N] [--device-port N] [--no-publish]\n"
            "          [--interfaces FILE] [--current MAC] [--dump FILE|-] [--trace]\n"
            "          [--silent] [--drop N] [--loss N] [--delay MS] [--fault KIND]... [--fault-opcode OP]\n"
            "          [--result OPCODE=RESULT]... [--faulty NAME]...\n"
            "          [--conmon-silent] [--conmon-delay MS] [--conmon-loss N] [--conmon-duplicate N]\n"
            "          [--conmon-named] [--conmon-lose-global N] [--config-silent] [--config-fault KIND]\n"
            "          [--foreign-lock] [--commands FILE|-] [--subscriptions FILE]\n"
            "          [--loss-pct P] [--duplicate-pct P] [--reorder-pct P] [--conmon-loss-pct P]\n"
            "          [--conmon-duplicate-pct P] [--conmon-reorder-pct P] [--seed N] [--vanish NAME:N[:OPCODE]]\n"
            "          [--conmon-trace] [--delay-range MIN-MAX]\n"
            "counts: --ktv4s 0-4, --area1 0-25, --area2..4 0-24 (default 1, 9, 8, 8, 8)\n"
            "routing fault kinds: duplicate, seqnum, opcode, truncate, other-port\n"
            "configuration service fault kinds: truncate, seqnum, duplicate\n",
            name);
}

// ---- a lossy network and vanishing units ----

struct network_faults {
    unsigned long routing[3] = {0, 0, 0}; // loss, duplication, reordering of routing datagrams, in percent
    unsigned long delay[2] = {0, 0};      // every routing answer held between these milliseconds
    unsigned long conmon[3] = {0, 0, 0};  // the same for the local link
    unsigned long seed = 1;
    bool conmon_trace = false;
    struct vanish {
        std::string name;
        unsigned long after, opcode;
    };
    std::vector<vanish> vanishing;
};

// "NAME:N[:OPCODE]"
bool parse_vanish(const char *text, network_faults::vanish *out)
{
    const char *colon = text ? strchr(text, ':') : nullptr;
    if (!colon || colon == text)
        return false;
    out->name.assign(text, static_cast<size_t>(colon - text));
    std::string rest(colon + 1);
    size_t second = rest.find(':');
    out->opcode = 0;
    if (second != std::string::npos && !parse_number(rest.c_str() + second + 1, 65535, &out->opcode))
        return false;
    return parse_number(rest.substr(0, second).c_str(), 1000000, &out->after) && out->after > 0;
}

// One of the options above; false when `a` is none of them. `takes`: whether it took `v`.
bool parse_network_option(const char *a, const char *v, network_faults *n, bool *ok, bool *takes)
{
    static const char *const names[] = {"--loss-pct",        "--duplicate-pct",        "--reorder-pct",
                                        "--conmon-loss-pct", "--conmon-duplicate-pct", "--conmon-reorder-pct"};
    for (size_t i = 0; i < 6; ++i)
        if (!strcmp(a, names[i])) {
            *ok = parse_number(v, 100, i < 3 ? &n->routing[i] : &n->conmon[i - 3]);
            return true;
        }
    if (!strcmp(a, "--conmon-trace")) {
        n->conmon_trace = *ok = true;
        *takes = false;
        return true;
    }
    if (!strcmp(a, "--delay-range")) {
        *ok = tn_program::parse_range(v, 3600000, &n->delay[0], &n->delay[1]);
        return true;
    }
    if (!strcmp(a, "--seed")) {
        *ok = parse_number(v, 0xFFFFFFFFul, &n->seed);
        return true;
    }
    if (!strcmp(a, "--vanish")) {
        network_faults::vanish one;
        *ok = parse_vanish(v, &one);
        if (*ok)
            n->vanishing.push_back(one);
        return true;
    }
    return false;
}

// The routing chances go to every device `misbehaves` accepts, each with a seed of its own.
template <typename Accept> bool apply_network_faults(tn_installation *inst, const network_faults &n, Accept misbehaves)
{
    tn_routing_set *set = tn_installation_routing(inst);
    for (size_t i = 0; i < tn_routing_set_count(set); ++i)
        if (misbehaves(tn_routing_set_at(set, i))) {
            tn_routing_device_set_impairment(tn_routing_set_at(set, i), static_cast<unsigned>(n.routing[0]),
                                             static_cast<unsigned>(n.routing[1]), static_cast<unsigned>(n.routing[2]),
                                             n.seed * 1000003u + i);
            tn_routing_device_set_delay_range(tn_routing_set_at(set, i), static_cast<unsigned>(n.delay[0]),
                                              static_cast<unsigned>(n.delay[1]));
        }
    if (n.conmon_trace)
        tn_conmon_server_set_trace(tn_installation_conmon_server(inst), stderr);
    tn_conmon_server_set_impairment(tn_installation_conmon_server(inst), static_cast<unsigned>(n.conmon[0]),
                                    static_cast<unsigned>(n.conmon[1]), static_cast<unsigned>(n.conmon[2]), n.seed);
    for (const network_faults::vanish &v : n.vanishing)
        if (tn_installation_vanish_after(inst, v.name.c_str(), static_cast<uint16_t>(v.opcode),
                                         static_cast<unsigned>(v.after)) != QNB_ERR_SUCCESS) {
            fprintf(stderr, "qz_testnet: --vanish: no unit %s\n", v.name.c_str());
            return false;
        }
    return true;
}

// What the impairment did, so that a test can tell it was at work.
void report_network_faults(const tn_installation *inst)
{
    unsigned long routing = 0;
    tn_routing_set *set = tn_installation_routing(inst);
    for (size_t i = 0; i < tn_routing_set_count(set); ++i)
        routing += tn_routing_device_impaired(tn_routing_set_at(set, i));
    fprintf(stderr, "qz_testnet: %lu routing and %lu local-link datagrams lost, duplicated, reordered or delayed\n",
            routing,
            tn_conmon_server_impaired(tn_installation_conmon_server(inst)));
}

// ---- the options ----

// The PC's interfaces as the configuration service lists them (the same as qz_config_service's).
const char *k_default_interfaces = "interface 02:00:00:00:00:01 Ethernet\n"
                                   "interface 02:00:00:00:00:02 Ethernet 2\n"
                                   "current 02:00:00:00:00:01\n";

struct options {
    tn_installation_config cfg;
    const char *dump = "-";
    const char *interfaces = nullptr; // a description file (testnet/README.md); null: the default
    const char *current = nullptr;    // the interface in use at start, when the service lists it
    bool trace = false;
    // routing devices
    bool silent = false;
    unsigned long drop = 0, loss = 0, delay = 0, fault_opcode = 0;
    unsigned faults = 0;
    std::vector<std::pair<unsigned long, unsigned long>> results;
    std::vector<std::string> faulty; // the units the routing misbehaviour applies to; empty: all
    // control-and-monitoring server
    bool conmon_silent = false, conmon_named = false;
    unsigned long conmon_delay = 0, conmon_loss = 0, conmon_duplicate = 0, conmon_lose_global = 0;
    // configuration service
    bool config_silent = false, foreign_lock = false;
    tn_config_fault config_fault = TN_CONFIG_FAULT_NONE;
    // restarts and presets
    const char *commands = nullptr;      // command lines from this FIFO (created when absent) or "-"
    const char *subscriptions = nullptr; // subscriptions the units hold at start, in the dump's form
    network_faults network;
};

// Returns false (after the usage text) on anything it does not understand.
bool parse(int argc, char **argv, options *o)
{
    tn_installation_config_init(&o->cfg);
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        bool ok = true, takes = true;
        if (!strcmp(a, "--ktv4s")) {
            ok = parse_number(v, TN_INSTALLATION_MAX_KTV4S, &n);
            o->cfg.ktv4s = static_cast<unsigned>(n);
        } else if (!strncmp(a, "--area", 6) && a[6] >= '1' && a[6] <= '4' && a[7] == '\0') {
            unsigned area = static_cast<unsigned>(a[6] - '1');
            ok = parse_number(v, tn_installation_area_size[area], &n);
            o->cfg.area[area] = static_cast<unsigned>(n);
        } else if (!strcmp(a, "--config-port")) {
            ok = parse_number(v, 65535, &n);
            o->cfg.config_port = static_cast<uint16_t>(n);
        } else if (!strcmp(a, "--conmon-port")) {
            ok = parse_number(v, 65535, &n);
            o->cfg.conmon_port = static_cast<uint16_t>(n);
        } else if (!strcmp(a, "--device-port")) {
            ok = parse_number(v, 65535 - 128, &n);
            o->cfg.first_device_port = static_cast<uint16_t>(n);
        } else if (!strcmp(a, "--dump")) {
            ok = (o->dump = v) != nullptr;
        } else if (!strcmp(a, "--interfaces")) {
            ok = (o->interfaces = v) != nullptr;
        } else if (!strcmp(a, "--current")) {
            uint8_t mac[6];
            ok = (o->current = v) != nullptr && tn_parse_mac(v, mac);
        } else if (!strcmp(a, "--silent")) {
            o->silent = true;
            takes = false;
        } else if (!strcmp(a, "--drop")) {
            ok = parse_number(v, 1000000, &o->drop);
        } else if (!strcmp(a, "--loss")) {
            ok = parse_number(v, 1000000, &o->loss);
        } else if (!strcmp(a, "--delay")) {
            ok = parse_number(v, 3600000, &o->delay);
        } else if (!strcmp(a, "--fault-opcode")) {
            ok = parse_number(v, 65535, &o->fault_opcode);
        } else if (!strcmp(a, "--fault")) {
            static const struct {
                const char *name;
                unsigned fault;
            } kinds[] = {{"duplicate", TN_ROUTING_FAULT_DUPLICATE}, {"seqnum", TN_ROUTING_FAULT_WRONG_SEQNUM},
                         {"opcode", TN_ROUTING_FAULT_WRONG_OPCODE}, {"truncate", TN_ROUTING_FAULT_TRUNCATE},
                         {"other-port", TN_ROUTING_FAULT_OTHER_PORT}};
            unsigned found = 0;
            for (const auto &k : kinds)
                if (v && !strcmp(v, k.name))
                    found = k.fault;
            ok = found != 0;
            o->faults |= found;
        } else if (!strcmp(a, "--result")) {
            const char *eq = v ? strchr(v, '=') : nullptr;
            unsigned long op = 0, result = 0;
            ok = eq && parse_number(std::string(v, static_cast<size_t>(eq - v)).c_str(), 65535, &op) &&
                 parse_number(eq + 1, 65535, &result);
            o->results.emplace_back(op, result);
        } else if (!strcmp(a, "--faulty")) {
            ok = v != nullptr;
            if (ok)
                o->faulty.emplace_back(v);
        } else if (!strcmp(a, "--conmon-silent")) {
            o->conmon_silent = true;
            takes = false;
        } else if (!strcmp(a, "--conmon-named")) {
            o->conmon_named = true;
            takes = false;
        } else if (!strcmp(a, "--conmon-delay")) {
            ok = parse_number(v, 3600000, &o->conmon_delay);
        } else if (!strcmp(a, "--conmon-loss")) {
            ok = parse_number(v, 1000000, &o->conmon_loss);
        } else if (!strcmp(a, "--conmon-duplicate")) {
            ok = parse_number(v, 1000000, &o->conmon_duplicate);
        } else if (!strcmp(a, "--conmon-lose-global")) {
            ok = parse_number(v, 1000000, &o->conmon_lose_global);
        } else if (!strcmp(a, "--config-silent")) {
            o->config_silent = true;
            takes = false;
        } else if (!strcmp(a, "--foreign-lock")) {
            o->foreign_lock = true;
            takes = false;
        } else if (!strcmp(a, "--config-fault")) {
            if (v && !strcmp(v, "truncate"))
                o->config_fault = TN_CONFIG_FAULT_TRUNCATE;
            else if (v && !strcmp(v, "seqnum"))
                o->config_fault = TN_CONFIG_FAULT_WRONG_SEQNUM;
            else if (v && !strcmp(v, "duplicate"))
                o->config_fault = TN_CONFIG_FAULT_DUPLICATE;
            else
                ok = false;
        } else if (!strcmp(a, "--commands")) {
            ok = (o->commands = v) != nullptr;
        } else if (!strcmp(a, "--subscriptions")) {
            ok = (o->subscriptions = v) != nullptr;
        } else if (!strcmp(a, "--no-publish")) {
            o->cfg.publish = false;
            takes = false;
        } else if (!strcmp(a, "--trace")) {
            o->trace = true;
            takes = false;
        } else if (!parse_network_option(a, v, &o->network, &ok, &takes)) {
            ok = false;
        }
        if (!ok) {
            usage(argv[0]);
            return false;
        }
        if (takes)
            ++i;
    }
    return true;
}

bool misbehaves(const options &o, const tn_routing_device *dev)
{
    bool yes = o.faulty.empty();
    for (const std::string &f : o.faulty)
        yes = yes || strcasecmp(f.c_str(), tn_routing_device_get_name(dev)) == 0;
    return yes;
}

void apply_faults(tn_installation *inst, const options &o)
{
    tn_config_service *config = tn_installation_config_service(inst);
    tn_config_service_set_silent(config, o.config_silent);
    tn_config_service_set_fault(config, o.config_fault);
    if (o.foreign_lock)
        tn_config_service_set_foreign_lock(config, true);

    tn_conmon_server *conmon = tn_installation_conmon_server(inst);
    tn_conmon_server_set_silent(conmon, o.conmon_silent);
    tn_conmon_server_set_named_messages(conmon, o.conmon_named);
    tn_conmon_server_set_reply_delay_ms(conmon, static_cast<uint32_t>(o.conmon_delay));
    tn_conmon_server_set_loss(conmon, static_cast<unsigned>(o.conmon_loss));
    tn_conmon_server_set_duplication(conmon, static_cast<unsigned>(o.conmon_duplicate));
    tn_conmon_server_lose_global_subscribes(conmon, static_cast<unsigned>(o.conmon_lose_global));

    tn_routing_set *set = tn_installation_routing(inst);
    for (size_t i = 0; i < tn_routing_set_count(set); ++i) {
        tn_routing_device *dev = tn_routing_set_at(set, i);
        if (o.trace)
            tn_routing_device_set_trace(dev, stderr);
        bool misbehaves = o.faulty.empty();
        for (const std::string &f : o.faulty)
            misbehaves = misbehaves || strcasecmp(f.c_str(), tn_routing_device_get_name(dev)) == 0;
        if (!misbehaves)
            continue;
        tn_routing_device_set_silent(dev, o.silent);
        tn_routing_device_drop_nth(dev, static_cast<unsigned>(o.drop));
        tn_routing_device_set_delay_ms(dev, static_cast<uint32_t>(o.delay));
        tn_routing_device_set_faults(dev, o.faults, static_cast<uint16_t>(o.fault_opcode));
        for (const auto &r : o.results)
            tn_routing_device_set_result(dev, static_cast<uint16_t>(r.first), static_cast<uint16_t>(r.second));
        if (o.loss && !o.faulty.empty())
            tn_installation_set_routing_loss(inst, tn_routing_device_get_name(dev), static_cast<unsigned>(o.loss));
    }
    // For the whole installation the devices' counts are spread, so that it loses 1 in N in all.
    if (o.loss && o.faulty.empty())
        tn_installation_set_routing_loss(inst, nullptr, static_cast<unsigned>(o.loss));
}

// The property questions (sample rate, preferred master, lock, AES67) the units' devices were
// sent, as they reached the control-and-monitoring server's socket.
void report_questions(const tn_installation *inst)
{
    tn_conmon_server *conmon = tn_installation_conmon_server(inst);
    unsigned long total = 0;
    unsigned most = 0;
    size_t units = tn_installation_unit_count(inst);
    for (size_t i = 0; i < units; ++i) {
        const tn_conmon_device *dev = tn_conmon_server_device(conmon, tn_installation_unit_at(inst, i, nullptr));
        unsigned n = dev ? dev->questions : 0;
        total += n;
        most = n > most ? n : most;
    }
    fprintf(stderr, "qz_testnet: %lu property questions to %zu devices, at most %u to one\n", total, units, most);
}

// The routing requests the units' devices were sent, as they reached the devices' sockets (before
// a lossy network drops any).
void report_routing_requests(const tn_installation *inst)
{
    tn_routing_set *set = tn_installation_routing(inst);
    unsigned long total = 0, most = 0;
    for (size_t i = 0; i < tn_routing_set_count(set); ++i) {
        unsigned long n = tn_routing_device_received(tn_routing_set_at(set, i));
        total += n;
        most = n > most ? n : most;
    }
    fprintf(stderr, "qz_testnet: routing requests received %lu by %zu devices, at most %lu by one\n", total,
            tn_routing_set_count(set), most);
}

void dump(const tn_installation *inst, const char *path, bool loss, bool impaired)
{
    report_questions(inst);
    report_routing_requests(inst);
    if (impaired)
        report_network_faults(inst);
    // Before the dump, so that whoever waits for the dump finds the count too.
    if (loss)
        fprintf(stderr, "qz_testnet: %zu routing requests lost\n", tn_installation_routing_lost(inst));
    if (!strcmp(path, "-")) {
        tn_installation_dump_subscriptions(inst, stdout);
        return;
    }
    // Written beside and renamed, so that a reader never sees half a dump.
    std::string partial = std::string(path) + ".part";
    FILE *out = fopen(partial.c_str(), "w");
    if (!out) {
        fprintf(stderr, "qz_testnet: cannot write %s\n", partial.c_str());
        return;
    }
    tn_installation_dump_subscriptions(inst, out);
    if (fclose(out) != 0 || rename(partial.c_str(), path) != 0)
        fprintf(stderr, "qz_testnet: cannot write %s\n", path);
}

// The interface in use at start: the one of `mac` when the service lists it; otherwise the
// description's stays, with a line on standard error (a MAC saved on another network is no error).
void set_current(tn_config_service *config, const char *text)
{
    uint8_t mac[6];
    if (tn_parse_mac(text, mac) && tn_config_service_set_current(config, mac) == QNB_ERR_SUCCESS)
        return;
    fprintf(stderr, "qz_testnet: --current %s: the configuration service lists no such interface; the one in use "
                    "stays\n",
            text);
}

// "interface MAC NAME" per listed interface and "current MAC", as in a description.
void print_interfaces(const tn_config_service *config)
{
    uint8_t mac[6];
    char name[256];
    for (unsigned i = 0; tn_config_service_interface_at(config, i, mac, name, sizeof name); ++i)
        printf("interface %02x:%02x:%02x:%02x:%02x:%02x %s\n", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], name);
    const cmm_state *state = tn_config_service_get_state(config);
    if (state && state->status == CMM_SYSTEM_READY && state->current.count > 0) {
        const uint8_t *m = state->current.interfaces[0].mac;
        printf("current %02x:%02x:%02x:%02x:%02x:%02x\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    }
}

// ---- restarts and presets ----

// Subscriptions the units hold before anyone asks, one line each in the dump's form
// "<rx device> <rx id> <rx name> <tx channel>@<tx device> [<status>]"; false (with a line on
// standard error) for a line that names no unit or channel.
bool preset_subscriptions(tn_installation *inst, const char *path)
{
    FILE *in = fopen(path, "r");
    if (!in) {
        fprintf(stderr, "qz_testnet: cannot read %s\n", path);
        return false;
    }
    tn_routing_set *set = tn_installation_routing(inst);
    char line[256];
    bool ok = true;
    while (ok && fgets(line, sizeof line, in)) {
        char device[64], name[64], tx[128];
        unsigned rx = 0;
        if (line[0] == '\n' || line[0] == '#')
            continue;
        char *at = nullptr;
        ok = sscanf(line, "%63s %u %63s %127s", device, &rx, name, tx) == 4 && (at = strchr(tx, '@')) != nullptr;
        tn_routing_device *dev = ok ? tn_routing_set_find(set, device) : nullptr;
        if (at)
            *at = '\0';
        ok = dev && rx <= 0xFFFF &&
             tn_routing_device_set_subscription(dev, static_cast<uint16_t>(rx), tx, at + 1) == QNB_ERR_SUCCESS;
        if (!ok)
            fprintf(stderr, "qz_testnet: %s: not a subscription of a unit: %s", path, line);
    }
    fclose(in);
    return ok;
}

// Command lines: "restart conmon [MS]" and "restart config [MS]" restart that service, its socket
// closed for MS milliseconds (default 0); "lose in|out OPCODE N" loses the next N datagrams of
// OPCODE on that way of the local link; "dump" writes the dump; "status" writes what the local
// services hold to standard error.
struct command_reader {
    int fd = -1;
    std::string pending;
};

bool open_commands(command_reader *r, const char *path)
{
    if (!strcmp(path, "-")) {
        r->fd = STDIN_FILENO;
    } else {
        if (mkfifo(path, 0600) != 0 && errno != EEXIST) {
            fprintf(stderr, "qz_testnet: cannot create %s: %s\n", path, strerror(errno));
            return false;
        }
        // Open for writing too, so that a writer closing it never leaves an endless end of file.
        r->fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (r->fd < 0 || fcntl(r->fd, F_SETFL, fcntl(r->fd, F_GETFL) | O_NONBLOCK) != 0) {
        fprintf(stderr, "qz_testnet: cannot read commands from %s\n", path);
        return false;
    }
    return true;
}

// "qz_testnet: status conmon clients <n> config clients <n>", then per unit
// "qz_testnet: status <name> controls <n> preferred-master <0|1> capabilities <n>".
void write_status(tn_installation *inst)
{
    tn_conmon_server *conmon = tn_installation_conmon_server(inst);
    fprintf(stderr, "qz_testnet: status conmon clients %u config clients %u\n", tn_conmon_server_client_count(conmon),
            tn_config_service_client_count(tn_installation_config_service(inst)));
    tn_routing_set *set = tn_installation_routing(inst);
    for (size_t i = 0; i < tn_installation_unit_count(inst); ++i) {
        const char *model = nullptr;
        const char *name = tn_installation_unit_at(inst, i, &model);
        if (const tn_conmon_device *dev = tn_conmon_server_device(conmon, name))
            fprintf(stderr, "qz_testnet: status %s controls %u preferred-master %d capabilities %u\n", name,
                    dev->control_count, dev->preferred_master ? 1 : 0,
                    tn_routing_device_request_count(tn_routing_set_at(set, i), 0x1000));
    }
    fflush(stderr);
}

void run_command(tn_installation *inst, const std::string &line, bool *dump_now)
{
    char verb[16] = "", what[16] = "";
    unsigned long ms = 0;
    int n = sscanf(line.c_str(), "%15s %15s %lu", verb, what, &ms);
    if (n >= 1 && !strcmp(verb, "away")) {
        // "away NAME MS [spare]"
        char unit[64] = "", kind[16] = "";
        int parts = sscanf(line.c_str(), "%*15s %63s %lu %15s", unit, &ms, kind);
        qnb_error err = QNB_ERR_INVALIDPARAMETER;
        if (parts >= 2 && ms <= 3600000 && (parts == 2 || !strcmp(kind, "spare")))
            err = tn_installation_take_away(inst, unit, static_cast<uint32_t>(ms), parts == 3);
        fprintf(stderr, "qz_testnet: away %s %lu ms%s: %s\n", unit, ms, parts == 3 ? " spare" : "",
                qnb_error_get_text(err));
        fflush(stderr);
        return;
    }
    if (n >= 1 && !strcmp(verb, "lose")) {
        // "lose in|out OPCODE N": the next N datagrams of OPCODE on that way of the local link
        char way[8] = "";
        long opcode = -1;
        unsigned long count = 0;
        int parts = sscanf(line.c_str(), "%*15s %7s %li %lu", way, &opcode, &count);
        bool ok = parts == 3 && (!strcmp(way, "in") || !strcmp(way, "out")) && opcode >= 0 && opcode <= 0xFFFF &&
                  count <= 1000000;
        if (ok)
            tn_conmon_server_lose(tn_installation_conmon_server(inst),
                                  !strcmp(way, "in") ? TN_CONMON_LOSE_IN : TN_CONMON_LOSE_OUT,
                                  static_cast<uint16_t>(opcode), static_cast<unsigned>(count));
        fprintf(stderr, "qz_testnet: lose %s 0x%04lx %lu: %s\n", way, static_cast<unsigned long>(opcode), count,
                ok ? "Success" : "invalid command");
        fflush(stderr);
        return;
    }
    if (n >= 1 && !strcmp(verb, "dump")) {
        *dump_now = true;
        return;
    }
    if (n >= 1 && !strcmp(verb, "status")) {
        write_status(inst);
        return;
    }
    qnb_error err = QNB_ERR_INVALIDPARAMETER;
    if (n >= 2 && !strcmp(verb, "restart") && ms <= 3600000) {
        if (!strcmp(what, "conmon"))
            err = tn_conmon_server_restart(tn_installation_conmon_server(inst), static_cast<uint32_t>(ms));
        else if (!strcmp(what, "config"))
            err = tn_config_service_restart(tn_installation_config_service(inst), static_cast<uint32_t>(ms));
    }
    if (err == QNB_ERR_INVALIDPARAMETER)
        fprintf(stderr, "qz_testnet: unknown command: %s\n", line.c_str());
    else
        fprintf(stderr, "qz_testnet: restart %s, down %lu ms: %s\n", what, ms, qnb_error_get_text(err));
    fflush(stderr);
}

void read_commands(command_reader *r, tn_installation *inst, bool *dump_now)
{
    char buffer[512];
    ssize_t n;
    while (r->fd >= 0 && (n = read(r->fd, buffer, sizeof buffer)) > 0)
        r->pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = r->pending.find('\n')) != std::string::npos) {
        std::string line = r->pending.substr(0, end);
        r->pending.erase(0, end + 1);
        if (!line.empty())
            run_command(inst, line, dump_now);
    }
    if (r->pending.size() > 4096)
        r->pending.clear(); // no line of ours is that long
}

// Every DNS-SD registration costs the process a few descriptors: allow as many as the system does.
void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o))
        return 2;
    raise_descriptor_limit();

    qnb_error err = QNB_ERR_SUCCESS;
    tn_installation *inst = tn_installation_new(&o.cfg, &err);
    if (!inst) {
        fprintf(stderr, "qz_testnet: the simulated installation did not start: %s\n", qnb_error_get_text(err));
        return 1;
    }
    tn_config_service *config = tn_installation_config_service(inst);
    err = o.interfaces ? tn_config_service_load_file(config, o.interfaces)
                       : tn_config_service_load_text(config, k_default_interfaces);
    if (err) {
        fprintf(stderr, "qz_testnet: cannot load the interface description: %s\n", qnb_error_get_text(err));
        tn_installation_delete(inst);
        return 1;
    }
    if (o.current)
        set_current(config, o.current);
    apply_faults(inst, o);
    command_reader commands;
    if ((o.subscriptions && !preset_subscriptions(inst, o.subscriptions)) ||
        (o.commands && !open_commands(&commands, o.commands))) {
        tn_installation_delete(inst);
        return 1;
    }
    if (!apply_network_faults(inst, o.network, [&o](const tn_routing_device *dev) { return misbehaves(o, dev); })) {
        tn_installation_delete(inst);
        return 2;
    }
    const bool impaired = o.network.routing[0] || o.network.routing[1] || o.network.routing[2] ||
                          o.network.delay[1] || o.network.conmon[0] || o.network.conmon[1] || o.network.conmon[2];

    printf("configuration service 127.0.0.1:%u\n", tn_config_service_get_port(tn_installation_config_service(inst)));
    printf("control-and-monitoring server 127.0.0.1:%u\n",
           tn_conmon_server_get_port(tn_installation_conmon_server(inst)));
    print_interfaces(config);
    tn_routing_set *set = tn_installation_routing(inst);
    for (size_t i = 0; i < tn_installation_unit_count(inst); ++i) {
        const char *model = nullptr;
        const char *name = tn_installation_unit_at(inst, i, &model);
        printf("%s %s 127.0.0.1:%u\n", name, model, tn_routing_device_get_port(tn_routing_set_at(set, i)));
    }
    fflush(stdout);

    catch_stop();
    catch_dump();
    bool ready = !o.cfg.publish;
    if (ready) {
        printf("ready\n");
        fflush(stdout);
    }
    qnb_timeval start;
    qnb_time_now(&start);
    bool warned = false;
    while (!g_stop) {
        tn_installation_poll(inst, 20);
        if (!ready && tn_installation_published(inst)) {
            ready = true;
            printf("ready\n");
            fflush(stdout);
        }
        if (!ready && !warned) {
            qnb_timeval now;
            qnb_time_now(&now);
            if (now.tv_sec - start.tv_sec > 30) {
                warned = true;
                fprintf(stderr, "qz_testnet: the DNS-SD registrations are still not confirmed (is avahi-daemon "
                                "running?)\n");
            }
        }
        bool dump_now = false;
        read_commands(&commands, inst, &dump_now);
        if (g_dump || dump_now) {
            g_dump = 0;
            dump(inst, o.dump, o.loss != 0, impaired);
        }
    }
    dump(inst, o.dump, o.loss != 0, impaired);
    tn_installation_delete(inst);
    return 0;
}
