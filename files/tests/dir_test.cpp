#include "files/dir.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "catalog_slots.h"
#include "files/control.h"
#include "files/file_error.h"

namespace {

constexpr std::uint32_t kModule = 0x20120000;

// The smallest read/write directory: it opens directories by name (failing
// when told to) and nothing else.
class StubDir : public rio_dir {
 public:
  explicit StubDir(std::u16string path) : path_(std::move(path)) {}

  bool failOpens = false;
  std::vector<std::u16string> opened;

  rio_dir* open_dir(const char16_t* path) override {
    opened.emplace_back(path);
    if (failOpens) {
      store_error(MakeFileError(kModule | 1, kModule, kFileOpenError));
      return nullptr;
    }
    clear_error();
    return new StubDir(path_ + path);
  }
  rio_dir* open_parent(const char16_t** path) override { return open_dir(*path); }
  const char16_t* path() override { return path_.c_str(); }

  void fail(std::uint32_t code) { store_error(MakeFileError(kModule | 2, kModule, code)); }

  i_file* open_file_by_id(const file_identifier*, bool) override { return nullptr; }
  i_file* open_file_at(iterator*, bool) override { return nullptr; }
  i_file* open_file(const char16_t*, bool) override { return nullptr; }
  i_dir* open_dir_by_id(const file_identifier*) override { return nullptr; }
  i_dir* open_dir_at(iterator*) override { return nullptr; }
  iterator* find_by_id(const file_identifier*) override { return nullptr; }
  iterator* find(const char16_t*) override { return nullptr; }
  iterator* list() override { return nullptr; }
  iterator* find_self() override { return nullptr; }
  int relation(i_dir*) override { return 2; }
  int compare_ids(const file_identifier*, const file_identifier*) override { return 0; }
  ro_file* open_file_write(const char16_t*, bool) override { return nullptr; }
  void delete_file(const char16_t*) override {}
  void move(const char16_t*, const char16_t*) override {}
  void create_dir(const char16_t*, const SecurityAttributesProvider*) override {}
  void remove_dir(const char16_t*) override {}
  ro_file* open_file_write_by_id(const file_identifier*, bool) override { return nullptr; }
  ro_file* open_file_write_at(iterator*, bool) override { return nullptr; }
  rio_file* open_file_rw_by_id(const file_identifier*, bool) override { return nullptr; }
  rio_file* open_file_rw_at(iterator*, bool) override { return nullptr; }
  rio_file* open_file_rw(const char16_t*, bool) override { return nullptr; }
  rio_file* create_file(const char16_t*, bool, const SecurityAttributesProvider*) override {
    return nullptr;
  }

 private:
  std::u16string path_;
};

// An identifier that cannot be copied, as when memory runs out.
class UncopyableId : public file_identifier {
 public:
  file_identifier* clone() const override { return nullptr; }
};

class DirTest : public ::testing::Test {
 protected:
  FileErrorCatalog catalog_;
  StubDir dir_{u"C:\\d\\"};
};

TEST_F(DirTest, StatusIsThatOfTheMostRecentOperation) {
  EXPECT_EQ(dir_.open_special(kObjectDocuments), nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);

  // An earlier failure neither blocks the next operation nor survives it.
  i_dir* self = dir_.open_self();
  ASSERT_NE(self, nullptr);
  EXPECT_TRUE(dir_.is_ok());
  EXPECT_EQ(std::u16string(self->path()), u"C:\\d\\.");
  delete self;

  // Unknown control codes replace the status, unlike a file's.
  dir_.fail(kFileOpenError);
  gsec_request request;
  dir_.control(&request);
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
}

TEST_F(DirTest, BaseOperationsThatReturnNothingStoreWhy) {
  // Every null result comes with a stored error, even where the status of
  // the previous operation was success.
  struct Call {
    const char* name;
    void (*run)(StubDir&);
  } const calls[] = {
      {"open_self", [](StubDir& d) { EXPECT_EQ(d.i_dir::open_self(), nullptr); }},
      {"open_special", [](StubDir& d) { EXPECT_EQ(d.open_special(kObjectComputer), nullptr); }},
      {"open_item_id_list",
       [](StubDir& d) {
         const dir_entry_pair p = d.open_item_id_list(nullptr);
         EXPECT_EQ(p.first, nullptr);
         EXPECT_EQ(p.second, nullptr);
       }},
      {"watch", [](StubDir& d) { d.watch(nullptr); }},
      {"create_hard_link", [](StubDir& d) { d.create_hard_link(u"a", u"b"); }},
      {"create_junction", [](StubDir& d) { d.create_junction(u"a", u"D:\\", 0, 0); }},
      {"set_security", [](StubDir& d) { d.set_security(u"a", nullptr); }},
      {"set_attributes", [](StubDir& d) { d.set_attributes(u"a", 0x80); }},
      {"set_mode", [](StubDir& d) { d.set_mode(u"a", 0644); }},
      {"set_owner", [](StubDir& d) { d.set_owner(u"a", 1, 1); }},
      {"create_node", [](StubDir& d) { d.create_node(u"a", 0, 1, 2, 3); }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    delete dir_.open_dir(u".");  // status NoError
    ASSERT_TRUE(dir_.is_ok());
    call.run(dir_);
    EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
  }
}

TEST_F(DirTest, SpaceAndLabelDefaults) {
  std::uint64_t total = 1, free = 2, available = 3;
  dir_.disk_space(total, free, available);
  EXPECT_EQ(total + free + available, 0u);
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);

  char16_t label[4] = {u'x', u'y', u'z', 0};
  dir_.volume_info(label, 4);
  EXPECT_EQ(label[0], u'\0');
  dir_.volume_info(nullptr, 4);  // no buffer: nothing written
  EXPECT_EQ(dir_.error().Code(), kFileNotSupported);
}

TEST_F(DirTest, FollowLinkDefaultReopensTheDirectoryWithACopyOfTheEntry) {
  the_identifier id(u"entry", nullptr, 0);
  dir_entry_pair p = dir_.follow_link(&id, 0);
  ASSERT_NE(p.first, nullptr);
  ASSERT_NE(p.second, nullptr);
  EXPECT_EQ(std::u16string(p.first->path()), u"C:\\d\\.");
  EXPECT_EQ(std::u16string(static_cast<the_identifier*>(p.second)->name()), u"entry");
  delete p.first;
  delete p.second;

  p = dir_.follow_link(nullptr, 0);
  EXPECT_NE(p.first, nullptr);
  EXPECT_EQ(p.second, nullptr);
  delete p.first;

  // The reopened directory is not leaked when the copy fails.
  UncopyableId uncopyable;
  p = dir_.follow_link(&uncopyable, 0);
  EXPECT_EQ(p.first, nullptr);
  EXPECT_EQ(p.second, nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileOutOfMemory);

  dir_.failOpens = true;
  p = dir_.follow_link(&id, 0);
  EXPECT_EQ(p.first, nullptr);
  EXPECT_EQ(p.second, nullptr);
  EXPECT_EQ(dir_.error().Code(), kFileOpenError);
}

TEST_F(DirTest, OutputViewsGoThroughTheReadWriteOpens) {
  ro_dir* out = dir_.open_dir_out(u"sub");
  ASSERT_NE(out, nullptr);
  delete out;
  const char16_t* name = u"last";
  out = dir_.open_parent_out(&name);
  ASSERT_NE(out, nullptr);
  delete out;
  EXPECT_EQ(dir_.opened, (std::vector<std::u16string>{u"sub", u"last"}));
}

TEST(DirDefaultsTest, SeparatorsAndKinds) {
  StubDir dir(u"");
  EXPECT_TRUE(dir.is_separator(u'/'));
  EXPECT_TRUE(dir.is_separator(u'\\'));
  EXPECT_FALSE(dir.is_separator(u':'));
  EXPECT_EQ(dir.separator(), u'\\');
  EXPECT_EQ(dir.object_type(), kObjectUnknown);
  EXPECT_FALSE(dir.is_system_directory());

  const std::uint32_t driveTypes[][2] = {{0, 137}, {1, 137}, {2, 130}, {3, 131},
                                         {4, 132}, {5, 133}, {6, 136}, {7, 137}};
  for (const auto& d : driveTypes) EXPECT_EQ(DriveTypeToObjectType(d[0]), d[1]) << d[0];
}

// An iterator on one entry that only knows its name and size.
class OneEntryIterator : public i_dir::iterator {
 public:
  void next() override {}
  file_identifier* id() override { return new the_identifier(u"e", nullptr, 0); }
  const char16_t* name() override { return u"e"; }
  std::uint64_t size() override { return 42; }
  std::uint32_t object_type() override { return kObjectFile; }
};

TEST(IteratorDefaultsTest, DerivedAnswersAndConstants) {
  OneEntryIterator it;
  EXPECT_EQ(std::u16string(it.display_name()), u"e");
  EXPECT_EQ(it.allocated_size(), 42u);
  EXPECT_EQ(it.short_name(), nullptr);
  EXPECT_EQ(it.attributes(), 0xFFFFFFFFu);
  EXPECT_EQ(it.mode(), 0xFFFFFFFFu);
  EXPECT_EQ(it.owner_id(), 0xFFFFFFFFu);
  EXPECT_EQ(it.group_id(), 0xFFFFFFFFu);
  EXPECT_EQ(it.link_count(), 1u);
  EXPECT_EQ(it.children_hint(), 1);
  EXPECT_EQ(it.write_time() + it.change_time() + it.creation_time() + it.access_time(), 0u);
  EXPECT_EQ(it.spare_value() + it.device_major() + it.device_minor() + it.file_index(), 0u);
  EXPECT_EQ(it.link_target(), nullptr);
  EXPECT_EQ(it.security(), nullptr);
  EXPECT_FALSE(it.is_hidden());

  // Unknown control codes keep the iterator's first error.
  FileErrorCatalog catalog;
  cmpr_request request;
  it.control(&request);
  const Common::ErrorRecord* first = it.error().Record();
  ASSERT_EQ(it.error().Code(), kFileNotSupported);
  it.control(&request);
  EXPECT_EQ(it.error().Record(), first);
}

TEST(IdentifierTest, NameAndBytesAreCopiedAndSharedByClones) {
  std::u16string name = u"X:";
  std::vector<std::uint8_t> bytes = {'X', ':', 0};
  the_identifier id(name.c_str(), bytes.data(), 3);
  name[0] = u'Y';
  bytes[0] = 'Y';
  the_identifier* copy = id.clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy->name()), u"X:");
  ASSERT_EQ(copy->byte_count(), 3u);
  EXPECT_EQ(copy->bytes(), id.bytes());
  EXPECT_EQ(copy->bytes()[0], 'X');
  delete copy;
  EXPECT_EQ(std::u16string(id.name()), u"X:");  // the blob outlives the clone

  the_identifier bytesOnly(nullptr, bytes.data(), 2);
  EXPECT_EQ(std::u16string(bytesOnly.name()), u"");
  EXPECT_EQ(bytesOnly.byte_count(), 2u);

  the_identifier noBytes(u"n", nullptr, 7);  // a count without bytes is no bytes
  EXPECT_EQ(noBytes.bytes(), nullptr);
  EXPECT_EQ(noBytes.byte_count(), 0u);
}

TEST(IdentifierTest, EmptyIdentifiersShareOneBlobThatIsNeverFreed) {
  for (int round = 0; round < 2; ++round) {
    auto* a = new the_identifier(u"", nullptr, 0);
    auto* b = new the_identifier(nullptr, nullptr, 0);
    the_identifier* c = a->clone();
    EXPECT_EQ(a->name(), b->name());
    EXPECT_EQ(c->name(), a->name());
    delete a;
    delete c;
    delete b;
  }
  the_identifier after(u"", nullptr, 0);
  EXPECT_EQ(std::u16string(after.name()), u"");
}

TEST(IdentifierTest, ClonesMayBeReleasedOnSeveralThreads) {
  the_identifier origin(u"shared", nullptr, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&origin] {
      for (int i = 0; i < 2000; ++i) delete origin.clone();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(std::u16string(origin.name()), u"shared");
}

}  // namespace
