// A program with the product's start-up (the catalog load, which opens the
// payload archive beside it or behind it and keeps it open) for the payload
// tests that are checked from the host:
//
//   payload_probe hold
//       Whether the payload archive file can be opened exclusively, while
//       wmain runs ("during=busy": the locator holds it) and after the exit
//       handlers ("exit=free": it was released).
//   payload_probe extract NAME...
//       Extracts each payload entry into one TempFolder: "NAME ok PATH" or
//       "NAME failed", then "folder PATH"; then waits for a line on
//       standard input before the folder is destroyed, so that the host can
//       look at it; ends with "destroyed".
//   payload_probe dump ARCHIVE EXPECTED
//       Reads every entry of the ZIP file ARCHIVE with the framework's
//       reader, to the zero count that checks its CRC, and compares it with
//       the file of the same name in the folder EXPECTED: "NAME same",
//       "NAME differs", "NAME unreadable CODE"; then "entries N".
//   payload_probe list ARCHIVE EXPECTED NAME...
//       Lists every entry of the ZIP file ARCHIVE, one name a line in the
//       archive's order; for the entries named NAME, "same", "differs" or
//       "unreadable CODE" follows the name, as with dump. Ends with
//       "entries N". For archives too large to compare whole: the names
//       show the listing, the sample the reading.
//
// Everything is written straight to the standard output handle, unbuffered,
// so that lines printed by an exit handler and lines printed before a wait
// reach the host in order.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "files/message_catalog.h"
#include "files/resource.h"
#include "files/temp_folder.h"
#include "files/win/win_dir.h"
#include "files/zip.h"
#include "foundation/text.h"

namespace {

void Write(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    DWORD written = 0;
    const DWORD piece = DWORD(std::min<std::size_t>(text.size() - at, 65536));
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data() + at, piece, &written, nullptr) ||
        written == 0)
      return;
    at += written;
  }
}

void Say(const std::string& line) { Write(line + "\n"); }

std::string Narrow(const std::u16string& s) { return Common::WideToAnsi(s.c_str()); }
std::u16string Wide(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }

// The payload archive file the locator opens: the ".dat" beside the program
// when there is one, else the program.
wchar_t archivePath[MAX_PATH * 2];

// Whether anyone else holds the file open.
const char* Holding(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return "free";
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? "busy" : "missing";
}

void ReportAtExit() {
  if (archivePath[0] != 0) Say(std::string("exit=") + Holding(archivePath));
}

// Registered before the catalog's start-up code registers its exit
// handlers, so that this one runs after them.
struct EarlyExitCheck {
  EarlyExitCheck() { std::atexit(&ReportAtExit); }
};
static_assert(105 < PURGEKIT_INIT_PRIORITY_MESSAGE_CATALOG, "must run before the catalog load");
EarlyExitCheck earlyExitCheck __attribute__((init_priority(105)));

int Hold() {
  // The catalog load has opened the archive already, unless a catalog lay
  // on disk; make sure of it.
  delete OpenArchiveResource(u"purgekit.msg");
  const std::u16string dat = ResourceArchiveName(GetModulePath());
  const std::u16string path =
      GetFileAttributesW(reinterpret_cast<const wchar_t*>(dat.c_str())) != INVALID_FILE_ATTRIBUTES
          ? dat
          : std::u16string(GetModulePath());
  if (path.size() >= sizeof archivePath / sizeof archivePath[0]) return 2;
  std::copy(path.begin(), path.end(), archivePath);
  Say(std::string("during=") + Holding(archivePath));
  return 0;
}

int Extract(int count, wchar_t** names) {
  {
    TempFolder folder;
    for (int i = 0; i < count; ++i) {
      std::u16string path;
      if (folder.Extract(Wide(names[i]), path)) {
        Say(Narrow(Wide(names[i])) + " ok " + Narrow(path));
      } else {
        Say(Narrow(Wide(names[i])) + " failed");
      }
    }
    Say("folder " + Narrow(folder.folder()) + (folder.created() ? "" : " (not created)"));
    char c = 0;
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n == 1 && c != '\n') {
    }
  }
  Say("destroyed");
  return 0;
}

std::vector<char> ReadWhole(const std::u16string& path, bool& ok) {
  std::vector<char> data;
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                         FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ok = h != INVALID_HANDLE_VALUE;
  if (!ok) return data;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) data.insert(data.end(), buffer, buffer + n);
  CloseHandle(h);
  return data;
}

// The archive file of dump and list, opened as the locator opens files.
std::unique_ptr<ri_file> OpenArchiveFile(const wchar_t* archiveName) {
  std::unique_ptr<ri_file> file(OpenFileInCurrentDir(Wide(archiveName).c_str()));
  if (!file) Say("archive does not open");
  return file;
}

bool Refused(zip_file& archive) {
  if (!archive.has_failed()) return false;
  char code[32];
  std::snprintf(code, sizeof code, "0x%x", unsigned(archive.error().Code()));
  Say(std::string("archive refused ") + code);
  return true;
}

// The entry at the iterator, read to the zero count that checks its CRC and
// compared with the file of its name in `expectedFolder`: " same",
// " differs" or " unreadable CODE".
std::string Compare(zip_file& archive, i_dir::iterator& at, const std::u16string& expectedFolder) {
  const std::u16string name = at.name();
  std::unique_ptr<i_file> entry(archive.open_file_at(&at, false));
  std::vector<char> got;
  std::uint32_t count = 0;
  char buffer[40000];  // not a divisor of the entries' sizes
  do {
    count = 0;
    if (entry) entry->read(buffer, sizeof buffer, count);
    got.insert(got.end(), buffer, buffer + count);
  } while (entry && entry->is_ok() && count > 0);
  if (!entry || entry->has_failed()) {
    char code[32];
    std::snprintf(code, sizeof code, "0x%x",
                  unsigned(entry ? entry->error().Code() : archive.error().Code()));
    return std::string(" unreadable ") + code;
  }
  bool present = false;
  const std::vector<char> expected = ReadWhole(expectedFolder + u"\\" + name, present);
  return present && got == expected ? " same" : " differs";
}

int Dump(const wchar_t* archiveName, const wchar_t* expectedFolder) {
  std::unique_ptr<ri_file> file = OpenArchiveFile(archiveName);
  if (!file) return 1;
  zip_file archive(file.get());
  if (Refused(archive)) return 1;
  std::unique_ptr<i_dir::iterator> it(archive.list());
  unsigned entries = 0;
  for (; it && it->is_ok(); it->next()) {
    ++entries;
    Say(Narrow(it->name()) + Compare(archive, *it, Wide(expectedFolder)));
  }
  Say("entries " + std::to_string(entries));
  return 0;
}

int List(const wchar_t* archiveName, const wchar_t* expectedFolder, int count, wchar_t** names) {
  std::unique_ptr<ri_file> file = OpenArchiveFile(archiveName);
  if (!file) return 1;
  zip_file archive(file.get());
  if (Refused(archive)) return 1;
  std::vector<std::u16string> sample;
  for (int i = 0; i < count; ++i) sample.push_back(Wide(names[i]));
  // Written at once: a write per line costs a round trip to the server.
  std::string out;
  std::unique_ptr<i_dir::iterator> it(archive.list());
  unsigned entries = 0;
  for (; it && it->is_ok(); it->next()) {
    ++entries;
    const std::u16string name = it->name();
    out += Narrow(name);
    if (std::find(sample.begin(), sample.end(), name) != sample.end())
      out += Compare(archive, *it, Wide(expectedFolder));
    out += "\n";
  }
  Write(out + "entries " + std::to_string(entries) + "\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"hold") return Hold();
  if (verb == L"extract") return Extract(argc - 2, argv + 2);
  if (verb == L"dump" && argc == 4) return Dump(argv[2], argv[3]);
  if (verb == L"list" && argc >= 4) return List(argv[2], argv[3], argc - 4, argv + 4);
  std::fprintf(stderr,
               "usage: payload_probe hold | extract NAME... | dump ARCHIVE EXPECTED"
               " | list ARCHIVE EXPECTED NAME...\n");
  return 2;
}
