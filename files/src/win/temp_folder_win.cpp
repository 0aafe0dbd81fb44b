// The temporary folder on Windows: GUID folder, extraction, clean-up.
#include "files/temp_folder.h"

#include <memory>

#include "files/dir.h"
#include "files/resource.h"
#include "files/win/win_dir.h"
#include "foundation/random.h"
#include "foundation/text.h"
#include "windows/layer.h"

namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

}  // namespace

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH] = {};
  DWORD length = WindowsLayerInstance->GetTempPathW(MAX_PATH, temp);
  if (length > 0 && length < MAX_PATH) {
    if (temp[length - 1] == L'\\') temp[--length] = L'\0';
    folder_.assign(reinterpret_cast<const char16_t*>(temp), length);
  }

  Common::Guid guid{};
  Common::GuidNewRandom(guid);
  char text[64] = {};
  Common::GuidToString(text, guid);
  std::u16string candidate = folder_ + u"\\" + Common::AnsiToWide(text);
  if (WindowsLayerInstance->CreateDirectoryW(W(candidate), nullptr)) {
    folder_ = std::move(candidate);
    created_ = true;
  }
}

TempFolder::~TempFolder() {
  for (const std::u16string& path : extracted_) WindowsLayerInstance->DeleteFileW(W(path));
  if (created_) WindowsLayerInstance->RemoveDirectoryW(W(folder_));
}

bool TempFolder::Extract(const std::u16string& name, std::u16string& fullPath) {
  std::u16string target = folder_ + u"\\" + name;
  if (!ExtractEntryToFile(name, target)) return false;
  extracted_.push_back(target);
  fullPath = target;
  return true;
}

bool ExtractEntryToFile(const std::u16string& name, const std::u16string& target) {
  std::unique_ptr<si_file> entry(OpenArchiveResource(name.c_str()));
  if (!entry || entry->has_failed()) return false;

  o_dir* current = dynamic_cast<o_dir*>(GetCurrentDirObject());
  if (current == nullptr) return false;
  std::unique_ptr<ro_file> file(current->create_file(target.c_str(), false, nullptr));
  if (!file) return false;
  bool ok = !file->has_failed() && CopyEntryToFile(*entry, *file);
  file.reset();  // closed before it can be deleted
  // A partial or empty file must not pass for the payload file.
  if (!ok) WindowsLayerInstance->DeleteFileW(W(target));
  return ok;
}
