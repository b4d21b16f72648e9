// Killing the patch of a large usbstor.inf at any moment leaves the file with
// its old bytes or its new ones: never missing, never anything in between.
// A temporary file beside it is all that a kill may leave behind.
#include "reference_patch.h"
#include "victim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kInfSize = 32u << 20;

// usbstor.inf of about `size` bytes, UTF-16 with a byte-order mark, the
// driver reference halfway through.
std::string MakeInf(size_t size) {
    const std::string line = "HKR,,EnumPropPages32,,\"storprop.dll,StoragePropPageProvider\"\r\n";
    std::string ascii;
    while (4 * (ascii.size() + line.size()) < size)
        ascii += line;
    ascii += "ServiceBinary=" + kUsbstorSearch + "\r\n";
    while (2 * (ascii.size() + line.size()) < size)
        ascii += line;
    return "\xFF\xFE" + WideText(ascii);
}

// A drive C: with WINNT\inf\usbstor.inf, and the victim to run on it.
class Drive {
  public:
    enum class State { Old, New, Missing, Other };

    Drive() : old_(MakeInf(kInfSize)), new_(ReferencePatch(old_)) {
        std::string pattern = (fs::temp_directory_path() / "interrupted-patch-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        folder_ = root_ / "WINNT" / "inf";
        fs::create_directories(folder_);
        Write(old_);
    }
    ~Drive() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    const std::string &Old() const { return old_; }
    const std::string &New() const { return new_; }

    // Starts the victim; with `kill` > 0 kills it that many nanoseconds
    // after the start.
    Victim Start(std::vector<std::string> args, long long kill = 0) {
        args.insert(args.begin(), root_.string());
        return RunVictim(PATCH_VICTIM, std::move(args), kill);
    }

    // What the file holds now; counts and removes the temporary files left
    // beside it, and fails on anything else there.
    State Look(size_t &leftovers) {
        for (const auto &entry : fs::directory_iterator(folder_)) {
            const std::string name = entry.path().filename().string();
            if (name == "usbstor.inf") continue;
            const bool temporary = name.rfind("~wt", 0) == 0 && name.size() > 4 &&
                                   name.compare(name.size() - 4, 4, ".TMP") == 0;
            EXPECT_TRUE(temporary) << "left behind " << name;
            leftovers += temporary;
            fs::remove(entry.path());
        }
        const fs::path inf = folder_ / "usbstor.inf";
        if (!fs::is_regular_file(inf)) return State::Missing;
        std::ifstream in(inf, std::ios::binary);
        std::string bytes(fs::file_size(inf), '\0');
        in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
        return bytes == old_ ? State::Old : bytes == new_ ? State::New : State::Other;
    }

    // Puts the old file back unless it is there.
    void Restore(State state) {
        if (state != State::Old) Write(old_);
    }

  private:
    // On disk before the next run, so that the victim's own flush does not
    // also pay for this write and each run keeps the measured timeline.
    void Write(const std::string &bytes) {
        const std::string path = (folder_ / "usbstor.inf").string();
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << path;
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ASSERT_GT(n, 0) << path;
            done += static_cast<size_t>(n);
        }
        EXPECT_EQ(::fsync(fd), 0);
        ::close(fd);
    }

    fs::path root_, folder_;
    std::string old_, new_;
};

const char *Name(Drive::State s) {
    static const char *const kNames[] = {"the old bytes", "the new bytes", "missing",
                                         "neither the old nor the new bytes"};
    return kNames[static_cast<int>(s)];
}

// The calls of a traced run, in order, with the moment each began
// (nanoseconds after the start); "end" when the patch returned.
struct Trace {
    std::vector<std::string> calls;
    std::map<std::string, long long> first; // name -> when the first such call began
    long long end = 0;

    Trace(const Victim &run) {
        std::istringstream in(run.output);
        std::string word;
        while (in >> word) {
            long long when = 0;
            if (word == "end") {
                in >> when;
                end = when - run.started;
                continue;
            }
            std::string name;
            in >> name >> when;
            calls.push_back(name);
            first.emplace(name, when - run.started);
        }
    }
    size_t Index(const std::string &name) const { // 1-based; 0 when never called
        auto it = std::find(calls.begin(), calls.end(), name);
        return it == calls.end() ? 0 : static_cast<size_t>(it - calls.begin()) + 1;
    }
};

TEST(InterruptedPatch, KilledAsAnyCallBeginsTheOldFileStays) {
    Drive drive;
    ASSERT_NE(drive.Old(), drive.New());
    ASSERT_EQ(drive.New().size(), drive.Old().size() - 6);
    size_t leftovers = 0;
    const Victim whole = drive.Start({"--trace"});
    ASSERT_TRUE(whole.Exited(0)) << whole.status;
    ASSERT_EQ(drive.Look(leftovers), Drive::State::New);
    EXPECT_EQ(leftovers, 0u);
    drive.Restore(Drive::State::New);
    const Trace trace(whole);
    const size_t temporary = trace.Index("GetTempFileNameA");
    const size_t rename = trace.Index("MoveFileExA");
    ASSERT_GT(temporary, 0u);
    ASSERT_EQ(rename, trace.calls.size()); // nothing follows the rename
    ASSERT_EQ(std::count(trace.calls.begin(), trace.calls.end(), "WriteFile"), 3);

    // Up to the rename the old file is untouched; from the temporary file's
    // creation on, that file is left beside it.
    for (size_t k = 1; k <= trace.calls.size(); ++k) {
        SCOPED_TRACE("killed as call " + std::to_string(k) + " (" + trace.calls[k - 1] +
                     ") begins");
        const Victim run = drive.Start({"--kill-at", std::to_string(k)});
        EXPECT_TRUE(run.Killed()) << run.status;
        leftovers = 0;
        const Drive::State state = drive.Look(leftovers);
        EXPECT_EQ(state, Drive::State::Old) << Name(state);
        EXPECT_EQ(leftovers, k > temporary ? 1u : 0u);
        drive.Restore(state);
    }
    // Killed once the patch has returned: the new file, nothing beside it.
    const Victim after = drive.Start({"--kill-after"});
    EXPECT_TRUE(after.Killed());
    leftovers = 0;
    EXPECT_EQ(drive.Look(leftovers), Drive::State::New);
    EXPECT_EQ(leftovers, 0u);
    std::printf("killed as each of %zu calls began, and once after the patch\n",
                trace.calls.size());
}

TEST(InterruptedPatch, KilledAtAnyMomentTheFileIsOldOrNew) {
    Drive drive;
    // The patch's timeline, from the faster of two whole runs: start to exit,
    // and where the temporary file is written and put in place.
    long long duration = 0, writing = 0, renaming = 0;
    for (int i = 0; i < 2; ++i) {
        const Victim run = drive.Start({"--trace"});
        ASSERT_TRUE(run.Exited(0));
        size_t leftovers = 0;
        ASSERT_EQ(drive.Look(leftovers), Drive::State::New);
        drive.Restore(Drive::State::New);
        const Trace trace(run);
        ASSERT_TRUE(trace.first.count("WriteFile") && trace.first.count("MoveFileExA"));
        if (i == 0 || run.ended - run.started < duration) {
            duration = run.ended - run.started;
            writing = trace.first.at("WriteFile");
            renaming = trace.first.at("MoveFileExA");
        }
    }
    // 40 kills spread over the whole run, 20 more over the writing of the
    // temporary file up to its rename.
    std::vector<long long> moments;
    for (int i = 0; i < 40; ++i)
        moments.push_back(duration * (2 * i + 1) / 80);
    for (int i = 0; i < 20; ++i)
        moments.push_back(writing + (renaming - writing) * (2 * i + 1) / 40);

    size_t killed = 0, exited = 0, leftovers = 0;
    std::map<Drive::State, size_t> states;
    for (long long moment : moments) {
        SCOPED_TRACE("killed " + std::to_string(moment / 1000) + " us after the start");
        const Victim run = drive.Start({}, moment);
        killed += run.Killed();
        exited += run.Exited(0);
        EXPECT_TRUE(run.Killed() || run.Exited(0)) << run.status;
        const Drive::State state = drive.Look(leftovers);
        ++states[state];
        EXPECT_TRUE(state == Drive::State::Old || state == Drive::State::New) << Name(state);
        if (run.Exited(0)) {
            EXPECT_EQ(state, Drive::State::New);
        }
        drive.Restore(state);
    }
    std::printf("patch of %zu bytes: %.1f ms, writing from %.1f ms, rename at %.1f ms\n",
                drive.Old().size(), duration / 1e6, writing / 1e6, renaming / 1e6);
    std::printf("%zu kills: %zu killed (%zu temporary files left), %zu had already exited; "
                "old %zu, new %zu\n",
                moments.size(), killed, leftovers, exited, states[Drive::State::Old],
                states[Drive::State::New]);
    // A test whose kills all come too late proves nothing.
    EXPECT_GE(killed, moments.size() / 4);
}

TEST(InterruptedPatch, TheCheckCatchesARewriteInPlace) {
    // Deleting the file and writing it anew, as a plain rewrite does, loses
    // it to a kill between the two, and truncates it to a kill before the
    // write: this test's check has to see both.
    Drive drive;
    const Victim whole = drive.Start({"--in-place", "--trace"});
    ASSERT_TRUE(whole.Exited(0));
    size_t leftovers = 0;
    ASSERT_EQ(drive.Look(leftovers), Drive::State::New);
    drive.Restore(Drive::State::New);
    const Trace trace(whole);
    const size_t deleted = trace.Index("DeleteFileA");
    const size_t written = trace.Index("WriteFile");
    ASSERT_GT(deleted, 0u);
    ASSERT_GT(written, deleted);
    const std::pair<size_t, Drive::State> kills[] = {{deleted + 1, Drive::State::Missing},
                                                     {written, Drive::State::Other}};
    for (const auto &[call, expected] : kills) {
        SCOPED_TRACE("in place, killed as call " + std::to_string(call) + " begins");
        const Victim run = drive.Start({"--in-place", "--kill-at", std::to_string(call)});
        EXPECT_TRUE(run.Killed());
        const Drive::State state = drive.Look(leftovers);
        EXPECT_EQ(state, expected) << Name(state);
        drive.Restore(state);
    }
}

} // namespace
