// bench_zip_inflate ARCHIVE ENTRY [ROUNDS]: reads one deflated entry of an
// archive made by Info-ZIP zip three ways and prints the median time of each
// and their ratios:
//   unzip -p ARCHIVE ENTRY into /dev/null (a separate process);
//   zlib alone over the entry's compressed bytes, read from the file in
//     32 KiB pieces as the reader does: raw inflate with crc32 over what it
//     gives and the sum compared with the entry's, which is the reader's
//     work without the reader; and, for scale, raw inflate without crc32;
//   the ZIP reader (zip_file, file_in_zip), in 4 KiB and in 100 KiB reads.
// The ratios set the reader against unzip -p and against zlib with crc32.
// bench_zip_inflate --make FILE MEGABYTES writes repeatable test data: text
// made of words from a small vocabulary, so that it deflates like text.
#include "foundation/byteorder.h"
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "files/zip.h"

namespace {

// A random-access input file over a stdio stream.
class stdio_file : public ri_file {
 public:
  explicit stdio_file(const char* path) : f_(std::fopen(path, "rb")) {}
  ~stdio_file() override {
    if (f_) std::fclose(f_);
  }
  bool opened() const { return f_ != nullptr; }
  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    count = static_cast<std::uint32_t>(std::fread(buffer, 1, size, f_));
    if (count < size && std::ferror(f_)) store_first_error(Common::Error(1, 1, 0x40001));
  }
  std::uint64_t seek_set(std::int64_t d) override { return move(d, SEEK_SET); }
  std::uint64_t seek_cur(std::int64_t d) override { return move(d, SEEK_CUR); }
  std::uint64_t seek_end(std::int64_t d) override { return move(d, SEEK_END); }

 private:
  std::uint64_t move(std::int64_t d, int whence) {
    if (fseeko(f_, static_cast<off_t>(d), whence) != 0) {
      store_error(Common::Error(2, 1, 0x40005));
      return 0;
    }
    return static_cast<std::uint64_t>(ftello(f_));
  }
  std::FILE* f_;
};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

template <typename F>
double Median(int rounds, F f) {
  std::vector<double> t;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    f();
    t.push_back(Seconds(std::chrono::steady_clock::now() - start));
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

int Make(const char* path, long megabytes) {
  static const char* words[] = {"disk", "volume", "filter", "driver", "catalog", "entry",
                                "archive", "partition", "registry", "service", "folder",
                                "payload", "inflate", "sector", "cluster", "journal"};
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return 1;
  std::mt19937 rng(2024);
  const std::uint64_t target = static_cast<std::uint64_t>(megabytes) << 20;
  std::uint64_t written = 0;
  std::string line;
  while (written < target) {
    line.clear();
    for (int w = 0; w < 10; ++w) {
      line += words[rng() % 16];
      line += (rng() % 5 == 0) ? std::to_string(rng() % 100000) : "";
      line += ' ';
    }
    line += '\n';
    const std::size_t n = std::min<std::uint64_t>(line.size(), target - written);
    std::fwrite(line.data(), 1, n, out);
    written += n;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}

// The entry's compressed bytes: position, length, inflated size and CRC-32.
bool Locate(const char* archive, const char* entry, std::uint64_t& data, std::uint64_t& length,
            std::uint64_t& size, std::uint32_t& crc) {
  stdio_file file(archive);
  zip_file zip(&file);
  std::unique_ptr<i_dir::iterator> it(zip.find(std::u16string(entry, entry + std::strlen(entry)).c_str()));
  if (!it) return false;
  length = it->allocated_size();
  size = it->size();
  // The archive holds this one entry, so its local header opens the archive.
  unsigned char header[30];
  std::FILE* f = std::fopen(archive, "rb");
  fseeko(f, static_cast<off_t>(zip.archive_offset()), SEEK_SET);
  bool read = std::fread(header, 1, sizeof header, f) == sizeof header;
  if (!read) {
    std::fclose(f);
    return false;
  }
  const unsigned nameLength = header[26] | header[27] << 8;
  const unsigned extraLength = header[28] | header[29] << 8;
  data = zip.archive_offset() + 30 + nameLength + extraLength;
  crc = Common::LoadLe32(header + 14);
  if (header[6] & 0x08) {
    // Written to a pipe: the CRC follows the data, after an optional
    // descriptor signature.
    unsigned char descriptor[8];
    fseeko(f, static_cast<off_t>(data + length), SEEK_SET);
    read = std::fread(descriptor, 1, sizeof descriptor, f) == sizeof descriptor;
    crc = Common::LoadLe32(descriptor) == 0x08074b50u ? Common::LoadLe32(descriptor + 4) : Common::LoadLe32(descriptor);
  }
  std::fclose(f);
  return read;
}

// Inflates the compressed bytes into a buffer of `piece` bytes; with
// `checked`, each piece is also summed with crc32 as the reader does, into
// `crc`.
std::uint64_t ZlibAlone(const char* archive, std::uint64_t data, std::uint64_t length,
                        std::uint32_t piece, bool checked, std::uint32_t& crc) {
  std::FILE* f = std::fopen(archive, "rb");
  fseeko(f, static_cast<off_t>(data), SEEK_SET);
  z_stream z{};
  inflateInit2(&z, -15);
  std::vector<unsigned char> in(32768), out(piece);
  std::uint64_t total = 0, left = length;
  uLong sum = crc32(0, Z_NULL, 0);
  int status = Z_OK;
  while (status == Z_OK) {
    if (z.avail_in == 0 && left > 0) {
      const std::size_t n = std::fread(in.data(), 1, std::min<std::uint64_t>(left, in.size()), f);
      left -= n;
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = out.data();
    z.avail_out = piece;
    status = inflate(&z, Z_SYNC_FLUSH);
    const uInt produced = piece - z.avail_out;
    if (checked && produced > 0) sum = crc32(sum, out.data(), produced);
    total += produced;
  }
  inflateEnd(&z);
  std::fclose(f);
  crc = static_cast<std::uint32_t>(sum);
  return total;
}

std::uint64_t Reader(const char* archive, const char* entry, std::uint32_t piece, bool& ok) {
  stdio_file file(archive);
  zip_file zip(&file);
  std::unique_ptr<i_file> f(zip.open_file(std::u16string(entry, entry + std::strlen(entry)).c_str(), false));
  std::vector<unsigned char> out(piece);
  std::uint64_t total = 0;
  for (;;) {
    std::uint32_t count = 0;
    f->read(out.data(), piece, count);
    total += count;
    if (count == 0 || !f->is_ok()) break;
  }
  ok = f->is_ok();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--make") == 0) return Make(argv[2], std::atol(argv[3]));
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE ENTRY [ROUNDS] | --make FILE MEGABYTES\n", argv[0]);
    return 2;
  }
  const char* archive = argv[1];
  const char* entry = argv[2];
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  std::uint64_t data = 0, length = 0, size = 0;
  std::uint32_t entryCrc = 0;
  if (!Locate(archive, entry, data, length, size, entryCrc)) {
    std::fprintf(stderr, "cannot find %s in %s\n", entry, archive);
    return 1;
  }
  const std::string unzip = std::string("unzip -p '") + archive + "' '" + entry + "' >/dev/null";
  const double tUnzip = Median(rounds, [&] { (void)std::system(unzip.c_str()); });
  bool ok = true;
  std::uint64_t got = 0;
  std::uint32_t crc = 0;
  const double tZlib4 =
      Median(rounds, [&] { got = ZlibAlone(archive, data, length, 4096, true, crc); });
  const bool zlib4Ok = got == size && crc == entryCrc;
  const double tZlib100 =
      Median(rounds, [&] { got = ZlibAlone(archive, data, length, 102400, true, crc); });
  const bool zlib100Ok = got == size && crc == entryCrc;
  const double tBare4 =
      Median(rounds, [&] { got = ZlibAlone(archive, data, length, 4096, false, crc); });
  const bool bare4Ok = got == size;
  const double tBare100 =
      Median(rounds, [&] { got = ZlibAlone(archive, data, length, 102400, false, crc); });
  const bool bare100Ok = got == size;
  const double tRead4 = Median(rounds, [&] { got = Reader(archive, entry, 4096, ok); });
  const bool read4Ok = ok && got == size;
  const double tRead100 = Median(rounds, [&] { got = Reader(archive, entry, 102400, ok); });
  const bool read100Ok = ok && got == size;
  const double mb = static_cast<double>(size) / (1 << 20);
  std::printf("entry: %.1f MB, %.1f MB compressed; medians of %d rounds\n", mb,
              static_cast<double>(length) / (1 << 20), rounds);
  const auto row = [&](const char* what, double t, bool good, const char* bad) {
    std::printf("%-36s %8.3f s %8.1f MB/s%s\n", what, t, mb / t, good ? "" : bad);
  };
  row("unzip -p", tUnzip, true, "");
  row("zlib inflate+crc32, 4 KiB out", tZlib4, zlib4Ok, "  (size or CRC differs!)");
  row("zlib inflate+crc32, 100 KiB out", tZlib100, zlib100Ok, "  (size or CRC differs!)");
  row("zlib inflate only, 4 KiB out", tBare4, bare4Ok, "  (size differs!)");
  row("zlib inflate only, 100 KiB out", tBare100, bare100Ok, "  (size differs!)");
  row("reader, 4 KiB reads", tRead4, read4Ok, "  (failed!)");
  row("reader, 100 KiB reads", tRead100, read100Ok, "  (failed!)");
  std::printf("ratios (reader time / other time; below 1 is faster):\n");
  std::printf("  4 KiB:   vs unzip -p %.2f, vs zlib inflate+crc32 %.2f\n", tRead4 / tUnzip,
              tRead4 / tZlib4);
  std::printf("  100 KiB: vs unzip -p %.2f, vs zlib inflate+crc32 %.2f\n", tRead100 / tUnzip,
              tRead100 / tZlib100);
  return read4Ok && read100Ok && zlib4Ok && zlib100Ok && bare4Ok && bare100Ok ? 0 : 1;
}
