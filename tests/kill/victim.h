// A victim process for the kill tests: started with its arguments, killed
// with SIGKILL a set time after its start if asked, its output collected.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

inline long long Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

inline void SleepUntil(long long when) {
    timespec t{static_cast<time_t>(when / 1000000000LL), static_cast<long>(when % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

struct Victim {
    int status = 0;
    long long started = 0, ended = 0;
    std::string output;
    bool Killed() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
    bool Exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs `program` with `args`; with `kill` > 0 kills it that many nanoseconds
// after the start or, with `after`, after it has printed a line starting so.
inline Victim RunVictim(const char *program, std::vector<std::string> args, long long kill = 0,
                        const std::string &after = "") {
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    Victim run;
    pid_t pid = -1;
    run.started = Now();
    EXPECT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buffer[4096];
    if (!after.empty()) {
        const std::string mark = "\n" + after;
        ssize_t n = 0;
        while (("\n" + run.output).find(mark) == std::string::npos &&
               ((n = ::read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0) run.output.append(buffer, static_cast<size_t>(n));
        SleepUntil(Now() + kill);
        ::kill(pid, SIGKILL);
    } else if (kill > 0) {
        SleepUntil(run.started + kill);
        ::kill(pid, SIGKILL);
    }
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            run.output.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    ::close(out[0]);
    while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }
    run.ended = Now();
    return run;
}
