// Error values: the handle, builders, release, causes, status
// errors and out-of-memory behaviour.
#include "common/error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "error_test_support.h"
#include "foundation/message_table.h"

using namespace Common;
using error_test::CountingHooks;
using error_test::FakeCatalog;

namespace {

constexpr std::uint32_t kLoc = 0x01F00001;
constexpr std::uint32_t kMod = 0x01F0;

std::int32_t Count(const ErrorRecord* record) {
  return __atomic_load_n(&record->referenceCount, __ATOMIC_ACQUIRE);
}

// A subsystem's error class: derives, adds no data.
class DerivedError : public Common::Error {
 public:
  using Common::Error::Error;
  DerivedError() = default;
};

}  // namespace

// ---------------------------------------------------------------------------
// Null handle and value semantics

TEST(ErrorValue, CodeZeroGivesNullWhateverTheText) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0);
  Error b(kLoc, kMod, 0, "narrow");
  Error c(kLoc, kMod, 0, u"wide");
  EXPECT_TRUE(a.IsNull());
  EXPECT_TRUE(b.IsNull());
  EXPECT_TRUE(c.IsNull());
  EXPECT_EQ(GetErrorCode(a), 0u);
  EXPECT_EQ(hooks.allocations(), 0);
  a.Reset();
  ReleaseErrorChain(nullptr);
  EXPECT_EQ(hooks.frees(), 0);
  EXPECT_TRUE(NoError.IsNull());
  EXPECT_EQ(GetErrorCode(NoError), 0u);
  EXPECT_TRUE(GetErrorCause(NoError).IsNull());
}

TEST(ErrorValue, ConstructorTakesOneReferenceOnARecordOfItsKind) {
  Error e(kLoc, kMod, 0x40001);
  ASSERT_NE(e.Record(), nullptr);
  EXPECT_EQ(Count(e.Record()), 1);
  EXPECT_EQ(e.Record()->kind, &PlainErrorKind);
  EXPECT_EQ(e.Record()->code, 0x40001u);
  EXPECT_EQ(e.Record()->locationId, kLoc);
  EXPECT_EQ(e.Record()->moduleId, kMod);
  EXPECT_EQ(e.Record()->size, kErrorRecordHeaderSize);
  EXPECT_EQ(e.Record()->text, 0u);
  EXPECT_EQ(e.Record()->cause, nullptr);
  EXPECT_EQ(GetErrorCode(e), 0x40001u);
}

TEST(ErrorValue, BuildersReturnCountZeroRecords) {
  CountingHooks hooks;
  ErrorRecord* r = NewErrorRecordWide(kLoc, kMod, 7, u"x");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(Count(r), 0);
  EXPECT_EQ(NewErrorRecord(kLoc, kMod, 0), nullptr);
  EXPECT_EQ(NewErrorRecordNarrow(kLoc, kMod, 0, "x"), nullptr);
  EXPECT_EQ(NewErrorRecordWide(kLoc, kMod, 0, u"x"), nullptr);
  Error e = Error::FromRecord(r);
  EXPECT_EQ(Count(r), 1);
  e.Reset();
  EXPECT_EQ(hooks.frees(), 1);
}

TEST(ErrorValue, CopyAddsAReferenceAndDestructionReleasesIt) {
  CountingHooks hooks;
  {
    Error a(kLoc, kMod, 0x40002, u"text");
    {
      Error b = a;
      EXPECT_EQ(b.Record(), a.Record());
      EXPECT_EQ(Count(a.Record()), 2);
      Error c;
      c = b;
      EXPECT_EQ(Count(a.Record()), 3);
    }
    EXPECT_EQ(Count(a.Record()), 1);
    EXPECT_EQ(hooks.frees(), 0);
  }
  EXPECT_EQ(hooks.frees(), 1);
}

TEST(ErrorValue, SelfAssignmentIsSafe) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x40003, "self");
  Error& alias = a;
  a = alias;
  EXPECT_EQ(Count(a.Record()), 1);
  EXPECT_EQ(Describe(a), u"self");
  a = std::move(alias);
  EXPECT_FALSE(a.IsNull());
  EXPECT_EQ(Count(a.Record()), 1);
  a.Reset();
  EXPECT_EQ(hooks.frees(), 1);
}

TEST(ErrorValue, AssignmentReleasesTheOldChain) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x40004);
  AttachWin32Cause(a, 5);
  Error b(kLoc, kMod, 0x40005);
  a = b;
  EXPECT_EQ(hooks.frees(), 2);  // the old head and its cause
  EXPECT_EQ(a.Record(), b.Record());
}

TEST(ErrorValue, MoveLeavesTheSourceNull) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x40006);
  ErrorRecord* r = a.Record();
  Error b(std::move(a));
  EXPECT_TRUE(a.IsNull());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(b.Record(), r);
  EXPECT_EQ(Count(r), 1);
  Error c;
  c = std::move(b);
  EXPECT_EQ(c.Record(), r);
  EXPECT_EQ(Count(r), 1);
  EXPECT_EQ(hooks.frees(), 0);
}

TEST(ErrorValue, GetErrorCauseAddsAReference) {
  Error e(kLoc, kMod, 0x40007);
  AttachWin32Cause(e, 5);
  Error cause = GetErrorCause(e);
  ASSERT_FALSE(cause.IsNull());
  EXPECT_EQ(cause.Record(), e.Record()->cause);
  EXPECT_EQ(Count(cause.Record()), 2);
  EXPECT_EQ(GetErrorCode(cause), kSystemCodeErrorCode);
  EXPECT_TRUE(GetErrorCause(cause).IsNull());
}

TEST(ErrorValue, DerivedClassWithoutDataCopiesThrowsAndCatchesByBase) {
  CountingHooks hooks;
  {
    DerivedError d(kLoc, kMod, 0x100401, u"The code is not implemented.");
    static_assert(sizeof(DerivedError) == sizeof(Error), "no data added");
    DerivedError copy = d;
    EXPECT_EQ(Count(d.Record()), 2);
    bool caught = false;
    try {
      throw copy;
    } catch (const Common::Error& e) {
      caught = true;
      EXPECT_EQ(GetErrorCode(e), 0x100401u);
      EXPECT_EQ(Describe(e), u"The code is not implemented.");
      EXPECT_EQ(e.Record(), d.Record());
    }
    EXPECT_TRUE(caught);
    try {
      throw DerivedError(d);
    } catch (const DerivedError& e) {
      EXPECT_EQ(e.Record(), d.Record());
    }
    EXPECT_EQ(Count(d.Record()), 2);
    DerivedError empty;
    EXPECT_TRUE(empty.IsNull());
  }
  EXPECT_EQ(hooks.frees(), 1);
}

TEST(ErrorValue, EightThreadsCopyingAndReleasingFreeTheRecordOnce) {
  CountingHooks hooks;
  {
    Error shared(kLoc, kMod, 0x40008, u"shared by eight threads");
    AttachWin32Cause(shared, 5);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&shared, &go] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 20000; ++i) {
          Error copy = shared;
          Error other;
          other = copy;
          Error cause = GetErrorCause(other);
          if (GetErrorCode(cause) != kSystemCodeErrorCode) std::abort();
        }
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(Count(shared.Record()), 1);
    EXPECT_EQ(Count(shared.Record()->cause), 1);
    EXPECT_EQ(hooks.frees(), 0);
  }
  EXPECT_EQ(hooks.frees(), 2);  // the head and its cause, each exactly once
}

TEST(ErrorValue, LastHolderOnAnotherThreadFreesTheRecordOnce) {
  CountingHooks hooks;
  for (int round = 0; round < 200; ++round) {
    std::vector<Error> copies;
    {
      Error e(kLoc, kMod, 0x40009, "round");
      for (int t = 0; t < 8; ++t) copies.push_back(e);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&copies, t] { copies[t].Reset(); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(hooks.frees(), round + 1);
  }
}

// ---------------------------------------------------------------------------
// Release

TEST(ErrorRelease, ChainOfOneHundredThousandCausesIsReleasedIteratively) {
  static std::atomic<long> frees{0};
  static std::atomic<std::uintptr_t> lowest{~std::uintptr_t{0}};
  static std::atomic<std::uintptr_t> highest{0};
  struct Hook {
    static void Free(void* block) {
      std::uintptr_t frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
      std::uintptr_t seen = lowest.load();
      while (frame < seen && !lowest.compare_exchange_weak(seen, frame)) {
      }
      seen = highest.load();
      while (frame > seen && !highest.compare_exchange_weak(seen, frame)) {
      }
      frees.fetch_add(1);
      std::free(block);
    }
  };
  SetErrorAllocationHooks(nullptr, Hook::Free);
  constexpr long kDepth = 100000;
  {
    Error chain;
    for (long i = 0; i < kDepth; ++i) {
      Error head(kLoc, kMod, 0x40000u + static_cast<std::uint32_t>(i % 0xFFFF) + 1);
      AttachErrorCause(head, chain);
      chain = head;
    }
    // Every record is held by exactly one owner: its parent or the handle.
    long length = 0;
    for (ErrorRecord* r = chain.Record(); r != nullptr; r = r->cause) {
      ASSERT_EQ(Count(r), 1);
      ++length;
    }
    EXPECT_EQ(length, kDepth);
    EXPECT_EQ(frees.load(), 0);
  }
  SetErrorAllocationHooks(nullptr, nullptr);
  EXPECT_EQ(frees.load(), kDepth);
  // All records were freed from the same stack depth: no recursion.
  EXPECT_EQ(lowest.load(), highest.load());
}

TEST(ErrorRelease, ReleasingAHeadStopsAtASharedCause) {
  CountingHooks hooks;
  Error cause(kLoc, kMod, 0x4000A);
  {
    Error head(kLoc, kMod, 0x4000B);
    AttachErrorCause(head, cause);
    EXPECT_EQ(Count(cause.Record()), 2);
  }
  EXPECT_EQ(hooks.frees(), 1);
  EXPECT_EQ(Count(cause.Record()), 1);
}

// ---------------------------------------------------------------------------
// Causes

TEST(ErrorCause, Win32RuleStoresZeroAndNegativeValuesUnchanged) {
  EXPECT_EQ(Win32ToHresult(0), 0u);
  EXPECT_EQ(Win32ToHresult(5), 0x80070005u);
  EXPECT_EQ(Win32ToHresult(0x12345), 0x80072345u);
  EXPECT_EQ(Win32ToHresult(0x7FFFFFFF), 0x8007FFFFu);
  EXPECT_EQ(Win32ToHresult(0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(Win32ToHresult(0x80004005), 0x80004005u);
  EXPECT_EQ(Win32ToHresult(0x80000000), 0x80000000u);

  struct Case {
    std::uint32_t win32;
    std::uint32_t stored;
  } cases[] = {{5, 0x80070005}, {0, 0}, {0xFFFFFFFF, 0xFFFFFFFF}, {0x80070002, 0x80070002},
               {0x10005, 0x80070005}};
  for (const Case& c : cases) {
    Error e;
    AttachWin32Cause(e, c.win32);
    ASSERT_FALSE(e.IsNull());
    EXPECT_EQ(e.Record()->kind, &SystemCodeErrorKind);
    EXPECT_EQ(GetErrorCode(e), kSystemCodeErrorCode);
    EXPECT_EQ(e.Record()->size, c.stored);
    EXPECT_EQ(GetNumberField(e, "code"), c.stored);
    EXPECT_EQ(e.Record()->moduleId, kErrorModuleId);
    EXPECT_EQ(Count(e.Record()), 1);
  }
}

TEST(ErrorCause, HresultAndNtStatusCauses) {
  Error a(kLoc, kMod, 0x4000C);
  AttachHresultCause(a, 0x80004005);
  EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80004005u);
  Error b(kLoc, kMod, 0x4000D);
  AttachNtStatusCause(b, 0xC0000022);
  EXPECT_EQ(GetNumberField(GetErrorCause(b), "code"), 0xD0000022u);
  Error c;
  AttachHresultCause(c, 0);
  EXPECT_EQ(GetErrorCode(c), kSystemCodeErrorCode);
  EXPECT_EQ(GetNumberField(c, "code"), 0u);
  EXPECT_EQ(Count(a.Record()->cause), 1);
}

TEST(ErrorCause, AttachingToASharedErrorCopiesItFirst) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x4000E, u"shared text");
  Error b = a;
  ErrorRecord* original = a.Record();
  AttachWin32Cause(a, 5);
  EXPECT_EQ(b.Record(), original);
  EXPECT_EQ(b.Record()->cause, nullptr);
  EXPECT_EQ(Count(original), 1);
  ASSERT_NE(a.Record(), original);
  EXPECT_EQ(Count(a.Record()), 1);
  EXPECT_EQ(GetErrorCode(a), 0x4000Eu);
  EXPECT_EQ(a.Record()->locationId, kLoc);
  EXPECT_EQ(Describe(a), u"shared text");
  EXPECT_EQ(Describe(b), u"shared text");
  // The clone's inline text lies in the clone.
  const void* text = DecodeErrorText(a.Record(), a.Record()->text);
  EXPECT_GE(static_cast<const void*>(text), static_cast<const void*>(a.Record()));
  EXPECT_LT(static_cast<const unsigned char*>(text),
            reinterpret_cast<const unsigned char*>(a.Record()) + a.Record()->size);
  EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80070005u);
}

TEST(ErrorCause, CopyOnWriteKeepsTheOldCauseSharedWithTheOtherHolder) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x4000F);
  AttachWin32Cause(a, 2);
  ErrorRecord* firstCause = a.Record()->cause;
  Error b = a;
  AttachWin32Cause(a, 3);
  EXPECT_EQ(b.Record()->cause, firstCause);
  EXPECT_EQ(Count(firstCause), 1);
  EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80070003u);
  EXPECT_EQ(hooks.frees(), 0);
  b.Reset();
  EXPECT_EQ(hooks.frees(), 2);  // b's head and the first cause
}

TEST(ErrorCause, SecondCauseOnASoleHeldErrorReplacesTheFirst) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x40010);
  ErrorRecord* head = a.Record();
  AttachWin32Cause(a, 5);
  EXPECT_EQ(a.Record(), head);
  EXPECT_EQ(hooks.frees(), 0);
  AttachWin32Cause(a, 6);
  EXPECT_EQ(a.Record(), head);  // changed in place
  EXPECT_EQ(hooks.frees(), 1);  // the first cause
  EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80070006u);
  EXPECT_EQ(a.Record()->cause->cause, nullptr);
}

TEST(ErrorCause, AttachingANullCauseOrToANullError) {
  CountingHooks hooks;
  Error empty;
  AttachErrorCause(empty, NoError);
  EXPECT_TRUE(empty.IsNull());

  Error cause(kLoc, kMod, 0x40011);
  Error target;
  AttachErrorCause(target, cause);
  EXPECT_EQ(target.Record(), cause.Record());  // the cause becomes the error
  EXPECT_EQ(Count(cause.Record()), 2);

  Error a(kLoc, kMod, 0x40012);
  AttachWin32Cause(a, 5);
  AttachErrorCause(a, NoError);  // sole holder: the cause is cleared
  EXPECT_EQ(a.Record()->cause, nullptr);
  EXPECT_EQ(hooks.frees(), 1);
}

TEST(ErrorCause, AttachingAnErrorToItselfMakesNoCycle) {
  CountingHooks hooks;
  {
    Error a(kLoc, kMod, 0x40013);
    ErrorRecord* original = a.Record();
    AttachErrorCause(a, a);
    ASSERT_NE(a.Record(), original);
    EXPECT_EQ(a.Record()->cause, original);
    EXPECT_EQ(original->cause, nullptr);
    EXPECT_EQ(Count(original), 1);
  }
  EXPECT_EQ(hooks.frees(), 2);
}

TEST(ErrorCause, CloningASharedSystemCodeRecordCopiesOnlyItsHeader) {
  // The size field holds the system code: a clone must not copy that many
  // bytes.
  CountingHooks hooks;
  Error a;
  AttachHresultCause(a, 0xFFFFFFF0);
  Error b = a;
  AttachWin32Cause(a, 5);
  ASSERT_NE(a.Record(), b.Record());
  EXPECT_EQ(a.Record()->size, 0xFFFFFFF0u);
  EXPECT_EQ(a.Record()->kind, &SystemCodeErrorKind);
  EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80070005u);
}

// ---------------------------------------------------------------------------
// Out of memory

TEST(ErrorOutOfMemory, BuildersHandOutTheStaticRecord) {
  CountingHooks hooks;
  EXPECT_EQ(Count(&OutOfMemoryErrorRecord), 1);
  hooks.fail(true);
  {
    Error a(kLoc, kMod, 0x40014, u"no room for this text");
    Error b(kLoc, kMod, 0x40015, "nor this");
    Error c(kLoc, kMod, 0x40016);
    EXPECT_EQ(a.Record(), &OutOfMemoryErrorRecord);
    EXPECT_EQ(b.Record(), &OutOfMemoryErrorRecord);
    EXPECT_EQ(c.Record(), &OutOfMemoryErrorRecord);
    EXPECT_EQ(GetErrorCode(a), kOutOfMemoryErrorCode);
    EXPECT_EQ(Describe(a), u"");
    EXPECT_EQ(Count(&OutOfMemoryErrorRecord), 4);
    Error copy = a;
    bool caught = false;
    try {
      throw copy;
    } catch (const Error& e) {
      caught = GetErrorCode(e) == kOutOfMemoryErrorCode;
    }
    EXPECT_TRUE(caught);
    Error status;
    MakeStatusError(status, kLoc, kMod, 9, u"status", 1, 2);
    EXPECT_EQ(status.Record(), &OutOfMemoryErrorRecord);
    EXPECT_EQ(NewSystemCodeRecord(kLoc, kMod, 5), &OutOfMemoryErrorRecord);
    EXPECT_EQ(NewPathRecord(kLoc, kMod, 1, u"p", 0), &OutOfMemoryErrorRecord);
  }
  hooks.fail(false);
  EXPECT_EQ(Count(&OutOfMemoryErrorRecord), 1);
  EXPECT_EQ(hooks.frees(), 0);
}

TEST(ErrorOutOfMemory, FailedCloneDropsTheCauseAndLeavesTheErrorUnchanged) {
  CountingHooks hooks;
  Error a(kLoc, kMod, 0x40017, u"kept");
  Error b = a;
  Error cause(kLoc, kMod, 0x40018);
  hooks.fail(true);
  AttachErrorCause(a, cause);
  hooks.fail(false);
  EXPECT_EQ(a.Record(), b.Record());
  EXPECT_EQ(a.Record()->cause, nullptr);
  EXPECT_EQ(Count(a.Record()), 2);
  EXPECT_EQ(Count(cause.Record()), 1);  // the reference taken was released
}

TEST(ErrorOutOfMemory, Win32CauseWithoutMemory) {
  CountingHooks hooks;
  {
    Error a;
    hooks.fail(true);
    AttachWin32Cause(a, 5);
    EXPECT_EQ(a.Record(), &OutOfMemoryErrorRecord);

    // An out-of-memory head is never changed in place: it is cloned first.
    hooks.fail(false);
    AttachWin32Cause(a, 6);
    ASSERT_NE(a.Record(), &OutOfMemoryErrorRecord);
    EXPECT_EQ(GetErrorCode(a), kOutOfMemoryErrorCode);
    EXPECT_EQ(GetNumberField(GetErrorCause(a), "code"), 0x80070006u);
    EXPECT_EQ(OutOfMemoryErrorRecord.cause, nullptr);
  }
  EXPECT_EQ(Count(&OutOfMemoryErrorRecord), 1);
}

// ---------------------------------------------------------------------------
// Status errors

TEST(ErrorStatus, StatusTableMessageNumbers) {
  EXPECT_EQ(StatusMessageNumber(0x102), 1552u);
  EXPECT_EQ(StatusMessageNumber(0xE000000A), 1552u);
  EXPECT_EQ(StatusMessageNumber(0xC0000022), 1535u);
  EXPECT_EQ(StatusMessageNumber(0xC00000A3), 1536u);
  EXPECT_EQ(StatusMessageNumber(0xE000000D), 1555u);
  EXPECT_EQ(StatusMessageNumber(0xE000000C), 1556u);
  EXPECT_EQ(StatusMessageNumber(0), 0u);
  EXPECT_EQ(StatusMessageNumber(0xC0000001), 0u);
  EXPECT_EQ(StatusMessage(0xC0000001), nullptr);
}

TEST(ErrorStatus, TimeoutStatusesShareOneText) {
  FakeCatalog catalog;
  const char16_t* timeout = catalog.Add(1552, u"Timeout error.");
  Error a, b;
  ErrorFromStatus(a, 0x102, kLoc, kMod);
  ErrorFromStatus(b, 0xE000000A, kLoc, kMod);
  EXPECT_EQ(GetErrorCode(a), kStatusErrorCode);
  EXPECT_EQ(GetErrorCode(b), kStatusErrorCode);
  EXPECT_EQ(a.Record()->kind, &StatusErrorKind);
  EXPECT_EQ(Describe(a), u"Timeout error.");
  EXPECT_EQ(Describe(b), u"Timeout error.");
  EXPECT_EQ(DecodeErrorText(a.Record(), a.Record()->text), timeout);
  EXPECT_EQ(DecodeErrorText(b.Record(), b.Record()->text), timeout);
  EXPECT_EQ(GetNumberField(a, "code"), 0x102u);
  EXPECT_EQ(GetNumberField(b, "code"), 0xE000000Au);
  EXPECT_TRUE(GetErrorCause(a).IsNull());
  EXPECT_EQ(a.Record()->locationId, kLoc);
  EXPECT_EQ(a.Record()->moduleId, kMod);
  EXPECT_EQ(a.Record()->size, kErrorRecordExHeaderSize);
}

TEST(ErrorStatus, UnknownNegativeStatusGetsMessage1553AndTheStatusUnchangedAsCause) {
  FakeCatalog catalog;
  const char16_t* unknown = catalog.Add(1553, u"Unknown status.");
  Error e;
  ErrorFromStatus(e, 0xC0001234, kLoc, kMod);
  EXPECT_EQ(GetErrorCode(e), kStatusErrorCode);
  EXPECT_EQ(DecodeErrorText(e.Record(), e.Record()->text), unknown);
  EXPECT_EQ(Describe(e), u"Unknown status.");
  EXPECT_EQ(GetNumberField(e, "code"), 0xC0001234u);
  Error cause = GetErrorCause(e);
  ASSERT_FALSE(cause.IsNull());
  EXPECT_EQ(cause.Record()->kind, &SystemCodeErrorKind);
  EXPECT_EQ(GetNumberField(cause, "code"), 0xC0001234u);
}

TEST(ErrorStatus, UnknownPositiveStatusIsStoredAsWin32Cause) {
  FakeCatalog catalog;
  catalog.Add(1553, u"Unknown status.");
  Error e;
  ErrorFromStatus(e, 0x1234, kLoc, kMod);
  EXPECT_EQ(GetNumberField(e, "code"), 0x1234u);
  EXPECT_EQ(GetNumberField(GetErrorCause(e), "code"), 0x80071234u);
}

TEST(ErrorStatus, BeforeTheCatalogIsLoadedTheTextIsEmpty) {
  FakeCatalog catalog;  // restores the table afterwards
  for (std::uint32_t i = 0; i < kMessageTableCount; ++i) MessageTable[i] = nullptr;
  MessageCatalogBlock = {nullptr, nullptr};
  Error e;
  ErrorFromStatus(e, 0xC0000022, kLoc, kMod);
  EXPECT_EQ(GetErrorCode(e), kStatusErrorCode);
  EXPECT_EQ(e.Record()->text, 0u);
  EXPECT_EQ(Describe(e), u"");
  EXPECT_EQ(GetNumberField(e, "code"), 0xC0000022u);
}

TEST(ErrorStatus, MakeStatusErrorCombinesTheNumberAndReplacesTheHandle) {
  CountingHooks hooks;
  Error e(kLoc, kMod, 0x40019);
  MakeStatusError(e, kLoc, kMod, 9, u"inline status", 0x89ABCDEF, 0x01234567);
  EXPECT_EQ(hooks.frees(), 1);  // the old error
  EXPECT_EQ(Count(e.Record()), 1);
  EXPECT_EQ(GetNumberField(e, "code"), 0x0123456789ABCDEFull);
  EXPECT_EQ(Describe(e), u"inline status");
  EXPECT_EQ(e.Record()->text, kErrorRecordExHeaderSize);
  EXPECT_EQ(e.Record()->size, kErrorRecordExHeaderSize + 2 * 14);
  MakeStatusError(e, kLoc, kMod, 0, u"ignored", 1, 1);
  EXPECT_TRUE(e.IsNull());
  EXPECT_EQ(hooks.frees(), 2);
}
