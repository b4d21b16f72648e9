#include "temporary.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <unistd.h>

#ifndef __EMSCRIPTEN__
#include <csignal>
#include <pthread.h>
#include <thread>
#endif

namespace fs = std::filesystem;

namespace simio {

namespace {

// The folders made and not yet removed, for the signal watcher.
std::mutex folders_mutex;
std::set<fs::path> &Folders() {
    static std::set<fs::path> folders;
    return folders;
}

void RemoveAll(const fs::path &path) {
    // The run may still be writing into it: what it adds meanwhile goes too.
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::error_code ec;
        fs::remove_all(path, ec);
        if (!ec && !fs::exists(fs::symlink_status(path, ec))) return;
    }
}

} // namespace

bool TemporaryDir::Make(std::string &error) {
    const char *tmp = std::getenv("TMPDIR");
    fs::path base = tmp && *tmp ? fs::path(tmp) : fs::path("/tmp");
    std::error_code ec;
    if (!fs::is_directory(base, ec)) {
        error = "the temporary folder " + base.string() + (tmp && *tmp ? " (TMPDIR)" : "") +
                " is not there: set TMPDIR to a folder this user can write";
        return false;
    }
    std::string pattern = (base / "uninstall-sim-XXXXXX").string();
    std::lock_guard<std::mutex> lock(folders_mutex);
    if (!::mkdtemp(pattern.data())) {
        error = "cannot make a folder in the temporary folder " + base.string() + ": " +
                std::strerror(errno) + "; set TMPDIR to a folder this user can write";
        return false;
    }
    path_ = pattern;
    Folders().insert(path_);
    return true;
}

TemporaryDir::~TemporaryDir() {
    if (path_.empty()) return;
    RemoveAll(path_);
    std::lock_guard<std::mutex> lock(folders_mutex);
    Folders().erase(path_);
}

void RemoveTemporaryDirsOnSignals() {
#ifndef __EMSCRIPTEN__
    // A thread of its own takes the signals, so that the removal runs as
    // ordinary code and not in a signal handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
    std::thread([signals] {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) return;
        {
            std::lock_guard<std::mutex> lock(folders_mutex);
            for (const fs::path &path : Folders())
                RemoveAll(path);
        }
        _exit(128 + signal);
    }).detach();
#endif
}

} // namespace simio
