// SPDX-License-Identifier: Apache-2.0
// A workload shaped like a host: each thread builds and tears down maps and vectors of
// strings through `new`, as a UI thread, a render thread and a tile decoder would. It is not
// linked to the library: run it plainly for the system allocator, or with a build of the
// library preloaded, and compare the wall times it prints.
//   host_workload <threads> <rounds>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

void BuildAndTearDown(unsigned seed, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    std::map<int, std::string> byId;
    std::unordered_map<std::string, int> byName;
    std::vector<std::string> lines;
    for (int i = 0; i < 2000; ++i) {
      seed = seed * 1103515245 + 12345;
      std::string text(24 + seed % 56, static_cast<char>('a' + i % 26));
      byName.emplace(text + std::to_string(i), i);
      lines.push_back(text);
      byId.emplace(i, std::move(text));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int const threads = argc > 1 ? std::atoi(argv[1]) : 2;
  int const rounds = argc > 2 ? std::atoi(argv[2]) : 200;
  if (threads < 1 || threads > 64 || rounds < 1) {
    std::fputs("usage: host_workload <threads 1-64> <rounds>\n", stderr);
    return 2;
  }
  auto const start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(BuildAndTearDown, 17u * (t + 1), rounds);
  for (std::thread& worker : workers) worker.join();
  std::chrono::duration<double, std::milli> const wall = std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", wall.count());
  return 0;
}
