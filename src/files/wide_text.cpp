#include "files/wide_text.h"

#include "files/driver_files.h"
#include "platform/win32.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

using MoveFileExFunction = BOOL(WINAPI *)(LPCSTR, LPCSTR, DWORD);

// Windows 9x has no MoveFileExA; linking to it would keep the program from
// loading there at all.
MoveFileExFunction FindMoveFileEx() {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (!kernel32) return nullptr;
    FARPROC proc = GetProcAddress(kernel32, "MoveFileExA");
    // Through the generic function type, which converts to any other without a warning.
    return reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void (*)()>(proc));
}

struct Content {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
};

// Reads the whole file; false when any of it can't be read or it does not fit.
bool ReadWhole(const std::string &path, Content &content) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    LONG high = 0;
    DWORD size = SetFilePointer(file, 0, &high, FILE_END);
    if ((size != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) && high == 0 &&
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0) {
        content.size = size;
        content.bytes.reset(new (std::nothrow) unsigned char[content.size ? content.size : 1]);
        DWORD read = 0;
        ok = content.bytes && ReadFile(file, content.bytes.get(), size, &read, nullptr) &&
             read == size;
    }
    CloseHandle(file);
    return ok;
}

struct Piece {
    const unsigned char *bytes;
    DWORD size;
};

// Writes the pieces, in order, to a new file beside `path` and puts it in
// place of `path`.
bool ReplaceWith(const std::string &path, const std::vector<Piece> &pieces,
                 MoveFileExFunction moveFileEx) {
    std::string directory = path.substr(0, path.find_last_of('\\') + 1);
    if (directory.empty()) directory = ".";
    char temporary[MAX_PATH] = {};
    if (!GetTempFileNameA(directory.c_str(), "~wt", 0, temporary)) return false;

    bool ok = false;
    HANDLE file = CreateFileA(temporary, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ok = true;
        for (const Piece &piece : pieces) {
            DWORD written = 0;
            ok = ok &&
                 (piece.size == 0 || (WriteFile(file, piece.bytes, piece.size, &written, nullptr) &&
                                      written == piece.size));
        }
        // On disk before the rename makes it the file; the rename itself is
        // written through.
        ok = ok && FlushFileBuffers(file);
        CloseHandle(file);
    }
    ok = ok &&
         moveFileEx(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(temporary);
    return ok;
}

} // namespace

std::size_t FindWideText(const unsigned char *data, std::size_t size, const std::string &search) {
    const std::size_t m = search.size();
    const unsigned char first = static_cast<unsigned char>(search[0]);
    for (std::size_t s = 0; s < size; ++s) {
        // Candidates start only where the first character is.
        const void *next = std::memchr(data + s, first, size - s);
        if (!next) break;
        s = static_cast<std::size_t>(static_cast<const unsigned char *>(next) - data);
        std::size_t k = 1;
        while (k < m && s + 2 * k < size &&
               data[s + 2 * k] == static_cast<unsigned char>(search[k]))
            ++k;
        if (k == m) return s;
    }
    return size;
}

int ReplaceWideTextInFile(std::string path, std::string search, std::string replacement) {
    if (search.empty() || !FileIsPresent(path)) return 0;
    MoveFileExFunction moveFileEx = FindMoveFileEx();
    if (!moveFileEx) return 0;

    Content old;
    if (!ReadWhole(path, old)) return 0;

    const unsigned char *data = old.bytes.get();
    const std::size_t n = old.size;
    const std::size_t s = FindWideText(data, n, search);
    // A match takes 2m bytes (fewer when its last high byte lies past the
    // end) and gives 2r.
    std::size_t tail = s < n ? (s + 2 * search.size() < n ? s + 2 * search.size() : n) : n;
    std::uint64_t resultSize =
        s < n ? std::uint64_t{s} + 2 * std::uint64_t{replacement.size()} + (n - tail) : n;
    if (resultSize > 0xFFFFFFFFu) return 0;

    if (s == n) return ReplaceWith(path, {{data, static_cast<DWORD>(n)}}, moveFileEx) ? 1 : 0;
    // The result: the bytes before the match, each replacement character with
    // a zero high byte, then the bytes after the match.
    std::vector<unsigned char> wide;
    wide.reserve(2 * replacement.size());
    for (char c : replacement) {
        wide.push_back(static_cast<unsigned char>(c));
        wide.push_back(0);
    }
    std::vector<Piece> pieces = {{data, static_cast<DWORD>(s)},
                                 {wide.data(), static_cast<DWORD>(wide.size())},
                                 {data + tail, static_cast<DWORD>(n - tail)}};
    return ReplaceWith(path, pieces, moveFileEx) ? 1 : 0;
}
