// Shared entry point of the benchmarks. `--tiny` runs every benchmark once at
// a token size, so CI can check that they still build and run.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

bool Tiny();
// Registers the benchmarks of one program; called once flags are parsed.
void AddRegistrar(std::function<void()> registrar);
// Sizes to run: the full list, or its first element alone in tiny mode.
std::vector<long> Sizes(std::vector<long> full, long tiny);
// A temporary folder for the run, removed at exit.
std::string ScratchDir();

} // namespace bench

#define BENCH_REGISTRAR(name)                                                                      \
    static void name();                                                                            \
    static const bool name##_added = (bench::AddRegistrar(name), true);                            \
    static void name()
