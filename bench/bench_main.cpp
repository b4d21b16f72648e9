#include "bench_main.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace bench {

namespace {
bool g_tiny = false;
std::vector<std::function<void()>> &Registrars() {
    static std::vector<std::function<void()>> registrars;
    return registrars;
}
std::string g_scratch;
} // namespace

bool Tiny() {
    return g_tiny;
}
void AddRegistrar(std::function<void()> registrar) {
    Registrars().push_back(std::move(registrar));
}

std::vector<long> Sizes(std::vector<long> full, long tiny) {
    return g_tiny ? std::vector<long>{tiny} : full;
}

std::string ScratchDir() {
    if (g_scratch.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "uninstall-bench-XXXXXX").string();
        g_scratch = ::mkdtemp(pattern.data());
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_scratch, ec);
        });
    }
    return g_scratch;
}

} // namespace bench

int main(int argc, char **argv) {
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--tiny") == 0)
            bench::g_tiny = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    for (auto &r : bench::Registrars())
        r();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
