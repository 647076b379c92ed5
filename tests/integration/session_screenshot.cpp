// Pictures of QZ Config Tool as `sudo bash scripts/run` shows it on a fresh clone: the real program
// through scripts/with-installation.sh on its virtual X display, with no saved settings (so the
// default installation) and the sample files beside the program. Once every device is confirmed:
// the chooser with an address per interface (DIR/network-list.png), then the window after a
// successful Apply (DIR/apply-succeeded.png).
// Usage: session_screenshot DIR (scripts/screenshot --apply runs it inside the namespace of
// tests/integration/avahi-netns.sh).
#include "tests/integration/run_session.h"

#include <cstdio>
#include <string>

using namespace run_session;

namespace {

int fail(Session &session, pid_t pid, const char *what)
{
    Shown shown;
    session.read(pid, shown);
    std::fprintf(stderr, "session_screenshot: %s\n--- log pane ---\n%s\n--- run ---\n%s\n", what, shown.log().c_str(),
                 session.output().c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    TempDir dir;
    Session session(dir.path);
    if (!session.start({}, {}, false)) {
        std::fprintf(stderr, "session_screenshot: the run did not start\n");
        return 1;
    }
    const pid_t pid = session.waitForNewCopy({}, 60000);
    if (pid == 0)
        return fail(session, pid, "the program did not start");
    if (!session.waitFor(
            pid, [](const Shown &s) { return s.enabled("MainWindow", "button", "confirmPushButton"); }, 45000))
        return fail(session, pid, "Confirm was not enabled");
    if (!session.confirm(pid, 60000))
        return fail(session, pid, "not every device was found");

    const auto choosing = [](const Shown &s) { return !s.rows("NicListSelectDialog").empty(); };
    if (!session.send(pid, "trigger actionNetwork_List") || !session.waitFor(pid, choosing, 30000))
        return fail(session, pid, "the chooser did not open");
    // Commands start in order, and none while a picture is taken.
    Shown shown;
    session.read(pid, shown);
    const int before = shown.commands;
    if (!session.send(pid, "picture NicListSelectDialog " + out + "/network-list.png") ||
        !session.send(pid, "click btn_Cancel") ||
        !session.waitFor(pid, [before](const Shown &s) { return s.commands >= before + 2; }, 10000))
        return fail(session, pid, "no picture of the chooser");

    if (!session.send(pid, "click applyPushButton") ||
        !session.waitFor(
            pid, [](const Shown &s) { return s.log().find("Apply succeed.") != std::string::npos; }, 120000))
        return fail(session, pid, "Apply did not succeed");
    if (!session.send(pid, "picture MainWindow " + out + "/apply-succeeded.png") ||
        !session.send(pid, "click closePushButton"))
        return fail(session, pid, "no picture of the window");
    if (session.wait(30000) != 0)
        return fail(session, pid, "the run did not end with the window");
    const auto subscriptions = readDump(session.dumpFile());
    std::printf("session_screenshot: %zu subscriptions in the installation after Apply\n%s", subscriptions.size(),
                session.output().c_str());
    return 0;
}
