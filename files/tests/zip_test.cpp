// The ZIP reader against archives made by Info-ZIP zip and Python's zipfile
// (embedded, with the bytes unzip -p gives for each entry; natively also
// Python's 65,535-entry archive, which the build makes), and against
// archives built here and then damaged field by field.
#include "files/zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/zip_memory_file.h"
#include "files/file_error.h"
#include "zip_fixtures.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const auto kEntries = ZipFixtureEntries();

Bytes FixtureBytes(const char* name) { return ZipFixtureBytes(name); }

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
std::string Narrow(const char16_t* s) {
  std::string out;
  for (; s && *s; ++s) out += static_cast<char>(*s);
  return out;
}

// An archive over its own in-memory file.
struct Archive {
  explicit Archive(Bytes bytes) : file(std::move(bytes)), zip(&file) {}
  zip_memory_file file;
  zip_file zip;
};

std::unique_ptr<i_file> Open(zip_file& zip, const std::string& name) {
  return std::unique_ptr<i_file>(zip.open_file(Wide(name).c_str(), false));
}

// Reads until a read gives 0 bytes or an error, in pieces of `piece`.
Bytes ReadAll(i_file& f, std::uint32_t piece) {
  Bytes out, buffer(piece);
  for (;;) {
    std::uint32_t count = 0;
    f.read(buffer.data(), piece, count);
    out.insert(out.end(), buffer.begin(), buffer.begin() + count);
    if (count == 0 || !f.is_ok()) return out;
  }
}

std::vector<std::string> List(zip_file& zip) {
  std::vector<std::string> names;
  std::unique_ptr<i_dir::iterator> it(zip.list());
  if (!it) return names;
  for (; it->is_ok(); it->next()) names.push_back(Narrow(it->name()));
  EXPECT_EQ(it->error().Code(), kFileEndOfFile);
  return names;
}

// ---------------------------------------------------------------------------
// A small archive writer, so that damaged archives can be made field by
// field.

struct Item {
  std::string name;
  Bytes data;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
};

struct Built {
  Bytes bytes;
  std::vector<std::size_t> local;    // offsets of the local headers
  std::vector<std::size_t> central;  // offsets of the directory records
  std::size_t end = 0;               // offset of the end record
};

void Put16(Bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void Set16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Set32(Bytes& b, std::size_t at, std::uint32_t v) {
  Set16(b, at, v & 0xFFFF);
  Set16(b, at + 2, v >> 16);
}

Bytes RawDeflate(const Bytes& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, static_cast<uLong>(in.size())));
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Built Build(const std::vector<Item>& items) {
  Built r;
  std::vector<std::uint32_t> crcs, sizes;
  std::vector<Bytes> packed;
  for (const auto& it : items) {
    crcs.push_back(static_cast<std::uint32_t>(crc32(0, it.data.data(), static_cast<uInt>(it.data.size()))));
    packed.push_back(it.method == 8 ? RawDeflate(it.data) : it.data);
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    r.local.push_back(r.bytes.size());
    Bytes& b = r.bytes;
    Put32(b, 0x04034b50);
    Put16(b, 20);
    Put16(b, 0);
    Put16(b, items[i].method);
    Put32(b, 0);
    Put32(b, crcs[i]);
    Put32(b, static_cast<std::uint32_t>(packed[i].size()));
    Put32(b, static_cast<std::uint32_t>(items[i].data.size()));
    Put16(b, static_cast<std::uint32_t>(items[i].name.size()));
    Put16(b, 0);
    b.insert(b.end(), items[i].name.begin(), items[i].name.end());
    b.insert(b.end(), packed[i].begin(), packed[i].end());
  }
  const std::size_t directory = r.bytes.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    r.central.push_back(r.bytes.size());
    Bytes& b = r.bytes;
    Put32(b, 0x02014b50);
    Put16(b, 20);
    Put16(b, 20);
    Put16(b, 0);
    Put16(b, items[i].method);
    Put32(b, 0);
    Put32(b, crcs[i]);
    Put32(b, static_cast<std::uint32_t>(packed[i].size()));
    Put32(b, static_cast<std::uint32_t>(items[i].data.size()));
    Put16(b, static_cast<std::uint32_t>(items[i].name.size()));
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, 0);
    Put32(b, 0);
    Put32(b, static_cast<std::uint32_t>(r.local[i]));
    b.insert(b.end(), items[i].name.begin(), items[i].name.end());
  }
  r.end = r.bytes.size();
  Bytes& b = r.bytes;
  Put32(b, 0x06054b50);
  Put16(b, 0);
  Put16(b, 0);
  Put16(b, static_cast<std::uint32_t>(items.size()));
  Put16(b, static_cast<std::uint32_t>(items.size()));
  Put32(b, static_cast<std::uint32_t>(r.end - directory));
  Put32(b, static_cast<std::uint32_t>(directory));
  Put16(b, 0);
  return r;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<Item> TwoEntries() {
  return {{"first.txt", Text("the first entry's text\n"), 0},
          {"second.txt", Text(std::string(3000, 'z') + "end\n"), 8}};
}

// ---------------------------------------------------------------------------
// Archives made by the two tools

TEST(ZipFixtures, EveryEntryReadsAsUnzipGivesItInExactAndPiecewiseReads) {
  for (const auto& e : kEntries) {
    SCOPED_TRACE(std::string(e.archive) + ": " + e.entry);
    const Bytes expected = UnzipBytes(e);
    for (std::uint32_t piece : {1u, 4096u, 102400u}) {
      Archive a(FixtureBytes(e.archive));
      ASSERT_TRUE(a.zip.is_ok());
      auto f = Open(a.zip, e.entry);
      ASSERT_NE(f, nullptr);
      ASSERT_TRUE(f->is_ok());
      EXPECT_EQ(ReadAll(*f, piece), expected);
      EXPECT_TRUE(f->is_ok());
    }
    Archive a(FixtureBytes(e.archive));
    auto f = Open(a.zip, e.entry);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(dynamic_cast<sized_file&>(*f).size(), e.size);
    Bytes exact(e.size + 1);
    f->read_exact(exact.data(), static_cast<std::uint32_t>(e.size));
    exact.resize(e.size);
    EXPECT_TRUE(f->is_ok());
    EXPECT_EQ(exact, expected);
  }
}

TEST(ZipFixtures, ListingGivesStoredNamesAndSizesInDirectoryOrder) {
  for (const char* name : {"zip_infozip_stored.zip", "zip_infozip_deflated.zip",
                           "zip_infozip_descriptor.zip", "zip_python_stored.zip",
                           "zip_python_deflated.zip", "zip_python_descriptor.zip"}) {
    SCOPED_TRACE(name);
    Archive a(FixtureBytes(name));
    std::vector<std::string> names;
    std::unique_ptr<i_dir::iterator> it(a.zip.list());
    ASSERT_NE(it, nullptr);
    for (; it->is_ok(); it->next()) {
      names.push_back(Narrow(it->name()));
      std::uint64_t expected = ~0ull;
      for (const auto& e : kEntries)
        if (std::strcmp(e.archive, name) == 0 && names.back() == e.entry) expected = e.size;
      EXPECT_EQ(it->size(), expected) << names.back();
      EXPECT_EQ(it->object_type(), kObjectFile);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"hello.txt", "bytes.bin", "empty.dat",
                                               "Folder/Lines.txt"}));
  }
}

TEST(ZipFixtures, StreamedArchivesReallyCarryDataDescriptors) {
  for (const char* name : {"zip_infozip_descriptor.zip", "zip_python_descriptor.zip"}) {
    const Bytes b = FixtureBytes(name);
    ASSERT_GT(b.size(), 8u);
    EXPECT_TRUE(b[6] & 0x08) << name;  // flags of the first local header
  }
}

TEST(ZipFixtures, Bzip2AndEncryptedEntriesAreNotSupportedButStoredNeighboursRead) {
  struct Case {
    const char* archive;
    const char* entry;
  } cases[] = {{"zip_infozip_bzip2.zip", "Folder/Lines.txt"},
               {"zip_infozip_bzip2.zip", "bytes.bin"},
               {"zip_infozip_encrypted.zip", "hello.txt"},
               {"zip_infozip_encrypted.zip", "Folder/Lines.txt"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + ": " + c.entry);
    Archive a(FixtureBytes(c.archive));
    auto f = Open(a.zip, c.entry);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->error().Code(), kFileNotSupported);
    std::uint8_t buffer[64];
    std::uint32_t count = 99;
    f->read(buffer, sizeof buffer, count);
    EXPECT_EQ(count, 0u);
  }
  Archive a(FixtureBytes("zip_infozip_bzip2.zip"));
  auto f = Open(a.zip, "empty.dat");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->is_ok());
  EXPECT_TRUE(ReadAll(*f, 16).empty());
  EXPECT_TRUE(f->is_ok());
}

TEST(ZipFixtures, BadCrcIsReportedByTheReadThatDeliversTheLastByte) {
  // Exactly the entry's size: no read past the end is ever made.
  {
    Archive a(FixtureBytes("zip_bad_crc.zip"));
    auto f = Open(a.zip, "hello.txt");
    ASSERT_NE(f, nullptr);
    ASSERT_TRUE(f->is_ok());
    char buffer[15];
    f->read_exact(buffer, sizeof buffer);
    EXPECT_EQ(f->error().Code(), kFileCorrupted);
  }
  // Reading until a zero count, in pieces.
  {
    Archive a(FixtureBytes("zip_bad_crc.zip"));
    auto f = Open(a.zip, "hello.txt");
    ReadAll(*f, 4);
    EXPECT_EQ(f->error().Code(), kFileCorrupted);
  }
  // The archive's other entries are sound.
  Archive a(FixtureBytes("zip_bad_crc.zip"));
  auto f = Open(a.zip, "Folder/Lines.txt");
  ReadAll(*f, 4096);
  EXPECT_TRUE(f->is_ok());
}

TEST(ZipFixtures, EmptyArchiveIsRefused) {
  // What zipfile writes for no entries: a lone end record.
  Bytes empty = {0x50, 0x4b, 0x05, 0x06};
  empty.resize(22);
  Archive a(empty);
  EXPECT_EQ(a.zip.error().Code(), kFileCorrupted);
  EXPECT_EQ(a.zip.list(), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileCorrupted);
}

// ---------------------------------------------------------------------------
// Layout

TEST(ZipLayout, ArchiveBehindAProgramAndBeforeASignatureBlockIsFound) {
  Built b = Build(TwoEntries());
  Bytes program(5000, 0x90);
  program[0] = 'M';
  program[1] = 'Z';
  Bytes whole = program;
  whole.insert(whole.end(), b.bytes.begin(), b.bytes.end());
  whole.insert(whole.end(), 700, 0xA5);  // trailing signature block
  Archive a(whole);
  ASSERT_TRUE(a.zip.is_ok());
  EXPECT_EQ(a.zip.archive_offset(), 5000u);
  auto f = Open(a.zip, "second.txt");
  EXPECT_EQ(ReadAll(*f, 1000), TwoEntries()[1].data);
  EXPECT_TRUE(f->is_ok());
}

TEST(ZipLayout, EndRecordIsFoundAcrossScanWindowsAndOnlyInTheLast65535Bytes) {
  struct Case {
    std::size_t tail;  // bytes after the end record
    bool found;
  } cases[] = {
      // The signature across the first window's lower edge.
      {1000, true}, {1001, true}, {1002, true}, {1003, true}, {1004, true},
      {2020, true}, {65000, true},
      // The whole record within the last 65535 bytes, and one byte more.
      {65535 - 22, true}, {65535 - 22 + 1, false},
      {70000, false},
  };
  Built b = Build(TwoEntries());
  const Bytes program(3000, 0x90);  // as behind a program image
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    Bytes whole = program;
    whole.insert(whole.end(), b.bytes.begin(), b.bytes.end());
    whole.insert(whole.end(), c.tail, 0);
    Archive a(whole);
    if (!c.found) {
      EXPECT_EQ(a.zip.error().Code(), kFileCorrupted);
      continue;
    }
    ASSERT_TRUE(a.zip.is_ok());
    auto f = Open(a.zip, "second.txt");
    EXPECT_EQ(ReadAll(*f, 4096), TwoEntries()[1].data);
  }
}

TEST(ZipLayout, DeflatedEntryLargerThanTheInputBufferReadsWhole) {
  std::mt19937 rng(7);
  Bytes noise(200000);
  for (auto& x : noise) x = static_cast<std::uint8_t>(rng() % 7);  // some redundancy
  Built b = Build({{"noise.bin", noise, 8}});
  ASSERT_GT(b.end, 2 * 32768u);
  for (std::uint32_t piece : {4096u, 102400u, 300000u}) {
    Archive a(b.bytes);
    auto f = Open(a.zip, "noise.bin");
    EXPECT_EQ(ReadAll(*f, piece), noise) << piece;
    EXPECT_TRUE(f->is_ok());
  }
}

TEST(ZipLayout, TwoEntriesOfOneArchiveReadAlternately) {
  Archive a(Build(TwoEntries()).bytes);
  auto first = Open(a.zip, "first.txt");
  auto second = Open(a.zip, "second.txt");
  Bytes one, two;
  std::uint8_t buffer[5];
  for (bool more = true; more;) {
    std::uint32_t n1 = 0, n2 = 0;
    first->read(buffer, 5, n1);
    one.insert(one.end(), buffer, buffer + n1);
    second->read(buffer, 5, n2);
    two.insert(two.end(), buffer, buffer + n2);
    more = n1 != 0 || n2 != 0;
  }
  EXPECT_EQ(one, TwoEntries()[0].data);
  EXPECT_EQ(two, TwoEntries()[1].data);
  EXPECT_TRUE(first->is_ok() && second->is_ok());
}

#ifdef PURGEKIT_ZIP_MANY_DIR
// Python's zipfile wrote this archive of 65,535 entries at build time
// (data/zip/make_many.py); unzip listed it and gave the bytes of a sample of
// its entries. Under Wine the same archive is read by a host-side check.
Bytes HostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> HostLines(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ZipFixtures, PythonArchiveOf65535EntriesListsAsUnzipAndItsSampleReadsAsUnzipP) {
  const std::string dir = PURGEKIT_ZIP_MANY_DIR;
  Archive a(HostFile(dir + "/many.zip"));
  ASSERT_TRUE(a.zip.is_ok()) << std::hex << a.zip.error().Code();
  const std::vector<std::string> expected = HostLines(dir + "/many.names");
  ASSERT_EQ(expected.size(), 65535u);
  const std::vector<std::string> names = List(a.zip);
  ASSERT_EQ(names.size(), expected.size());
  // The first difference only: a listing this long is no message.
  const auto differs = std::mismatch(names.begin(), names.end(), expected.begin());
  EXPECT_TRUE(differs.first == names.end())
      << "entry " << (differs.first - names.begin()) << ": " << *differs.first << ", unzip "
      << *differs.second;

  const std::vector<std::string> sample = HostLines(dir + "/sample.list");
  ASSERT_GE(sample.size(), 10u);
  EXPECT_EQ(sample.front(), expected.front());
  EXPECT_EQ(sample.back(), expected.back());
  for (const std::string& name : sample) {
    SCOPED_TRACE(name);
    const Bytes unzipped = HostFile(dir + "/sample/" + name);
    auto f = Open(a.zip, name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(dynamic_cast<sized_file&>(*f).size(), unzipped.size());
    EXPECT_EQ(ReadAll(*f, 7), unzipped);
    EXPECT_TRUE(f->is_ok()) << std::hex << f->error().Code();
  }
}
#endif

// ---------------------------------------------------------------------------
// Damaged archives: every length and offset is checked before use

enum class Where { kArchive, kEntry };

TEST(ZipDamage, FieldsPointingOutsideTheDataAreRefusedAsCorrupted) {
  struct Case {
    const char* what;
    Where where;
    void (*damage)(Built&);
  } cases[] = {
      {"directory size and offset wrap around 32 bits", Where::kArchive,
       [](Built& b) {
         Set32(b.bytes, b.end + 12, 0x10);
         Set32(b.bytes, b.end + 16, 0xFFFFFFF8u);
       }},
      {"directory larger than what precedes the end record", Where::kArchive,
       [](Built& b) { Set32(b.bytes, b.end + 12, static_cast<std::uint32_t>(b.end + 1)); }},
      {"more entries than records", Where::kArchive,
       [](Built& b) {
         Set16(b.bytes, b.end + 8, 3);
         Set16(b.bytes, b.end + 10, 3);
       }},
      {"entry counts disagree", Where::kArchive, [](Built& b) { Set16(b.bytes, b.end + 8, 1); }},
      {"zero entries", Where::kArchive,
       [](Built& b) {
         Set16(b.bytes, b.end + 8, 0);
         Set16(b.bytes, b.end + 10, 0);
       }},
      {"second disk", Where::kArchive, [](Built& b) { Set16(b.bytes, b.end + 4, 1); }},
      {"record name runs past the directory", Where::kArchive,
       [](Built& b) { Set16(b.bytes, b.central[1] + 28, 0xFFFF); }},
      {"record extra field runs past the directory", Where::kArchive,
       [](Built& b) { Set16(b.bytes, b.central[1] + 30, 200); }},
      {"record comment runs past the directory", Where::kArchive,
       [](Built& b) { Set16(b.bytes, b.central[0] + 32, 0x8000); }},
      {"local header offset inside the directory", Where::kEntry,
       [](Built& b) {
         Set32(b.bytes, b.central[1] + 42, static_cast<std::uint32_t>(b.central[0] - 10));
       }},
      {"local header offset far beyond the file", Where::kEntry,
       [](Built& b) { Set32(b.bytes, b.central[1] + 42, 0xFFFFFFF0u); }},
      {"compressed size runs into the directory", Where::kEntry,
       [](Built& b) {
         Set32(b.bytes, b.central[1] + 20, 0x7FFFFFFF);
         Set32(b.bytes, b.local[1] + 18, 0x7FFFFFFF);
       }},
      {"local name length pushes the data past the directory", Where::kEntry,
       [](Built& b) { Set16(b.bytes, b.local[1] + 26, 0xFFFF); }},
      {"local extra length pushes the data past the directory", Where::kEntry,
       [](Built& b) { Set16(b.bytes, b.local[1] + 28, 0xFFFF); }},
      {"local signature", Where::kEntry, [](Built& b) { b.bytes[b.local[1]] = 'X'; }},
      {"local method differs", Where::kEntry, [](Built& b) { Set16(b.bytes, b.local[1] + 8, 0); }},
      {"local CRC differs", Where::kEntry, [](Built& b) { Set32(b.bytes, b.local[1] + 14, 1); }},
      {"local size differs", Where::kEntry, [](Built& b) { Set32(b.bytes, b.local[1] + 22, 1); }},
      {"uncompressed size larger than the data gives", Where::kEntry,
       [](Built& b) {
         Set32(b.bytes, b.central[1] + 24, 5000);
         Set32(b.bytes, b.local[1] + 22, 5000);
       }},
      {"deflated data is garbage", Where::kEntry,
       [](Built& b) {
         for (std::size_t i = 0; i < 8; ++i) b.bytes[b.local[1] + 30 + 10 + i] = 0xFF;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Built b = Build(TwoEntries());
    c.damage(b);
    Archive a(b.bytes);
    if (c.where == Where::kArchive) {
      EXPECT_EQ(a.zip.error().Code(), kFileCorrupted);
      EXPECT_EQ(a.zip.list(), nullptr);
      EXPECT_EQ(a.zip.error().Code(), kFileCorrupted);
      continue;
    }
    ASSERT_TRUE(a.zip.is_ok());
    auto f = Open(a.zip, "second.txt");
    ASSERT_NE(f, nullptr);
    ReadAll(*f, 4096);
    EXPECT_EQ(f->error().Code(), kFileCorrupted);
    // The sound entry is untouched by its neighbour's damage.
    auto first = Open(a.zip, "first.txt");
    EXPECT_EQ(ReadAll(*first, 4096), TwoEntries()[0].data);
    EXPECT_TRUE(first->is_ok());
  }
}

TEST(ZipDamage, ShortOrSignatureLessFilesAreNoArchives) {
  Built b = Build({{"a", Text("x"), 0}});
  for (std::size_t size : {0u, 1u, 22u, 23u}) {
    Archive a(Bytes(b.bytes.end() - std::min(size, b.bytes.size()), b.bytes.end()));
    EXPECT_EQ(a.zip.error().Code(), kFileCorrupted) << size;
  }
  Archive none(Bytes(4000, 'P'));
  EXPECT_EQ(none.zip.error().Code(), kFileCorrupted);
}

TEST(ZipDamage, ReadFailuresOfTheArchiveFileAreReadErrors) {
  Built b = Build(TwoEntries());
  {
    zip_memory_file file(b.bytes);
    file.fail_reads_from(b.end + 4);  // the end record itself
    zip_file zip(&file);
    EXPECT_EQ(zip.error().Code(), kFileReadError);
  }
  {
    zip_memory_file file(b.bytes);
    zip_file zip(&file);
    ASSERT_TRUE(zip.is_ok());
    std::unique_ptr<i_file> f(zip.open_file(u"second.txt", false));
    ASSERT_TRUE(f->is_ok());
    file.fail_reads_from(b.local[1] + 30 + 12);  // inside its data
    ReadAll(*f, 4096);
    EXPECT_EQ(f->error().Code(), kFileReadError);
  }
}

// ---------------------------------------------------------------------------
// The archive as a directory

TEST(ZipNames, WantedNameFoldsAsciiCaseAndBackslashesOnly) {
  struct Case {
    const char16_t* wanted;
    const char16_t* stored;
    bool equal;
  } cases[] = {
      {u"Folder/Lines.txt", u"Folder/Lines.txt", true},
      {u"FOLDER\\lines.TXT", u"Folder/Lines.txt", true},
      {u"folder/lines.txt", u"FOLDER/LINES.TXT", true},
      {u"Folder/Lines.txt", u"Folder\\Lines.txt", false},  // stored '\' never matches
      {u"Folder\\Lines.txt", u"Folder\\Lines.txt", false},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", false},  // only ASCII letters fold
      {u"Lines.tx", u"Lines.txt", false},
      {u"Lines.txt", u"Lines.tx", false},
      {u"", u"", true},
      {u"[", u"{", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ZipNameEquals(c.wanted, c.stored), c.equal) << Narrow(c.wanted) << " / " << Narrow(c.stored);
}

TEST(ZipDirectory, MissingNameLeavesEndOfFileUntilTheNextSuccess) {
  Archive a(FixtureBytes("zip_python_deflated.zip"));
  EXPECT_EQ(a.zip.open_file(u"nothing.txt", false), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileEndOfFile);
  std::unique_ptr<i_file> f(a.zip.open_file(u"folder\\LINES.txt", false));
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(a.zip.is_ok());
  EXPECT_EQ(dynamic_cast<sized_file&>(*f).size(), 240u * 26);
}

TEST(ZipDirectory, IdentifiersWorkOnlyWithTheArchiveThatMadeThem) {
  Archive a(Build(TwoEntries()).bytes);
  std::unique_ptr<i_dir::iterator> it(a.zip.list());
  it->next();
  std::unique_ptr<file_identifier> id(it->id());
  std::unique_ptr<file_identifier> copy(id->clone());
  EXPECT_EQ(a.zip.compare_ids(id.get(), copy.get()), 0);
  std::unique_ptr<i_dir::iterator> first(a.zip.list());
  std::unique_ptr<file_identifier> firstId(first->id());
  EXPECT_EQ(a.zip.compare_ids(id.get(), firstId.get()), 1);

  std::unique_ptr<i_dir::iterator> found(a.zip.find_by_id(copy.get()));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(Narrow(found->name()), "second.txt");
  found->next();
  EXPECT_EQ(found->error().Code(), kFileEndOfFile);
  EXPECT_EQ(found->name(), nullptr);
  std::unique_ptr<i_file> f(a.zip.open_file_by_id(id.get(), false));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAll(*f, 100), TwoEntries()[1].data);

  // A copy of the archive has its own directory: the identifier is not its.
  std::unique_ptr<i_dir> other(a.zip.open_dir(u"."));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->relation(&a.zip), 2);
  EXPECT_EQ(a.zip.relation(&a.zip), 0);
  EXPECT_EQ(other->find_by_id(id.get()), nullptr);
  EXPECT_EQ(other->error().Code(), kFileNotFound);
  EXPECT_EQ(other->open_file_by_id(id.get(), false), nullptr);
  EXPECT_EQ(other->error().Code(), kFileOpenError);
  EXPECT_EQ(other->open_file_at(it.get(), false), nullptr);
  EXPECT_EQ(other->error().Code(), kFileOpenError);
  EXPECT_EQ(a.zip.find_by_id(nullptr), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileNotFound);
  EXPECT_EQ(a.zip.open_file_by_id(nullptr, false), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileOpenError);
  // ... while its own listing reads the same entries.
  std::unique_ptr<i_file> g(other->open_file(u"first.txt", false));
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(ReadAll(*g, 100), TwoEntries()[0].data);
}

TEST(ZipDirectory, FoldersAndRewindAreNotSupported) {
  Archive a(Build(TwoEntries()).bytes);
  EXPECT_EQ(a.zip.open_dir(u"first.txt"), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileNotSupported);
  EXPECT_EQ(a.zip.find_self(), nullptr);
  EXPECT_EQ(a.zip.error().Code(), kFileNotSupported);
  const char16_t* path = u"dir/first.txt";
  const char16_t* original = path;
  std::unique_ptr<i_dir> parent(a.zip.open_parent(&path));
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(path, original);
  EXPECT_TRUE(a.zip.is_ok());

  auto f = Open(a.zip, "first.txt");
  auto& sized = dynamic_cast<sized_file&>(*f);
  sized.rewind();
  EXPECT_EQ(f->error().Code(), kFileNotSupported);
}

}  // namespace
