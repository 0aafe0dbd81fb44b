// ICU's data files through the resource hook: which paths name which
// resources, which files are refused, what the record holds afterwards, and
// that ICU itself reaches the hook.
#include "files/win/icu_data_file.h"

#include <gtest/gtest.h>

#include <unicode/putil.h>
#include <unicode/udata.h>

#include <udatamem.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/resource.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A sized input stream over bytes, optionally broken from the start.
class BytesFile : public si_file {
 public:
  BytesFile(const Bytes& data, bool broken) : data_(data) {
    if (broken) store_error(MakeFileError(1, 0x2590, 0x40001));
  }
  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (has_failed()) return;
    const std::size_t left = data_.size() - position_;
    count = static_cast<std::uint32_t>(size < left ? size : left);
    if (count) std::memcpy(buffer, data_.data() + position_, count);
    position_ += count;
  }
  std::uint64_t rewind() override { return position_ = 0; }
  std::uint64_t size() override { return data_.size(); }

 private:
  Bytes data_;
  std::size_t position_ = 0;
};

std::map<std::string, Bytes> served;
bool serveBroken = false;
std::vector<std::string> askedFor;

si_file* Serve(const char* name) {
  askedFor.push_back(name);
  auto it = served.find(name);
  return it == served.end() ? nullptr : new BytesFile(it->second, serveBroken);
}

class IcuDataHook : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ResourceOpener;
    ResourceOpener = &Serve;
    served.clear();
    serveBroken = false;
    askedFor.clear();
    std::memset(&record_, 0, sizeof(record_));
    record_.length = -1;
  }
  void TearDown() override {
    UnmapIcuDataFile(&record_);
    ResourceOpener = saved_;
  }

  static Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return bytes;
  }

  UDataMemory record_;

 private:
  ResourceOpenerFunction saved_;
};

const std::string kData = U_ICUDATA_NAME;  // the linked release's data name

TEST_F(IcuDataHook, PathsMapToFlatResourceNames) {
  struct Row {
    std::string path;
    bool served;
    std::string resource;
  };
  const std::vector<Row> rows = {
      {".\\" + kData + "\\coll\\root.res", true, "coll_root.res"},
      {".\\" + kData + "\\root.res", true, "root.res"},
      {".\\" + kData + "\\brkitr\\dict\\x.dict", true, "brkitr_dict_x.dict"},
      {".\\" + kData + ".dat", true, kData + ".dat"},
      // Only the exact forms ICU builds: no bare name, no other release,
      // no other letter case, no other folder.
      {kData + ".dat", false, ""},
      {".\\" + kData, false, ""},
      {".\\" + kData + ".dat.bak", false, ""},
      {".\\icudt38l\\coll\\root.res", false, ""},
      {".\\ICUDT" + kData.substr(5) + "\\root.res", false, ""},
      {"C:\\data\\" + kData + "\\root.res", false, ""},
      {"", false, ""},
  };
  for (const Row& row : rows) {
    std::string name;
    EXPECT_EQ(IcuDataResourceName(row.path.c_str(), name), row.served) << row.path;
    if (row.served) {
      EXPECT_EQ(name, row.resource) << row.path;
    }
  }
  std::string name;
  EXPECT_FALSE(IcuDataResourceName(nullptr, name));
}

TEST_F(IcuDataHook, MapReadsTheWholeResourceIntoTheRecord) {
  served["coll_root.res"] = Pattern(24);
  ASSERT_TRUE(MapIcuDataFile(&record_, (".\\" + kData + "\\coll\\root.res").c_str()));
  EXPECT_EQ(askedFor, std::vector<std::string>{"coll_root.res"});
  ASSERT_NE(record_.map, nullptr);
  EXPECT_EQ(record_.mapAddr, record_.map);
  EXPECT_EQ(static_cast<const void*>(record_.pHeader), record_.map);
  EXPECT_EQ(record_.length, 24);
  EXPECT_EQ(Bytes(static_cast<std::uint8_t*>(record_.map),
                  static_cast<std::uint8_t*>(record_.map) + 24),
            Pattern(24));
}

TEST_F(IcuDataHook, RefusesWhatCannotBeData) {
  struct Row {
    const char* why;
    std::size_t size;  // of the served file; SIZE_MAX: none served
    bool broken;
  };
  const Row rows[] = {
      {"shorter than a data header", 23, false},
      {"empty", 0, false},
      {"missing", SIZE_MAX, false},
      {"unreadable", 64, true},
  };
  for (const Row& row : rows) {
    served.clear();
    askedFor.clear();
    serveBroken = row.broken;
    if (row.size != SIZE_MAX) served[kData + ".dat"] = Pattern(row.size);
    EXPECT_FALSE(MapIcuDataFile(&record_, (".\\" + kData + ".dat").c_str())) << row.why;
    EXPECT_EQ(askedFor, std::vector<std::string>{kData + ".dat"}) << row.why;
    // The record is left as it was.
    EXPECT_EQ(record_.map, nullptr) << row.why;
    EXPECT_EQ(record_.pHeader, nullptr) << row.why;
    EXPECT_EQ(record_.length, -1) << row.why;
  }
  // A path of no data is refused without asking for anything.
  askedFor.clear();
  EXPECT_FALSE(MapIcuDataFile(&record_, (kData + ".dat").c_str()));
  EXPECT_FALSE(MapIcuDataFile(&record_, nullptr));
  EXPECT_TRUE(askedFor.empty());
}

TEST_F(IcuDataHook, UnmapClearsTheRecord) {
  served[kData + ".dat"] = Pattern(100);
  ASSERT_TRUE(MapIcuDataFile(&record_, (".\\" + kData + ".dat").c_str()));
  UnmapIcuDataFile(&record_);
  EXPECT_EQ(record_.map, nullptr);
  EXPECT_EQ(record_.mapAddr, nullptr);
  EXPECT_EQ(record_.pHeader, nullptr);
  EXPECT_EQ(record_.length, 0);
  // A record without a block is left alone; so is no record.
  record_.length = 7;
  UnmapIcuDataFile(&record_);
  EXPECT_EQ(record_.length, 7);
  UnmapIcuDataFile(nullptr);
}

TEST_F(IcuDataHook, IcuLooksForItsDataThroughTheHook) {
  // With the data folder ".", ICU asks the platform for its common data
  // file by the path the hook serves.
  u_setDataDirectory(".");
  UErrorCode status = U_ZERO_ERROR;
  UDataMemory* data = udata_open(nullptr, "res", "purgekit_probe", &status);
  EXPECT_EQ(data, nullptr);
  EXPECT_TRUE(U_FAILURE(status));
  bool askedForCommonData = false;
  for (const std::string& name : askedFor) askedForCommonData |= name == kData + ".dat";
  EXPECT_TRUE(askedForCommonData) << "asked for " << askedFor.size() << " names";
}

}  // namespace
