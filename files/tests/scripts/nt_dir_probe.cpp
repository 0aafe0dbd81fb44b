// A small program for the host-side check of the NT directory and the tree
// operations: it works on a folder of the prefix's C: drive only through the
// file framework, and the calling script checks the result on the host.
//
//   nt_dir_probe build FOLDER   copy FOLDER\source.bin to FOLDER\a\b\data.bin
//                               (creating a\b), move it to FOLDER\a\moved.bin
//                               and hard-link FOLDER\a\link.bin to it
//   nt_dir_probe remove FOLDER  remove FOLDER with everything below it
//
// Exit code 0 on success; otherwise the failing step is printed.
#include <cstdio>
#include <memory>
#include <string>

#include "files/win/dir_tree.h"
#include "files/win/nt_dir.h"
#include "files/win/win_dir.h"

namespace {

int Fail(const char* step, const file_object& o) {
  std::fprintf(stderr, "%s failed: 0x%x\n", step, static_cast<unsigned>(o.error().Code()));
  return 1;
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: nt_dir_probe build|remove FOLDER\n");
    return 2;
  }
  const std::wstring verb = argv[1];
  std::unique_ptr<win32_dir> folder(
      GetRootDir()->open_dir(reinterpret_cast<const char16_t*>(argv[2])));
  if (!folder) return Fail("open_dir", *GetRootDir());
  if (verb == L"build") return Build(folder.get());
  if (verb == L"remove") {
    RemoveDirTree(folder.get(), false);
    return folder->is_ok() ? 0 : Fail("RemoveDirTree", *folder);
  }
  return 2;
}
