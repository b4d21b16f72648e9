#include "folder.h"

#include "windows_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace simio {

namespace {

std::string SystemError(const fs::path &path, const char *what) {
    return path.string() + ": " + what + ": " + std::strerror(errno);
}

// The entries of a folder, without following anything.
bool ListFolder(const fs::path &dir, std::vector<std::string> &names, std::string &error) {
    names.clear();
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!d) {
        if (fd >= 0) ::close(fd);
        error = SystemError(dir, "cannot read the folder");
        return false;
    }
    while (dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

const char *KindRefused(const struct stat &st) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device file";
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) return "a file with another name (hard link)";
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return "neither a folder nor a file";
    return nullptr;
}

bool Refuse(InputError &error, const fs::path &path, const std::string &why) {
    error = {path.string(), 0, "refused: " + why};
    return false;
}

bool Sync(const fs::path &path, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (!ok) error = SystemError(path, "cannot flush");
    if (fd >= 0) ::close(fd);
    return ok;
}

void Observe(const SaveObserver &observe, const std::string &step) {
    if (observe) observe(step);
}

bool CopyFile(const fs::path &from, const fs::path &to, bool durable, std::string &error) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || ::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = SystemError(from, "cannot read");
        if (in >= 0) ::close(in);
        return false;
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     st.st_mode & 07777);
    bool ok = out >= 0;
    char buffer[1 << 16];
    while (ok) {
        ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            ok = w > 0;
            done += w > 0 ? w : 0;
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ok && ::futimens(out, times) == 0 && (!durable || ::fsync(out) == 0);
    if (!ok) error = SystemError(to, "cannot write");
    if (out >= 0) ::close(out);
    ::close(in);
    return ok;
}

} // namespace

bool SetModified(const fs::path &path, std::time_t modified, std::string &error) {
    const struct timespec times[2] = {{modified, 0}, {modified, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0) return true;
    error = SystemError(path, "cannot set its date");
    return false;
}

fs::path EntryNoCase(const fs::path &dir, const std::string &name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec)) return dir / name;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        if (SameWindowsName(entry.path().filename().string(), name)) return entry.path();
    return dir / name;
}

bool CheckMachineFolder(const fs::path &dir, InputError &error, const FolderLimits &limits) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = {dir.string(), 0, "no such machine directory"};
        return false;
    }
    // Iterative, so that no folder depth can exhaust the stack.
    struct Pending {
        fs::path path;
        int depth;
        bool windows; // below drive_c
    };
    std::vector<Pending> pending = {{dir, 0, false}};
    std::uint64_t total = 0;
    std::size_t entries = 0;
    std::vector<std::string> names;
    std::string message;
    while (!pending.empty()) {
        Pending folder = std::move(pending.back());
        pending.pop_back();
        if (folder.depth > limits.depth)
            return Refuse(error, folder.path,
                          "folders more than " + std::to_string(limits.depth) + " deep");
        if (!ListFolder(folder.path, names, message)) {
            error = {folder.path.string(), 0, message};
            return false;
        }
        std::map<std::u16string, std::string> seen; // as Windows compares names -> name
        for (const std::string &name : names) {
            fs::path path = folder.path / name;
            if (++entries > limits.entries)
                return Refuse(error, path,
                              "more than " + std::to_string(limits.entries) +
                                  " files and folders in all");
            if (::lstat(path.c_str(), &st) != 0) {
                error = {path.string(), 0, SystemError(path, "cannot read")};
                return false;
            }
            if (const char *why = KindRefused(st))
                return Refuse(error, path,
                              std::string(why) + ", where only folders and plain files may be");
            // The folder's own files are found whatever their case (EntryNoCase), so
            // their names may not differ only in case either.
            bool windows = folder.windows || (folder.depth == 0 && (UpperAscii(name) == "DRIVE_C" ||
                                                                    UpperAscii(name) == "WINDIR"));
            if (folder.windows || folder.depth == 0) {
                if (const char *why = folder.windows ? NotAWindowsName(name) : nullptr)
                    return Refuse(error, path, std::string(why) + ", which Windows cannot hold");
                auto [other, fresh] = seen.emplace(FoldCase(name), name);
                if (!fresh)
                    return Refuse(error, path,
                                  "a name that differs from \"" + other->second +
                                      "\" only in case, which Windows cannot hold beside it");
            }
            if (S_ISDIR(st.st_mode)) {
                pending.push_back({path, folder.depth + 1, windows});
            } else {
                total += static_cast<std::uint64_t>(st.st_size);
                if (total > limits.totalBytes)
                    return Refuse(error, path,
                                  "more than " + std::to_string(limits.totalBytes >> 20) +
                                      " MiB in all");
            }
        }
    }
    return true;
}

bool CopyTree(const fs::path &from, const fs::path &to, bool durable, std::string &error,
              const SaveObserver &observe) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = from.string() + ": not a folder";
        return false;
    }
    std::vector<std::pair<fs::path, fs::path>> pending = {{from, to}};
    std::vector<fs::path> made;
    std::vector<std::string> names;
    while (!pending.empty()) {
        auto [source, target] = std::move(pending.back());
        pending.pop_back();
        Observe(observe, "make " + target.string());
        if (::lstat(source.c_str(), &st) != 0 || ::mkdir(target.c_str(), 0700) != 0) {
            error = SystemError(target, "cannot make the folder");
            return false;
        }
        made.push_back(target);
        if (!ListFolder(source, names, error)) return false;
        for (const std::string &name : names) {
            struct stat entry {};
            fs::path path = source / name;
            if (::lstat(path.c_str(), &entry) != 0 || KindRefused(entry)) {
                error = path.string() + ": neither a folder nor a plain file";
                return false;
            }
            if (S_ISDIR(entry.st_mode)) {
                pending.push_back({path, target / name});
            } else {
                Observe(observe, "copy " + (target / name).string());
                if (!CopyFile(path, target / name, durable, error)) return false;
            }
        }
    }
    // Permissions and times of the folders once their entries are in.
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        fs::path source = from / it->lexically_relative(to);
        if (::lstat(source.c_str(), &st) != 0) continue;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::chmod(it->c_str(), st.st_mode & 07777) != 0 ||
            ::utimensat(AT_FDCWD, it->c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
            (durable && !Sync(*it, error))) {
            if (error.empty()) error = SystemError(*it, "cannot finish the folder");
            return false;
        }
    }
    return true;
}

bool WriteNewFile(const fs::path &path, const std::string &bytes, std::string &error,
                  const SaveObserver &observe) {
    Observe(observe, "write " + path.string());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        ok = w > 0;
        done += w > 0 ? static_cast<size_t>(w) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    if (!ok) error = SystemError(path, "cannot write");
    if (fd >= 0) ::close(fd);
    return ok;
}

namespace {

// One rename puts `from` at `to`: exchanging the two, or where there is none or an empty folder.
bool RenameInto(const fs::path &from, const fs::path &to, bool exchange) {
    if (!exchange) return ::rename(from.c_str(), to.c_str()) == 0;
#ifdef __EMSCRIPTEN__
    // The browser's page only previews and never replaces a folder: it has no exchange.
    errno = ENOSYS;
    return false;
#else
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0;
#endif
}

} // namespace

bool BuildFolder(const fs::path &target, const FolderBuild &how, const FolderFill &fill,
                 std::string &error, const SaveObserver &observe) {
    std::error_code ec;
    fs::path place = fs::absolute(target, ec).lexically_normal();
    if (!place.has_filename()) place = place.parent_path();
    fs::path parent = place.parent_path();
    if (!how.exchange) fs::create_directories(parent, ec);
    std::string pattern =
        (parent / ("." + place.filename().string() + "." + how.work + "-XXXXXX")).string();
    Observe(observe, "make " + pattern);
    if (!::mkdtemp(pattern.data())) {
        error = SystemError(parent, how.cannotMake);
        return false;
    }
    fs::path fresh = pattern;
    bool ok = ::chmod(fresh.c_str(), 0755) == 0 && fill(fresh, error) && Sync(fresh, error);
    if (!ok && error.empty()) error = SystemError(fresh, "cannot make the new folder");
    if (ok) {
        // Before this one rename the target is all old (or not there), after it all new.
        Observe(observe, how.exchange ? "exchange" : "rename");
        ok = RenameInto(fresh, place, how.exchange);
        if (!ok) error = SystemError(place, how.cannotPlace);
    }
    if (ok) {
        Observe(observe, "flush " + parent.string());
        Sync(parent, error);
        error.clear(); // the rename stands even when the flush of its folder fails
    }
    // After an exchange `fresh` holds the old folder; after a failure, the unfinished new one.
    if (!ok || how.exchange) {
        Observe(observe, "remove " + fresh.string());
        fs::remove_all(fresh, ec);
    }
    return ok;
}

bool ReplaceFolder(const fs::path &dir, const std::function<bool(const std::string &name)> &keep,
                   const FolderFill &fill, std::string &error, const SaveObserver &observe) {
    auto keepAndFill = [&](const fs::path &fresh, std::string &message) {
        struct stat st {};
        std::vector<std::string> names;
        bool ok = ::lstat(dir.c_str(), &st) == 0 && ListFolder(dir, names, message);
        for (size_t i = 0; ok && i < names.size(); ++i) {
            if (!keep(names[i])) continue;
            struct stat entry {};
            fs::path from = dir / names[i];
            ok = ::lstat(from.c_str(), &entry) == 0 &&
                 (S_ISDIR(entry.st_mode) ? CopyTree(from, fresh / names[i], true, message, observe)
                                         : (Observe(observe, "copy " + (fresh / names[i]).string()),
                                            CopyFile(from, fresh / names[i], true, message)));
        }
        return ok && fill(fresh, message) && ::chmod(fresh.c_str(), st.st_mode & 07777) == 0;
    };
    return BuildFolder(dir,
                       {"saving", true, "cannot make a folder beside the machine",
                        "cannot put the new folder in place"},
                       keepAndFill, error, observe);
}

} // namespace simio
