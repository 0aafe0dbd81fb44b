// The snapshot library over image files: drives are image files named by a
// configuration file, volumes are extents on them. Built into native tests
// directly and, on Windows, into dorvex.dll.
//
// Every call is written to the configured log as one line,
//   name(arguments) = status [out values]
// so that tests can check which calls were made in which order.
#include "sblib/sblib.h"
#include "sblib/standin.h"
#include "standin_event.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct BadRange {
  uint64_t first;
  uint64_t last;
};

struct Drive {
  std::string image;
  uint32_t sector_size = 512;
  std::string model;
  std::string serial;
  uint32_t heads = 255;
  uint32_t sectors_per_track = 63;
  uint32_t bios = 0;
  uint32_t flags = 0;
  uint32_t interface_type = 0;
  bool has_bios_chs = false;  // firmware CHS bytes given apart from the geometry
  uint32_t bios_max_cylinder = 0, bios_max_head = 0, bios_sectors = 0;
  bool read_only = false;
  std::vector<BadRange> bad;
  uint64_t sectors = 0;
  std::unique_ptr<std::fstream> file;
  bool invisible = false;
  uint32_t lock_holder = 0;  // handle that holds the lock
  std::u16string owner;
};

struct Extent {
  uint32_t drive;  // from 1
  uint64_t first;
  uint64_t count;
};

struct Volume {
  std::vector<Extent> extents;
  char letter = 0;
  uint32_t flags = 0;
  uint8_t guid[16] = {};
  uint8_t type[16] = {};
  bool skip = false;
  bool deleted = false;
  uint32_t lock_holder = 0;
  uint64_t writes = 0;
  // What the volume record reports besides the extents' own facts.
  uint16_t unique_size = 24;        // bytes of the unique ID (the GUID ends it)
  uint16_t unique_size_later = 0;   // a different length on calls with a buffer
  bool no_extents = false;          // an extent list of 0 bytes
  bool locations = false;           // the record's locations flag
  bool letter_pending = false;      // letter changes answer "takes effect later"
  bool held = false;                // another program locks it until a dismount
  std::u16string open_files;        // the open-files text
  bool open_files_raw = false;      // ... without its terminator
};

enum class Kind { Drive, Volume, Snapshot };

struct Handle {
  Kind kind;
  uint32_t index;  // drive or volume index (from 0); snapshot: its own id
};

// A volume taken into a snapshot, and what its copy-on-write knows.
struct SnapshotMember {
  uint32_t volume = 0;         // volume index
  SbHandle handle = 0;         // the volume handle it was added under
  uint32_t origin = 0;         // the bitmap's block origin and block size
  uint32_t block = 1;
  bool bitmap = false;
  std::vector<bool> kept;      // from the start: old data handed over (or never needed)
};

struct Snapshot {
  std::vector<SnapshotMember> members;
  uint32_t flags = 0;
  bool started = false;
  bool locked = false;
  uint32_t event = 0;          // the wake-up event of sbGetParams
};

// A write that waits until the old data under it has been handed over.
struct HeldWrite {
  uint32_t volume;             // volume index
  uint64_t first;              // volume sectors
  uint64_t count;
};

struct Callback {
  SbNotifyCallback function;
  uint32_t mask;
};

// An injected failure: every call after the first `after` ones answers
// `status`.
struct Failure {
  SbStatus status = 0;
  uint32_t after = 0;
  uint32_t calls = 0;
};

struct State {
  std::mutex lock;
  bool initialised = false;
  std::string config_override;
  std::string log_path;
  uint32_t version = 141;
  uint32_t status_word = 0;
  uint32_t mode_word = 0;
  uint32_t global_flags = 0;
  uint32_t used_letters = 0;  // bit 0 = A
  std::vector<Drive> drives;
  std::vector<Volume> volumes;
  std::map<uint32_t, Handle> handles;
  std::map<uint32_t, Snapshot> snapshots;
  uint32_t next_handle = 0x100;
  std::map<std::string, Failure> failures;

  // Notification delivery on the library's own thread.
  std::vector<Callback> callbacks;
  std::deque<SbNotification> queue;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
  std::mutex delivery;  // held while a callback runs
  // Library threads alive: counted up before one is started and down by
  // the thread itself as its very last act, so a count taken after a join
  // says what really still runs (a thread that was never joined, or one
  // left over from an earlier set-up, still counts).
  std::atomic<unsigned> live_threads{0};

  // Copy-on-write of the snapshots (standin_snapshots.inc): the writes
  // waiting for a hand-over, woken whenever one happens.
  std::list<HeldWrite> held;
  std::condition_variable handover;
  uint32_t pending_limit = 0;  // 0, or the most sectors a pending request names
  uint32_t short_reads = 0;    // 0, or the most sectors one sbRead reports read
};

State& S() {
  static State* state = new State;  // never destroyed: callers may outlive statics
  return *state;
}

std::mutex& LogLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

// Appends one line to the log (nothing without a log path). The path is read
// under the state lock by the callers, so it is passed in.
void WriteLog(const std::string& path, const char* format, ...) {
  if (path.empty()) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(LogLock());
  if (FILE* f = std::fopen(path.c_str(), "ab")) {
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
  }
}

#define LOG(...) WriteLog(s.log_path, __VA_ARGS__)

unsigned long long U64(uint64_t v) { return static_cast<unsigned long long>(v); }

// The snapshot calls' share of the set-up and of writes (standin_snapshots.inc,
// included at the end of this file).
bool SnapshotDirective(State& s, const std::vector<std::string>& words);
void EndSnapshots(State& s);
void CloseSnapshot(State& s, uint32_t id);
void HoldVolumeWrite(State& s, std::unique_lock<std::mutex>& guard, uint32_t volume,
                     uint64_t first, uint64_t count);
void HoldDriveWrite(State& s, std::unique_lock<std::mutex>& guard, uint32_t drive,
                    uint64_t first, uint64_t count);

// ------------------------------------------------------------ configuration

bool ParseNumber(const std::string& text, uint64_t& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtoull(text.c_str(), &end, 0);
  return end && *end == '\0';
}

bool ParseGuid(const std::string& text, uint8_t out[16]) {
  // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX, stored as Windows does (the first
  // three groups little-endian).
  std::string hex;
  for (char c : text)
    if (c != '-' && c != '{' && c != '}') hex += c;
  if (hex.size() != 32) return false;
  uint8_t raw[16];
  for (int i = 0; i < 16; ++i) {
    uint64_t v;
    if (!ParseNumber("0x" + hex.substr(2 * i, 2), v)) return false;
    raw[i] = static_cast<uint8_t>(v);
  }
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[i] = raw[order[i]];
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

bool SplitKey(const std::string& word, std::string& key, std::string& value) {
  auto eq = word.find('=');
  if (eq == std::string::npos) {
    key = word;
    value.clear();
    return false;
  }
  key = word.substr(0, eq);
  value = word.substr(eq + 1);
  return true;
}

uint32_t LetterMask(const std::string& letters) {
  uint32_t mask = 0;
  for (char c : letters) {
    char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (u >= 'A' && u <= 'Z') mask |= 1u << (u - 'A');
  }
  return mask;
}

// Reads the configuration into the state; false with a reason on error.
bool LoadConfig(State& s, const std::string& path, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot open the configuration " + path;
    return false;
  }
  std::string line;
  unsigned number = 0;
  while (std::getline(in, line)) {
    ++number;
    auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    auto words = SplitWords(line);
    if (words.empty()) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const std::string& what = words[0];
    uint64_t n = 0;
    if (what == "log" && words.size() == 2) {
      s.log_path = words[1];
    } else if ((what == "version" || what == "status" || what == "mode") && words.size() == 2 &&
               ParseNumber(words[1], n)) {
      (what == "version" ? s.version : what == "status" ? s.status_word : s.mode_word) =
          static_cast<uint32_t>(n);
    } else if (what == "used" && words.size() == 2) {
      s.used_letters |= LetterMask(words[1]);
    } else if (what == "fail" && (words.size() == 3 || words.size() == 4) &&
               ParseNumber(words[2], n)) {
      Failure f;
      f.status = static_cast<SbStatus>(n);
      std::string key, value;
      uint64_t after = 0;
      if (words.size() == 4 &&
          (!SplitKey(words[3], key, value) || key != "after" || !ParseNumber(value, after))) {
        why = where + "cannot read " + words[3];
        return false;
      }
      f.after = static_cast<uint32_t>(after);
      s.failures[words[1]] = f;
    } else if (what == "drive" && words.size() >= 2) {
      Drive d;
      d.image = words[1];
      d.model = "Standin Image Disk " + std::to_string(s.drives.size() + 1);
      for (size_t i = 2; i < words.size(); ++i) {
        std::string key, value;
        const bool has = SplitKey(words[i], key, value);
        bool ok = true;
        if (!has && key == "offline") d.flags |= SB_DRIVE_FLAG_OFFLINE;
        else if (!has && key == "skip") d.flags |= SB_DRIVE_FLAG_SKIP;
        else if (!has && key == "readonly") d.read_only = true;
        else if (key == "model") d.model = value;
        else if (key == "bioschs") {
          // MAXCYLINDER/MAXHEAD/SECTORS, the firmware's bytes as given.
          std::stringstream parts(value);
          std::string part;
          uint64_t chs[3];
          int n_parts = 0;
          while (ok && std::getline(parts, part, '/'))
            ok = n_parts < 3 && ParseNumber(part, chs[n_parts++]);
          ok = ok && n_parts == 3 && chs[0] <= 1023 && chs[1] <= 255 && chs[2] <= 63;
          if (ok) {
            d.has_bios_chs = true;
            d.bios_max_cylinder = static_cast<uint32_t>(chs[0]);
            d.bios_max_head = static_cast<uint32_t>(chs[1]);
            d.bios_sectors = static_cast<uint32_t>(chs[2]);
          }
        }
        else if (key == "serial") d.serial = value;
        else if (key == "bad") {
          std::stringstream list(value);
          std::string item;
          while (ok && std::getline(list, item, ',')) {
            auto dash = item.find('-');
            uint64_t a, b;
            ok = ParseNumber(item.substr(0, dash), a) &&
                 (dash == std::string::npos ? (b = a, true) : ParseNumber(item.substr(dash + 1), b));
            if (ok) d.bad.push_back({a, b});
          }
        } else if (ParseNumber(value, n)) {
          const uint32_t v = static_cast<uint32_t>(n);
          if (key == "sector") d.sector_size = v;
          else if (key == "heads") d.heads = v;
          else if (key == "spt") d.sectors_per_track = v;
          else if (key == "bios") d.bios = v;
          else if (key == "flags") d.flags |= v;
          else if (key == "interface") d.interface_type = v;
          else ok = false;
        } else {
          ok = false;
        }
        if (!ok) {
          why = where + "cannot read " + words[i];
          return false;
        }
      }
      if (d.sector_size == 0 || d.sector_size % 512 != 0) {
        why = where + "sector size must be a multiple of 512";
        return false;
      }
      s.drives.push_back(std::move(d));
    } else if (what == "volume" && words.size() >= 2) {
      Volume v;
      std::stringstream list(words[1]);
      std::string item;
      while (std::getline(list, item, ',')) {
        auto colon = item.find(':'), plus = item.find('+');
        uint64_t drive, first, count;
        if (colon == std::string::npos || plus == std::string::npos || plus < colon ||
            !ParseNumber(item.substr(0, colon), drive) ||
            !ParseNumber(item.substr(colon + 1, plus - colon - 1), first) ||
            !ParseNumber(item.substr(plus + 1), count) || drive == 0 || drive > s.drives.size() ||
            count == 0) {
          why = where + "extent must be DRIVE:FIRST+COUNT on a drive listed before: " + item;
          return false;
        }
        if (!v.extents.empty() &&
            s.drives[drive - 1].sector_size != s.drives[v.extents[0].drive - 1].sector_size) {
          why = where + "a volume's extents lie on drives of one sector size";
          return false;
        }
        v.extents.push_back({static_cast<uint32_t>(drive), first, count});
      }
      // A volume without a given GUID still has a stable one.
      const uint32_t id = static_cast<uint32_t>(s.volumes.size() + 1);
      const uint8_t fallback[16] = {0x5B, 0x1B, 0x57, 0xA9, 0, 0, 0x10, 0x40, 0x80, 0, 0, 0, 0, 0,
                                    static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
      std::memcpy(v.guid, fallback, 16);
      for (size_t i = 2; i < words.size(); ++i) {
        std::string key, value;
        const bool has = SplitKey(words[i], key, value);
        bool ok = true;
        if (!has && key == "skip") v.skip = true;
        else if (!has && key == "noextents") v.no_extents = true;
        else if (!has && key == "locations") v.locations = true;
        else if (!has && key == "letterpending") v.letter_pending = true;
        else if (!has && key == "held") v.held = true;
        else if (!has && key == "filesraw") v.open_files_raw = true;
        else if (key == "files" && has) v.open_files = std::u16string(value.begin(), value.end());
        else if ((key == "uid" || key == "uidlater") && ParseNumber(value, n) && n <= 1024)
          (key == "uid" ? v.unique_size : v.unique_size_later) = static_cast<uint16_t>(n);
        else if (key == "letter" && value.size() == 1 && LetterMask(value))
          v.letter = static_cast<char>(value[0] & ~0x20);
        else if (key == "flags" && ParseNumber(value, n)) v.flags = static_cast<uint32_t>(n);
        else if (key == "guid") ok = ParseGuid(value, v.guid);
        else if (key == "type") ok = ParseGuid(value, v.type);
        else ok = false;
        if (!ok) {
          why = where + "cannot read " + words[i];
          return false;
        }
      }
      s.volumes.push_back(v);
    } else if (what == "snapshot") {
      if (!SnapshotDirective(s, words)) {
        why = where + "cannot read: " + line;
        return false;
      }
    } else {
      why = where + "cannot read: " + line;
      return false;
    }
  }
  return true;
}

bool OpenImages(State& s, std::string& why) {
  for (Drive& d : s.drives) {
    auto mode = std::ios::in | std::ios::binary | (d.read_only ? std::ios::openmode() : std::ios::out);
    d.file = std::make_unique<std::fstream>(d.image, mode);
    if (!*d.file) {
      why = "cannot open the image " + d.image;
      return false;
    }
    d.file->seekg(0, std::ios::end);
    d.sectors = static_cast<uint64_t>(d.file->tellg()) / d.sector_size;
  }
  for (const Volume& v : s.volumes)
    for (const Extent& e : v.extents) {
      const Drive& d = s.drives[e.drive - 1];
      if (e.first > d.sectors || e.count > d.sectors - e.first) {
        why = "a volume extent lies beyond the end of " + d.image;
        return false;
      }
    }
  return true;
}

void ResetState(State& s) {
  s.initialised = false;
  s.log_path.clear();
  s.version = 141;
  s.status_word = s.mode_word = s.global_flags = s.used_letters = 0;
  s.drives.clear();
  s.volumes.clear();
  s.handles.clear();
  EndSnapshots(s);
  s.next_handle = 0x100;
  s.failures.clear();
  s.callbacks.clear();
  s.queue.clear();
}

SbStatus Injected(State& s, const char* name) {
  auto it = s.failures.find(name);
  if (it == s.failures.end()) return SB_OK;
  Failure& f = it->second;
  return f.calls++ < f.after ? SB_OK : f.status;
}

// ------------------------------------------------------------------ handles

uint32_t NewHandle(State& s, Kind kind, uint32_t index) {
  uint32_t h = s.next_handle++;
  s.handles[h] = Handle{kind, index};
  return h;
}

Handle* Find(State& s, uint32_t h, Kind kind) {
  auto it = s.handles.find(h);
  if (it == s.handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

unsigned HeldLocks(const State& s) {
  unsigned n = 0;
  for (const Drive& d : s.drives) n += d.lock_holder != 0;
  for (const Volume& v : s.volumes) n += v.lock_holder != 0;
  for (const auto& kv : s.snapshots) n += kv.second.locked;
  return n;
}

// -------------------------------------------------------------------- I/O

bool HitsBadSector(const Drive& d, uint64_t first, uint64_t count) {
  for (const BadRange& r : d.bad)
    if (r.first < first + count && r.last >= first) return true;
  return false;
}

SbStatus DriveIo(State& s, uint32_t index, uint64_t first, uint64_t count, void* out,
                 const void* in) {
  Drive& d = s.drives[index];
  if (d.flags & SB_DRIVE_FLAG_OFFLINE) return SB_STATUS_NOT_READY;
  if (first > d.sectors || count > d.sectors - first) return SB_STATUS_SEEK;
  if (in && d.read_only) return SB_STATUS_WRITE_PROTECT;
  const std::streamoff pos = static_cast<std::streamoff>(first * d.sector_size);
  const std::streamsize bytes = static_cast<std::streamsize>(count * d.sector_size);
  d.file->clear();
  if (out) {
    d.file->seekg(pos);
    d.file->read(static_cast<char*>(out), bytes);
    if (d.file->gcount() != bytes) return SB_STATUS_DATA_ERROR;
    if (HitsBadSector(d, first, count)) return SB_STATUS_DATA_ERROR;
  } else {
    if (HitsBadSector(d, first, count)) return SB_STATUS_DATA_ERROR;
    d.file->seekp(pos);
    d.file->write(static_cast<const char*>(in), bytes);
    d.file->flush();
    if (!*d.file) return SB_STATUS_WRITE_PROTECT;
    for (Volume& v : s.volumes)
      for (const Extent& e : v.extents)
        if (e.drive == index + 1 && e.first < first + count && e.first + e.count > first) ++v.writes;
  }
  return SB_OK;
}

uint64_t VolumeSectors(const Volume& v) {
  uint64_t n = 0;
  for (const Extent& e : v.extents) n += e.count;
  return n;
}

uint32_t VolumeSectorSize(const State& s, const Volume& v) {
  return s.drives[v.extents.front().drive - 1].sector_size;
}

// Reads or writes volume sectors through its extents, in order.
SbStatus VolumeIo(State& s, uint32_t index, uint64_t first, uint64_t count, void* out,
                  const void* in, uint32_t* done = nullptr) {
  Volume& v = s.volumes[index];
  const uint64_t total = VolumeSectors(v);
  if (first > total || count > total - first) return SB_STATUS_SEEK;
  const uint32_t ss = VolumeSectorSize(s, v);
  SbStatus result = SB_OK;
  uint64_t base = 0, moved = 0;
  for (const Extent& e : v.extents) {
    if (count == 0) break;
    if (first < base + e.count) {
      const uint64_t offset = first - base;
      const uint64_t n = std::min(count, e.count - offset);
      const uint64_t at = moved * ss;
      SbStatus st = DriveIo(s, e.drive - 1, e.first + offset, n,
                            out ? static_cast<char*>(out) + at : nullptr,
                            in ? static_cast<const char*>(in) + at : nullptr);
      if (st == SB_STATUS_DATA_ERROR && out) {
        result = st;  // the data is there; the error is reported at the end
      } else if (st != SB_OK) {
        return st;
      }
      first += n;
      count -= n;
      moved += n;
    }
    base += e.count;
  }
  if (done) *done = static_cast<uint32_t>(moved);
  return result;
}

// ------------------------------------------------------------- notification

void DeliveryLoop() {
  State& s = S();
  struct Ending {
    std::atomic<unsigned>& count;
    ~Ending() { --count; }
  } ending{s.live_threads};
  for (;;) {
    SbNotification record;
    std::vector<Callback> targets;
    std::string log;
    {
      std::unique_lock<std::mutex> guard(s.lock);
      s.wake.wait(guard, [&] { return s.stop || !s.queue.empty(); });
      if (s.queue.empty()) return;  // stop asked and nothing pending
      record = s.queue.front();
      s.queue.pop_front();
      targets = s.callbacks;
      log = s.log_path;
    }
    std::lock_guard<std::mutex> running(s.delivery);
    for (const Callback& c : targets) {
      if (!(c.mask & record.type)) continue;
      const uint32_t answer = c.function(&record);
      WriteLog(log, "callback(type=%u, arg0=%u) = %u", record.type, record.arg0, answer);
    }
  }
}

}  // namespace

// ================================================================= set-up

extern "C" SbStatus SBCALL sbInitLibEx(const SbInitRecord* init, SbLibInfo* info) {
  State& s = S();
  std::unique_lock<std::mutex> guard(s.lock);
  if (s.initialised) {
    LOG("sbInitLibEx(flags=0x%x) = %u", init ? init->flags : 0u, SB_STATUS_ALREADY_INITIALIZED);
    return SB_STATUS_ALREADY_INITIALIZED;
  }
  ResetState(s);
  std::string path = s.config_override;
  if (path.empty()) {
    const char* env = std::getenv("PURGEKIT_SBLIB_CONFIG");
    path = env ? env : "";
  }
  std::string why;
  bool ok = path.empty() || LoadConfig(s, path, why);
  ok = ok && OpenImages(s, why);
  SbStatus status = SB_OK;
  if (!ok) status = SB_STATUS_NOT_FOUND;
  else if (!init || init->size != sizeof(SbInitRecord) || !info || info->size != sizeof(SbLibInfo))
    status = SB_STATUS_BAD_LENGTH;
  else if (SbStatus f = Injected(s, "sbInitLibEx")) status = f;
  if (info && info->size == sizeof(SbLibInfo)) {
    std::memset(reinterpret_cast<uint8_t*>(info) + 4, 0, sizeof(SbLibInfo) - 4);
    info->version = s.version;
    info->status_word = s.status_word;
    info->mode_word = s.mode_word;
  }
  LOG("sbInitLibEx(size=%u, flags=0x%x) = %u version=%u drives=%u volumes=%u%s%s",
      init ? init->size : 0u, init ? init->flags : 0u, status, s.version,
      static_cast<unsigned>(s.drives.size()), static_cast<unsigned>(s.volumes.size()),
      why.empty() ? "" : " error=", why.c_str());
  if (status != SB_OK) {
    const std::string log = s.log_path;
    ResetState(s);
    s.log_path = log;  // later calls before a successful init still log
    return status;
  }
  s.stop = false;
  ++s.live_threads;
  try {
    s.thread = std::thread(DeliveryLoop);
  } catch (...) {
    --s.live_threads;
    const std::string log = s.log_path;
    ResetState(s);
    s.log_path = log;
    return SB_STATUS_NO_MEMORY;
  }
  s.initialised = true;
  return SB_OK;
}

extern "C" SbStatus SBCALL sbSetGlobalFlags(uint32_t flags) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED : Injected(s, "sbSetGlobalFlags");
  if (st == SB_OK) s.global_flags = flags;
  LOG("sbSetGlobalFlags(0x%x) = %u", flags, st);
  return st;
}

extern "C" SbStatus SBCALL sbAddNotification(SbNotifyCallback callback, uint32_t mask,
                                             uint32_t reserved) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : !callback    ? SB_STATUS_INVALID_PARAMETER
                               : Injected(s, "sbAddNotification");
  if (st == SB_OK) s.callbacks.push_back({callback, mask});
  LOG("sbAddNotification(callback, %u, %u) = %u", mask, reserved, st);
  return st;
}

extern "C" SbStatus SBCALL sbRemoveNotification(SbNotifyCallback callback) {
  State& s = S();
  SbStatus st;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = std::find_if(s.callbacks.begin(), s.callbacks.end(),
                           [&](const Callback& c) { return c.function == callback; });
    st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
         : it == s.callbacks.end() ? SB_STATUS_NOT_FOUND
                                   : Injected(s, "sbRemoveNotification");
    if (st == SB_OK) s.callbacks.erase(it);
    LOG("sbRemoveNotification(callback) = %u", st);
  }
  return st;
}

extern "C" SbStatus SBCALL sbNotify(const SbNotification* record) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : (!record || record->size != sizeof(SbNotification)) ? SB_STATUS_BAD_LENGTH
                                                                       : Injected(s, "sbNotify");
  if (st == SB_OK) {
    s.queue.push_back(*record);
    s.wake.notify_all();
  }
  LOG("sbNotify(type=%u, arg0=%u, arg1=%u, start=%llu, length=%llu) = %u",
      record ? record->type : 0u, record ? record->arg0 : 0u, record ? record->arg1 : 0u,
      record ? U64(record->start) : 0ull, record ? U64(record->length) : 0ull, st);
  return st;
}

extern "C" SbStatus SBCALL sbDoneLib(void) {
  State& s = S();
  std::thread thread;
  std::string log;
  unsigned handles = 0, locks = 0, callbacks = 0, before = 0;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.initialised) {
      LOG("sbDoneLib() = %u", SB_STATUS_NOT_INITIALIZED);
      return SB_STATUS_NOT_INITIALIZED;
    }
    handles = static_cast<unsigned>(s.handles.size());
    locks = HeldLocks(s);
    callbacks = static_cast<unsigned>(s.callbacks.size());
    before = s.live_threads.load();
    s.stop = true;
    s.wake.notify_all();
    thread = std::move(s.thread);
    log = s.log_path;
  }
  // Pending notices are delivered before the thread ends.
  if (thread.joinable()) thread.join();
  // What the caller left behind, for the tests that check a clean end: the
  // library threads that ran when the caller asked for the end (one is
  // right), and those that still run once the join is over (none is).
  WriteLog(log,
           "sbDoneLib() = 0 threads_before=%u left: handles=%u locks=%u callbacks=%u threads=%u",
           before, handles, locks, callbacks, s.live_threads.load());
  std::lock_guard<std::mutex> guard(s.lock);
  ResetState(s);
  s.log_path = log;
  return SB_OK;
}

// ================================================================= drives

extern "C" SbStatus SBCALL sbGetDrives(uint32_t* count) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : !count       ? SB_STATUS_INVALID_PARAMETER
                               : Injected(s, "sbGetDrives");
  if (st == SB_OK) *count = static_cast<uint32_t>(s.drives.size());
  LOG("sbGetDrives() = %u count=%u", st, st == SB_OK ? *count : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbOpenDrive(uint32_t number, SbHandle* handle) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : !handle      ? SB_STATUS_INVALID_PARAMETER
                : (number == 0 || number > s.drives.size() || s.drives[number - 1].invisible)
                    ? SB_STATUS_NOT_FOUND
                    : Injected(s, "sbOpenDrive");
  if (handle) *handle = 0;
  if (st == SB_OK) *handle = NewHandle(s, Kind::Drive, number - 1);
  LOG("sbOpenDrive(%u) = %u handle=%u", number, st, handle ? *handle : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbGetDriveInfo(SbHandle drive, SbDriveInfo* info) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : (!info || info->size != sizeof(SbDriveInfo)) ? SB_STATUS_BAD_LENGTH
                                                                : Injected(s, "sbGetDriveInfo");
  if (st == SB_OK) {
    const Drive& d = s.drives[h->index];
    const uint32_t n = h->index;
    uint8_t* raw = reinterpret_cast<uint8_t*>(info);
    std::memset(raw + 4, 0, sizeof(SbDriveInfo) - 4);
    info->sector_count = d.sectors;
    info->heads = d.heads;
    info->sectors_per_track = d.sectors_per_track;
    info->bytes_per_sector = d.sector_size;
    info->interface_type = d.interface_type;
    info->target = n;
    std::snprintf(info->model, sizeof info->model, "%s", d.model.c_str());
    char name[64];
    std::snprintf(name, sizeof name, "\\Device\\Harddisk%u\\DR%u", n, n);
    for (size_t i = 0; name[i] && i + 1 < 256; ++i) info->device_name[i] = name[i];
    info->flags = d.flags;
    info->bios_drive = d.bios;
    if (d.has_bios_chs) {
      // The firmware's own view, whatever the flags say.
      info->bios_chs_sector =
          static_cast<uint8_t>((d.bios_sectors & 0x3F) | ((d.bios_max_cylinder >> 8) << 6));
      info->bios_chs_cylinder = static_cast<uint8_t>(d.bios_max_cylinder);
      info->bios_max_head = static_cast<uint8_t>(d.bios_max_head);
    } else if (d.flags & SB_DRIVE_FLAG_BIOS_CHS) {
      const uint64_t per_cyl = static_cast<uint64_t>(d.heads) * d.sectors_per_track;
      uint64_t cyl = per_cyl ? d.sectors / per_cyl : 0;
      cyl = cyl == 0 ? 0 : std::min<uint64_t>(cyl, 1024) - 1;
      info->bios_chs_sector =
          static_cast<uint8_t>((d.sectors_per_track & 0x3F) | ((cyl >> 8) << 6));
      info->bios_chs_cylinder = static_cast<uint8_t>(cyl);
      info->bios_max_head = static_cast<uint8_t>(d.heads ? d.heads - 1 : 0);
    }
    if ((d.flags & (SB_DRIVE_FLAG_BIOS_EXT_4 | SB_DRIVE_FLAG_BIOS_EXT_8)) ==
        (SB_DRIVE_FLAG_BIOS_EXT_4 | SB_DRIVE_FLAG_BIOS_EXT_8)) {
      // The firmware's extended parameters, in their 26-byte form (no
      // configuration pointer, so the serial that follows stays whole).
      uint8_t* edd = raw + SB_DRIVE_EDD_OFFSET;
      const uint16_t size = 26;
      std::memcpy(edd, &size, 2);
      std::memcpy(raw + SB_DRIVE_EDD_SECTORS_OFFSET, &d.sectors, 8);
      const uint16_t bps = static_cast<uint16_t>(d.sector_size);
      std::memcpy(raw + SB_DRIVE_EDD_SECTOR_SIZE_OFFSET, &bps, 2);
    }
    for (size_t i = 0; i < d.serial.size() && i + 1 < 256; ++i)
      info->serial[i] = static_cast<unsigned char>(d.serial[i]);
    info->physical_sector_size = d.sector_size;
    info->alignment_offset = 0;
  }
  LOG("sbGetDriveInfo(%u) = %u", drive, st);
  return st;
}

extern "C" SbStatus SBCALL sbReadDrive(SbHandle drive, uint64_t first_sector, uint32_t count,
                                       void* buffer) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h        ? SB_STATUS_INVALID_HANDLE
                : !buffer ? SB_STATUS_INVALID_PARAMETER
                          : Injected(s, "sbReadDrive");
  if (st == SB_OK) st = DriveIo(s, h->index, first_sector, count, buffer, nullptr);
  LOG("sbReadDrive(%u, %llu, %u) = %u", drive, U64(first_sector), count, st);
  return st;
}

extern "C" SbStatus SBCALL sbWriteDrive(SbHandle drive, uint64_t first_sector, uint32_t count,
                                        const void* buffer) {
  State& s = S();
  std::unique_lock<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h        ? SB_STATUS_INVALID_HANDLE
                : !buffer ? SB_STATUS_INVALID_PARAMETER
                          : Injected(s, "sbWriteDrive");
  if (st == SB_OK) {
    // A snapshot's old data is handed over before the write lands on it.
    HoldDriveWrite(s, guard, h->index, first_sector, count);
    h = Find(s, drive, Kind::Drive);
    if (!h) st = SB_STATUS_INVALID_HANDLE;
  }
  if (st == SB_OK && s.drives[h->index].lock_holder && s.drives[h->index].lock_holder != drive)
    st = SB_STATUS_LOCK_VIOLATION;
  if (st == SB_OK) st = DriveIo(s, h->index, first_sector, count, nullptr, buffer);
  LOG("sbWriteDrive(%u, %llu, %u) = %u", drive, U64(first_sector), count, st);
  return st;
}

extern "C" SbStatus SBCALL sbInvalidateDrive(SbHandle drive, const void* extent_list) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !Find(s, drive, Kind::Drive) ? SB_STATUS_INVALID_HANDLE
                                             : Injected(s, "sbInvalidateDrive");
  uint32_t entries = 0;
  if (extent_list) std::memcpy(&entries, extent_list, 4);
  LOG("sbInvalidateDrive(%u, entries=%u) = %u", drive, entries, st);
  return st;
}

extern "C" SbStatus SBCALL sbInitializeDrive(SbHandle drive, const SbInitializeRequest* request) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : (!request || request->size != sizeof(SbInitializeRequest)) ? SB_STATUS_BAD_LENGTH
                : request->kind != 0 ? SB_STATUS_NOT_SUPPORTED  // GPT is not laid out here
                                     : Injected(s, "sbInitializeDrive");
  if (st == SB_OK) {
    // An empty MBR: no partitions, the given signature, the boot mark.
    std::vector<uint8_t> sector(s.drives[h->index].sector_size);
    st = DriveIo(s, h->index, 0, 1, sector.data(), nullptr);
    if (st == SB_OK) {
      std::memset(sector.data() + 446, 0, 64);
      std::memcpy(sector.data() + 440, request->identity, 4);
      sector[510] = 0x55;
      sector[511] = 0xAA;
      st = DriveIo(s, h->index, 0, 1, nullptr, sector.data());
    }
  }
  LOG("sbInitializeDrive(%u, kind=%u) = %u", drive, request ? request->kind : 0u, st);
  return st;
}

extern "C" SbStatus SBCALL sbLockDrive(SbHandle drive, uint32_t mode, const char16_t* owner) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbLockDrive");
  if (st == SB_OK) {
    Drive& d = s.drives[h->index];
    if (d.lock_holder && d.lock_holder != drive) {
      st = SB_STATUS_LOCK_VIOLATION;
    } else {
      d.lock_holder = drive;
      d.owner = owner ? std::u16string(owner) : std::u16string();
    }
  }
  LOG("sbLockDrive(%u, %u) = %u", drive, mode, st);
  return st;
}

extern "C" SbStatus SBCALL sbUnlockDrive(SbHandle drive) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : s.drives[h->index].lock_holder != drive ? SB_STATUS_NOT_LOCKED
                                                          : Injected(s, "sbUnlockDrive");
  if (st == SB_OK) {
    s.drives[h->index].lock_holder = 0;
    s.drives[h->index].owner.clear();
  }
  LOG("sbUnlockDrive(%u) = %u", drive, st);
  return st;
}

extern "C" SbStatus SBCALL sbGetLockDriveOwner(SbHandle drive, char16_t* buffer, uint32_t* bytes) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : !bytes ? SB_STATUS_INVALID_PARAMETER
                : !s.drives[h->index].lock_holder ? SB_STATUS_NOT_LOCKED
                                                  : Injected(s, "sbGetLockDriveOwner");
  if (st == SB_OK) {
    const std::u16string& owner = s.drives[h->index].owner;
    const uint32_t need = static_cast<uint32_t>((owner.size() + 1) * 2);
    if (buffer && *bytes < need) st = SB_STATUS_MORE_DATA;
    else if (buffer) std::memcpy(buffer, owner.c_str(), need);
    *bytes = need;
  }
  LOG("sbGetLockDriveOwner(%u) = %u bytes=%u", drive, st, bytes ? *bytes : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbMakeDriveInvisible(SbHandle drive) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbMakeDriveInvisible");
  if (st == SB_OK) s.drives[h->index].invisible = true;
  LOG("sbMakeDriveInvisible(%u) = %u", drive, st);
  return st;
}

extern "C" SbStatus SBCALL sbSetVolumeLetterEx(SbHandle drive, uint64_t first_sector,
                                               uint64_t sector_count, uint32_t letter) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbSetVolumeLetterEx");
  if (st == SB_OK) {
    st = SB_STATUS_NOT_FOUND;
    for (Volume& v : s.volumes)
      if (!v.deleted && v.extents.size() == 1 && v.extents[0].drive == h->index + 1 &&
          v.extents[0].first == first_sector && v.extents[0].count == sector_count) {
        v.letter = static_cast<char>(LetterMask(std::string(1, static_cast<char>(letter)))
                                         ? (letter & ~0x20u)
                                         : 0);
        st = SB_OK;
        break;
      }
  }
  LOG("sbSetVolumeLetterEx(%u, %llu, %llu, %u) = %u", drive, U64(first_sector),
      U64(sector_count), letter, st);
  return st;
}

// ================================================================ volumes

extern "C" SbStatus SBCALL sbGetVolumes(uint32_t* count) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : !count       ? SB_STATUS_INVALID_PARAMETER
                               : Injected(s, "sbGetVolumes");
  if (st == SB_OK) *count = static_cast<uint32_t>(s.volumes.size());
  LOG("sbGetVolumes() = %u count=%u", st, st == SB_OK ? *count : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbOpenVolume(uint32_t number, SbHandle* handle) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : !handle      ? SB_STATUS_INVALID_PARAMETER
                : (number == 0 || number > s.volumes.size() || s.volumes[number - 1].deleted)
                    ? SB_STATUS_NOT_FOUND
                : s.volumes[number - 1].skip ? SB_STATUS_SKIP_VOLUME
                                             : Injected(s, "sbOpenVolume");
  if (handle) *handle = 0;
  if (st == SB_OK) *handle = NewHandle(s, Kind::Volume, number - 1);
  LOG("sbOpenVolume(%u) = %u handle=%u", number, st, handle ? *handle : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbGetVolumeInfo(SbHandle volume, SbVolumeInfo* info) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : (!info || info->size != sizeof(SbVolumeInfo)) ? SB_STATUS_BAD_LENGTH
                                                                 : Injected(s, "sbGetVolumeInfo");
  if (st == SB_OK) {
    const Volume& v = s.volumes[h->index];
    // The caller's buffers are the only input besides the size.
    void* extents = SbGetAddress(info->extents, info->extents_high);
    const uint32_t extents_room = info->extents_size;
    void* unique = SbGetAddress(info->unique_id, info->unique_id_high);
    const uint32_t unique_room = info->unique_id_size;

    info->sector_size = VolumeSectorSize(s, v);
    info->sector_count = VolumeSectors(v);
    std::snprintf(info->device_name, sizeof info->device_name, "\\Device\\HarddiskVolume%u",
                  h->index + 1);
    std::memset(info->path, 0, sizeof info->path);
    if (v.letter) {
      info->path[0] = static_cast<char16_t>(v.letter);
      info->path[1] = u':';
      info->path[2] = u'\\';
    }
    info->letter = static_cast<uint8_t>(v.letter);
    info->flags = v.flags;
    info->locations = v.locations ? 1 : 0;
    std::memcpy(info->partition_type, v.type, 16);

    const uint32_t need_extents =
        v.no_extents ? 0 : static_cast<uint32_t>(v.extents.size() * sizeof(SbVolumeExtent));
    if (extents && need_extents && extents_room >= need_extents) {
      auto* out = static_cast<SbVolumeExtent*>(extents);
      for (size_t i = 0; i < v.extents.size(); ++i) {
        out[i] = SbVolumeExtent{};
        out[i].drive_number = v.extents[i].drive;
        out[i].first_sector = v.extents[i].first;
        out[i].sector_count = v.extents[i].count;
      }
    }
    info->extents_size = need_extents;

    // Unique ID: tag bytes then the volume GUID as its last 16 bytes (all
    // tag when shorter than a GUID). Only what fits the caller's room is
    // written.
    const uint16_t size = unique && v.unique_size_later ? v.unique_size_later : v.unique_size;
    if (unique && unique_room > 0) {
      uint8_t* out = static_cast<uint8_t*>(unique);
      static const uint8_t tag[8] = {'S', 'B', 'V', 'O', 'L', 'I', 'D', ':'};
      for (uint32_t i = 0; i < size && i < unique_room; ++i)
        out[i] = size >= 16 && i >= size - 16u ? v.guid[i - (size - 16u)] : tag[i % 8];
    }
    info->unique_id_size = size;
  }
  LOG("sbGetVolumeInfo(%u) = %u", volume, st);
  return st;
}

extern "C" uint32_t SBCALL sbGetFreeLetters(void) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  uint32_t mask = 0;
  if (s.initialised) {
    uint32_t used = s.used_letters;
    for (const Volume& v : s.volumes)
      if (!v.deleted && v.letter) used |= 1u << (v.letter - 'A');
    mask = ~used & 0x3FFFFFFu;
  }
  LOG("sbGetFreeLetters() = 0x%x", mask);
  return mask;
}

extern "C" SbStatus SBCALL sbGetVolumeNumber(const char16_t* path, uint32_t* number) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !s.initialised ? SB_STATUS_NOT_INITIALIZED
                : (!path || !number) ? SB_STATUS_INVALID_PARAMETER
                                     : Injected(s, "sbGetVolumeNumber");
  char letter = 0;
  if (st == SB_OK) {
    st = SB_STATUS_NOT_FOUND;
    if (path[0] && path[1] == u':' && path[0] < 128)
      letter = static_cast<char>(path[0] & ~0x20);
    for (size_t i = 0; letter && i < s.volumes.size(); ++i)
      if (!s.volumes[i].deleted && s.volumes[i].letter == letter) {
        *number = static_cast<uint32_t>(i + 1);
        st = SB_OK;
        break;
      }
  }
  LOG("sbGetVolumeNumber(%c:) = %u number=%u", letter ? letter : '?', st,
      st == SB_OK ? *number : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbReadVolume(SbHandle volume, uint64_t first_sector, uint32_t count,
                                        void* buffer) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h        ? SB_STATUS_INVALID_HANDLE
                : !buffer ? SB_STATUS_INVALID_PARAMETER
                          : Injected(s, "sbReadVolume");
  if (st == SB_OK) st = VolumeIo(s, h->index, first_sector, count, buffer, nullptr);
  LOG("sbReadVolume(%u, %llu, %u) = %u", volume, U64(first_sector), count, st);
  return st;
}

extern "C" SbStatus SBCALL sbWriteVolume(SbHandle volume, uint64_t first_sector, uint32_t count,
                                         const void* buffer) {
  State& s = S();
  std::unique_lock<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h        ? SB_STATUS_INVALID_HANDLE
                : !buffer ? SB_STATUS_INVALID_PARAMETER
                          : Injected(s, "sbWriteVolume");
  if (st == SB_OK) {
    // A snapshot's old data is handed over before the write lands on it.
    HoldVolumeWrite(s, guard, h->index, first_sector, count);
    h = Find(s, volume, Kind::Volume);
    if (!h) st = SB_STATUS_INVALID_HANDLE;
  }
  if (st == SB_OK && s.volumes[h->index].lock_holder &&
      s.volumes[h->index].lock_holder != volume)
    st = SB_STATUS_LOCK_VIOLATION;
  if (st == SB_OK) st = VolumeIo(s, h->index, first_sector, count, nullptr, buffer);
  LOG("sbWriteVolume(%u, %llu, %u) = %u", volume, U64(first_sector), count, st);
  return st;
}

extern "C" SbStatus SBCALL sbLockVolume(SbHandle volume, uint32_t mode) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbLockVolume");
  if (st == SB_OK) {
    Volume& v = s.volumes[h->index];
    if (v.lock_holder && v.lock_holder != volume) st = SB_STATUS_LOCK_VIOLATION;
    else if (v.held && (mode == 1 || mode == 2)) st = SB_STATUS_LOCK_VIOLATION;
    else if (mode == 4) v.lock_holder = 0;  // given back for now
    else if (mode == 1 || mode == 2) v.lock_holder = volume;
    else st = SB_STATUS_INVALID_PARAMETER;
  }
  LOG("sbLockVolume(%u, %u) = %u", volume, mode, st);
  return st;
}

extern "C" SbStatus SBCALL sbUnlockVolume(SbHandle volume) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : s.volumes[h->index].lock_holder != volume ? SB_STATUS_NOT_LOCKED
                                                            : Injected(s, "sbUnlockVolume");
  if (st == SB_OK) s.volumes[h->index].lock_holder = 0;
  LOG("sbUnlockVolume(%u) = %u", volume, st);
  return st;
}

extern "C" SbStatus SBCALL sbSetVolumeLetter(SbHandle volume, uint32_t letter) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbSetVolumeLetter");
  if (st == SB_OK) {
    s.volumes[h->index].letter = static_cast<char>(
        LetterMask(std::string(1, static_cast<char>(letter))) ? (letter & ~0x20u) : 0);
    if (s.volumes[h->index].letter_pending) st = SB_STATUS_LETTER_PENDING;
  }
  LOG("sbSetVolumeLetter(%u, %u) = %u", volume, letter, st);
  return st;
}

namespace {
SbStatus SimpleVolumeCall(const char* name, SbHandle volume) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !Find(s, volume, Kind::Volume) ? SB_STATUS_INVALID_HANDLE : Injected(s, name);
  LOG("%s(%u) = %u", name, volume, st);
  return st;
}
}  // namespace

extern "C" SbStatus SBCALL sbDismountVolume(SbHandle volume) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbDismountVolume");
  // The other program's hold goes with the mount.
  if (st == SB_OK) s.volumes[h->index].held = false;
  LOG("sbDismountVolume(%u) = %u", volume, st);
  return st;
}

extern "C" SbStatus SBCALL sbUnhideVolume(SbHandle volume) {
  return SimpleVolumeCall("sbUnhideVolume", volume);
}

extern "C" SbStatus SBCALL sbCreateVolume(SbHandle drive, uint64_t first_sector,
                                          uint64_t sector_count, uint32_t* number, uint32_t letter,
                                          uint32_t reserved1, uint32_t reserved2,
                                          SbHandle* handle) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, drive, Kind::Drive);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : (!number || !handle || sector_count == 0) ? SB_STATUS_INVALID_PARAMETER
                                                            : Injected(s, "sbCreateVolume");
  if (handle) *handle = 0;
  if (st == SB_OK) {
    const Drive& d = s.drives[h->index];
    if (first_sector > d.sectors || sector_count > d.sectors - first_sector) {
      st = SB_STATUS_SEEK;
    } else {
      Volume v;
      v.extents.push_back({h->index + 1, first_sector, sector_count});
      if (LetterMask(std::string(1, static_cast<char>(letter))))
        v.letter = static_cast<char>(letter & ~0x20u);
      const uint32_t id = static_cast<uint32_t>(s.volumes.size() + 1);
      v.guid[0] = 0xC7;
      v.guid[14] = static_cast<uint8_t>(id >> 8);
      v.guid[15] = static_cast<uint8_t>(id);
      s.volumes.push_back(v);
      *number = id;
      *handle = NewHandle(s, Kind::Volume, id - 1);
    }
  }
  LOG("sbCreateVolume(%u, %llu, %llu, %u, %u, %u) = %u number=%u handle=%u", drive,
      U64(first_sector), U64(sector_count), letter, reserved1, reserved2, st,
      st == SB_OK ? *number : 0u, handle ? *handle : 0u);
  return st;
}

extern "C" SbStatus SBCALL sbDeleteVolume(SbHandle volume) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbDeleteVolume");
  if (st == SB_OK) {
    // The handle goes with the volume: callers forget it either way.
    s.volumes[h->index].deleted = true;
    s.volumes[h->index].lock_holder = 0;
    s.handles.erase(volume);
  }
  LOG("sbDeleteVolume(%u) = %u", volume, st);
  return st;
}

extern "C" SbStatus SBCALL sbExtendVolume(SbHandle volume, uint64_t new_sector_count) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbExtendVolume");
  if (st == SB_OK) {
    Volume& v = s.volumes[h->index];
    Extent& last = v.extents.back();
    const uint64_t others = VolumeSectors(v) - last.count;
    const Drive& d = s.drives[last.drive - 1];
    if (new_sector_count <= others || new_sector_count - others > d.sectors - last.first)
      st = SB_STATUS_INVALID_PARAMETER;
    else
      last.count = new_sector_count - others;
  }
  LOG("sbExtendVolume(%u, %llu) = %u", volume, U64(new_sector_count), st);
  return st;
}

extern "C" SbStatus SBCALL sbGetVolumeStat(SbHandle volume, SbVolumeStat* stat) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : (!stat || stat->size != sizeof(SbVolumeStat)) ? SB_STATUS_BAD_LENGTH
                                                                 : Injected(s, "sbGetVolumeStat");
  if (st == SB_OK) {
    std::memset(reinterpret_cast<uint8_t*>(stat) + 4, 0, sizeof(SbVolumeStat) - 4);
    stat->write_counter = s.volumes[h->index].writes;
  }
  LOG("sbGetVolumeStat(%u) = %u", volume, st);
  return st;
}

extern "C" SbStatus SBCALL sbGetVolumeOpenedFiles(SbHandle volume, uint32_t* bytes, void* buffer) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Handle* h = Find(s, volume, Kind::Volume);
  SbStatus st = !h ? SB_STATUS_INVALID_HANDLE
                : !bytes ? SB_STATUS_INVALID_PARAMETER
                         : Injected(s, "sbGetVolumeOpenedFiles");
  uint32_t need = 0;
  if (st == SB_OK) {
    // The configured text in UTF-16, with its terminator unless told not to.
    const Volume& v = s.volumes[h->index];
    std::u16string text = v.open_files;
    if (!text.empty() && !v.open_files_raw) text.push_back(u'\0');
    need = static_cast<uint32_t>(text.size() * sizeof(char16_t));
    if (buffer && *bytes < need) st = SB_STATUS_MORE_DATA;
    else if (buffer) std::memcpy(buffer, text.data(), need);
    *bytes = need;
  }
  LOG("sbGetVolumeOpenedFiles(%u) = %u bytes=%u", volume, st, need);
  return st;
}

extern "C" SbStatus SBCALL sbGetVolumeOpenedFileIDs(SbHandle volume, uint32_t kind,
                                                    uint32_t* count, void* buffer) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  SbStatus st = !Find(s, volume, Kind::Volume) ? SB_STATUS_INVALID_HANDLE
                                               : Injected(s, "sbGetVolumeOpenedFileIDs");
  // No open files: the library answers "invalid parameter" for that.
  if (st == SB_OK) st = SB_STATUS_INVALID_PARAMETER;
  if (count) *count = 0;
  LOG("sbGetVolumeOpenedFileIDs(%u, %u) = %u", volume, kind, st);
  return st;
}

// ============================================================== snapshots

#include "standin_snapshots.inc"

// ============================================================ any handle

extern "C" SbStatus SBCALL sbClose(SbHandle handle) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.handles.find(handle);
  SbStatus st = it == s.handles.end() ? SB_STATUS_INVALID_HANDLE : Injected(s, "sbClose");
  if (st == SB_OK) {
    const Handle h = it->second;
    s.handles.erase(it);
    // Locks end with the handle that holds them.
    if (h.kind == Kind::Drive && s.drives[h.index].lock_holder == handle)
      s.drives[h.index].lock_holder = 0;
    if (h.kind == Kind::Volume && s.volumes[h.index].lock_holder == handle)
      s.volumes[h.index].lock_holder = 0;
    if (h.kind == Kind::Snapshot) CloseSnapshot(s, h.index);
  }
  LOG("sbClose(%u) = %u", handle, st);
  return st;
}

// ============================================================ test control

namespace sblib_standin {

void SetConfigPath(const std::string& path) {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  s.config_override = path;
}

Census TakeCensus() {
  State& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  Census c;
  c.handles = static_cast<unsigned>(s.handles.size());
  c.locks = HeldLocks(s);
  c.threads = s.live_threads.load();
  c.initialised = s.initialised;
  return c;
}

}  // namespace sblib_standin
