// Stand-alone driver for libFuzzer-style targets in the sanitizer build:
// runs every seed file given, then -runs=N inputs made by mutating the seeds
// (or from nothing), with a fixed random seed so that a failure repeats.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void Mutate(std::vector<uint8_t>& d, std::mt19937& rng) {
  const int steps = 1 + rng() % 4;
  for (int i = 0; i < steps; ++i) {
    switch (rng() % 5) {
      case 0:  // flip a byte
        if (!d.empty()) d[rng() % d.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:  // random byte
        if (!d.empty()) d[rng() % d.size()] = static_cast<uint8_t>(rng());
        break;
      case 2:  // insert
        if (d.size() < 4096) d.insert(d.begin() + (d.empty() ? 0 : rng() % (d.size() + 1)), static_cast<uint8_t>(rng()));
        break;
      case 3:  // erase
        if (!d.empty()) d.erase(d.begin() + rng() % d.size());
        break;
      case 4:  // interesting values
        if (!d.empty()) {
          static const uint8_t vals[] = {0, 0xFF, 0x7F, 0x80, '{', '}', ',', '0', '9'};
          d[rng() % d.size()] = vals[rng() % sizeof vals];
        }
        break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  long runs = 10000;
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-runs=", 6) == 0) {
      runs = std::strtol(argv[i] + 6, nullptr, 10);
      continue;
    }
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) seeds.push_back(ReadFile(e.path()));
    } else if (std::filesystem::is_regular_file(p)) {
      seeds.push_back(ReadFile(p));
    }
  }
  for (auto& s : seeds) LLVMFuzzerTestOneInput(s.data(), s.size());
  if (seeds.empty()) seeds.emplace_back();
  std::mt19937 rng(12345);
  for (long i = 0; i < runs; ++i) {
    std::vector<uint8_t> d = seeds[rng() % seeds.size()];
    if (rng() % 8 == 0) {
      d.resize(rng() % 256);
      for (auto& b : d) b = static_cast<uint8_t>(rng());
    }
    Mutate(d, rng);
    LLVMFuzzerTestOneInput(d.data(), d.size());
  }
  std::printf("fuzz: %zu seeds, %ld runs, no fault\n", seeds.size(), runs);
  return 0;
}
