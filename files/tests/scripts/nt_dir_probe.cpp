// A small program for the host-side check of the NT directory and the tree
// operations: it works on a folder of the prefix's C: drive only through the
// file framework, and the calling script checks the result on the host.
//
//   nt_dir_probe build FOLDER     copy FOLDER\source.bin to FOLDER\a\b\data.bin
//                                 (creating a\b), move it to FOLDER\a\moved.bin
//                                 and hard-link FOLDER\a\link.bin to it
//   nt_dir_probe position FOLDER  in FOLDER\pos.bin: "ALPHA" at 1000, "BETA"
//                                 10 bytes after it, "END" over the last 3
//                                 bytes, the size set to 9000, "TAIL" at
//                                 8990, the size set to 8992; in
//                                 FOLDER\far.bin "FAR" at 4 GiB + 5; prints
//                                 the 16 bytes at 4096 of pos.bin read
//                                 before any write, in hex
//   nt_dir_probe list FOLDER      one line per entry of FOLDER: "d NAME" for a
//                                 folder, "l NAME" for a link, "f SIZE NAME"
//                                 for a file (UTF-8)
//   nt_dir_probe lock FOLDER      byte-range locks on FOLDER\lock.bin across
//                                 handles; prints "ok CHECK" or "FAIL CHECK"
//                                 per check, and for reads and writes of
//                                 another handle inside a locked range
//                                 "unenforced CHECK" when the system let them
//                                 through whole. Writes: "OUTSIDE" at 200,
//                                 "AFTER" at 120, and inside locked ranges 20
//                                 'X' at 140 and "YY" at 305
//   nt_dir_probe remove FOLDER    remove FOLDER with everything below it
//
// Exit code 0 on success; otherwise the failing step is printed.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/error.h"
#include "files/file_error.h"
#include "files/win/dir_tree.h"
#include "files/win/nt_dir.h"
#include "files/win/win_dir.h"

namespace {

int Fail(const char* step, const file_object& o) {
  std::fprintf(stderr, "%s failed: 0x%x\n", step, static_cast<unsigned>(o.error().Code()));
  return 1;
}

std::string Utf8(const char16_t* text) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text);
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], size, nullptr, nullptr);
  out.pop_back();
  return out;
}

int Build(win32_dir* folder) {
  std::unique_ptr<win32_dir> leaf(folder->open_dir(u"a\\b"));
  if (!leaf) return Fail("open_dir", *folder);
  CreateDirTree(leaf.get());
  if (!leaf->is_ok()) return Fail("CreateDirTree", *leaf);

  std::unique_ptr<i_file> in(folder->open_file(u"source.bin", false));
  if (!in) return Fail("open_file", *folder);
  std::unique_ptr<rio_file> out(folder->create_file(u"a\\b\\data.bin", false, nullptr));
  if (!out) return Fail("create_file", *folder);
  char buffer[8192];
  for (;;) {
    std::uint32_t n = 0;
    in->read(buffer, sizeof buffer, n);
    if (!in->is_ok()) return Fail("read", *in);
    if (n == 0) break;
    out->write_exact(buffer, n);
    if (!out->is_ok()) return Fail("write", *out);
  }
  out.reset();
  in.reset();

  folder->move(u"a\\b\\data.bin", u"a\\moved.bin");
  if (!folder->is_ok()) return Fail("move", *folder);
  folder->create_hard_link(u"a\\link.bin", u"a\\moved.bin");
  if (!folder->is_ok()) return Fail("create_hard_link", *folder);
  return 0;
}

// A write at a position, where the position the seek reports must be the
// one asked for.
bool WriteAt(rio_file& file, std::uint64_t position, std::uint64_t reported, const char* text) {
  if (reported != position || !file.is_ok()) {
    std::fprintf(stderr, "seek to %llu reported %llu\n", static_cast<unsigned long long>(position),
                 static_cast<unsigned long long>(reported));
    return false;
  }
  file.write_exact(text, static_cast<std::uint32_t>(std::strlen(text)));
  return file.is_ok();
}

int Position(win32_dir* folder) {
  std::unique_ptr<rio_file> pos(folder->open_file_rw(u"pos.bin", false));
  if (!pos) return Fail("open_file_rw pos.bin", *folder);
  const std::uint64_t size = pos->size();
  if (size != 8192) return Fail("size of pos.bin", *pos);

  unsigned char before[16];
  pos->seek_set(4096);
  pos->read_exact(before, sizeof before);
  if (!pos->is_ok()) return Fail("read at 4096", *pos);

  if (!WriteAt(*pos, 1000, pos->seek_set(1000), "ALPHA")) return Fail("ALPHA", *pos);
  if (!WriteAt(*pos, 1015, pos->seek_cur(10), "BETA")) return Fail("BETA", *pos);
  if (!WriteAt(*pos, size - 3, pos->seek_end(-3), "END")) return Fail("END", *pos);
  pos->set_size(9000);
  if (!pos->is_ok() || pos->size() != 9000) return Fail("set_size 9000", *pos);
  if (!WriteAt(*pos, 8990, pos->seek_set(8990), "TAIL")) return Fail("TAIL", *pos);
  pos->set_size(8992);
  if (!pos->is_ok() || pos->size() != 8992) return Fail("set_size 8992", *pos);
  pos.reset();

  // Past 4 GiB: the high half of the position has to reach the system.
  std::unique_ptr<rio_file> distant(folder->create_file(u"far.bin", false, nullptr));
  if (!distant) return Fail("create_file far.bin", *folder);
  const std::uint64_t farAt = (1ull << 32) + 5;
  if (!WriteAt(*distant, farAt, distant->seek_set(static_cast<std::int64_t>(farAt)), "FAR"))
    return Fail("FAR", *distant);
  if (distant->size() != farAt + 3) return Fail("size of far.bin", *distant);
  distant.reset();

  for (unsigned char byte : before) std::printf("%02x", byte);
  std::printf("\n");
  return 0;
}

int List(win32_dir* folder) {
  _setmode(_fileno(stdout), _O_BINARY);  // UTF-8 and '\n' as they are
  std::unique_ptr<i_dir::iterator> it(folder->list());
  if (!it) return Fail("list", *folder);
  while (it->is_ok()) {
    const char16_t* name = it->name();
    if (name == nullptr) return Fail("name", *it);
    const std::uint32_t type = it->object_type();
    if (type == kObjectDirectory) {
      std::printf("d %s\n", Utf8(name).c_str());
    } else if (type == kObjectJunction || type == kObjectDirSymlink || type == kObjectFileSymlink) {
      std::printf("l %s\n", Utf8(name).c_str());
    } else {
      std::printf("f %llu %s\n", static_cast<unsigned long long>(it->size()), Utf8(name).c_str());
    }
    it->next();
  }
  // A listing ends with the end of the entries, nothing else.
  return it->error().Code() == kFileEndOfFile ? 0 : Fail("next", *it);
}

// --- locks -----------------------------------------------------------------

int g_lockFailures = 0;

void Verdict(const char* check, bool ok, const Common::Error& error = Common::Error()) {
  if (ok) {
    std::printf("ok %s\n", check);
    return;
  }
  ++g_lockFailures;
  const char* function = Common::GetTextField(error, "function");
  std::printf("FAIL %s: code 0x%x function %s cause 0x%llx\n", check,
              static_cast<unsigned>(error.Code()), function ? function : "-",
              static_cast<unsigned long long>(
                  Common::GetNumberField(Common::GetErrorCause(error), "code")));
}

// The error a locked range gives: "Failed to lock the file." from the call
// named, with the system's lock violation as its cause.
bool IsLockRefusal(const Common::Error& error, const char* function) {
  const char* f = Common::GetTextField(error, "function");
  return error.Code() == kFileLockFailed && f != nullptr && std::strcmp(f, function) == 0 &&
         Common::GetNumberField(Common::GetErrorCause(error), "code") == 0x80070021u;
}

// A read or write of another handle inside a locked range: refused as a
// lock failure with nothing transferred ("ok"), or, on a system that does
// not hold input and output to locks, let through whole and reported as
// done ("unenforced"). Anything between is a failure.
void RangeVerdict(const char* check, const Common::Error& error, const char* function,
                  std::uint32_t count, std::uint32_t size) {
  if (IsLockRefusal(error, function) && count == 0) {
    std::printf("ok %s\n", check);
  } else if (error.Code() == 0 && count == size) {
    std::printf("unenforced %s\n", check);
  } else {
    Verdict(check, false, error);
  }
}

// Each check gets a handle of its own: a refused call is the handle's first
// error and stops it for good.
std::unique_ptr<rio_file> Handle(win32_dir* folder) {
  return std::unique_ptr<rio_file>(folder->open_file_rw(u"lock.bin", true));
}

// Reads `size` bytes at `at` through a fresh handle; the handle's error.
Common::Error ReadThrough(win32_dir* folder, std::uint64_t at, std::uint32_t size,
                          std::uint32_t& count) {
  count = 0;
  std::unique_ptr<rio_file> h = Handle(folder);
  if (!h) return folder->error();
  char buffer[64];
  h->seek_set(static_cast<std::int64_t>(at));
  h->read(buffer, size, count);
  return h->error();
}

Common::Error WriteThrough(win32_dir* folder, std::uint64_t at, const char* text,
                           std::uint32_t& count) {
  count = 0;
  std::unique_ptr<rio_file> h = Handle(folder);
  if (!h) return folder->error();
  h->seek_set(static_cast<std::int64_t>(at));
  h->write(text, static_cast<std::uint32_t>(std::strlen(text)), count);
  return h->error();
}

int Lock(win32_dir* folder) {
  std::unique_ptr<rio_file> holder = Handle(folder);
  if (!holder) return Fail("open_file_rw lock.bin", *folder);
  std::uint32_t count = 0;
  Common::Error e;

  holder->lock_exclusive(100, 50, false);
  Verdict("exclusive-lock-taken", holder->is_ok(), holder->error());
  if (!holder->is_ok()) return 1;

  e = ReadThrough(folder, 120, 10, count);
  RangeVerdict("exclusive-range-read", e, "ReadFile", count, 10);
  // A write that only begins inside the range is refused whole.
  e = WriteThrough(folder, 140, "XXXXXXXXXXXXXXXXXXXX", count);
  RangeVerdict("exclusive-range-write", e, "WriteFile", count, 20);
  {
    std::unique_ptr<rio_file> other = Handle(folder);
    other->lock_shared(149, 1, false);
    Verdict("exclusive-refuses-lock", IsLockRefusal(other->error(), "LockFileEx"), other->error());
  }
  e = ReadThrough(folder, 0, 50, count);
  Verdict("exclusive-leaves-read-before", e.Code() == 0 && count == 50, e);
  e = WriteThrough(folder, 200, "OUTSIDE", count);
  Verdict("exclusive-leaves-write-after", e.Code() == 0 && count == 7, e);
  // The holder itself reads and writes its range; it writes nothing here,
  // so that the host sees only what the other handles did.
  {
    char buffer[10];
    holder->seek_set(120);
    holder->read_exact(buffer, sizeof buffer);
    Verdict("exclusive-holder-reads", holder->is_ok(), holder->error());
  }

  holder->unlock(100, 50);
  Verdict("unlocked", holder->is_ok(), holder->error());
  e = WriteThrough(folder, 120, "AFTER", count);
  Verdict("unlocked-write", e.Code() == 0 && count == 5, e);

  holder->lock_shared(300, 10, false);
  Verdict("shared-lock-taken", holder->is_ok(), holder->error());
  e = ReadThrough(folder, 300, 10, count);
  Verdict("shared-allows-read", e.Code() == 0 && count == 10, e);
  e = WriteThrough(folder, 305, "YY", count);
  RangeVerdict("shared-range-write", e, "WriteFile", count, 2);
  {
    std::unique_ptr<rio_file> other = Handle(folder);
    other->lock_shared(300, 10, false);
    Verdict("shared-allows-shared", other->is_ok(), other->error());
    other->unlock(300, 10);
    std::unique_ptr<rio_file> third = Handle(folder);
    third->lock_exclusive(305, 1, false);
    Verdict("shared-refuses-exclusive", IsLockRefusal(third->error(), "LockFileEx"),
            third->error());
  }
  // Unlocking a range the handle does not hold is a lock failure too.
  {
    std::unique_ptr<rio_file> other = Handle(folder);
    other->unlock(300, 10);
    Verdict("unlock-of-a-foreign-range-fails",
            other->error().Code() == kFileLockFailed, other->error());
  }
  holder.reset();  // closing the handle releases its locks
  {
    std::unique_ptr<rio_file> other = Handle(folder);
    other->lock_exclusive(300, 10, false);
    Verdict("closing-releases", other->is_ok(), other->error());
  }
  return g_lockFailures == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: nt_dir_probe build|position|list|lock|remove FOLDER\n");
    return 2;
  }
  const std::wstring verb = argv[1];
  std::unique_ptr<win32_dir> folder(
      GetRootDir()->open_dir(reinterpret_cast<const char16_t*>(argv[2])));
  if (!folder) return Fail("open_dir", *GetRootDir());
  if (verb == L"build") return Build(folder.get());
  if (verb == L"position") return Position(folder.get());
  if (verb == L"list") return List(folder.get());
  if (verb == L"lock") return Lock(folder.get());
  if (verb == L"remove") {
    RemoveDirTree(folder.get(), false);
    return folder->is_ok() ? 0 : Fail("RemoveDirTree", *folder);
  }
  return 2;
}
