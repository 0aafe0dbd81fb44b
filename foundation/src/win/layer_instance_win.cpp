// The process's one Windows layer object.
#include <new>

#include "windows/layer.h"

Windows::LayerNT* WindowsLayerInstance = nullptr;

Windows::LayerNT* CreateWindowsLayer() {
  // GetVersion's high bit is set on Windows 9x and clear on the NT family.
  if ((::GetVersion() & 0x80000000u) == 0) return new (std::nothrow) Windows::LayerNT;
  return new (std::nothrow) Windows::Layer9x;
}

namespace {

// Made before every ordinary static initializer, since those of other
// subsystems (the message catalog load, for one) already call the layer, and
// after the optional functions, which the layer's operations use (the
// priorities are explained in windows/layer.h). Being constructed that early,
// its destructor runs after every ordinary static's destructor, so the layer
// stays usable to the very end of the process.
struct WindowsLayerHolder {
  WindowsLayerHolder() { WindowsLayerInstance = CreateWindowsLayer(); }
  ~WindowsLayerHolder() {
    delete WindowsLayerInstance;
    WindowsLayerInstance = nullptr;
  }
};

WindowsLayerHolder windows_layer_holder
    __attribute__((init_priority(PURGEKIT_INIT_PRIORITY_WINDOWS_LAYER)));

}  // namespace
