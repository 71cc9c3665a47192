// Holds a file open the way a Windows reader commonly does (read access,
// others may read and write, but not delete or rename it), as a calling
// program still reading the last answer, an editor or a virus scanner does.
//
//   hold-file FILE MS [deleted|writing]
//
// FILE is relative to this program's folder. Once the file is held, the
// program creates `hold-file.ready` beside itself. With MS a number, it lets
// go MS milliseconds after a temporary file (FILE.tmp*) first appears beside
// FILE, that is once a writer has begun to replace it; with MS "never" it
// holds until it is ended (at most a minute). With "deleted" it shares
// deletion and deletes the file while holding it, as a calling program
// that deletes the last answer while a scanner still has it open: the
// name stays taken ("delete pending") until it lets go. With "writing" it
// holds the file as a calling program still writing it does, sharing
// nothing, and lets go MS milliseconds after the program's window appears
// (its order is read 500 ms after that).
#include <windows.h>

#include <string>

namespace {

std::wstring ownFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

bool temporaryBeside(const std::wstring& file) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((file + L".tmp*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

void holdWhileWriting(const std::wstring& file, const std::wstring& ready, DWORD lingerMs) {
  const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return;
  CloseHandle(CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  for (int tick = 0; tick < 6000; ++tick) {
    if (FindWindowW(nullptr, L"Terminal Serial Vorlan - Multi Portas")) {
      Sleep(lingerMs);
      break;
    }
    Sleep(10);
  }
  CloseHandle(held);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::wstring mode = argc == 4 ? argv[3] : L"";
  const bool deleted = mode == L"deleted";
  const std::wstring folder = ownFolder();
  const std::wstring file = folder + argv[1];
  if (mode == L"writing") {
    holdWhileWriting(file, folder + L"hold-file.ready", static_cast<DWORD>(std::stoul(argv[2])));
    return 0;
  }
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (deleted ? FILE_SHARE_DELETE : 0);
  const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  if (deleted && !DeleteFileW(file.c_str())) return 1;
  CloseHandle(CreateFileW((folder + L"hold-file.ready").c_str(), GENERIC_WRITE, 0, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool forever = std::wstring(argv[2]) == L"never";
  const DWORD lingerMs = forever ? 0 : static_cast<DWORD>(std::stoul(argv[2]));
  for (int tick = 0; tick < 6000; ++tick) {
    if (!forever && temporaryBeside(file)) {
      Sleep(lingerMs);
      break;
    }
    Sleep(10);
  }
  CloseHandle(held);
  return 0;
}
