// quorvane-toolkeeper FD TOOL [ARGUMENTS...]: runs one tool for Quorvane and sees that the tool's
// whole process group dies with Quorvane, however Quorvane ends (kill -9 included). No Qt: it
// starts for every tool run and must cost next to nothing.
// FD is the read end of a pipe whose write end only Quorvane holds: it reads end-of-file once
// Quorvane is gone. The keeper starts TOOL as its child (in the keeper's process group, which
// Quorvane made for it), waits for whichever comes first, and
// - when the tool ends, ends the same way (its exit code, or its signal), so that Quorvane sees
//   the tool's own outcome;
// - when Quorvane is gone, kills the whole group: the tool and whatever it started.
// The parent-death signal alone reaches the tool but not the programs it starts (a wrapper
// script's child, a helper), which would run on with nobody to stop them.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: quorvane-toolkeeper FD TOOL [ARGUMENTS...]\n");
        return 127;
    }
    const int lifeLine = std::atoi(argv[1]);
    // A stop meant for the tool reaches the whole group, the keeper included; the keeper
    // waits for the tool to end by it and then ends as the tool did.
    const int relayed[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    for (int signalNumber : relayed)
        std::signal(signalNumber, SIG_IGN);

    const pid_t tool = ::fork();
    if (tool < 0) {
        std::fprintf(stderr, "quorvane-toolkeeper: cannot start %s: %s\n", argv[2], std::strerror(errno));
        return 127;
    }
    if (tool == 0) {
        for (int signalNumber : relayed)
            std::signal(signalNumber, SIG_DFL);
        ::close(lifeLine);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execvp(argv[2], argv + 2);
        std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno));
        ::_exit(127);
    }

    // Nothing of the tool's input and output stays open here: a reader of its output sees
    // the end as soon as the tool ends.
    for (int fd = 0; fd <= 2; ++fd)
        ::close(fd);
    const int toolEnded = int(::syscall(SYS_pidfd_open, tool, 0u));
    if (toolEnded >= 0) {
        pollfd watched[] = {{lifeLine, POLLIN, 0}, {toolEnded, POLLIN, 0}};
        while (::poll(watched, 2, -1) < 0 && errno == EINTR) {
        }
        if (watched[1].revents == 0)
            ::kill(0, SIGKILL);   // Quorvane is gone: the group goes, the keeper with it
    }
    int status = 0;
    while (::waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        ::prctl(PR_SET_DUMPABLE, 0);   // no core file of the keeper for the tool's crash
        std::signal(WTERMSIG(status), SIG_DFL);
        ::kill(::getpid(), WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
