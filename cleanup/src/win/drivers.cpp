// Removal of the products' filter drivers and services.
#include "cleanup/drivers.h"

#include <shlobj.h>

#include <foundation/registry_security.h>

#include <memory>
#include <optional>
#include <vector>

#include "cleanup/registry_helpers.h"
#include "cleanup/steps.h"
#include "files/dir.h"
#include "files/temp_folder.h"
#include "files/win/win_dir.h"
#include "inst_drv/inst_drv.h"
#include "inst_drv/inst_drv_text.h"
#include "windows/layer.h"

namespace Cleanup {

namespace {

constexpr char16_t kRunOnceKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr char16_t kPendingSetupValue[] = u"!*Quorvel rvd setup";
constexpr char kVersionedFilter[] = "tolbrin";

const wchar_t* W(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string Widen(const char* text) {
  std::u16string out;
  for (const char* p = text; *p; ++p) out += static_cast<char16_t>(static_cast<unsigned char>(*p));
  return out;
}

// A payload file that is not written gives its error; never 0, so that a
// removal without its files cannot pass for done.
DWORD ExtractFailure() {
  const DWORD error = GetLastError();
  return error != 0 ? error : ERROR_FILE_NOT_FOUND;
}

// The helper files into the folder; the setup folder then names it.
DWORD ExtractHelpers(TempFolder& folder) {
  std::u16string library, program;
  if (!folder.Extract(u"kardnt.dll", library)) return ExtractFailure();
  if (!folder.Extract(u"kardapp.exe", program)) return ExtractFailure();
  const std::size_t cut = program.rfind(u'\\');
  const std::u16string setupFolder = cut == std::u16string::npos ? u"" : program.substr(0, cut + 1);
  InstDrv::SetSetupDllPath(W(setupFolder));
  return 0;
}

void RemoveFromClassList(const char* classKey, const char* list, const char* name) {
  InstDrv::RemoveFromMultiSzValue(HKEY_LOCAL_MACHINE, classKey, list, name, false);
}

bool SystemFolder(std::u16string& folder) {
  wchar_t path[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, 0, path))) return false;
  folder = reinterpret_cast<const char16_t*>(path);
  return true;
}

// Starts the setup command a product left for the next logon, hidden and
// without waiting, and deletes its value. Read from the 32-bit view, where
// the products' 32-bit installers wrote it.
void RunPendingSetupCommand() {
  RegistryViewFlag = false;
  RegistryKeyHolder runOnce = OpenRegistryKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
  if (!runOnce) return;
  wchar_t probe[1];
  DWORD size = 0;
  if (RegQueryValueExW(*runOnce, W(kPendingSetupValue), nullptr, nullptr,
                       reinterpret_cast<BYTE*>(probe), &size) == ERROR_MORE_DATA) {
    // Room for the reported bytes and a terminator the value may lack.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    DWORD read = size;
    if (RegQueryValueExW(*runOnce, W(kPendingSetupValue), nullptr, nullptr,
                         reinterpret_cast<BYTE*>(text.data()), &read) == ERROR_SUCCESS) {
      const std::wstring parameters = std::wstring(L"/Q /C ") + text.data();
      WindowsLayerInstance->ShellExecuteW(nullptr, L"open", L"CMD", parameters.c_str(), nullptr,
                                          SW_HIDE);
    }
  }
  RegDeleteValueW(*runOnce, W(kPendingSetupValue));
}

struct DeleteCommand {
  const char16_t* value;
  const char16_t* file;
};

const DeleteCommand kDriverFileCommands[] = {
    {u"DelMirtel", u"mirtel.sys"},
    {u"DelRvd", u"wobra*.sys"},  // every numbered build of the driver file
    {u"DelHmbmounter", u"hmb_mounter.sys"},
    {u"DelHmmounter", u"hmmntr.sys"},
    {u"DelQuensa", u"quensa.sys"},
};

// The RunOnce key of the native view: the commands run at the next logon
// from 64-bit Windows' own RunOnce processing.
RegistryKeyHolder OpenNativeRunOnce() {
  RegistryViewFlag = Common::IsWow64();
  return OpenRegistryKey(HKEY_LOCAL_MACHINE, kRunOnceKey);
}

void QueueDriverStepCommands() {
  RegistryKeyHolder runOnce = OpenNativeRunOnce();
  if (!runOnce) return;
  std::u16string system;
  if (SystemFolder(system)) {
    for (const DeleteCommand& command : kDriverFileCommands)
      WriteRegistryString(runOnce, command.value, DriverFileDeleteCommand(system, command.file));
  }
  WriteRegistryString(runOnce, u"DelQuorvelReg", u"REG DELETE \"HKLM\\Software\\Quorvel\" /F");
}

}  // namespace

std::u16string DriverFileDeleteCommand(const std::u16string& systemFolder,
                                       const std::u16string& file) {
  return u"CMD /C DEL /F /Q \"" + systemFolder + u"\\drivers\\" + file + u"\"";
}

bool ReplaceFirstInFile(const std::u16string& path, const std::string& find,
                        const std::string& replacement) {
  auto* current = dynamic_cast<rio_dir*>(GetCurrentDirObject());
  if (current == nullptr) return false;
  std::unique_ptr<rio_file> file(current->open_file_rw(path.c_str(), false));
  if (!file || file->has_failed()) return false;
  const std::uint64_t size = file->size();
  if (file->has_failed() || size > 0x7FFFFFFF) return false;
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0) file->read_exact(&text[0], static_cast<std::uint32_t>(size));
  if (file->has_failed()) return false;
  const std::size_t at = InstDrv::FindFirst(text, find);
  if (at == std::string::npos) return false;
  const std::string tail = replacement + text.substr(at + find.size());
  file->seek_set(static_cast<std::int64_t>(at));
  if (file->has_failed()) return false;
  file->write_exact(tail.data(), static_cast<std::uint32_t>(tail.size()));
  // A shorter replacement must not leave the old content's last bytes
  // behind the new end.
  file->set_size(at + tail.size());
  return !file->has_failed();
}

DWORD RunRemovalInf(const char* infName, const char* description, const char* find,
                    const char* replacement) {
  TempFolder folder;
  DWORD result = ExtractHelpers(folder);
  if (result != 0) return result;
  std::u16string inf;
  if (!folder.Extract(Widen(infName), inf)) return ExtractFailure();
  if (find != nullptr && replacement != nullptr && std::string(find) != replacement) {
    // On failure the .inf stays as written and the removal goes on.
    ReplaceFirstInFile(inf, find, replacement);
  }
  return InstDrv::UninstallDriver(description, 0, std::wstring(W(inf)), false);
}

DWORD RemoveArchiveMounter() {
  RemoveFromClassList(InstDrv::kVolumeClassKey, "UpperFilters", "hmmounter");
  RemoveFromClassList(InstDrv::kVolumeClassKey, "UpperFilters", "hmb_mounter");
  return RunRemovalInf("hmmounter_del.inf", "Quorvel Backup Archive Explorer", nullptr, nullptr);
}

DWORD RemoveSnapshotFilters() {
  RemoveFromClassList(InstDrv::kVolumeClassKey, "LowerFilters", "mirtel");
  RemoveFromClassList(InstDrv::kVolumeClassKey, "UpperFilters", "mirtel");
  RemoveFromClassList(InstDrv::kVolumeClassKey, "UpperFilters", "quensa");
  RemoveFromClassList(InstDrv::kDiskClassKey, "UpperFilters", "mirtel");
  RemoveFromClassList(InstDrv::kDiskClassKey, "UpperFilters", "quensa");
  RunRemovalInf("mirtel_del.inf", nullptr, nullptr, nullptr);
  return RunRemovalInf("quensa_del.inf", nullptr, nullptr, nullptr);
}

DWORD RemoveVersionedVolumeFilter() {
  TempFolder folder;
  DWORD result = ExtractHelpers(folder);
  if (result != 0) return result;
  std::u16string inf;
  if (!folder.Extract(u"wobrant_del.inf", inf)) return ExtractFailure();
  // Logged: this removal writes the install log when its folder exists.
  return InstDrv::UninstallLowerFilterDriver(std::wstring(W(inf)), 0, true);
}

int RemoveDriversAndServices() {
  RunPendingSetupCommand();
  InstDrv::SetInstallMode();
  RemoveArchiveMounter();
  RemoveSnapshotFilters();
  RemoveVersionedVolumeFilter();
  RunRemovalInf("zelcapsrv_del.inf", nullptr, nullptr, nullptr);
  RunRemovalInf("zelcap_del.inf", nullptr, nullptr, nullptr);
  RunRemovalInf("brumelsrv_del.inf", nullptr, nullptr, nullptr);
  QueueDriverStepCommands();
  return 0;
}

std::string FindVersionedFilterSuffix() {
  RegistryViewFlag = Common::IsWow64();
  RegistryKeyHolder services =
      OpenRegistryKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\services");
  if (!services) return "";
  DWORD count = 0;
  if (!CountSubkeys(services, count)) return "";
  for (DWORD index = 0; index < count; ++index) {
    std::u16string name;
    if (!EnumSubkeyName(services, index, name)) continue;
    // Any program may name a service key; only "tolbrin" and digits is the
    // filter, and only digits may reach the command line and the .inf.
    if (std::optional<std::string> suffix = VersionedFilterSuffix(name)) return *suffix;
  }
  return "";
}

int RemoveDiskFilterDrivers() {
  const std::string suffix = FindVersionedFilterSuffix();
  const std::string name = kVersionedFilter + suffix;
  const std::string file = suffix.empty() ? "tolbrin.sys" : "tolbr" + suffix + ".sys";
  RemoveFromClassList(InstDrv::kDiskClassKey, "LowerFilters", name.c_str());
  RunRemovalInf("flt_remove.inf", nullptr, kVersionedFilter, name.c_str());
  RunRemovalInf("vdd_remove.inf", nullptr, nullptr, nullptr);

  RegistryKeyHolder runOnce = OpenNativeRunOnce();
  std::u16string system;
  if (runOnce && SystemFolder(system)) {
    WriteRegistryString(runOnce, u"DelHesklor", DriverFileDeleteCommand(system, u"hesklor.sys"));
    WriteRegistryString(runOnce, u"DelTolbrin",
                        DriverFileDeleteCommand(system, Widen(file.c_str())));
  }
  return 0;
}

}  // namespace Cleanup
