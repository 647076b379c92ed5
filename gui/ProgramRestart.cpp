#include "gui/ProgramRestart.h"

#include "gui/MainWindow.h"
#include "gui/UserPrompts.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QX11Info>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

template <typename T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The reply of `cookie`; null on an error (a window gone meanwhile), which is dropped here rather
// than left to the event queue, where Qt would report it.
template <typename T, typename Cookie>
XcbReply<T> reply(xcb_connection_t *connection, T *(*take)(xcb_connection_t *, Cookie, xcb_generic_error_t **),
                  Cookie cookie)
{
    xcb_generic_error_t *error = nullptr;
    XcbReply<T> value(take(connection, cookie, &error), &std::free);
    std::free(error);
    return value;
}

// The windows `parents` hold, one level down.
std::vector<xcb_window_t> childrenOf(xcb_connection_t *connection, const std::vector<xcb_window_t> &parents)
{
    std::vector<xcb_query_tree_cookie_t> asked;
    for (xcb_window_t parent : parents)
        asked.push_back(xcb_query_tree(connection, parent));
    std::vector<xcb_window_t> children;
    for (xcb_query_tree_cookie_t cookie : asked) {
        const auto tree = reply(connection, xcb_query_tree_reply, cookie);
        if (!tree)
            continue;
        const xcb_window_t *first = xcb_query_tree_children(tree.get());
        children.insert(children.end(), first, first + xcb_query_tree_children_length(tree.get()));
    }
    return children;
}

// Whether one of `windows` carries _NET_WM_PID `pid`.
bool ownedBy(xcb_connection_t *connection, xcb_atom_t pidAtom, const std::vector<xcb_window_t> &windows, qint64 pid)
{
    std::vector<xcb_get_property_cookie_t> asked;
    for (xcb_window_t window : windows)
        asked.push_back(xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1));
    bool found = false;
    for (xcb_get_property_cookie_t cookie : asked) {
        const auto property = reply(connection, xcb_get_property_reply, cookie);
        if (property && property->format == 32 && xcb_get_property_value_length(property.get()) == 4 &&
            *static_cast<const uint32_t *>(xcb_get_property_value(property.get())) == static_cast<uint32_t>(pid))
            found = true;
    }
    return found;
}

// The atom of `name`; XCB_ATOM_NONE when no client has made it yet.
xcb_atom_t existingAtom(xcb_connection_t *connection, const char *name)
{
    const auto atom = reply(connection, xcb_intern_atom_reply,
                            xcb_intern_atom(connection, 1, static_cast<uint16_t>(std::strlen(name)), name));
    return atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The windows a window manager manages (_NET_CLIENT_LIST of the root window); none without one.
std::vector<xcb_window_t> managedWindows(xcb_connection_t *connection, xcb_window_t root)
{
    const xcb_atom_t list = existingAtom(connection, "_NET_CLIENT_LIST");
    if (list == XCB_ATOM_NONE)
        return {};
    const auto property = reply(connection, xcb_get_property_reply,
                                xcb_get_property(connection, 0, root, list, XCB_ATOM_WINDOW, 0, 65536));
    if (!property || property->format != 32)
        return {};
    const auto *first = static_cast<const xcb_window_t *>(xcb_get_property_value(property.get()));
    return std::vector<xcb_window_t>(first, first + xcb_get_property_value_length(property.get()) / 4);
}

// A top-level window of `pid`: one a window manager manages, a child of the root window, or a
// child of a frame there.
bool hasWindowOnX11Display(qint64 pid)
{
    xcb_connection_t *connection = QX11Info::connection();
    if (!connection || xcb_connection_has_error(connection))
        return false;
    const xcb_atom_t pidAtom = existingAtom(connection, "_NET_WM_PID");
    if (pidAtom == XCB_ATOM_NONE)
        return false; // no window of any client carries it yet
    const auto root = static_cast<xcb_window_t>(QX11Info::appRootWindow());
    if (ownedBy(connection, pidAtom, managedWindows(connection, root), pid))
        return true;
    const std::vector<xcb_window_t> topLevel = childrenOf(connection, {root});
    return ownedBy(connection, pidAtom, topLevel, pid) ||
           ownedBy(connection, pidAtom, childrenOf(connection, topLevel), pid);
}

// The process runs: it exists and has not ended (a zombie waits for its parent to reap it).
bool processRuns(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int name = text.lastIndexOf(')');
    if (name < 0 || name + 2 >= text.size())
        return false;
    const char state = text.at(name + 2);
    return state != 'Z' && state != 'X';
}

} // namespace

qint64 launchDetached(const QString &program, const QStringList &arguments)
{
    qint64 pid = 0;
    return QProcess::startDetached(program, arguments, QString(), &pid) ? pid : 0;
}

int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch, qint64 *successor)
{
    if (successor)
        *successor = 0;
    if (result != MainWindow::restartExitCode)
        return result;
    // The new copy finds everything it needs in the settings file.
    const qint64 pid = launch ? launch(program, QStringList()) : 0;
    if (successor)
        *successor = pid;
    return 0;
}

SuccessorWatch displayWatch()
{
    SuccessorWatch watch;
    if (QX11Info::isPlatformX11())
        watch.onDisplay = hasWindowOnX11Display;
    watch.running = processRuns;
    watch.nowMs = [] {
        return static_cast<qint64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count());
    };
    watch.sleepMs = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
    return watch;
}

SuccessorStart awaitSuccessor(qint64 pid, const SuccessorWatch &watch, int timeoutMs)
{
    const qint64 until = watch.nowMs() + timeoutMs;
    for (;;) {
        if (watch.onDisplay(pid))
            return SuccessorStart::OnDisplay;
        if (!watch.running(pid))
            return SuccessorStart::Ended;
        if (watch.nowMs() >= until)
            return SuccessorStart::NotSeen;
        watch.sleepMs(50);
    }
}

namespace {

// A restart that left the user without a window: what happened, and what to do.
void tellFailedRestart(const AppServices &services, const QString &what)
{
    PromptMessage error;
    error.icon = QMessageBox::Critical;
    error.title = QStringLiteral("QZ Config Tool");
    error.text = QStringLiteral("The application could not restart: %1.\nStart QZ Config Tool again; it will use "
                                "the network interface you chose.")
                     .arg(what);
    error.buttons = QMessageBox::Ok;
    services.promptsOrDefault().message(error);
}

} // namespace

int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch,
                  const SuccessorWatch &watch)
{
    qint64 successor = 0;
    bool restart = false;
    int code = 0;
    {
        MainWindow window(services);
        window.show();
        const int result = app.exec();
        restart = result == MainWindow::restartExitCode;
        code = finishEventLoop(result, QCoreApplication::applicationFilePath(), launch, &successor);
    }
    if (restart && successor <= 0) {
        qWarning("QZ Config Tool: the new copy could not be started");
        tellFailedRestart(services, QStringLiteral("its new copy could not be started"));
        return code;
    }
    if (successor <= 0 || !watch.onDisplay)
        return code;
    switch (awaitSuccessor(successor, watch, kSuccessorTimeoutMs)) {
    case SuccessorStart::OnDisplay:
        break;
    case SuccessorStart::NotSeen:
        qWarning("QZ Config Tool: the new copy (process %lld) opened no window within %d s", successor,
                 kSuccessorTimeoutMs / 1000);
        break;
    case SuccessorStart::Ended:
        qWarning("QZ Config Tool: the new copy (process %lld) ended before it opened its window", successor);
        tellFailedRestart(services, QStringLiteral("its new copy ended before it opened its window"));
        break;
    }
    return code;
}
