// A whole run of QZ Config Tool as scripts/run makes it: scripts/with-installation.sh with
// qz_testnet and the real program, inside the namespace of avahi-netns.sh, the program driven
// through the probe of tests/integration/probe.
//
// Probe protocol: every copy of the program writes what it shows to DIR/<pid>.state whenever that
// changes, one fact a line, fields separated by tabs (backslash escapes \n, \t and \\):
//   commands <n>                                  commands it has started
//   <window> window <title>                       a shown top-level window (its object name)
//   <window> message <text>                       a shown message box
//   <window> action <name> <enabled 0|1>
//   <window> button <name> <enabled 0|1> <text>
//   <window> label <name> <text>                  labels outside list rows
//   <window> text <name> <plain text>             text edits and browsers (the log pane)
//   <window> row <index> <current 0|1> <label name>=<text>...
// and runs the lines of DIR/<pid>.cmd (the file is removed as it is read):
//   click BUTTON, trigger ACTION, row N (in the shown list), answer BUTTON_TEXT (of the shown
//   message box), close WINDOW, picture WINDOW FILE (a PNG of the window).
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace run_session {

// What one copy of the program shows.
struct Shown {
    int commands = 0;
    std::vector<std::vector<std::string>> facts; // the lines of the state file, fields unescaped

    bool hasWindow(const std::string &window) const;
    // The field after the name of the first fact of `kind` and `name` in `window`; empty when none.
    std::string value(const std::string &window, const std::string &kind, const std::string &name) const;
    bool enabled(const std::string &window, const std::string &kind, const std::string &name) const
    {
        return value(window, kind, name) == "1";
    }
    std::string log() const { return value("MainWindow", "text", "outputTextBrowser"); }
    // The rows of the shown list of `window`: row -> label name -> text, and the current row.
    std::vector<std::map<std::string, std::string>> rows(const std::string &window, int *current = nullptr) const;
    std::string message() const; // the text of a shown message box
};

class Session {
public:
    // `dir`: an empty directory for the probe's files, the settings, the dump and the output.
    explicit Session(const std::string &dir);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // The program's settings file (XDG_CONFIG_HOME is DIR/config), written before start.
    std::string settingsFile() const;
    void writeSettings(const std::string &ini) const;
    // The value of KEY in [SECTION] of the settings file; empty when none.
    std::string setting(const std::string &section, const std::string &key) const;

    // Starts with-installation.sh in a process group of its own, with qz_testnet and `program`
    // (empty: a copy of QZ Config Tool in DIR/program, with the sample files beside it, and the
    // probe), on Qt's offscreen platform or, with `offscreen` false
    // and no DISPLAY, on the script's own virtual X display; under the command line `within`
    // (ip netns exec NAME, say) when one is given.
    bool start(const std::vector<std::string> &testnetOptions, const std::vector<std::string> &program = {},
               bool offscreen = true, const std::vector<std::string> &within = {});
    // Starts the command line `args` as start() starts the script, `environment` run in the new
    // process before it.
    bool run(const std::vector<std::string> &args, const std::function<void()> &environment);
    pid_t script() const { return script_; }

    // The processes that have written a state, oldest first.
    std::vector<pid_t> copies() const;
    bool read(pid_t pid, Shown &out) const;
    // Waits until the state of `pid` satisfies `done`; `last` gets the last state read.
    bool waitFor(pid_t pid, const std::function<bool(const Shown &)> &done, int timeoutMs, Shown *last = nullptr) const;
    // Waits for a copy that is not among `known`; 0 when none came.
    pid_t waitForNewCopy(const std::vector<pid_t> &known, int timeoutMs) const;
    // Hands `command` to `pid` once it has taken the previous one.
    bool send(pid_t pid, const std::string &command) const;
    // Presses Confirm of `pid` until it reports every wanted device found.
    bool confirm(pid_t pid, int timeoutMs) const;

    // The running processes of the program's file, and of qz_testnet's, in the namespace.
    std::vector<pid_t> programProcesses() const;
    std::vector<pid_t> installationProcesses() const;
    static bool running(pid_t pid);

    // Ctrl+C in the terminal: SIGINT to the script's process group.
    void interrupt() const;
    // `kill` or a service manager: SIGTERM to the script alone.
    void terminate() const;
    // The script's exit code (128 + n after signal n); -1 when it has not ended within `timeoutMs`.
    int wait(int timeoutMs);
    std::string output() const;      // everything the script wrote
    std::string dumpFile() const;    // the subscriptions qz_testnet wrote at its end
    const std::string &dir() const { return dir_; }

private:
    std::string dir_, probeDir_, programFile_;
    pid_t script_ = -1;
    int status_ = -1;
};

// The checkout the tests come from, and the resolved files of QZ Config Tool and qz_testnet.
std::string sourceDir();
std::string programFile();
std::string testnetFile();

// Gives the calling process a mount namespace of its own with an empty /tmp, in which the
// checkout and its build stay where they are should they lie under /tmp, and an empty directory
// of compiled X keymaps.
bool privateTmp();

// A directory of its own under /tmp, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
};

// The running processes of `file` (a resolved path).
std::vector<pid_t> processesOf(const std::string &file);

// Waits until `done` holds, checking every 100 ms.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// "<rx device> <rx id>" -> "<tx channel>@<tx device>" for every line of a dump.
std::map<std::string, std::string> readDump(const std::string &path);

} // namespace run_session
