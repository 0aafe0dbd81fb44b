// The program's start-up load of the message catalog.
//
// Runs among the prioritized static initializers, after the Windows layer
// (the load reads files through it) and before every ordinary initializer,
// so that all later start-up code and wmain find MessageTable filled.
#include <cstdlib>

#include "files/message_catalog.h"
#include "files/resource.h"
#include "foundation/message_table.h"
#include "windows/layer.h"

static_assert(PURGEKIT_INIT_PRIORITY_MESSAGE_CATALOG > PURGEKIT_INIT_PRIORITY_WINDOWS_LAYER,
              "the catalog is read through the Windows layer");

namespace {

unsigned char* catalogBlock = nullptr;

void FreeCatalogBlock() {
  delete[] catalogBlock;
  catalogBlock = nullptr;
}

struct CatalogLoader {
  CatalogLoader() { InitMessageCatalog(); }
};

CatalogLoader catalogLoader __attribute__((init_priority(PURGEKIT_INIT_PRIORITY_MESSAGE_CATALOG)));

}  // namespace

void InitMessageCatalog() {
  if (!LoadMessageCatalog(kMessageCatalogName, MessageTable, kMessageTableCount, catalogBlock)) {
    // The program cannot say anything without its texts. abort() would do,
    // but the run-time library's abort may put up a message box in a GUI
    // program, and this program must never show a window: end at once with
    // abort's exit code instead.
    std::_Exit(3);
  }
  std::atexit(&FreeCatalogBlock);
  // The payload archive that this first lookup may have opened stays open
  // for the run; it is released at exit, before the catalog block its
  // errors may point into.
  std::atexit(&CloseResourceArchive);
}
