#include "ui/x11_library_posix.h"

#include <dlfcn.h>

#include <array>
#include <optional>
#include <type_traits>

namespace ts {
namespace {

X11Library library;

// The names the libraries' runtime packages install them under.
constexpr std::array kLibraryNames{"libX11.so.6", "libXft.so.2", "libfontconfig.so.1"};

bool load() {
  std::array<void*, kLibraryNames.size()> handles{};
  bool complete = true;
  for (std::size_t i = 0; i < handles.size() && complete; ++i) {
    handles[i] = ::dlopen(kLibraryNames[i], RTLD_NOW | RTLD_LOCAL);
    complete = handles[i] != nullptr;
  }
  const auto find = [&handles](const char* name) -> void* {
    for (void* handle : handles) {
      if (void* symbol = handle ? ::dlsym(handle, name) : nullptr) return symbol;
    }
    return nullptr;
  };
#define TS_X11_RESOLVE(name)                                            \
  library.name = reinterpret_cast<decltype(library.name)>(find(#name)); \
  complete = complete && library.name != nullptr;
  TS_X11_FUNCTIONS(TS_X11_RESOLVE)
#undef TS_X11_RESOLVE
  if (!complete) {
    for (void* handle : handles) {
      if (handle) ::dlclose(handle);
    }
    library = X11Library{};
  }
  return complete;
}

std::optional<XcbBridge> loadBridge() {
  void* bridgeLibrary = ::dlopen("libX11-xcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!bridgeLibrary) return std::nullopt;
  void* xcbLibrary = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  XcbBridge bridge;
  bool complete = xcbLibrary != nullptr;
  const auto resolve = [&complete](void* handle, auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        handle ? ::dlsym(handle, name) : nullptr);
    complete = complete && function != nullptr;
  };
  resolve(bridgeLibrary, bridge.XGetXCBConnection, "XGetXCBConnection");
  resolve(xcbLibrary, bridge.xcb_get_property, "xcb_get_property");
  resolve(xcbLibrary, bridge.xcb_poll_for_reply, "xcb_poll_for_reply");
  resolve(xcbLibrary, bridge.xcb_get_property_value, "xcb_get_property_value");
  resolve(xcbLibrary, bridge.xcb_get_property_value_length, "xcb_get_property_value_length");
  if (complete) return bridge;
  ::dlclose(bridgeLibrary);
  if (xcbLibrary) ::dlclose(xcbLibrary);
  return std::nullopt;
}

}  // namespace

const XcbBridge* xcbBridge() {
  static const std::optional<XcbBridge> bridge = loadBridge();
  return bridge ? &*bridge : nullptr;
}

const X11Library* loadX11Library() {
  static const bool loaded = load();
  return loaded ? &library : nullptr;
}

const X11Library& x11() {
  return library;
}

}  // namespace ts
