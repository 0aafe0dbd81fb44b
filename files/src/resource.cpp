// The payload locator: disk probes in front of the payload archive.
#include "files/resource.h"

#include <memory>
#include <new>

#include "files/zip.h"

#ifdef _WIN32
// files/src/win/resource_win.cpp: the file layer's current directory and
// program path.
i_dir* ResourcePlatformCurrentDir();
const char16_t* ResourcePlatformModulePath();
ResourceEnvironment ResourceLocatorEnvironment = {&ResourcePlatformCurrentDir,
                                                  &ResourcePlatformModulePath};
#else
ResourceEnvironment ResourceLocatorEnvironment = {nullptr, nullptr};
#endif

ResourceOpenerFunction ResourceOpener = &DefaultResourceOpener;

int ResourceProbeState = kResourceProbeUnset;

namespace {

zip_file* archiveCache = nullptr;
ri_file* archiveFileCache = nullptr;

i_dir* CurrentDir() {
  return ResourceLocatorEnvironment.currentDir ? ResourceLocatorEnvironment.currentDir()
                                               : nullptr;
}

const char16_t* ModulePath() {
  return ResourceLocatorEnvironment.modulePath ? ResourceLocatorEnvironment.modulePath()
                                               : nullptr;
}

// Resources are handed out as sized input files; anything else that a
// directory gives back is not one and is dropped.
si_file* AsSizedInput(i_file* file) {
  if (file == nullptr) return nullptr;
  if (si_file* sized = dynamic_cast<si_file*>(file)) return sized;
  delete file;
  return nullptr;
}

si_file* OpenOnDisk(const char16_t* name) {
  i_dir* current = CurrentDir();
  if (current == nullptr) return nullptr;
  if (si_file* file = AsSizedInput(current->open_file(name, false))) return file;

  const char16_t* program = ModulePath();
  if (program == nullptr) return nullptr;
  const char16_t* rest = program;
  std::unique_ptr<i_dir> programDir(current->open_parent(&rest));
  if (!programDir) return nullptr;
  return AsSizedInput(programDir->open_file(name, false));
}

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

si_file* DefaultResourceOpener(const char* name) { return OpenResource(name); }

si_file* OpenResource(const char* name) {
  if (name == nullptr) return nullptr;
  std::u16string wide;
  for (const char* p = name; *p != '\0'; ++p)
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));

  si_file* file = nullptr;
  if (ResourceProbeState != kResourceProbeArchive) file = OpenOnDisk(wide.c_str());
  if (ResourceProbeState == kResourceProbeUnset)
    ResourceProbeState = file != nullptr ? kResourceProbeDisk : kResourceProbeArchive;
  if (file != nullptr) return file;
  return OpenArchiveResource(wide.c_str());
}

si_file* OpenArchiveResource(const char16_t* name) { return OpenArchiveEntry(name); }

si_file* OpenArchiveEntry(const char16_t* name) {
  const char16_t* program = ModulePath();
  if (program == nullptr || name == nullptr) return nullptr;
  zip_file* archive = OpenResourceArchive(program, archiveCache, archiveFileCache);
  if (archive == nullptr) return nullptr;
  return AsSizedInput(archive->open_file(name, false));
}

zip_file* OpenResourceArchive(const char16_t* programPath, zip_file*& zipCache,
                              ri_file*& fileCache) {
  if (zipCache != nullptr) return zipCache;
  if (fileCache == nullptr) {
    if (programPath == nullptr) return nullptr;
    std::u16string datName = ResourceArchiveName(programPath);
    fileCache = OpenFileInCurrentDir(datName.c_str());
    if (fileCache == nullptr) fileCache = OpenFileInCurrentDir(programPath);
    if (fileCache == nullptr) return nullptr;
  }
  zipCache = new (std::nothrow) zip_file(fileCache);
  return zipCache;
}

void CloseResourceArchive() {
  delete archiveCache;
  archiveCache = nullptr;
  delete archiveFileCache;
  archiveFileCache = nullptr;
}

ri_file* OpenFileInCurrentDir(const char16_t* path) {
  i_dir* current = CurrentDir();
  if (current == nullptr || path == nullptr) return nullptr;
  i_file* file = current->open_file(path, false);
  if (file == nullptr) return nullptr;
  if (ri_file* random = dynamic_cast<ri_file*>(file)) return random;
  delete file;
  return nullptr;
}

std::u16string ResourceArchiveName(std::u16string_view programPath) {
  std::size_t nameStart = 0;
  for (std::size_t i = programPath.size(); i > 0; --i) {
    if (IsPathSeparator(programPath[i - 1])) {
      nameStart = i;
      break;
    }
  }
  std::u16string_view fileName = programPath.substr(nameStart);
  std::size_t dot = fileName.rfind(u'.');
  // A name that only starts with a dot has no extension to replace.
  std::size_t keep = dot == std::u16string_view::npos || dot == 0 ? programPath.size()
                                                                   : nameStart + dot;
  std::u16string result(programPath.substr(0, keep));
  result += u".dat";
  return result;
}
