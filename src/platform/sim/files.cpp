#include "platform/sim/files.h"

#include <cctype>
#include <vector>

namespace sim {

namespace fs = std::filesystem;

void FileSystem::MapDrive(char letter, fs::path hostRoot) {
    drives_[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] =
        std::move(hostRoot);
}

namespace {

bool ForbiddenInName(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' ||
           c == '|' || c == '?' || c == '*';
}

// Finds `name` in `dir` whatever its case; empty when absent.
std::string FindEntry(const fs::path &dir, const std::string &name) {
    std::error_code ec;
    if (fs::exists(dir / name, ec)) return name;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        std::string candidate = entry.path().filename().string();
        if (EqualNoCase(candidate, name)) return candidate;
    }
    return {};
}

} // namespace

DWORD FileSystem::Resolve(std::string_view path, ResolvedPath &out) const {
    out = ResolvedPath{};
    std::string p(path);
    for (char &c : p)
        if (c == '/') c = '\\';
    char drive = 'C';
    size_t pos = 0;
    if (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
        pos = 2;
    }
    auto root = drives_.find(drive);
    if (root == drives_.end()) return ERROR_PATH_NOT_FOUND;

    std::vector<std::string> parts;
    // Runs of separators count once, as in registry paths.
    for (std::string_view name : Registry::SplitPath(std::string_view(p).substr(pos))) {
        std::string part(name);
        // Windows drops trailing dots and blanks from each name.
        while (!part.empty() && (part.back() == '.' || part.back() == ' ') && part != "." &&
               part != "..")
            part.pop_back();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        for (char c : part)
            if (ForbiddenInName(c)) return ERROR_INVALID_NAME;
        parts.push_back(part);
    }

    fs::path host = root->second;
    std::string windows(1, drive);
    windows += ":";
    std::error_code ec;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        if (!fs::is_directory(host, ec)) return ERROR_PATH_NOT_FOUND;
        std::string found = FindEntry(host, parts[i]);
        if (found.empty()) {
            if (!last) return ERROR_PATH_NOT_FOUND;
            found = parts[i];
        } else if (last) {
            out.exists = true;
        }
        host /= found;
        windows += "\\" + found;
    }
    if (parts.empty()) {
        windows += "\\";
        out.exists = true;
    }
    out.host = host;
    out.windows = windows;
    out.directory = out.exists && fs::is_directory(host, ec);
    return ERROR_SUCCESS;
}

DWORD FileSystem::AttributesOf(const ResolvedPath &entry) const {
    if (entry.directory) return FILE_ATTRIBUTE_DIRECTORY;
    auto it = attributes_.find(entry.windows);
    return it == attributes_.end() ? FILE_ATTRIBUTE_ARCHIVE : it->second;
}

void FileSystem::SetAttributes(const std::string &windowsPath, DWORD attributes) {
    if (attributes == FILE_ATTRIBUTE_ARCHIVE)
        attributes_.erase(windowsPath);
    else
        attributes_[windowsPath] = attributes;
}

void FileSystem::ForgetAttributes(const std::string &windowsPath) {
    attributes_.erase(windowsPath);
}

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr long long kEpochDifference = 116444736000000000LL;

FILETIME FileTimeFromUnix(long long seconds, long nanoseconds) {
    long long ticks = seconds * 10000000LL + nanoseconds / 100 + kEpochDifference;
    if (ticks < 0) ticks = 0;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<unsigned long long>(ticks) >> 32);
    return ft;
}

long long UnixFromFileTime(const FILETIME &time) {
    long long ticks = (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return (ticks - kEpochDifference) / 10000000LL;
}

} // namespace sim
