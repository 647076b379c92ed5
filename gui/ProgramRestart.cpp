#include "gui/ProgramRestart.h"

#include "gui/MainWindow.h"
#include "gui/Scheduler.h"
#include "gui/UserPrompts.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QProcess>
#include <QSocketNotifier>
#include <QWidget>
#include <QWindow>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>

namespace {

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Writes the one byte that says "shown" to the pipe end `fd` once the window is exposed.
class ShownAnnouncer : public QObject {
public:
    ShownAnnouncer(int fd, QObject *parent) : QObject(parent), fd(fd) {}
    ~ShownAnnouncer() override { closeFd(fd); }

    void watch(QWindow *window)
    {
        if (!window)
            return;
        if (window->isExposed())
            announce();
        else
            window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *window = qobject_cast<QWindow *>(watched);
        if (event->type() == QEvent::Expose && window && fd >= 0) {
            // Handled first, so that the window is exposed when this looks.
            QMetaObject::invokeMethod(
                this,
                [this, window] {
                    if (window->isExposed()) {
                        window->removeEventFilter(this);
                        announce();
                    }
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void announce()
    {
        if (fd < 0)
            return;
        writeShown();
        closeFd(fd);
    }

    // The ending copy may be gone (its wait ended, it was killed): a write to a pipe without a
    // reader then raises SIGPIPE in the writing thread, which would end this copy as its window
    // is shown. The signal is blocked for the write, and one that the write raised is taken back.
    void writeShown()
    {
        sigset_t pipeSignal, before, pending;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
        const bool pendingBefore = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        const char shown = 1;
        ssize_t n;
        while ((n = ::write(fd, &shown, 1)) < 0 && errno == EINTR) {
        }
        if (n < 0 && errno == EPIPE && !pendingBefore) {
            const timespec now = {0, 0};
            while (sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }

    int fd;
};

} // namespace

// The pipe end the environment names: a descriptor above the standard ones that is a pipe open
// for writing; -1 otherwise. The variable is dropped either way.
int takeShownFd()
{
    const QByteArray text = qgetenv(kShownFdVariable);
    if (text.isNull())
        return -1;
    qunsetenv(kShownFdVariable);
    bool ok = false;
    const int fd = text.toInt(&ok);
    struct stat st;
    if (!ok || fd <= STDERR_FILENO || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_WRONLY)
        return -1;
    // Nothing this copy starts inherits it: the ending copy learns of this copy's end alone.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

qint64 launchDetached(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    qint64 pid = 0;
    return process.startDetached(&pid) ? pid : 0;
}

SuccessorPipe::SuccessorPipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return;
    readEnd = ends[0];
    writeEnd = ends[1];
    // The new copy inherits the write end.
    fcntl(writeEnd, F_SETFD, 0);
    fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
}

SuccessorPipe::~SuccessorPipe()
{
    closeFd(readEnd);
    closeFd(writeEnd);
}

QProcessEnvironment SuccessorPipe::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QLatin1String(kShownFdVariable));
    if (writeEnd >= 0)
        environment.insert(QLatin1String(kShownFdVariable), QString::number(writeEnd));
    return environment;
}

void SuccessorPipe::launched()
{
    closeFd(writeEnd);
}

int finishEventLoop(int result, const QString &program, const DetachedLauncher &launch,
                    const QProcessEnvironment &environment, qint64 *successor)
{
    if (successor)
        *successor = 0;
    if (result != MainWindow::restartExitCode)
        return result;
    // The new copy finds everything it needs in the settings file.
    const qint64 pid = launch ? launch(program, QStringList(), environment) : 0;
    if (successor)
        *successor = pid;
    return 0;
}

SuccessorStart successorNow(const SuccessorPipe &pipe)
{
    if (!pipe.valid())
        return SuccessorStart::NotShown;
    char byte;
    ssize_t n;
    while ((n = ::read(pipe.readFd(), &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n < 0 && errno == EAGAIN)
        return SuccessorStart::NotShown;
    return n > 0 ? SuccessorStart::Shown : SuccessorStart::Ended;
}

SuccessorStart awaitSuccessor(const SuccessorPipe &pipe, Scheduler &scheduler, int timeoutMs)
{
    if (!pipe.valid())
        return SuccessorStart::NotShown;
    QEventLoop loop;
    SuccessorStart outcome = SuccessorStart::NotShown;
    QSocketNotifier news(pipe.readFd(), QSocketNotifier::Read);
    QObject::connect(&news, &QSocketNotifier::activated, &loop, [&] {
        outcome = successorNow(pipe);
        if (outcome == SuccessorStart::NotShown)
            return;
        news.setEnabled(false);
        loop.quit();
    });
    scheduler.singleShot(timeoutMs, &loop, [&] { loop.quit(); });
    loop.exec();
    return outcome;
}

void announceWhenShown(QWidget &window, int fd)
{
    if (fd < 0)
        return;
    (new ShownAnnouncer(fd, &window))->watch(window.windowHandle());
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

// A new copy that is still starting when the wait for it ends: it will show its window, and a
// copy started by the user besides it would be a second on the network.
void tellStillStarting(const AppServices &services, int waitedS)
{
    PromptMessage info;
    info.icon = QMessageBox::Information;
    info.title = QStringLiteral("QZ Config Tool");
    info.text = QStringLiteral("QZ Config Tool is restarting: its new copy is still starting and has not opened its "
                               "window within %1 s.\nIts window opens once it is ready; do not start QZ Config "
                               "Tool again meanwhile.")
                    .arg(waitedS);
    info.buttons = QMessageBox::Ok;
    services.promptsOrDefault().message(info);
}

} // namespace

int runMainWindow(QApplication &app, const AppServices &services, const DetachedLauncher &launch, int shownFd)
{
    qint64 successor = 0;
    std::unique_ptr<SuccessorPipe> pipe;
    int code = 0;
    {
        MainWindow window(services);
        window.show();
        announceWhenShown(window, shownFd);
        const int result = app.exec();
        if (result == MainWindow::restartExitCode)
            pipe = std::make_unique<SuccessorPipe>();
        code = finishEventLoop(result, QCoreApplication::applicationFilePath(), launch,
                               pipe ? pipe->environment() : QProcessEnvironment::systemEnvironment(), &successor);
        if (pipe)
            pipe->launched();
    }
    if (!pipe)
        return code;
    if (successor <= 0) {
        qWarning("QZ Config Tool: the new copy could not be started");
        tellFailedRestart(services, QStringLiteral("its new copy could not be started"));
        return code;
    }
    if (!pipe->valid()) {
        qWarning("QZ Config Tool: no pipe to the new copy (process %lld): its start is not followed", successor);
        return code;
    }
    SuccessorStart outcome = awaitSuccessor(*pipe, services.schedulerOrDefault(), kSuccessorTimeoutMs);
    if (outcome == SuccessorStart::NotShown) {
        qWarning("QZ Config Tool: the new copy (process %lld) opened no window within %d s and is still starting",
                 successor, kSuccessorTimeoutMs / 1000);
        tellStillStarting(services, kSuccessorTimeoutMs / 1000);
        // What it did while the message was open: an end is told as one.
        outcome = successorNow(*pipe);
    }
    if (outcome == SuccessorStart::Ended) {
        qWarning("QZ Config Tool: the new copy (process %lld) ended before it opened its window", successor);
        tellFailedRestart(services, QStringLiteral("its new copy ended before it opened its window"));
    }
    return code;
}
