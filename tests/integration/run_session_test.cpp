// The run command's session as a user meets it (scripts/with-installation.sh, which scripts/run
// runs in the namespace of avahi-netns.sh): the real QZ Config Tool, restarted by itself after an
// interface change, goes on in its new copy on the new interface until Confirm and Apply; a fresh
// run starts on the interface the settings saved; a program that keeps restarting is told about;
// Ctrl+C, SIGTERM and a closed window end every copy before the installation and the display; a
// session without a display has one of its own that leaves the PC's alone; the run command under
// sudo shows the window on a display reached by TCP through a relay on the PC's network (no
// process of the session holds that network), leaves the user's checkout to the user and ends
// with its script; started anywhere but in its namespace, the session takes nothing.
#include "tests/integration/run_session.h"
#include "tests/support/quoting.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

using namespace run_session;
using qz_test::shellQuoted;

namespace {

// The program waits 12 + 2 + 3 + 2 s by design from its start to Confirm enabled.
constexpr int kReadyMs = 45000;
constexpr int kFoundMs = 60000;
constexpr int kSwitchMs = 30000;

// One KTV4-S and area 1 of two RQA-310 units: the installation the script starts for them.
const char kCounts[] = "[DEVICE]\nKTV4S=1\nArea1=2\nArea2=8\nArea3=8\nArea4=8\n";

bool confirmEnabled(const Shown &s)
{
    return s.enabled("MainWindow", "button", "confirmPushButton");
}

std::string interfaceShown(const Shown &s)
{
    return s.value("MainWindow", "label", "label_IfName") + " " + s.value("MainWindow", "label", "label_IpAddress");
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A stand-in for the program in DIR (tests/integration/stand_in.cpp), running the script TEXT,
// which asks for a restart with `kill -USR1 $PPID`: a copy of its own, so that its copies are the
// processes of a file of their own.
bool standIn(const std::string &dir, const std::string &text)
{
    if (std::system(("cp " + shellQuoted(QZ_STAND_IN) + " " + shellQuoted(dir + "/stand-in")).c_str()) != 0)
        return false;
    std::ofstream(dir + "/stand-in.sh") << text;
    return true;
}

std::string readText(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The PC as a test plays it, in a /tmp of the test's own (privateTmp): its X server, started by
// the command line `server`, which its clients reach with `client` before their own command line
// and which shows a screen of `dimensions`. The server does not reset when its last client leaves,
// as a PC's display with a desktop on it does not: the test's own looks at it come and go, and a
// server that reset after each would drop a client connecting meanwhile, the program among them.
class Host {
public:
    Host(std::vector<std::string> server, std::string client, std::string dimensions)
        : command_(std::move(server)), client_(std::move(client)), dimensions_(std::move(dimensions))
    {
    }
    // A stand-in for the PC's own display (in a network namespace of its own, as the PC's display
    // is in the PC's) at the display a session takes first, :0.
    Host()
        : Host({"unshare", "--net", "Xvfb", ":0", "-noreset", "-screen", "0", "640x480x24", "-nolisten", "tcp"},
               "unshare --net env DISPLAY=:0", "640x480")
    {
    }
    bool start()
    {
        server_ = fork();
        if (server_ == 0) {
            std::freopen("/dev/null", "w", stderr);
            std::vector<char *> argv;
            for (const std::string &a : command_)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return server_ > 0 && waitUntil([this] { return answers(); }, 10000);
    }
    ~Host()
    {
        if (server_ > 0) {
            kill(server_, SIGTERM);
            waitpid(server_, nullptr, 0);
        }
    }
    pid_t server() const { return server_; }
    // The inode of the display's socket file; 0 when there is none.
    ino_t socket() const
    {
        struct stat st;
        return stat("/tmp/.X11-unix/X0", &st) == 0 ? st.st_ino : 0;
    }
    // A client of the PC reaches the PC's server.
    bool answers() const
    {
        return std::system((client_ + " xdpyinfo 2>/dev/null | grep -q 'dimensions: *" + dimensions_ + "'").c_str()) == 0;
    }
    // The display shows a window of `title`.
    bool shows(const std::string &title) const
    {
        return std::system((client_ + " xwininfo -root -tree 2>/dev/null | grep -qF '\"" + title + "\"'").c_str()) == 0;
    }

private:
    std::vector<std::string> command_;
    std::string client_, dimensions_;
    pid_t server_ = -1;
};

// The virtual X display a run names in its output ("... virtual X display :N ..."); empty when none.
std::string virtualDisplay(const std::string &said)
{
    const std::string named = "virtual X display ";
    const size_t at = said.find(named);
    std::string display;
    if (at != std::string::npos)
        std::istringstream(said.substr(at + named.size())) >> display;
    return display;
}

// The network namespace of the process `pid` ("net:[inode]").
std::string namespaceOf(pid_t pid)
{
    char link[64] = {};
    const ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
}

// The processes that hold the namespace `ns` open as a descriptor, one "pid name" a line.
std::string holdersOf(const std::string &ns)
{
    std::string out;
    if (DIR *procs = opendir("/proc")) {
        while (const dirent *entry = readdir(procs)) {
            const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
            DIR *open = std::atoi(entry->d_name) > 0 ? opendir(fds.c_str()) : nullptr;
            if (!open)
                continue;
            while (const dirent *fd = readdir(open)) {
                char link[64] = {};
                if (readlink((fds + "/" + fd->d_name).c_str(), link, sizeof link - 1) > 0 && link == ns)
                    out += std::string(entry->d_name) + " " + readText(std::string("/proc/") + entry->d_name + "/comm");
            }
            closedir(open);
        }
        closedir(procs);
    }
    return out;
}

// The names in the directory `dir`.
std::vector<std::string> entriesOf(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(d))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.push_back(entry->d_name);
        closedir(d);
    }
    return names;
}

// The files under `dir` that belong to root, one a line.
std::string rootsFiles(const std::string &dir)
{
    std::string out;
    if (FILE *found = popen(("find " + shellQuoted(dir) + " -user root").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, found))
            out += line;
        pclose(found);
    }
    return out;
}

} // namespace

TEST(RunSession, TheNewCopyAfterAnInterfaceChangeCarriesTheSessionToApply)
{
    TempDir dir;
    Session session(dir.path);
    session.writeSettings(kCounts);
    ASSERT_TRUE(session.start({}));

    std::vector<pid_t> known;
    const pid_t first = session.waitForNewCopy(known, 20000);
    ASSERT_NE(first, 0) << session.output();
    known.push_back(first);
    Shown shown;
    ASSERT_TRUE(session.waitFor(first, confirmEnabled, kReadyMs, &shown)) << shown.log() << session.output();
    EXPECT_NE(session.output().find("simulated installation ready: 3 units"), std::string::npos) << session.output();
    EXPECT_EQ(interfaceShown(shown), "Ethernet 192.168.1.10");

    // Network List: the chooser shows an address per interface; "Ethernet 2" chosen.
    ASSERT_TRUE(session.send(first, "trigger actionNetwork_List"));
    ASSERT_TRUE(session.waitFor(
        first, [](const Shown &s) { return s.rows("NicListSelectDialog").size() == 2; }, kSwitchMs, &shown));
    int current = -1;
    const auto rows = shown.rows("NicListSelectDialog", &current);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(rows[0].at("label_NicName") + " " + rows[0].at("label_IpAddress"), "Ethernet 192.168.1.10");
    EXPECT_EQ(rows[1].at("label_NicName") + " " + rows[1].at("label_IpAddress"), "Ethernet 2 192.168.2.10");
    ASSERT_TRUE(session.send(first, "row 1"));
    ASSERT_TRUE(session.send(first, "click btn_OK"));

    // The switch, the restart: the first copy ends, its new copy carries on.
    const pid_t second = session.waitForNewCopy(known, kSwitchMs);
    ASSERT_NE(second, 0) << session.output();
    known.push_back(second);
    EXPECT_TRUE(waitUntil([&] { return !Session::running(first); }, 10000));
    EXPECT_EQ(session.setting("NIC", "MAC_Address"), "02:00:00:00:00:02");
    ASSERT_TRUE(session.waitFor(second, confirmEnabled, kReadyMs, &shown)) << shown.log() << session.output();
    EXPECT_EQ(interfaceShown(shown), "Ethernet 2 192.168.2.10");
    ASSERT_TRUE(session.confirm(second, kFoundMs)) << shown.log();
    ASSERT_TRUE(session.send(second, "click applyPushButton"));
    ASSERT_TRUE(session.waitFor(
        second, [](const Shown &s) { return s.log().find("Apply succeed.") != std::string::npos; }, kFoundMs, &shown))
        << shown.log();
    EXPECT_EQ(session.copies(), known) << "the service stayed on the interface: no further restart";

    // Ctrl+C ends the new copy too, though it runs in a session of its own.
    session.interrupt();
    EXPECT_EQ(session.wait(30000), 130) << session.output();
    EXPECT_TRUE(session.programProcesses().empty());
    EXPECT_EQ(count(session.output(), "restarted itself"), 1u) << session.output();
    // The sample plan, applied to all three units.
    const std::map<std::string, std::string> expected{
        {"T001-QZ-KTV4-S-0001 1", "01@T001-QZ-RQA-310-0001"}, {"T001-QZ-KTV4-S-0001 2", "02@T001-QZ-RQA-310-0001"},
        {"T001-QZ-KTV4-S-0001 3", "01@T002-QZ-RQA-310-0002"}, {"T001-QZ-KTV4-S-0001 4", "02@T002-QZ-RQA-310-0002"},
        {"T001-QZ-RQA-310-0001 1", "01@T001-QZ-KTV4-S-0001"}, {"T001-QZ-RQA-310-0001 2", "02@T001-QZ-KTV4-S-0001"},
        {"T002-QZ-RQA-310-0002 1", "03@T001-QZ-KTV4-S-0001"}, {"T002-QZ-RQA-310-0002 2", "04@T001-QZ-KTV4-S-0001"}};
    EXPECT_EQ(readDump(session.dumpFile()), expected);
}

TEST(RunSession, AFreshRunStartsOnTheSavedInterfaceAndEndsWithTheWindow)
{
    TempDir dir;
    Session session(dir.path);
    session.writeSettings(std::string(kCounts) + "[NIC]\nMAC_Address=02:00:00:00:00:02\n");
    ASSERT_TRUE(session.start({}));

    const pid_t copy = session.waitForNewCopy({}, 20000);
    ASSERT_NE(copy, 0) << session.output();
    Shown shown;
    ASSERT_TRUE(session.waitFor(copy, confirmEnabled, kReadyMs, &shown)) << shown.log() << session.output();
    EXPECT_EQ(interfaceShown(shown), "Ethernet 2 192.168.2.10");
    ASSERT_TRUE(session.confirm(copy, kFoundMs)) << shown.log();
    EXPECT_EQ(session.copies(), std::vector<pid_t>{copy}) << "no restart";

    // Close, and yes to "Exit the application?": the session ends with the program.
    ASSERT_TRUE(session.send(copy, "click closePushButton"));
    ASSERT_TRUE(session.waitFor(
        copy, [](const Shown &s) { return s.message() == "Exit the application?"; }, 10000, &shown));
    ASSERT_TRUE(session.send(copy, "answer Yes"));
    EXPECT_EQ(session.wait(30000), 0) << session.output();
    EXPECT_TRUE(session.programProcesses().empty());
    EXPECT_EQ(session.output().find("restarted"), std::string::npos) << session.output();
}

TEST(RunSession, AProgramThatKeepsRestartingIsToldAboutAndCtrlCEndsItsLastCopy)
{
    // A stand-in that restarts itself every 1.5 s, five times, then stays; it says when it is ready
    // to end, and when it is ending (it ends once the test lets it).
    TempDir dir;
    Session session(dir.path);
    session.writeSettings(std::string(kCounts) + "[NIC]\nMAC_Address=02:00:00:00:00:09\n");
    ASSERT_TRUE(standIn(dir.path, "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n + 1)) >\"$0.count\"\n"
                                  "if [ \"$n\" -lt 5 ]; then sleep 1.5; kill -USR1 $PPID; exit 0; fi\n"
                                  "trap ': >\"$0.ending\"; for i in $(seq 100); do [ -e \"$0.go\" ] && break; "
                                  "sleep 0.05; done; pgrep -x qz_testnet >\"$0.end\"; exit 0' TERM\n"
                                  ": >\"$0.ready\"\n"
                                  "while :; do sleep 0.2; done\n"));
    ASSERT_TRUE(session.start({"--no-publish"}, {dir.path + "/stand-in"}));

    EXPECT_TRUE(waitUntil([&] { return session.output().find("has restarted 4 times") != std::string::npos; }, 30000))
        << session.output();
    const std::string said = session.output();
    EXPECT_NE(said.find("02:00:00:00:00:09 in " + session.settingsFile()), std::string::npos) << said;
    EXPECT_NE(said.find("delete the MAC_Address line"), std::string::npos) << said;
    EXPECT_NE(said.find("--current 02:00:00:00:00:09: the configuration service lists no such interface"),
              std::string::npos)
        << said;
    ASSERT_TRUE(waitUntil([&] { return session.output().find("restarted itself") != std::string::npos &&
                                       count(session.output(), "restarted itself") == 5; },
                          10000))
        << session.output();
    EXPECT_TRUE(waitUntil([&] { return session.programProcesses().size() == 1u; }, 5000)) << "the copy before ends";
    struct stat st;
    ASSERT_TRUE(waitUntil([&] { return stat((dir.path + "/stand-in.sh.ready").c_str(), &st) == 0; }, 10000));
    EXPECT_EQ(session.wait(1000), -1) << "the session waits for the last copy";

    // A second Ctrl+C while the session ends its last copy does not cut the clean-up short.
    session.interrupt();
    ASSERT_TRUE(waitUntil([&] { return stat((dir.path + "/stand-in.sh.ending").c_str(), &st) == 0; }, 10000));
    EXPECT_NE(session.output().find("ending QZ Config Tool"), std::string::npos) << session.output();
    session.interrupt();
    std::ofstream(dir.path + "/stand-in.sh.go").flush();
    EXPECT_EQ(session.wait(30000), 130) << session.output();
    EXPECT_TRUE(session.programProcesses().empty());
    EXPECT_NE(readText(dir.path + "/stand-in.sh.end"), "") << "the installation ended before the last copy";
    EXPECT_TRUE(session.installationProcesses().empty());
    EXPECT_NE(session.output().find("the subscriptions of every unit are in"), std::string::npos) << session.output();
    EXPECT_EQ(count(session.output(), "has restarted"), 1u) << "said once";
}

TEST(RunSession, WithoutADisplayTheSessionsOwnIsAllItsCopiesSeeToTheirEnd)
{
    ASSERT_TRUE(privateTmp());
    Host host;
    ASSERT_TRUE(host.start());
    const ino_t hostSocket = host.socket();
    unsetenv("DISPLAY");
    unsetenv("XAUTHORITY");

    // A stand-in that notes what its display answers and which display sockets it sees, starts a
    // detached copy of itself (as the program's restart does) and stays; ended, it notes what its
    // display answers then. The subscriptions of an earlier session are left over.
    TempDir dir;
    Session session(dir.path);
    session.writeSettings(kCounts);
    std::ofstream(session.dumpFile()) << "T001-QZ-RQA-310-0001 1 01 01@T001-QZ-KTV4-S-0001\n";
    ASSERT_TRUE(standIn(dir.path, "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n + 1)) >\"$0.count\"\n"
                                  "trap 'sleep 0.5; xdpyinfo | grep dimensions >\"$0.end$n\"; exit 0' TERM\n"
                                  "ls -Ai /tmp/.X11-unix >\"$0.sockets$n\"\n"
                                  "xdpyinfo | grep dimensions >\"$0.display$n\"\n"
                                  "if [ \"$n\" -eq 0 ]; then kill -USR1 $PPID; fi\n"
                                  "while :; do sleep 0.2; done\n"));
    ASSERT_TRUE(session.start({"--no-publish"}, {dir.path + "/stand-in"}, false));

    // Both copies reach the session's display, with the session's cookie, and see its socket alone.
    for (const char *copy : {"0", "1"}) {
        const std::string file = dir.path + "/stand-in.sh.display" + copy;
        EXPECT_TRUE(waitUntil([&] { return readText(file).find("1024x768") != std::string::npos; }, 30000))
            << "copy " << copy << ": " << readText(file) << session.output();
        std::istringstream sockets(readText(dir.path + "/stand-in.sh.sockets" + copy));
        ino_t inode = 0;
        std::string name, more;
        sockets >> inode >> name >> more;
        EXPECT_EQ(name + more, "X0") << "copy " << copy;
        EXPECT_NE(inode, hostSocket) << "copy " << copy << " sees the PC's display";
    }
    const std::string display = virtualDisplay(session.output());
    ASSERT_NE(display, "") << session.output();
    EXPECT_NE(std::system(("XAUTHORITY=/dev/null xdpyinfo -display " + display + " >/dev/null 2>&1").c_str()), 0)
        << "taken without the cookie";
    EXPECT_EQ(host.socket(), hostSocket);
    EXPECT_TRUE(host.answers());

    // The installation ends without writing; Ctrl+C ends the session, the copy it does not reach
    // (a session of its own) while the display still runs.
    for (pid_t pid : session.installationProcesses())
        kill(pid, SIGKILL);
    session.interrupt();
    EXPECT_EQ(session.wait(20000), 130) << session.output();
    EXPECT_NE(readText(dir.path + "/stand-in.sh.end1").find("1024x768"), std::string::npos)
        << readText(dir.path + "/stand-in.sh.end1");
    EXPECT_TRUE(session.programProcesses().empty());
    EXPECT_EQ(processesOf("/usr/bin/Xvfb"), std::vector<pid_t>{host.server()}) << "the session's display ended";
    EXPECT_EQ(host.socket(), hostSocket);
    EXPECT_TRUE(host.answers());
    EXPECT_EQ(session.output().find("subscriptions of every unit are in"), std::string::npos) << session.output();
    EXPECT_NE(session.output().find("wrote no subscriptions"), std::string::npos) << session.output();
    struct stat st;
    EXPECT_NE(stat(session.dumpFile().c_str(), &st), 0);
}

TEST(RunSession, UnderSudoTheWindowOpensOnADisplayReachedByTcpTheCheckoutStaysTheUsersAndKillEndsIt)
{
    // The PC of a user who came in by ssh -X: a display that listens on TCP only, on the PC's
    // loopback (this test's network namespace), named by host and number, with a cookie in the
    // user's file as ssh writes it. The user's checkout: the real scripts, and a build that puts
    // copies of the real programs (with the sample files, and veltoWrapper found where the
    // checkout has it) where the real one does, so that the user reaches them wherever this build
    // lies. The user: nobody.
    ASSERT_TRUE(privateTmp());
    const passwd *user = getpwnam("nobody");
    ASSERT_NE(user, nullptr);
    TempDir dir;
    chmod(dir.path.c_str(), 0755);
    const std::string checkout = dir.path + "/checkout", cookies = dir.path + "/Xauthority";
    const std::string source = sourceDir(), built = checkout + "/built";
    const auto in = [&](const std::string &from, const std::vector<std::string> &names) {
        std::string out;
        for (const std::string &name : names)
            out += shellQuoted(from + "/" + name) + " ";
        return out;
    };
    ASSERT_EQ(std::system(("mkdir -p " + in(checkout, {"scripts", "tests/integration"}) + shellQuoted(built) +
                           " && cp " + in(source + "/scripts", {"run", "setup", "as-user.sh", "with-installation.sh"}) +
                           shellQuoted(checkout + "/scripts") + " && cp " +
                           in(source + "/tests/integration", {"avahi-netns.sh"}) +
                           shellQuoted(checkout + "/tests/integration") + " && cp " + shellQuoted(programFile()) + " " +
                           shellQuoted(testnetFile()) + " " + shellQuoted(source + "/gui/data") + "/* " +
                           shellQuoted(QZ_WRAPPER_LIBRARY) + " " + shellQuoted(built) + " && xauth -q -f " +
                           shellQuoted(cookies) + " add unix:12 . 00112233445566778899aabbccddeeff")
                              .c_str()),
              0);
    std::ofstream(checkout + "/CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.16)\nproject(checkout NONE)\nset(built ${CMAKE_SOURCE_DIR}/built)\n"
           "file(COPY ${built}/QZConfigTool ${built}/QZSetting.json ${built}/QZVeltoPatch.json ${built}/Legal.txt "
           "DESTINATION ${CMAKE_BINARY_DIR}/gui)\nfile(COPY ${built}/qz_testnet DESTINATION ${CMAKE_BINARY_DIR})\n";
    Host host({"Xvfb", ":12", "-noreset", "-listen", "tcp", "-nolisten", "unix", "-nolisten", "local", "-auth", cookies,
               "-screen", "0", "800x600x24"},
              "env DISPLAY=localhost:12 XAUTHORITY=" + shellQuoted(cookies), "800x600");
    ASSERT_TRUE(host.start());

    // sudo bash scripts/run, the user's display and cookie file kept.
    const auto runCommand = [&](Session &session) {
        EXPECT_EQ(std::system(("chown -R nobody: " + shellQuoted(dir.path)).c_str()), 0);
        return session.run({"/bin/bash", checkout + "/scripts/run", "--no-publish"}, [&] {
            setenv("SUDO_USER", user->pw_name, 1);
            setenv("DISPLAY", "localhost:12.0", 1);
            setenv("XAUTHORITY", cookies.c_str(), 1);
            setenv("XDG_CONFIG_HOME", (dir.path + "/config").c_str(), 1);
            setenv("LD_LIBRARY_PATH", built.c_str(), 1);
            unsetenv("QT_QPA_PLATFORM");
        });
    };
    const auto windowOrEnd = [&](Session &session) {
        return waitUntil([&] { return host.shows("QZ Config Tool") || session.wait(0) >= 0; }, 120000) &&
               host.shows("QZ Config Tool");
    };
    // The programs the checkout's build put in place.
    const std::string program = checkout + "/build/gui/QZConfigTool", installation = checkout + "/build/qz_testnet";
    mkdir((dir.path + "/one").c_str(), 0755);
    Session session(dir.path + "/one");
    ASSERT_TRUE(runCommand(session));
    EXPECT_TRUE(windowOrEnd(session)) << session.output();
    // Ctrl+C reaches none of the session's daemons.
    for (const std::string &daemon : {std::string("/usr/sbin/avahi-daemon"), std::string("/usr/bin/dbus-daemon"),
                                      std::string("/usr/bin/socat"), installation})
        for (pid_t pid : processesOf(daemon))
            EXPECT_NE(getpgid(pid), session.script()) << daemon << " in the terminal's process group";
    // The relay is on the PC's network, the program on the session's, and no process holds the
    // PC's network open.
    const std::vector<pid_t> relays = processesOf("/usr/bin/socat"), copies = processesOf(program);
    ASSERT_FALSE(relays.empty()); // the relay, and a process of its for each connection
    for (pid_t pid : relays)
        EXPECT_EQ(namespaceOf(pid), namespaceOf(getpid()));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(namespaceOf(copies[0]), namespaceOf(getpid()));
    EXPECT_EQ(holdersOf(namespaceOf(getpid())), "");

    // SIGTERM to the script alone ends it at once; the window goes, the display stays.
    session.terminate();
    EXPECT_EQ(session.wait(20000), 143) << session.output();
    EXPECT_TRUE(processesOf(program).empty());
    EXPECT_TRUE(waitUntil([&] { return !host.shows("QZ Config Tool"); }, 5000));
    EXPECT_TRUE(host.answers());
    struct stat st;
    EXPECT_EQ(stat((checkout + "/build/testnet-subscriptions.txt").c_str(), &st), 0) << session.output();
    EXPECT_EQ(rootsFiles(checkout), "");

    // kill -9 of the script ends the session with it.
    const std::vector<pid_t> daemons = processesOf("/usr/sbin/avahi-daemon");
    mkdir((dir.path + "/two").c_str(), 0755);
    Session again(dir.path + "/two");
    ASSERT_TRUE(runCommand(again));
    EXPECT_TRUE(windowOrEnd(again)) << again.output();
    kill(again.script(), SIGKILL);
    EXPECT_EQ(again.wait(5000), 128 + SIGKILL);
    EXPECT_TRUE(waitUntil(
        [&] {
            return processesOf(program).empty() && processesOf(installation).empty() &&
                   processesOf("/usr/bin/socat").empty() && processesOf("/usr/sbin/avahi-daemon") == daemons;
        },
        20000))
        << again.output();
    EXPECT_EQ(rootsFiles(checkout), "");
}

TEST(RunSession, AloneTheRunWaitsForItsOwnCopiesOnlyAndCtrlCOrSigtermEndsThemAll)
{
    // scripts/run --alone's part (scripts/alone.sh) with a stand-in whose first copy restarts
    // into a second that stays until the test lets it end; the stand-in's file is then built
    // anew (a new file in its place). A copy of the same file started otherwise runs all along,
    // as a copy on the user's desktop would.
    TempDir dir;
    ASSERT_TRUE(standIn(dir.path, "if [ -n \"${ELSEWHERE:-}\" ]; then while :; do sleep 0.2; done; fi\n"
                                  "n=$(cat \"$0.count\" 2>/dev/null || echo 0); echo $((n + 1)) >\"$0.count\"\n"
                                  "if [ \"$n\" -eq 0 ]; then kill -USR1 $PPID; exit 0; fi\n"
                                  "xdpyinfo 2>/dev/null | grep dimensions >\"$0.display\"\n"
                                  "trap ': >\"$0.ended\"; exit 0' TERM\n"
                                  ": >\"$0.ready\"\n"
                                  "while [ ! -e \"$0.stop\" ]; do sleep 0.1; done\n"));
    const std::string file = dir.path + "/stand-in", script = file + ".sh";
    const pid_t elsewhere = fork();
    if (elsewhere == 0) {
        setsid();
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        setenv("ELSEWHERE", "1", 1);
        execl(file.c_str(), file.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(elsewhere, 0);
    // The processes of the stand-in's file, of the one built anew too.
    const auto standIns = [&] {
        std::vector<pid_t> pids = processesOf(file), built = processesOf(file + " (deleted)");
        pids.insert(pids.end(), built.begin(), built.end());
        return pids;
    };
    // However the test ends, none of them (nor its script) outlives it.
    struct Ending {
        std::function<std::vector<pid_t>()> standIns;
        ~Ending()
        {
            for (pid_t pid : standIns()) {
                const pid_t group = getpgid(pid);
                kill(group > 0 && group != getpgrp() ? -group : pid, SIGKILL);
            }
        }
    } ending{standIns};
    struct stat st;
    const auto exists = [&](const std::string &path) { return stat(path.c_str(), &st) == 0; };

    enum Way { LastCopyEnds, Sigterm, CtrlC };
    for (const Way way : {LastCopyEnds, Sigterm, CtrlC}) {
        SCOPED_TRACE(way);
        std::system(("cd " + shellQuoted(dir.path) + " && rm -f stand-in.sh.count stand-in.sh.ready stand-in.sh.ended "
                     "stand-in.sh.stop stand-in.sh.display")
                        .c_str());
        const std::string run = dir.path + "/run" + std::to_string(way), tmp = run + "/tmp";
        mkdir(run.c_str(), 0755);
        mkdir(tmp.c_str(), 0755);
        Session session(run);
        // Ctrl+C on a virtual display of the run's own, the others offscreen.
        ASSERT_TRUE(session.run({"/bin/bash", sourceDir() + "/scripts/alone.sh", file}, [&] {
            setenv("TMPDIR", tmp.c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            if (way == CtrlC)
                unsetenv("QT_QPA_PLATFORM");
            else
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }));
        ASSERT_TRUE(waitUntil([&] { return exists(script + ".ready"); }, 20000)) << session.output();
        // A rebuild meanwhile: the copies' file is no longer the program's file.
        std::filesystem::copy_file(file, file + ".new");
        ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
        EXPECT_EQ(session.wait(500), -1) << "the run waits for the restarted copy";
        switch (way) {
        case LastCopyEnds:
            std::ofstream(script + ".stop").flush();
            EXPECT_EQ(session.wait(10000), 0) << session.output();
            break;
        case Sigterm:
            session.terminate();
            EXPECT_EQ(session.wait(10000), 143) << session.output();
            EXPECT_TRUE(exists(script + ".ended")) << "the restarted copy was ended";
            break;
        case CtrlC: {
            EXPECT_NE(readText(script + ".display").find("1024x768"), std::string::npos) << session.output();
            // The virtual display's cookie and number: in a directory of the run's own.
            const std::vector<std::string> files = entriesOf(tmp);
            ASSERT_EQ(files.size(), 1u) << "beside the run's directory";
            EXPECT_TRUE(exists(tmp + "/" + files[0]) && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700);
            session.interrupt();
            EXPECT_EQ(session.wait(10000), 130) << session.output();
            EXPECT_TRUE(exists(script + ".ended")) << "the restarted copy, in a session of its own, was ended";
            ASSERT_NE(virtualDisplay(session.output()), "") << session.output();
            EXPECT_NE(std::system(("xdpyinfo -display " + virtualDisplay(session.output()) + " >/dev/null 2>&1").c_str()),
                      0)
                << "the virtual display outlived the run";
            EXPECT_TRUE(entriesOf(tmp).empty()) << "the run's files outlived it";
            break;
        }
        }
        EXPECT_EQ(standIns(), std::vector<pid_t>{elsewhere}) << "only the run's own copies ended";
        // What the user reads is the run's own word, nothing of the tools it uses.
        std::istringstream said(session.output());
        for (std::string line; std::getline(said, line);)
            EXPECT_EQ(line.rfind("run: ", 0), 0u) << line;
    }
    kill(-elsewhere, SIGKILL);
    waitpid(elsewhere, nullptr, 0);
}

TEST(RunSession, StartedByHandOutsideItsNamespaceItRefusesAndLeavesThePCsLinksAlone)
{
    // A PC whose only links are the loopback and eth0, as a container's: a network namespace of
    // this test's own, its eth0 the end of a veth pair whose other end stays here.
    ASSERT_EQ(std::system("ip netns add qz-pc && ip -n qz-pc link set lo up && ip link add qz-pc-peer type veth "
                          "peer name eth0 netns qz-pc address 02:00:00:00:00:99"),
              0);
    TempDir dir;
    Session session(dir.path);
    ASSERT_TRUE(session.start({"--no-publish"}, {"/bin/true"}, true, {"ip", "netns", "exec", "qz-pc"}));
    EXPECT_EQ(session.wait(30000), 1) << session.output();
    EXPECT_NE(session.output().find("runs only inside the private network namespace"), std::string::npos)
        << session.output();
    EXPECT_EQ(std::system("ip -n qz-pc link show eth0 | grep -q 02:00:00:00:00:99"), 0) << "eth0 was taken";
    struct stat st;
    EXPECT_NE(stat(session.dumpFile().c_str(), &st), 0) << "the installation ran";
    std::system("ip netns del qz-pc; ip link del qz-pc-peer 2>/dev/null");
}
