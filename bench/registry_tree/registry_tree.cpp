// Times DeleteRegistryTree against "reg.exe delete KEY /f" on the same tree
// of 1,000 keys (10 keys, each with 9, each of those with 10) under HKLM in
// the 64-bit view, for a number of rounds (first argument, default 5).
// reg.exe runs as a process of its own, so its time includes a process
// start; a "reg.exe query" of an empty key is timed too, as that share.
// Prints the times of each round and the medians; no assertions.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/registry_security.h"
#include "run_quietly.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) / double(frequency.QuadPart);
}

bool CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | kView,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool Exists(const std::wstring& path) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kView, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

// 10 + 90 + 900 = 1,000 keys below the tree's own key.
int MakeTree(const std::wstring& tree) {
  int count = 0;
  for (int a = 0; a < 10; ++a) {
    const std::wstring level1 = tree + L"\\Key" + std::to_wstring(a);
    count += CreateKey(level1);
    for (int b = 0; b < 9; ++b) {
      const std::wstring level2 = level1 + L"\\Sub" + std::to_wstring(b);
      count += CreateKey(level2);
      for (int c = 0; c < 10; ++c) count += CreateKey(level2 + L"\\Leaf" + std::to_wstring(c));
    }
  }
  return count;
}

// Runs a command line with its output discarded; false when it did not start
// or ended with an exit code other than 0.
bool Run(const std::wstring& command) { return RunQuietly(command) == 0; }

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::wstring base = L"Software\\PurgekitBench-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring tree = base + L"\\Tree";
  const std::wstring regTree = L"\"HKLM\\" + tree + L"\"";
  if (!CreateKey(base)) {
    std::fprintf(stderr, "cannot create HKLM\\%ls\n", base.c_str());
    return 1;
  }

  std::vector<double> ours, reg, regStart;
  bool ok = true;
  std::printf("round  DeleteRegistryTree  reg delete /f  reg query (start)\n");
  for (int round = 0; round < rounds && ok; ++round) {
    ok = MakeTree(tree) == 1000;
    double t0 = Now();
    ok = ok && Common::DeleteRegistryTree(HKEY_LOCAL_MACHINE,
                                          reinterpret_cast<const char16_t*>(tree.c_str()),
                                          kView) == 0;
    ours.push_back(Now() - t0);
    ok = ok && !Exists(tree);

    ok = ok && MakeTree(tree) == 1000;
    t0 = Now();
    ok = ok && Run(L"reg.exe delete " + regTree + L" /f /reg:64");
    reg.push_back(Now() - t0);
    ok = ok && !Exists(tree);

    t0 = Now();
    ok = ok && Run(L"reg.exe query \"HKLM\\" + base + L"\" /reg:64");
    regStart.push_back(Now() - t0);

    std::printf("%5d  %16.1f ms  %10.1f ms  %14.1f ms\n", round + 1, ours.back() * 1e3,
                reg.back() * 1e3, regStart.back() * 1e3);
  }
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, tree.c_str(), kView, 0);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), kView, 0);
  if (!ok) {
    std::fprintf(stderr, "a round failed: a tree was not made or not deleted\n");
    return 1;
  }
  const double o = Median(ours), r = Median(reg), s = Median(regStart);
  std::printf("median DeleteRegistryTree %.1f ms, reg delete /f %.1f ms (of which a reg.exe "
              "start about %.1f ms)\n",
              o * 1e3, r * 1e3, s * 1e3);
  std::printf("ratio DeleteRegistryTree / reg delete: %.2f; without the start: %.2f\n", o / r,
              r > s ? o / (r - s) : 0.0);
  return 0;
}
