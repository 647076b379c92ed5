// The simulated installation program (qz_testnet) against a real avahi-daemon (avahi-netns.sh): every
// unit it prints is found by the browse object by name, with both of its services and the printed
// routing port, and the subscriptions it was given are in its dump on SIGUSR1 and at its end (a
// closed terminal's SIGHUP).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_udp_peer.h"

#ifndef QZ_TESTNET_PROGRAM
#error "QZ_TESTNET_PROGRAM names the program under test"
#endif

namespace {

const uint32_t k_both = WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE;

// qz_testnet as a child process, its standard output read line by line.
class installation {
public:
    explicit installation(const std::vector<std::string> &args)
    {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv;
            std::string program = QZ_TESTNET_PROGRAM;
            argv.push_back(&program[0]);
            std::vector<std::string> copy = args;
            for (std::string &a : copy)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        output_ = fdopen(out[0], "r");
    }
    ~installation()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_)
            fclose(output_);
    }

    // Reads lines up to "ready"; the unit lines are "<name> <model> 127.0.0.1:<port>".
    bool wait_ready(std::map<std::string, uint16_t> *units)
    {
        char line[256];
        while (output_ && fgets(line, sizeof line, output_)) {
            if (!strcmp(line, "ready\n"))
                return true;
            char name[64], model[16];
            unsigned port = 0;
            if (sscanf(line, "%63s %15s 127.0.0.1:%u", name, model, &port) == 3 &&
                (!strcmp(model, "KTV4-S") || !strcmp(model, "RQA-310")))
                (*units)[name] = static_cast<uint16_t>(port);
        }
        return false;
    }

    void signal_to(int sig) { kill(pid_, sig); }

    int end(int sig)
    {
        int status = 0;
        kill(pid_, sig);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool wait_for(const std::function<bool()> &done, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        usleep(20000);
    }
    return done();
}

// A subscribe request (0x3010) of one receive channel to "<channel>@<device>".
std::vector<uint8_t> subscribe(uint16_t rx, const std::string &channel, const std::string &device)
{
    std::vector<uint8_t> m(10 + 2 + 20, 0);
    wgcp_store_be16(&m[0], 0x2729);
    wgcp_store_be16(&m[4], 7);
    wgcp_store_be16(&m[6], 0x3010);
    m[10] = m[11] = 1;
    wgcp_store_be16(&m[12], rx);
    wgcp_store_be16(&m[14], static_cast<uint16_t>(m.size()));
    m.insert(m.end(), channel.begin(), channel.end());
    m.push_back(0);
    wgcp_store_be16(&m[16], static_cast<uint16_t>(m.size()));
    m.insert(m.end(), device.begin(), device.end());
    m.push_back(0);
    wgcp_store_be16(&m[2], static_cast<uint16_t>(m.size()));
    return m;
}

struct found_device {
    uint32_t flags = 0;
    uint16_t media_port = 0;
};

void on_event(wb_browse *b, const wb_browse_event *event, uint32_t action)
{
    if (event->kind != WB_EVENT_DEVICE)
        return;
    auto *found = static_cast<std::map<std::string, found_device> *>(wb_browse_get_context(b));
    auto *d = static_cast<const wb_device *>(event->record);
    if (action == WB_ACTION_REMOVED) {
        found->erase(d->name);
        return;
    }
    (*found)[d->name] = {d->flags.combined, d->media.port};
}

TEST(TestnetInstallation, EveryUnitIsFoundAndItsSubscriptionsAreDumped)
{
    char dir[] = "/tmp/qz-testnet-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string dump = std::string(dir) + "/subscriptions.txt";
    installation inst({"--ktv4s", "1", "--area1", "2", "--area2", "1", "--area3", "0", "--area4", "1",
                       "--config-port", "0", "--conmon-port", "0", "--device-port", "0", "--dump", dump});
    std::map<std::string, uint16_t> units;
    ASSERT_TRUE(inst.wait_ready(&units)) << "qz_testnet did not report ready";
    ASSERT_EQ(units.size(), 5u);
    for (const char *name : {"T001-QZ-KTV4-S-0001", "T001-QZ-RQA-310-0001", "T002-QZ-RQA-310-0002",
                             "T01A-QZ-RQA-310-001A", "T04A-QZ-RQA-310-004A"})
        EXPECT_EQ(units.count(name), 1u) << name;

    std::map<std::string, found_device> found;
    wb_browse *browse = nullptr;
    ASSERT_EQ(wb_browse_new(nullptr, k_both | WB_BROWSE_SAFE_MODE, &browse), QNB_ERR_SUCCESS);
    wb_browse_set_context(browse, &found);
    wb_browse_set_event_callback(browse, on_event);
    wb_browse_config config;
    wb_browse_config_init(&config);
    config.resolve_timeout_sec = 10;
    ASSERT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_SUCCESS);
    auto all_found = [&] {
        for (const auto &u : units) {
            auto it = found.find(u.first);
            if (it == found.end() || (it->second.flags & k_both) != k_both || it->second.media_port != u.second)
                return false;
        }
        return true;
    };
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!all_found() && std::chrono::steady_clock::now() < end) {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        ASSERT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_SUCCESS);
        unsigned ready = 0;
        qnb_socket_set_wait(&set, 50, &ready);
        qnb_timeval deadline;
        wb_browse_process_fdset(browse, &set, &deadline);
    }
    EXPECT_TRUE(all_found()) << "not every unit was found with both services and its routing port";
    EXPECT_EQ(found.size(), units.size()) << "devices that the installation does not have";
    wb_browse_delete(browse);

    // One subscription, answered by the unit, shows in the dump on request and at the end.
    tn_udp_peer peer;
    ASSERT_EQ(tn_udp_peer_open(&peer, 0), QNB_ERR_SUCCESS);
    std::vector<uint8_t> request = subscribe(2, "01", "T01A-QZ-RQA-310-001A");
    ASSERT_EQ(tn_udp_peer_send(&peer, request.data(), request.size(), units["T001-QZ-KTV4-S-0001"]), QNB_ERR_SUCCESS);
    uint8_t reply[1500];
    size_t size = sizeof reply;
    ASSERT_EQ(tn_udp_peer_receive(&peer, reply, &size, 3000), QNB_ERR_SUCCESS);
    ASSERT_GE(size, 10u);
    EXPECT_EQ(wgcp_load_be16(reply + 8), 0x0001) << "the subscribe was refused";
    tn_udp_peer_close(&peer);

    const std::string line = "T001-QZ-KTV4-S-0001 2 02 01@T01A-QZ-RQA-310-001A 2\n";
    inst.signal_to(SIGUSR1);
    EXPECT_TRUE(wait_for([&] { return read_file(dump) == line; }, 5)) << read_file(dump);
    remove(dump.c_str());
    EXPECT_EQ(inst.end(SIGHUP), 0);
    EXPECT_EQ(read_file(dump), line) << "no dump at the end";
    remove(dump.c_str());
    rmdir(dir);
}

} // namespace
