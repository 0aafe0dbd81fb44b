// NT object names of Win32 paths.
#include "files/win/helpers.h"

namespace {

constexpr char16_t kDevicePrefix[] = u"\\Device\\";
constexpr std::size_t kDevicePrefixLength = 8;

bool StartsWith(const std::u16string& text, const char16_t* prefix, std::size_t length) {
  return text.compare(0, length, prefix, length) == 0;
}

// The largest byte length a UNICODE_STRING can describe.
constexpr std::size_t kMaxNameBytes = 0xFFFE;

}  // namespace

NtObjectPath::NtObjectPath(const char16_t* win32Path) {
  const std::u16string path = win32Path ? win32Path : u"";
  if (StartsWith(path, kDevicePrefix, kDevicePrefixLength)) {
    name_ = path;
  } else if (path.size() < 2 || path[0] != u'\\' || path[1] != u'\\') {
    name_ = u"\\??\\" + path;
  } else if (path.size() >= 4 && path[2] == u'?' && path[3] == u'\\') {
    name_ = u"\\??\\" + path.substr(4);
  } else {
    name_ = u"\\??\\UNC\\" + path.substr(2);
  }

  const std::size_t bytes = name_.size() * sizeof(char16_t);
  valid_ = bytes <= kMaxNameBytes;
  if (!valid_) name_.clear();
  unicode_.Length = static_cast<USHORT>(valid_ ? bytes : 0);
  unicode_.MaximumLength = unicode_.Length;
  unicode_.Buffer = reinterpret_cast<PWSTR>(&name_[0]);

  attributes_.Length = sizeof(OBJECT_ATTRIBUTES);
  attributes_.RootDirectory = nullptr;
  attributes_.ObjectName = &unicode_;
  attributes_.Attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
  attributes_.SecurityDescriptor = nullptr;
  attributes_.SecurityQualityOfService = nullptr;
}
