// The namespace key's path, built on ICU's string.
#include "cleanup/namespace_key.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

namespace Cleanup {
namespace {

std::u16string Text(const icu::UnicodeString& s) {
  return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

TEST(NameSpaceKey, PathNamesTheExtensionUnderMyComputer) {
  Processor::String path = MakeNameSpaceKeyPath();
  ASSERT_FALSE(path.isBogus());
  EXPECT_EQ(Text(path),
            u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\"
            u"{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A395}");
  // The registry takes the terminated buffer: no stray unit after the name.
  const char16_t* terminated = path.getTerminatedBuffer();
  ASSERT_NE(terminated, nullptr);
  EXPECT_EQ(std::u16string(terminated), Text(path));
}

TEST(NameSpaceKey, ProcessorStringIsAnIcuString) {
  static_assert(std::is_base_of<icu::UnicodeString, Processor::String>::value, "");
  static_assert(std::has_virtual_destructor<Processor::String>::value, "");
  // Deleting through the base runs the whole chain (ASan would see a leak
  // or a mismatch otherwise).
  std::unique_ptr<icu::UnicodeString> base(new Processor::String(u"SOFTWARE"));
  base->append(u'\\');
  EXPECT_EQ(Text(*base), u"SOFTWARE\\");
}

}  // namespace
}  // namespace Cleanup
