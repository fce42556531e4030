// Without libFuzzer (g++ builds): "--random SECONDS [SEED]" runs a fuzz
// target's entry point on random inputs for that long; any other arguments
// are files (a saved crash) or directories (a corpus) replayed one by one. Random inputs are
// random bytes mixed with pieces that look like the protocol (small type
// bytes, nibble characters, separators), and each lives in a buffer of
// exactly its size so that the sanitizers catch any read past it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/sanitizer_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Runs the target on the file's bytes, in a buffer of exactly their size.
void replay(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::unique_ptr<uint8_t[]> buf(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  memcpy(buf.get(), bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(buf.get(), bytes.size());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || strcmp(argv[1], "--random") != 0) {
    for (int i = 1; i < argc; ++i) {
      std::vector<std::string> files;
      std::error_code ec;
      if (std::filesystem::is_directory(argv[i], ec)) {
        for (const auto &e : std::filesystem::directory_iterator(argv[i], ec))
          if (e.is_regular_file()) files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
      } else {
        files.push_back(argv[i]);
      }
      for (const std::string &f : files) replay(f);
      printf("%s: %zu inputs ok\n", argv[i], files.size());
    }
    return 0;
  }
  double seconds = argc > 2 ? atof(argv[2]) : 3.0;
  unsigned seed =
      argc > 3 ? static_cast<unsigned>(strtoul(argv[3], nullptr, 10)) : std::random_device{}();
  // The seed first: a run that dies still says how to repeat it.
  printf("random inputs for %.1f s, seed %u\n", seconds, seed);
  fflush(stdout);
  // The targets' log lines would drown the run; a sanitizer's report still
  // reaches the real standard error.
  SanitizerReportsTo(dup(2));
  int devnull = open("/dev/null", O_WRONLY);
  if (devnull >= 0) dup2(devnull, 2);
  std::mt19937 rng(seed);
  const uint8_t flavour[] = {0, 1, 2, 14, 15, '0', '1', 0x30, 0x34, 0x39, 0x3A, 0x3F, ';', 0xFF};
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long runs = 0;
  while (std::chrono::steady_clock::now() < end) {
    size_t size = rng() % 4 == 0 ? rng() % 8 : rng() % 5000;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size > 0 ? size : 1]);
    for (size_t i = 0; i < size; ++i)
      buf[i] = rng() % 2 ? flavour[rng() % sizeof flavour] : static_cast<uint8_t>(rng());
    LLVMFuzzerTestOneInput(buf.get(), size);
    ++runs;
  }
  printf("%ld inputs in %.1f s\n", runs, seconds);
  return 0;
}
