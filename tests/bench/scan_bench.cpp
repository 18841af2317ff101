// Cost of the fixed-drive scan per directory entry on the simulated machine, for trees of
// 10,000 to 100,000 entries: the walk alone, the walk alone with a directory link (which makes
// it read every folder's identity), and the walk with the scan's own handler (every 50th file
// an executable that gets its signature check).
#include <stdio.h>

#include <string>

#include <benchmark/benchmark.h>

#include "detect/drive_scan.h"
#include "sim/sim.h"
#include "tools/samples/sample_writer.h"

namespace {

const int kFilesPerDirectory = 100;
const int kDirectoriesPerGroup = 100;
const int kExecutableEvery = 50;

// Builds C:\data with files in folders of 100, folders in groups of 100; returns the number of
// entries (files and folders) below C:\data. The machine is rebuilt only when the tree changes.
// With a link, C:\data\0link leads to the first group and is listed first: the walk then
// reads the identity of every folder, and walks that group through the link only.
long BuildTree(long wantedFiles, bool withLink = false) {
  static long builtFiles = -1;
  static bool builtLink = false;
  static long entries = 0;
  if (builtFiles == wantedFiles && builtLink == withLink) return entries;
  sim::Reset();
  const std::string executable = samples::MakePlain(9000, 3);
  const std::string text = samples::MakePlain(300, 4);
  entries = 0;
  char path[128];
  for (long i = 0; i < wantedFiles; ++i) {
    long directory = i / kFilesPerDirectory;
    long group = directory / kDirectoriesPerGroup;
    bool isExecutable = i % kExecutableEvery == 0;
    snprintf(path, sizeof(path), "C:\\data\\G%04ld\\D%04ld\\F%06ld.%s", group, directory, i,
             isExecutable ? "EXE" : "TXT");
    sim::PutFile(path, isExecutable ? executable : text);
    ++entries;
    if (i % kFilesPerDirectory == 0) ++entries;                              // its folder
    if (i % (kFilesPerDirectory * kDirectoriesPerGroup) == 0) ++entries;     // its group
  }
  if (withLink) {
    sim::MakeDirectoryLink("C:\\data\\0link", "C:\\data\\G0000");
    ++entries;
  }
  builtFiles = wantedFiles;
  builtLink = withLink;
  return entries;
}

long g_counted = 0;
int CountEntry(const char*, const WIN32_FIND_DATAA*, int) {
  ++g_counted;
  return 0;
}

void Report(benchmark::State& state, long entries) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * entries);
  state.counters["entries"] = static_cast<double>(entries);
  // Seconds per entry: the figure that must stay flat as the tree grows.
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(entries), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

void BM_WalkOnly(benchmark::State& state) {
  long entries = BuildTree(state.range(0));
  for (auto _ : state) {
    g_counted = 0;
    benchmark::DoNotOptimize(WalkDirectory("C:\\data\\", CountEntry));
  }
  if (g_counted != entries) state.SkipWithError("the walk missed entries");
  Report(state, entries);
}

void BM_WalkOnlyWithLink(benchmark::State& state) {
  long entries = BuildTree(state.range(0), true);
  for (auto _ : state) {
    g_counted = 0;
    benchmark::DoNotOptimize(WalkDirectory("C:\\data\\", CountEntry));
  }
  if (g_counted != entries) state.SkipWithError("the walk missed entries");
  Report(state, entries);
}

void BM_ScanWithSignatureCheck(benchmark::State& state) {
  long entries = BuildTree(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(WalkDirectory("C:\\data\\", CheckScannedEntry));
  }
  Report(state, entries);
}

BENCHMARK(BM_WalkOnly)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkOnlyWithLink)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanWithSignatureCheck)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
