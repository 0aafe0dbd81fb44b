#include "cleanup/run_modes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Cleanup {
namespace {

struct ModeCase {
  std::vector<const char16_t*> args;  // after the program name
  RunMode mode;
};

TEST(SelectRunMode, OnlyTheWholeFirstArgumentInItsExactCaseSelectsAMode) {
  const ModeCase cases[] = {
      {{}, RunMode::Default},
      {{u"file"}, RunMode::File},
      {{u"registry"}, RunMode::Registry},
      {{u"vdd"}, RunMode::Vdd},
      {{u"registry", u"file"}, RunMode::Registry},
      {{u"", u"file"}, RunMode::Default},
      {{u"File"}, RunMode::Default},
      {{u"FILE"}, RunMode::Default},
      {{u"-file"}, RunMode::Default},
      {{u"/registry"}, RunMode::Default},
      {{u"file "}, RunMode::Default},
      {{u" vdd"}, RunMode::Default},
      {{u"fil"}, RunMode::Default},
      {{u"registryx"}, RunMode::Default},
      {{u""}, RunMode::Default},
  };
  for (const ModeCase& c : cases) {
    std::vector<const char16_t*> argv{u"purgekit.exe"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(nullptr);
    std::string shown;
    for (const char16_t* a : c.args) {
      shown += '"';
      for (const char16_t* p = a; *p; ++p) shown += char(*p);
      shown += "\" ";
    }
    EXPECT_EQ(SelectRunMode(int(argv.size() - 1), argv.data()), c.mode) << "arguments: " << shown;
  }
}

TEST(SelectRunMode, ArgumentCountOfOneOrLessIgnoresTheVector) {
  const char16_t* argv[] = {u"purgekit.exe", u"file", nullptr};
  EXPECT_EQ(SelectRunMode(1, argv), RunMode::Default);
  EXPECT_EQ(SelectRunMode(0, nullptr), RunMode::Default);
}

// Steps that note their names and report failure.
std::vector<std::string>* journal = nullptr;
void Note(const char* step) { journal->push_back(step); }

const CleanupSteps kFailingSteps = {
    [] { Note("RemoveProductFolders"); },
    [] { Note("RemoveInstallerRegistration"); },
    [] { Note("RemoveDiskFilterDrivers"); return 1; },
    [] { Note("RunCplDisintegrate"); },
    [](bool present) { Note(present ? "SetContextMenuHandlers(present)" : "SetContextMenuHandlers(absent)"); return false; },
    [](bool registered) { Note(registered ? "SetShellExtensionRegistered(registered)" : "SetShellExtensionRegistered(unregistered)"); return false; },
    [] { Note("RemoveDriversAndServices"); return 5; },
    [] { Note("RemoveBootFolders"); return -1; },
    [] { Note("RemoveNameSpaceKey"); },
};

class RunCleanupTest : public ::testing::Test {
 protected:
  void SetUp() override { journal = &ran_; }
  void TearDown() override { journal = nullptr; }
  std::vector<std::string> ran_;
};

TEST_F(RunCleanupTest, DefaultRunTakesEveryStepInOrderAndEndsWithZeroWhenAllFail) {
  EXPECT_EQ(RunCleanup(RunMode::Default, kFailingSteps), 0);
  const std::vector<std::string> expected = {
      "RunCplDisintegrate",       "SetContextMenuHandlers(absent)",
      "SetShellExtensionRegistered(unregistered)", "RemoveDriversAndServices",
      "RemoveBootFolders",        "RemoveNameSpaceKey"};
  EXPECT_EQ(ran_, expected);
}

TEST_F(RunCleanupTest, EachModeRunsItsJobAloneAndEndsWithZero) {
  const std::pair<RunMode, const char*> cases[] = {
      {RunMode::File, "RemoveProductFolders"},
      {RunMode::Registry, "RemoveInstallerRegistration"},
      {RunMode::Vdd, "RemoveDiskFilterDrivers"},
  };
  for (const auto& [mode, step] : cases) {
    ran_.clear();
    EXPECT_EQ(RunCleanup(mode, kFailingSteps), 0) << step;
    EXPECT_EQ(ran_, std::vector<std::string>{step});
  }
}

}  // namespace
}  // namespace Cleanup
