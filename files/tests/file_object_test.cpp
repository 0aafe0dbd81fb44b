#include "files/file_object.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "catalog_slots.h"
#include "files/control.h"
#include "files/file_error.h"

namespace {

constexpr std::uint32_t kModule = 0x20110000;

// A read/write file in memory that keeps to the first-error rule and can be
// told to fail its next read or its seeks.
class MemoryFile : public rio_file {
 public:
  explicit MemoryFile(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

  bool failNextRead = false;
  bool failSeeks = false;
  int reads = 0;
  int writes = 0;

  void read(void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    ++reads;
    if (failNextRead) {
      failNextRead = false;
      store_error(MakeFileError(kModule | 1, kModule, kFileReadError));
      return;
    }
    const std::uint64_t left = position_ < data_.size() ? data_.size() - position_ : 0;
    count = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, left));
    if (count) std::memcpy(buffer, data_.data() + position_, count);
    position_ += count;
  }

  void write(const void* buffer, std::uint32_t size, std::uint32_t& count) override {
    count = 0;
    if (!is_ok()) return;
    ++writes;
    if (position_ + size > data_.size()) data_.resize(position_ + size);
    std::memcpy(data_.data() + position_, buffer, size);
    position_ += size;
    count = size;
  }

  void set_size(std::uint64_t size) override {
    if (!is_ok()) return;
    data_.resize(size);
  }

  std::uint64_t seek_set(std::int64_t distance) override { return seek_to(distance); }
  std::uint64_t seek_cur(std::int64_t distance) override {
    return seek_to(static_cast<std::int64_t>(position_) + distance);
  }
  std::uint64_t seek_end(std::int64_t distance) override {
    return seek_to(static_cast<std::int64_t>(data_.size()) + distance);
  }

  const std::vector<std::uint8_t>& data() const { return data_; }

 private:
  std::uint64_t seek_to(std::int64_t target) {
    if (failSeeks || target < 0) {
      store_error(MakeFileError(kModule | 2, kModule, kFileSeekError));
      return 0;
    }
    position_ = static_cast<std::uint64_t>(target);
    return position_;
  }

  std::vector<std::uint8_t> data_;
  std::uint64_t position_ = 0;
};

// A file whose read reports more bytes than it was asked for.
class OverreportingFile : public si_file {
 public:
  void read(void* /*buffer*/, std::uint32_t size, std::uint32_t& count) override {
    count = size + 1;
  }
  std::uint64_t rewind() override { return 0; }
  std::uint64_t size() override { return 0; }
};

class FileObjectTest : public ::testing::Test {
 protected:
  FileErrorCatalog catalog_;
  MemoryFile file_{{1, 2, 3, 4, 5, 6}};
};

TEST_F(FileObjectTest, ShortExactReadStoresEndOfFileAndLaterReadsDoNothing) {
  std::uint8_t buffer[10] = {};
  file_.seek_set(2);
  file_.read_exact(buffer, 10);
  EXPECT_EQ(file_.error().Code(), kFileEndOfFile);
  EXPECT_EQ(Common::Describe(file_.error()), u"The end of the file has been reached.");

  file_.seek_set(0);  // positioning still runs and keeps the error
  EXPECT_EQ(file_.error().Code(), kFileEndOfFile);
  std::uint32_t count = 99;
  file_.read(buffer, 4, count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(file_.reads, 1);
  file_.write(buffer, 4, count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(file_.writes, 0);
}

TEST_F(FileObjectTest, ExactTransfersOfTheWholeSizeSucceed) {
  std::uint8_t buffer[6] = {};
  file_.read_exact(buffer, 6);
  EXPECT_TRUE(file_.is_ok());
  EXPECT_EQ(buffer[5], 6);
  const std::uint8_t more[2] = {7, 8};
  file_.write_exact(more, 2);
  EXPECT_TRUE(file_.is_ok());
  EXPECT_EQ(file_.data().size(), 8u);
}

TEST_F(FileObjectTest, ReadReportingMoreThanAskedIsAnError) {
  OverreportingFile file;
  std::uint8_t buffer[4];
  file.read_exact(buffer, 4);
  EXPECT_EQ(file.error().Code(), kFileEndOfFile);
}

TEST_F(FileObjectTest, FailedFileStillAnswersPositionAndFailingSeekReplacesTheError) {
  std::uint8_t buffer[2];
  file_.seek_set(3);
  file_.failNextRead = true;
  std::uint32_t count = 0;
  file_.read(buffer, 2, count);
  ASSERT_EQ(file_.error().Code(), kFileReadError);

  EXPECT_EQ(file_.seek_cur(0), 3u);
  EXPECT_EQ(file_.size(), 6u);       // through seeks, which still run
  EXPECT_EQ(file_.seek_cur(0), 3u);  // and size() put the position back
  EXPECT_EQ(file_.rewind(), 0u);
  EXPECT_EQ(file_.error().Code(), kFileReadError);

  file_.failSeeks = true;
  EXPECT_EQ(file_.seek_set(1), 0u);
  EXPECT_EQ(file_.error().Code(), kFileSeekError);
}

TEST_F(FileObjectTest, DefaultsAreNotSupportedAndKeepTheFirstError) {
  file_.unlock(0, 1);
  EXPECT_EQ(file_.error().Code(), kFileNotSupported);
  EXPECT_EQ(Common::Describe(file_.error()), u"The operation is not supported.");

  // Once an error is stored, defaults and control requests leave it alone.
  file_.failSeeks = true;
  file_.seek_set(0);
  ASSERT_EQ(file_.error().Code(), kFileSeekError);
  const Common::ErrorRecord* first = file_.error().Record();
  file_.lock_shared(0, 1, false);
  file_.lock_exclusive(0, 1, true);
  file_.unlock(0, 1);
  cmpr_request request;
  file_.control(&request);
  file_.flush();
  EXPECT_EQ(file_.error().Record(), first);

  // take_error hands the error over and leaves the file usable.
  const Common::Error taken = file_.take_error();
  EXPECT_EQ(taken.Code(), kFileSeekError);
  EXPECT_TRUE(file_.is_ok());
  EXPECT_FALSE(file_.has_failed());
  file_.control(&request);
  EXPECT_EQ(file_.error().Code(), kFileNotSupported);
}

TEST(ControlRequestTest, CodesAreFourLettersInMemoryOrder) {
  const struct {
    std::uint32_t code;
    const char* letters;
  } codes[] = {
      {kControlGSEC, "GSEC"}, {kControlWIOC, "WIOC"}, {kControlSPHI, "SPHI"},
      {kControlALCM, "ALCM"}, {kControlSFTM, "SFTM"}, {kControlCMPR, "CMPR"},
      {kControlSDAT, "SDAT"}, {kControlSPWD, "SPWD"}, {kControlGSYP, "GSYP"},
      {kControlNCDR, "NCDR"}, {kControlSTME, "STME"}, {kControlSSFN, "SSFN"},
      {kControlPDRN, "PDRN"}, {kControlBKUP, "BKUP"}, {kControlRSTR, "RSTR"},
      {kControlSRSQ, "SRSQ"}, {kControlGRSQ, "GRSQ"}, {kControlCRPT, "CRPT"},
      {kControlGFST, "GFST"}, {kControlGPHL, "GPHL"}, {kControlDMNT, "DMNT"},
      {kControlMKFF, "MKFF"}, {kControlSYPR, "SYPR"}, {kControlDFRG, "DFRG"},
      {kControlIBSI, "IBSI"},
  };
  for (const auto& c : codes) {
    char bytes[4];
    std::memcpy(bytes, &c.code, 4);
    EXPECT_EQ(std::string(bytes, 4), c.letters);
  }
  EXPECT_EQ(kControlBKUP, 0x50554B42u);
}

}  // namespace
