// Long names against mtools and sleuthkit: the entries mcopy writes equal
// the layout built here, and entries laid out here read back through mdir
// and fls with fsck.fat finding nothing wrong.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fat_image.h"
#include "filesystems/fat_names.h"
#include "foundation/byteorder.h"

namespace {

using namespace filesystems::fatname;

struct NameCase {
  std::u16string wide;
  std::string utf8;
};

std::vector<NameCase> Names() {
  return {
      {u"\u00DCbergr\u00F6\u00DFe \u00F1.txt", "\xC3\x9C" "bergr\xC3\xB6\xC3\x9F" "e \xC3\xB1.txt"},
      {u"thirteen.unit", "thirteen.unit"},
      {u"fourteen.units", "fourteen.units"},
      {u"My Document.docx", "My Document.docx"},
      {u"x.tar.gz", "x.tar.gz"},
      {std::u16string(255, u'a'), std::string(255, 'a')},
  };
}

// Root entries of a fresh FAT16 image (512 root entries, 32 sectors).
struct RootArea {
  explicit RootArea(const std::string& image) : image(image) {
    const fattest::FsckReport fsck = fattest::Fsck(image);
    offset = (fsck.dataSector - 32) * 512;
  }
  std::vector<std::uint8_t> Read() const { return fattest::ReadBytes(image, offset, 32 * 512); }
  std::string image;
  std::uint64_t offset = 0;
};

TEST(FatNamesTools, McopyWritesTheSameLongNameEntries) {
  fattest::ScratchDir dir;
  DiskTest::RunCommand("touch '" + dir.File("empty") + "'");
  for (const NameCase& name : Names()) {
    SCOPED_TRACE(name.utf8);
    const std::string image = dir.File("m.img");
    ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 1, 2, 8000, "NAMES", ""}));
    int status = 0;
    DiskTest::RunCommand("mcopy -i '" + image + "' '" + dir.File("empty") + "' '::" + name.utf8 +
                             "'",
                         &status);
    ASSERT_EQ(status, 0);
    const auto root = RootArea(image).Read();
    // Skip the label entry; then the long-name entries and their 8.3 entry.
    std::size_t at = 0;
    while (root[at + 11] == 0x08) at += 32;
    std::size_t shortAt = at;
    while (root[shortAt + 11] == kLongNameAttribute) shortAt += 32;
    const auto expected = LayOutLongName(name.wide, LfnChecksum(root.data() + shortAt));
    ASSERT_EQ((shortAt - at) / 32, expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
      EXPECT_EQ(std::memcmp(root.data() + at + 32 * i, expected[i].data(), 32), 0) << "entry " << i;
  }
}

TEST(FatNamesTools, LaidOutNamesReadBackThroughTheTools) {
  fattest::ScratchDir dir;
  for (const NameCase& name : Names()) {
    SCOPED_TRACE(name.utf8);
    const std::string image = dir.File("w.img");
    ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 1, 2, 8000, "NAMES", ""}));
    RootArea root(image);
    ShortNameBasis basis;
    MakeShortNameBasis(basis, name.wide);
    EXPECT_TRUE(basis.needsLongName);
    std::vector<std::uint8_t> bytes;
    for (const Entry& e : LayOutLongName(name.wide, LfnChecksum(basis.name)))
      bytes.insert(bytes.end(), e.begin(), e.end());
    std::uint8_t shortEntry[32] = {};
    std::memcpy(shortEntry, basis.name, 11);
    shortEntry[11] = 0x20;
    Common::StoreLe16(shortEntry + 24, 0x21);  // 1980-01-01
    bytes.insert(bytes.end(), shortEntry, shortEntry + 32);
    // After the label entry mkfs.fat wrote.
    fattest::WriteBytes(image, root.offset + 32, bytes);

    const fattest::FsckReport fsck = fattest::Fsck(image);
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    const std::string listing = DiskTest::RunCommand("fls '" + image + "'");
    // fls cuts names short of 255 characters; what it shows must match.
    const std::string shown =
        name.utf8.size() > 200 ? name.utf8.substr(0, 200) : name.utf8 + "\n";
    EXPECT_NE(listing.find("\t" + shown), std::string::npos) << listing;
    const std::string mdir = DiskTest::RunCommand("mdir -a -i '" + image + "' ::");
    EXPECT_NE(mdir.find(name.utf8), std::string::npos) << mdir;
  }
}

}  // namespace

#endif
