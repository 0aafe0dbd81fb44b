// Moving named root entries to the first root slots: the order the tools
// list, the case the names keep without their long names, open files of
// the entries that shift, and fsck.fat finding nothing to mend.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fat_image.h"
#include "fat_session.h"
#include "files/file_error.h"

namespace {

using fattest::MkfsOptions;
using fattest::Session;

std::string Shell(const std::string& command, int* status = nullptr) {
  return DiskTest::RunCommand(command, status);
}

// The names of the files fls lists in the root, in directory order.
std::vector<std::string> RootOrder(const std::string& image) {
  std::istringstream lines(Shell("fls -f fat '" + image + "' 2>&1"));
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    const std::string name = line.substr(tab + 1);
    // Deleted entries (marked '*'), the tool's virtual entries and the
    // volume label are no files.
    if (line.substr(0, tab).find('*') != std::string::npos || name.empty() || name[0] == '$' ||
        line.find("Volume Label") != std::string::npos)
      continue;
    names.push_back(name);
  }
  return names;
}

std::uint32_t Front(Session& s, const char16_t* first, const char16_t* second) {
  filesystems::mkff_request request;
  request.first = first;
  request.second = second;
  s.Root()->control(&request);
  return s.Root()->is_ok() ? 0u : s.Root()->error().Code();
}

TEST(FatFront, NamedEntriesLeadTheRootAndTheRestKeepsItsOrder) {
  struct Case {
    MkfsOptions type;
    const char16_t* first;
    const char16_t* second;
    std::vector<std::string> order;  // as fls lists it afterwards
  };
  // fls shows an entry without a long name by its 8.3 name in the case the
  // flags give; "Mixed Case.dat" has upper case letters that upper-casing
  // leaves alone and lower case ones it changes, so both parts show lower.
  const std::vector<Case> cases = {
      {{16, 512, 4, 2, 20480, "SIXTEEN", ""}, u"zeta.bin", u"MIXEDC~1.DAT",
       {"zeta.bin", "mixedc~1.dat", "First File.txt", "KEEP.DAT", "Sub", "tail.txt"}},
      {{32, 512, 1, 2, 40960, "THIRTYTWO", ""}, u"TAIL.TXT", nullptr,
       {"tail.txt", "First File.txt", "KEEP.DAT", "Sub", "Mixed Case.dat", "zeta.bin"}},
      {{12, 512, 2, 2, 4096, "TWELVE", ""}, u"KEEP.DAT", u"keep.dat",
       {"KEEP.DAT", "First File.txt", "Sub", "Mixed Case.dat", "zeta.bin", "tail.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type.label);
    fattest::ScratchDir dir;
    const std::string image = dir.File("front.img");
    ASSERT_TRUE(fattest::MakeImage(image, c.type));
    {
      Session s(image);
      ASSERT_EQ(s.Put("First File.txt", "first"), 0u);
      ASSERT_EQ(s.Put("gone.txt", "gone"), 0u);
      ASSERT_EQ(s.Put("KEEP.DAT", "keep"), 0u);
      ASSERT_EQ(s.Mkdir("Sub"), 0u);
      ASSERT_EQ(s.Put("Sub/inner.txt", "inner"), 0u);
      ASSERT_EQ(s.Put("Mixed Case.dat", "mixed"), 0u);
      ASSERT_EQ(s.Put("zeta.bin", "zeta"), 0u);
      ASSERT_EQ(s.Put("tail.txt", "tail"), 0u);
      // A hole of deleted entries among the live ones.
      ASSERT_EQ(s.Rm("gone.txt"), 0u);
      EXPECT_EQ(Front(s, c.first, c.second), 0u);
      EXPECT_EQ(s.Close(), 0u);
    }
    const fattest::FsckReport r = fattest::Fsck(image);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(RootOrder(image), c.order);
    EXPECT_EQ(Shell("mcopy -n -i '" + image + "' ::/Sub/inner.txt - 2>&1"), "inner");
    EXPECT_EQ(Shell("mcopy -n -i '" + image + "' ::/ZETA.BIN - 2>&1"), "zeta");
    EXPECT_EQ(Shell("mcopy -n -i '" + image + "' ::/KEEP.DAT - 2>&1"), "keep");
  }
}

TEST(FatFront, RefusalsAndOpenFiles) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("front.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "OPEN", ""}));
  {
    Session s(image);
    ASSERT_EQ(s.Put("a.txt", "a"), 0u);
    ASSERT_EQ(s.Put("shifted.txt", "shifted"), 0u);
    ASSERT_EQ(s.Put("named.txt", "named"), 0u);
    ASSERT_EQ(s.Mkdir("Sub"), 0u);
    // Not an exact 8.3 name, not there, or a name only a long name holds.
    EXPECT_EQ(Front(s, u"Long Name.txt", nullptr), std::uint32_t(kFileNotFound));
    EXPECT_EQ(Front(s, u"NONE.TXT", nullptr), std::uint32_t(kFileNotFound));
    EXPECT_EQ(Front(s, u"NAMED.TXT", u"NONE.TXT"), std::uint32_t(kFileNotFound));
    EXPECT_EQ(Front(s, nullptr, nullptr), std::uint32_t(kFileNotFound));
    {
      std::unique_ptr<rio_file> held(s.Root()->open_file_rw(u"named.txt", true));
      ASSERT_TRUE(held);
      EXPECT_EQ(Front(s, u"NAMED.TXT", nullptr), std::uint32_t(kFileAccessDenied));
    }
    // An open file of an entry that shifts follows it.
    std::unique_ptr<rio_file> f(s.Root()->open_file_rw(u"shifted.txt", true));
    ASSERT_TRUE(f);
    EXPECT_EQ(Front(s, u"NAMED.TXT", nullptr), 0u);
    f->seek_set(7);
    f->write_exact(" and written", 12);
    EXPECT_TRUE(f->is_ok());
    f.reset();
    EXPECT_EQ(s.Close(), 0u);
  }
  const fattest::FsckReport r = fattest::Fsck(image);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(RootOrder(image),
            (std::vector<std::string>{"named.txt", "a.txt", "shifted.txt", "Sub"}));
  EXPECT_EQ(Shell("mcopy -n -i '" + image + "' ::/shifted.txt - 2>&1"), "shifted and written");
}

}  // namespace

#endif
