// kernel32 file functions over the simulated file system.
#include "platform/sim/api_call.h"
#include "platform/sim/win32_api.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sim;

namespace {

constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What Windows stores when a program asks for `requested`: only the settable
// bits, and NORMAL only when nothing else remains.
DWORD StoredAttributes(DWORD requested) {
    DWORD a = requested & kSettableAttributes;
    if (a & ~FILE_ATTRIBUTE_NORMAL) a &= ~FILE_ATTRIBUTE_NORMAL;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

DWORD ErrorFromErrno(int e) {
    switch (e) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_GEN_FAILURE;
    }
}

[[noreturn]] void Crash(const char *what) {
    std::fprintf(stderr, "simulated Windows: %s (an access violation on Windows)\n", what);
    std::abort();
}

// Whether this process or another one keeps `path` from being opened with
// `access` and `share`, or from being deleted (access 0, share ~0).
bool SharingConflict(Machine &m, const std::string &path, DWORD access, DWORD share,
                     bool forDelete) {
    if (m.files.lockedByOthers.count(path)) return true;
    for (const auto &entry : m.openFiles) {
        const Machine::OpenFile &f = entry.second;
        if (!EqualNoCase(f.path, path)) continue;
        if (forDelete) {
            if (!(f.share & FILE_SHARE_DELETE)) return true;
            continue;
        }
        if ((access & GENERIC_READ) && !(f.share & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(f.share & FILE_SHARE_WRITE)) return true;
        if ((f.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((f.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

Machine::OpenFile *FileOf(Machine &m, HANDLE h) {
    auto it = m.openFiles.find(reinterpret_cast<std::uintptr_t>(h));
    return it == m.openFiles.end() ? nullptr : &it->second;
}

bool MatchesPattern(const char *pattern, const char *name) {
    // '*' any run, '?' one character, case-insensitive.
    if (!*pattern) return !*name;
    if (*pattern == '*')
        return MatchesPattern(pattern + 1, name) || (*name && MatchesPattern(pattern, name + 1));
    if (!*name) return false;
    if (*pattern != '?' && !EqualNoCase(std::string_view(pattern, 1), std::string_view(name, 1)))
        return false;
    return MatchesPattern(pattern + 1, name + 1);
}

void FillFindData(Machine &m, const ResolvedPath &entry, LPWIN32_FIND_DATAA data) {
    struct stat st {};
    ::stat(entry.host.c_str(), &st);
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = m.files.AttributesOf(entry);
    data->ftLastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    data->ftCreationTime = data->ftLastWriteTime;
    data->ftLastAccessTime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    if (!entry.directory) {
        unsigned long long size = static_cast<unsigned long long>(st.st_size);
        data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFF);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    std::string name = entry.host.filename().string();
    std::strncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

} // namespace

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
    ApiCall call("GetFileAttributesA", Quote(path));
    auto fail = [&](DWORD error) {
        call.m.lastError = error;
        return call.Value(INVALID_FILE_ATTRIBUTES,
                          "INVALID_FILE_ATTRIBUTES [error " + Num(error) + "]");
    };
    if (!path) return fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return fail(*error);
    ResolvedPath entry;
    if (DWORD error = call.m.files.Resolve(path, entry)) return fail(error);
    if (!entry.exists) return fail(ERROR_FILE_NOT_FOUND);
    DWORD attributes = call.m.files.AttributesOf(entry);
    return call.Value(attributes, Hex(attributes));
}

BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes) {
    ApiCall call("SetFileAttributesA", Quote(path), Hex(attributes));
    if (!path) return call.Fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Fail(*error);
    ResolvedPath entry;
    if (DWORD error = call.m.files.Resolve(path, entry)) return call.Fail(error);
    if (!entry.exists) return call.Fail(ERROR_FILE_NOT_FOUND);
    if (entry.directory) return call.Ok(); // the directory bit itself cannot change
    DWORD stored = StoredAttributes(attributes);
    call.m.files.SetAttributes(entry.windows, stored);
    return call.Ok(Hex(stored));
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
    ApiCall call("DeleteFileA", Quote(path));
    if (!path) return call.Fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Fail(*error);
    ResolvedPath entry;
    if (DWORD error = call.m.files.Resolve(path, entry)) return call.Fail(error);
    if (!entry.exists) return call.Fail(ERROR_FILE_NOT_FOUND);
    if (entry.directory) return call.Fail(ERROR_ACCESS_DENIED);
    if (call.m.files.AttributesOf(entry) & FILE_ATTRIBUTE_READONLY)
        return call.Fail(ERROR_ACCESS_DENIED);
    if (SharingConflict(call.m, entry.windows, 0, 0, true))
        return call.Fail(ERROR_SHARING_VIOLATION);
    if (::unlink(entry.host.c_str()) != 0) return call.Fail(ErrorFromErrno(errno));
    call.m.files.ForgetAttributes(entry.windows);
    return call.Ok(entry.windows);
}

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    ApiCall call("FindFirstFileA", Quote(pattern), Ptr(data));
    if (!pattern || !data) return call.InvalidHandle(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_FILE_NOT_FOUND)) return call.InvalidHandle(*error);
    std::string text(pattern);
    size_t slash = text.find_last_of("\\/");
    std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
    ResolvedPath entry;
    if (last.find_first_of("*?") == std::string::npos) {
        if (DWORD error = call.m.files.Resolve(text, entry)) return call.InvalidHandle(error);
        if (!entry.exists || last.empty()) return call.InvalidHandle(ERROR_FILE_NOT_FOUND);
    } else {
        ResolvedPath dir;
        std::string dirPath = slash == std::string::npos ? "" : text.substr(0, slash + 1);
        if (DWORD error = call.m.files.Resolve(dirPath, dir)) return call.InvalidHandle(error);
        if (!dir.directory) return call.InvalidHandle(ERROR_PATH_NOT_FOUND);
        std::error_code ec;
        std::string first;
        for (const auto &e : std::filesystem::directory_iterator(dir.host, ec)) {
            std::string name = e.path().filename().string();
            if (MatchesPattern(last.c_str(), name.c_str()) && (first.empty() || name < first))
                first = name;
        }
        if (first.empty()) return call.InvalidHandle(ERROR_FILE_NOT_FOUND);
        call.m.files.Resolve(dir.windows + "\\" + first, entry);
    }
    FillFindData(call.m, entry, data);
    std::uintptr_t h = call.m.NewHandle();
    call.m.openFinds[h] = {};
    return call.Handle(reinterpret_cast<HANDLE>(h),
                       Quote(data->cFileName) + " " + Hex(data->dwFileAttributes));
}

BOOL WINAPI FindClose(HANDLE find) {
    ApiCall call("FindClose", Hex(reinterpret_cast<std::uintptr_t>(find)));
    if (auto error = call.Injected(ERROR_INVALID_HANDLE)) return call.Fail(*error);
    if (!call.m.openFinds.erase(reinterpret_cast<std::uintptr_t>(find)))
        return call.Fail(ERROR_INVALID_HANDLE);
    return call.Ok();
}

HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    ApiCall call("CreateFileA", Quote(path), Hex(access), Hex(share), Ptr(security),
                 Num(disposition), Hex(flags), Hex(reinterpret_cast<std::uintptr_t>(templateFile)));
    if (!path || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return call.InvalidHandle(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.InvalidHandle(*error);
    Machine &m = call.m;
    ResolvedPath entry;
    if (DWORD error = m.files.Resolve(path, entry)) return call.InvalidHandle(error);
    if (entry.directory) return call.InvalidHandle(ERROR_ACCESS_DENIED);
    bool exists = entry.exists;
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
        return call.InvalidHandle(ERROR_FILE_NOT_FOUND);
    if (exists && disposition == CREATE_NEW) return call.InvalidHandle(ERROR_FILE_EXISTS);
    bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (exists) {
        DWORD attributes = m.files.AttributesOf(entry);
        if ((attributes & FILE_ATTRIBUTE_READONLY) && ((access & GENERIC_WRITE) || truncate))
            return call.InvalidHandle(ERROR_ACCESS_DENIED);
        if (SharingConflict(m, entry.windows, access, share, false))
            return call.InvalidHandle(ERROR_SHARING_VIOLATION);
    }
    int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (!exists) mode |= O_CREAT;
    if (truncate) mode |= O_TRUNC;
    if (truncate && !(access & GENERIC_WRITE)) mode = (mode & ~O_RDONLY) | O_RDWR;
    int fd = ::open(entry.host.c_str(), mode | O_CLOEXEC, 0644);
    if (fd < 0) return call.InvalidHandle(ErrorFromErrno(errno));
    if (!exists || disposition == CREATE_ALWAYS)
        m.files.SetAttributes(entry.windows,
                              StoredAttributes(flags) == FILE_ATTRIBUTE_NORMAL
                                  ? FILE_ATTRIBUTE_ARCHIVE
                                  : StoredAttributes(flags) | FILE_ATTRIBUTE_ARCHIVE);
    std::uintptr_t h = m.NewHandle();
    m.openFiles[h] = Machine::OpenFile{fd, entry.windows, access, share};
    // Opening over an existing file with CREATE_ALWAYS or OPEN_ALWAYS succeeds
    // and says so through the last error.
    m.lastError = (exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                      ? ERROR_ALREADY_EXISTS
                      : ERROR_SUCCESS;
    return call.Handle(reinterpret_cast<HANDLE>(h), entry.windows);
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    ApiCall call("SetFilePointer", Hex(reinterpret_cast<std::uintptr_t>(file)), Num(distance),
                 distanceHigh ? Num(*distanceHigh) : "NULL", Num(method));
    auto fail = [&](DWORD error) {
        call.m.lastError = error;
        return call.Value(INVALID_SET_FILE_POINTER,
                          "INVALID_SET_FILE_POINTER [error " + Num(error) + "]");
    };
    if (auto error = call.Injected(ERROR_INVALID_HANDLE)) return fail(*error);
    Machine::OpenFile *f = FileOf(call.m, file);
    if (!f) return fail(ERROR_INVALID_HANDLE);
    long long move =
        distanceHigh
            ? static_cast<long long>(
                  (static_cast<unsigned long long>(static_cast<DWORD>(*distanceHigh)) << 32) |
                  static_cast<DWORD>(distance))
            : distance;
    long long base;
    if (method == FILE_BEGIN) {
        base = 0;
    } else if (method == FILE_CURRENT) {
        base = ::lseek(f->fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st {};
        ::fstat(f->fd, &st);
        base = st.st_size;
    } else {
        return fail(ERROR_INVALID_PARAMETER);
    }
    long long target = base + move;
    if (target < 0) return fail(ERROR_NEGATIVE_SEEK);
    // Without a high part the new position must fit the 32-bit result.
    if (!distanceHigh && target > 0xFFFFFFFELL) return fail(ERROR_INVALID_PARAMETER);
    ::lseek(f->fd, target, SEEK_SET);
    if (distanceHigh) *distanceHigh = static_cast<LONG>(target >> 32);
    call.m.lastError = ERROR_SUCCESS;
    if (call.OversizedLength()) target += ApiCall::kOversized; // reported, not moved to
    return call.Value(static_cast<DWORD>(target & 0xFFFFFFFF), Num(target));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    ApiCall call("ReadFile", Hex(reinterpret_cast<std::uintptr_t>(file)), Ptr(buffer), Num(toRead),
                 Ptr(read), Ptr(overlapped));
    if (!read && !overlapped) Crash("ReadFile without a count of bytes read");
    if (read) *read = 0;
    if (auto error = call.Injected(ERROR_READ_FAULT)) return call.Fail(*error);
    Machine::OpenFile *f = FileOf(call.m, file);
    if (!f) return call.Fail(ERROR_INVALID_HANDLE);
    if (!(f->access & GENERIC_READ)) return call.Fail(ERROR_ACCESS_DENIED);
    if (toRead && !buffer) return call.Fail(ERROR_NOACCESS);
    if (call.ShortCount()) toRead /= 2;
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = ::read(f->fd, static_cast<char *>(buffer) + done, toRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return call.Fail(ErrorFromErrno(errno));
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return call.Ok(Num(done) + " bytes");
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    ApiCall call("WriteFile", Hex(reinterpret_cast<std::uintptr_t>(file)), Ptr(buffer),
                 Num(toWrite), Ptr(written), Ptr(overlapped));
    if (!written && !overlapped) Crash("WriteFile without a count of bytes written");
    if (written) *written = 0;
    if (auto error = call.Injected(ERROR_WRITE_FAULT)) return call.Fail(*error);
    Machine::OpenFile *f = FileOf(call.m, file);
    if (!f) return call.Fail(ERROR_INVALID_HANDLE);
    if (!(f->access & GENERIC_WRITE)) return call.Fail(ERROR_ACCESS_DENIED);
    if (toWrite && !buffer) return call.Fail(ERROR_NOACCESS);
    if (call.ShortCount()) toWrite /= 2;
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(f->fd, static_cast<const char *>(buffer) + done, toWrite - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (written) *written = done;
            return call.Fail(ErrorFromErrno(errno));
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return call.Ok(Num(done) + " bytes");
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
    ApiCall call("FlushFileBuffers", Hex(reinterpret_cast<std::uintptr_t>(file)));
    if (auto error = call.Injected(ERROR_WRITE_FAULT)) return call.Fail(*error);
    Machine::OpenFile *f = FileOf(call.m, file);
    if (!f) return call.Fail(ERROR_INVALID_HANDLE);
    if (!(f->access & GENERIC_WRITE)) return call.Fail(ERROR_ACCESS_DENIED);
    if (::fsync(f->fd) != 0) return call.Fail(ErrorFromErrno(errno));
    return call.Ok();
}

BOOL WINAPI CloseHandle(HANDLE object) {
    ApiCall call("CloseHandle", Hex(reinterpret_cast<std::uintptr_t>(object)));
    if (auto error = call.Injected(ERROR_INVALID_HANDLE)) return call.Fail(*error);
    auto it = call.m.openFiles.find(reinterpret_cast<std::uintptr_t>(object));
    if (it == call.m.openFiles.end()) return call.Fail(ERROR_INVALID_HANDLE);
    ::close(it->second.fd);
    call.m.openFiles.erase(it);
    return call.Ok();
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    ApiCall call("MoveFileExA", Quote(from), Quote(to), Hex(flags));
    // Windows 9x exports no MoveFileExA (GetProcAddress hides it there); a
    // program that got hold of it anyway gets nothing done.
    if (call.m.IsWin9x()) return call.Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (!from || !to) return call.Fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return call.Fail(*error);
    Machine &m = call.m;
    ResolvedPath source, target;
    if (DWORD error = m.files.Resolve(from, source)) return call.Fail(error);
    if (!source.exists) return call.Fail(ERROR_FILE_NOT_FOUND);
    if (DWORD error = m.files.Resolve(to, target)) return call.Fail(error);
    // A rename stays on its volume; copying is what MOVEFILE_COPY_ALLOWED is for.
    if (source.windows[0] != target.windows[0] && !(flags & MOVEFILE_COPY_ALLOWED))
        return call.Fail(ERROR_NOT_SAME_DEVICE);
    if (SharingConflict(m, source.windows, 0, 0, true)) return call.Fail(ERROR_SHARING_VIOLATION);
    if (target.exists) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return call.Fail(ERROR_ALREADY_EXISTS);
        if (target.directory || (m.files.AttributesOf(target) & FILE_ATTRIBUTE_READONLY))
            return call.Fail(ERROR_ACCESS_DENIED);
        if (SharingConflict(m, target.windows, 0, 0, true))
            return call.Fail(ERROR_SHARING_VIOLATION);
    }
    DWORD attributes = m.files.AttributesOf(source);
    if (::rename(source.host.c_str(), target.host.c_str()) != 0)
        return call.Fail(ErrorFromErrno(errno));
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The rename is on disk once its directory is.
        int dir = ::open(target.host.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    m.files.ForgetAttributes(source.windows);
    if (!source.directory) m.files.SetAttributes(target.windows, attributes);
    return call.Ok(target.windows);
}

DWORD WINAPI GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR out) {
    ApiCall call("GetTempFileNameA", Quote(directory), Quote(prefix), Num(unique), Ptr(out));
    auto fail = [&](DWORD error) {
        call.m.lastError = error;
        return call.Value<DWORD>(0, "0 [error " + Num(error) + "]");
    };
    if (!directory || !out) return fail(ERROR_INVALID_PARAMETER);
    if (auto error = call.Injected(ERROR_ACCESS_DENIED)) return fail(*error);
    ResolvedPath dir;
    if (DWORD error = call.m.files.Resolve(directory, dir)) return fail(error);
    if (!dir.directory) return fail(ERROR_PATH_NOT_FOUND);
    std::string pre = prefix ? std::string(prefix).substr(0, 3) : "";
    for (UINT n = unique ? unique : 1; n <= 0xFFFF; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%X.TMP", n & 0xFFFF);
        std::string windows = dir.windows + (dir.windows.back() == '\\' ? "" : "\\") + pre + name;
        if (windows.size() >= MAX_PATH) return fail(ERROR_BUFFER_OVERFLOW);
        ResolvedPath entry;
        call.m.files.Resolve(windows, entry);
        if (unique) {
            std::memcpy(out, windows.c_str(), windows.size() + 1);
            return call.Value<DWORD>(unique, Quote(out));
        }
        if (entry.exists) continue;
        int fd = ::open(entry.host.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue; // taken since the look-up
        if (fd < 0) return fail(ErrorFromErrno(errno));
        ::close(fd);
        call.m.files.ForgetAttributes(entry.windows); // a new, normal file
        std::memcpy(out, entry.windows.c_str(), entry.windows.size() + 1);
        return call.Value<DWORD>(n, Quote(out));
    }
    return fail(ERROR_FILE_EXISTS);
}
