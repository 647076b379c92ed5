// A stand-in for QZ Config Tool in the run session's tests. It runs the shell script beside its
// own file (FILE.sh) as its child, passes a SIGTERM on to it and ends as the script ends. A SIGUSR1
// (the script's `kill -USR1 $PPID`) restarts it as the program restarts itself, through
// QProcess::startDetached: a child in a session of its own forks the new copy, which execs the
// stand-in's file without arguments, and the launch returns once that exec is done. From its fork
// to its exec the new copy is a process of the stand-in's file, as the program's is of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

namespace {

std::string ownFile()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// Starts a detached copy of `file` and returns once it has exec'd (or failed to).
void launchDetached(const std::string &file, const sigset_t &original)
{
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0)
        return;
    const pid_t middle = fork();
    if (middle == 0) {
        close(started[0]);
        setsid();
        if (fork() == 0) {
            sigprocmask(SIG_SETMASK, &original, nullptr);
            execl(file.c_str(), file.c_str(), static_cast<char *>(nullptr));
            const char failed = 1;
            (void)!write(started[1], &failed, 1);
            _exit(1);
        }
        _exit(0);
    }
    close(started[1]);
    char reply;
    while (read(started[0], &reply, 1) < 0 && errno == EINTR) {
    }
    close(started[0]);
    if (middle > 0)
        waitpid(middle, nullptr, 0);
}

} // namespace

int main()
{
    const std::string file = ownFile();
    if (file.empty())
        return 127;
    sigset_t handled, original;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    sigaddset(&handled, SIGCHLD);
    sigprocmask(SIG_BLOCK, &handled, &original);

    const std::string script = file + ".sh";
    const pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &original, nullptr);
        execl("/bin/bash", "bash", script.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (child < 0)
        return 127;
    for (;;) {
        // Pending signals come lowest first: a restart asked for before the script ended is
        // launched before the stand-in ends.
        const int signal = sigwaitinfo(&handled, nullptr);
        if (signal == SIGUSR1) {
            launchDetached(file, original);
        } else if (signal == SIGTERM) {
            kill(child, SIGTERM);
        } else if (signal == SIGCHLD) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}
