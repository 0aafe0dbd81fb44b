// The path of the products' My Computer namespace key.
#include "cleanup/namespace_key.h"

namespace Processor {

String::~String() = default;

}  // namespace Processor

namespace Cleanup {

Processor::String MakeNameSpaceKeyPath() {
  Processor::String path(u"SOFTWARE");
  path.append(u'\\');
  path.append(icu::UnicodeString(u"Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace"));
  path.append(u'\\');
  path.append(icu::UnicodeString(u"{7D21E6B5-58C0-4A3E-9F17-2B8C64D0A395}"));
  return path;
}

}  // namespace Cleanup
