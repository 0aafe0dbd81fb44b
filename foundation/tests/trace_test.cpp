// The trace dispatcher.
#include "foundation/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error.h"

namespace {

struct Call {
  std::string what;  // "default-text", "default-ext", "default-error", "sinkN-..."
  int level = 0;
  int category = 0;
  int code = 0;
  std::u16string text;
  int value1 = 0;
  int value2 = 0;
};

std::vector<Call>& Calls() {
  static std::vector<Call> calls;
  return calls;
}

void Observe(int which, int level) {
  static const char* const names[] = {"default-text", "default-ext", "default-error"};
  Call call;
  call.what = names[which];
  call.level = level;
  Calls().push_back(call);
}

// Clears the record of calls, observes the default sink and removes every
// sink the test registered.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Calls().clear();
    TraceTesting::SetDefaultSinkObserver(Observe);
  }
  void TearDown() override {
    for (TraceSinkId id : ids_) UnregisterTraceSink(id);
    TraceTesting::SetDefaultSinkObserver(nullptr);
    TraceDisabled = false;
  }
  TraceSinkId Add(const std::string& name, bool text, bool extended, bool error) {
    TraceSink sink;
    if (text) {
      sink.text = [name](int level, int category, int code, const char16_t* t) {
        Calls().push_back({name + "-text", level, category, code, t, 0, 0});
      };
    }
    if (extended) {
      sink.extended = [name](int level, int category, int code, const char16_t* t, int v1,
                             int v2) {
        Calls().push_back({name + "-ext", level, category, code, t, v1, v2});
      };
    }
    if (error) {
      sink.error = [name](int level, const Common::Error& e) {
        Calls().push_back({name + "-error", level, 0, static_cast<int>(Common::GetErrorCode(e)),
                           Common::Describe(e), 0, 0});
      };
    }
    TraceSinkId id = RegisterTraceSink(sink);
    ids_.push_back(id);
    return id;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const Call& c : Calls()) names.push_back(c.what);
    return names;
  }
  std::vector<TraceSinkId> ids_;
};

using List = std::vector<std::string>;

}  // namespace

TEST_F(TraceTest, ThresholdIsTwo) { EXPECT_EQ(TraceThreshold, 2); }

TEST_F(TraceTest, LevelOneCallsNoCallbackAtAll) {
  Add("sink1", true, true, true);
  Trace(1, 0, 0, u"dropped");
  TraceEx(1, 0, 0, u"dropped", 1, 2);
  TraceNarrow(1, 0, 0, "dropped");
  TraceExNarrow(1, 0, 0, "dropped", 1, 2);
  Trace(0, 0, 0, u"dropped");
  Trace(-5, 0, 0, u"dropped");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TraceTest, TraceErrorAtLevelOneDoesNothing) {
  Add("sink1", true, false, false);
  Add("sink2", true, true, true);
  Common::Error e(0x01FF0001, 0x01FF, 0x141771, u"text");
  TraceError(1, e);
  TraceError(1, Common::NoError);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TraceTest, TraceExWithNoRegisteredSinkCallsOnlyTheDefaultExtended) {
  TraceEx(4, 30, 7, u"Error while working mbr driver", 1, 2);
  EXPECT_EQ(Names(), List({"default-ext"}));
  EXPECT_EQ(Calls()[0].level, 4);
}

TEST_F(TraceTest, DefaultSinkFirstThenRegisteredSinksInOrder) {
  Add("sink1", true, false, false);
  Add("sink2", true, false, false);
  Trace(2, 16, 3, u"line");
  EXPECT_EQ(Names(), List({"default-text", "sink1-text", "sink2-text"}));
  EXPECT_EQ(Calls()[1].category, 16);
  EXPECT_EQ(Calls()[1].code, 3);
  EXPECT_EQ(Calls()[1].text, u"line");
  EXPECT_EQ(Calls()[2].level, 2);
}

TEST_F(TraceTest, TraceExFallsBackToTheTextCallback) {
  Add("sink1", true, false, false);
  Add("sink2", true, true, false);
  Add("sink3", false, false, true);  // neither: skipped
  TraceEx(3, 1, 2, u"ext", 10, 20);
  EXPECT_EQ(Names(), List({"default-ext", "sink1-text", "sink2-ext"}));
  EXPECT_EQ(Calls()[2].value1, 10);
  EXPECT_EQ(Calls()[2].value2, 20);
}

TEST_F(TraceTest, TextOnlySinkReceivesErrorsAsFacilityCodeAndText) {
  Add("sink1", true, false, false);
  Common::Error e(0x01FF0002, 0x01FF, 0x141771, u"Privilege not held.");
  TraceError(2, e);
  ASSERT_EQ(Names(), List({"default-error", "sink1-text"}));
  EXPECT_EQ(Calls()[1].level, 2);
  EXPECT_EQ(Calls()[1].category, 0x14);
  EXPECT_EQ(Calls()[1].code, 0x1771);
  EXPECT_EQ(Calls()[1].text, u"Privilege not held.");
}

TEST_F(TraceTest, ErrorSinkReceivesTheErrorItself) {
  Add("sink1", true, false, true);
  Common::Error e(0x01FF0003, 0x01FF, 0x40002, "end of file");
  TraceError(5, e);
  ASSERT_EQ(Names(), List({"default-error", "sink1-error"}));
  EXPECT_EQ(Calls()[1].code, 0x40002);
  EXPECT_EQ(Calls()[1].text, u"end of file");
}

TEST_F(TraceTest, NullErrorReachesTextSinksAsEmptyText) {
  Add("sink1", true, false, false);
  TraceError(2, Common::NoError);
  ASSERT_EQ(Names(), List({"default-error", "sink1-text"}));
  EXPECT_EQ(Calls()[1].category, 0);
  EXPECT_EQ(Calls()[1].code, 0);
  EXPECT_EQ(Calls()[1].text, u"");
}

TEST_F(TraceTest, DisabledSkipsOnlyTheDefaultSink) {
  Add("sink1", true, false, false);
  TraceDisabled = true;
  Trace(2, 0, 0, u"x");
  Common::Error e(0x01FF0004, 0x01FF, 0x40001);
  TraceError(2, e);
  EXPECT_EQ(Names(), List({"sink1-text", "sink1-text"}));
}

TEST_F(TraceTest, NarrowTextsAreWidenedBytewise) {
  Add("sink1", true, true, false);
  TraceNarrow(2, 0, 1, "caf\xE9");
  TraceExNarrow(2, 0, 1, "\xFF", 3, 4);
  ASSERT_EQ(Names(), List({"default-text", "sink1-text", "default-ext", "sink1-ext"}));
  EXPECT_EQ(Calls()[1].text, std::u16string(u"caf\u00e9"));
  EXPECT_EQ(Calls()[3].text, std::u16string(1, char16_t{0xFF}));
  EXPECT_EQ(Calls()[3].value1, 3);
}

TEST_F(TraceTest, NullTextsReachSinksAsEmpty) {
  Add("sink1", true, true, false);
  Trace(2, 0, 0, nullptr);
  TraceEx(2, 0, 0, nullptr, 0, 0);
  TraceNarrow(2, 0, 0, nullptr);
  TraceExNarrow(2, 0, 0, nullptr, 0, 0);
  ASSERT_EQ(Calls().size(), 8u);
  for (const Call& c : Calls()) EXPECT_EQ(c.text, u"");
}

TEST_F(TraceTest, UnregisteredSinksNoLongerReceive) {
  TraceSinkId first = Add("sink1", true, false, false);
  Add("sink2", true, false, false);
  EXPECT_NE(first, 0u);
  EXPECT_TRUE(UnregisterTraceSink(first));
  EXPECT_FALSE(UnregisterTraceSink(first));
  EXPECT_FALSE(UnregisterTraceSink(0));
  Trace(2, 0, 0, u"x");
  EXPECT_EQ(Names(), List({"default-text", "sink2-text"}));
}

TEST_F(TraceTest, DefaultErrorSinkWritesNothing) {
  TraceTesting::SetDefaultSinkObserver(nullptr);
  Common::Error e(0x01FF0005, 0x01FF, 0x141772, u"x");
  DefaultErrorTraceSink(2, e);
  DefaultErrorTraceSink(2, Common::NoError);
  TraceError(2, e);
  EXPECT_TRUE(Calls().empty());
}
