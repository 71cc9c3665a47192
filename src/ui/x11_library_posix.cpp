#include "ui/x11_library_posix.h"

#include <dlfcn.h>

#include <array>

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

}  // namespace

const X11Library* loadX11Library() {
  static const bool loaded = load();
  return loaded ? &library : nullptr;
}

const X11Library& x11() {
  return library;
}

}  // namespace ts
