// Killing uninstall-sim's save of a machine folder at any step or moment
// leaves the folder wholly as it was before the run or wholly as the run
// left it. A half-made folder beside it is all that a kill may leave.
#include "victim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Relative path -> kind and content of every entry of a folder.
using Digest = std::map<std::string, std::string>;

Digest Take(const fs::path &dir) {
    Digest digest;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        std::string &item = digest[entry.path().lexically_relative(dir).string()];
        if (entry.is_directory()) {
            item = "folder";
        } else {
            std::ifstream in(entry.path(), std::ios::binary);
            item = std::string(std::istreambuf_iterator<char>(in), {});
        }
    }
    return digest;
}

// The Windows 2000 example with a large file of the user's beside it and
// another on drive C:, so that the save takes long enough to be hit.
class Machine {
  public:
    Machine() {
        static const fs::path temporary = fs::temp_directory_path();
        std::string pattern = (temporary / "interrupted-save-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        pristine_ = root_ / "pristine";
        dir_ = root_ / "m";
        // The victim's own copy of drive C:, which a kill leaves behind.
        fs::create_directory(root_ / "tmp");
        ::setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        fs::copy(fs::path(EXAMPLES) / "win2000-sp4", pristine_, fs::copy_options::recursive);
        std::ofstream(pristine_ / "notes.txt") << "kept as it is\n";
        std::ofstream(pristine_ / "drive_c" / "data.bin", std::ios::binary)
            << std::string(8u << 20, 'x');
        before_ = Take(pristine_);
        Reset();
        EXPECT_TRUE(Run({}).Exited(0));
        after_ = Take(dir_);
        EXPECT_NE(before_, after_);
    }
    ~Machine() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void Reset() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::copy(pristine_, dir_, fs::copy_options::recursive);
    }
    Victim Run(std::vector<std::string> args, long long kill = 0, const std::string &after = "") {
        args.insert(args.begin(), dir_.string());
        return RunVictim(SAVE_VICTIM, std::move(args), kill, after);
    }
    // "before", "after" or "neither"; removes a half-made folder left
    // beside the machine and counts it.
    std::string Look(size_t &leftovers) {
        for (const auto &entry : fs::directory_iterator(root_)) {
            const std::string name = entry.path().filename().string();
            if (name == "m" || name == "pristine" || name == "tmp") continue;
            EXPECT_EQ(name.rfind(".m.saving-", 0), 0u) << "left behind " << name;
            ++leftovers;
            fs::remove_all(entry.path());
        }
        const Digest now = Take(dir_);
        return now == before_ ? "before" : now == after_ ? "after" : "neither";
    }

  private:
    fs::path root_, pristine_, dir_;
    Digest before_, after_;
};

} // namespace

TEST(InterruptedSave, KilledAsAnyStepBeginsTheFolderIsBeforeOrAfter) {
    Machine machine;
    machine.Reset();
    const Victim whole = machine.Run({"--trace"});
    ASSERT_TRUE(whole.Exited(0));
    std::vector<std::string> steps;
    std::istringstream lines(whole.output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("end ", 0) != 0) steps.push_back(line.substr(0, line.rfind(' ')));
    ASSERT_GT(steps.size(), 8u);

    size_t leftovers = 0;
    std::map<std::string, size_t> states;
    for (size_t k = 1; k <= steps.size(); ++k) {
        SCOPED_TRACE("killed as step " + steps[k - 1] + " began");
        machine.Reset();
        EXPECT_TRUE(machine.Run({"--kill-at", std::to_string(k)}).Killed());
        const std::string state = machine.Look(leftovers);
        EXPECT_NE(state, "neither");
        ++states[state];
    }
    // Every step up to the exchange leaves the old folder, every one after it the new.
    EXPECT_GT(states["before"], 0u);
    EXPECT_GT(states["after"], 0u);
    std::printf("killed as each of %zu steps began: %zu before, %zu after, %zu left a folder\n",
                steps.size(), states["before"], states["after"], leftovers);
}

TEST(InterruptedSave, KilledAtAnyMomentTheFolderIsBeforeOrAfter) {
    Machine machine;
    machine.Reset();
    const Victim whole = machine.Run({"--trace"});
    ASSERT_TRUE(whole.Exited(0));
    const size_t steps =
        static_cast<size_t>(std::count(whole.output.begin(), whole.output.end(), '\n')) - 1;
    size_t leftovers = 0, killed = 0, runs = 0;
    std::map<std::string, size_t> states;
    // Killed a while into each step: inside a copy, a write or a flush.
    for (size_t k = 1; k <= steps; ++k)
        for (long long delay : {20000LL, 150000LL, 1000000LL}) {
            SCOPED_TRACE(std::to_string(delay / 1000) + " us into step " + std::to_string(k));
            machine.Reset();
            killed += machine.Run({"--trace"}, delay, std::to_string(k) + " ").Killed();
            const std::string state = machine.Look(leftovers);
            EXPECT_NE(state, "neither");
            ++states[state];
            ++runs;
        }
    std::printf("%zu kills inside the steps: %zu killed, %zu before, %zu after, %zu left a "
                "folder\n",
                runs, killed, states["before"], states["after"], leftovers);
    // Kills that all come too late prove nothing.
    EXPECT_GE(killed, runs / 2);
}
