// Throughput of the signature check: Crc32 beside zlib's crc32 on the same 7168-byte buffers,
// and files examined per second by CheckFileSignatures over a tree of samples on the sim.
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "detect/crc32.h"
#include "detect/signatures.h"
#include "sim/sim.h"
#include "tools/samples/sample_writer.h"

uint32_t Crc32Bytewise(const void* data, uint32_t length);

namespace {

const size_t kRange = 7168;
const size_t kBuffers = 64;  // 448 KB: cycles through the L2 cache like a scan would

const std::vector<std::string>& Buffers() {
  static std::vector<std::string> buffers = [] {
    std::vector<std::string> out;
    std::mt19937 random(7u);
    for (size_t i = 0; i < kBuffers; ++i) {
      std::string b(kRange, '\0');
      for (char& c : b) c = static_cast<char>(random());
      out.push_back(b);
    }
    return out;
  }();
  return buffers;
}

template <typename Fn>
void RunCrc(benchmark::State& state, Fn fn) {
  const std::vector<std::string>& buffers = Buffers();
  size_t i = 0;
  uint32_t sink = 0;
  for (auto _ : state) {
    sink ^= fn(buffers[i]);
    if (++i == buffers.size()) i = 0;
  }
  benchmark::DoNotOptimize(sink);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kRange));
}

void BM_Crc32(benchmark::State& state) {
  RunCrc(state, [](const std::string& b) { return Crc32(b.data(), static_cast<uint32_t>(b.size())); });
}
void BM_Crc32Bytewise(benchmark::State& state) {
  RunCrc(state, [](const std::string& b) { return Crc32Bytewise(b.data(), static_cast<uint32_t>(b.size())); });
}
void BM_ZlibCrc32(benchmark::State& state) {
  RunCrc(state, [](const std::string& b) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
  });
}

// On a shared machine compare CPU times, with repetitions in random order:
//   signature_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
BENCHMARK(BM_Crc32);
BENCHMARK(BM_ZlibCrc32);
BENCHMARK(BM_Crc32Bytewise);

// 10,000 files in 100 directories: a quarter row-0 samples, a quarter row-1 samples, half near
// misses of either row (those are read twice: both rows are tried). Sizes vary from 8 to 40 KB.
// Four stamped bodies are made once; each file differs from them outside the signed range.
std::vector<std::string> MakeTree() {
  sim::Reset();
  const size_t kFiles = 10000;
  const std::string bodies[4] = {
      samples::MakeSample(samples::kRow0Crc, 8192, 1), samples::MakeSample(samples::kRow1Crc, 8192, 2),
      samples::MakeNearMiss(samples::kRow0Crc, 8192, 3), samples::MakeNearMiss(samples::kRow1Crc, 8192, 4)};
  std::vector<std::string> paths;
  for (size_t i = 0; i < kFiles; ++i) {
    const std::string& body = bodies[i % 4 == 0 ? 0 : i % 4 == 1 ? 1 : i % 4 == 2 ? 2 : 3];
    size_t extra = (i * 2654435761u) % (32 * 1024);
    std::string data = body + samples::MakePlain(extra, static_cast<uint32_t>(i));
    data[0x3C] = static_cast<char>(i);  // a byte before the signed range, file by file
    std::string path = "C:\\bench\\d" + std::to_string(i / 100) + "\\file" + std::to_string(i) + ".exe";
    sim::PutFile(path, data);
    paths.push_back(path);
  }
  return paths;
}

void BM_CheckFileSignatures(benchmark::State& state) {
  static const std::vector<std::string> paths = MakeTree();
  size_t i = 0;
  int64_t infected = 0;
  for (auto _ : state) {
    int32_t index = -1;
    CheckFileSignatures(paths[i].c_str(), SignatureTable, &index);
    infected += index != -1;
    if (++i == paths.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["infected_share"] =
      benchmark::Counter(static_cast<double>(infected) / static_cast<double>(state.iterations()));
}

BENCHMARK(BM_CheckFileSignatures);

}  // namespace

BENCHMARK_MAIN();
