// Holds a file open the way a Windows reader commonly does (read access,
// others may read and write, but not delete or rename it), as a calling
// program still reading the last answer, an editor or a virus scanner does.
//
//   hold-file FILE MS [deleted|writing|temporary]
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
// (its order is read 500 ms after that). With "temporary" it holds instead
// the temporary file that terminal-serial.exe writes beside FILE, as a
// scanner, indexer or sync client does: it opens it while it is being
// written, marks `hold-file.caught`, and lets go MS milliseconds later.
#include <windows.h>
// Needs windows.h first.
#include <tlhelp32.h>

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

DWORD programId() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
       more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, L"terminal-serial.exe") == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

// The writer's first temporary name is FILE.tmp<its process id>-0; the
// moment it exists, it is opened (sharing reading and writing, not
// deletion), which keeps it from being renamed until it is let go.
void holdTemporary(const std::wstring& file, const std::wstring& folder, DWORD lingerMs) {
  DWORD program = 0;
  for (int tick = 0; tick < 6000 && !program; ++tick) {
    program = programId();
    if (!program) Sleep(10);
  }
  if (!program) return;
  const std::wstring temporary = file + L".tmp" + std::to_wstring(program) + L"-0";
  const ULONGLONG deadline = GetTickCount64() + 30000;
  while (GetTickCount64() < deadline) {
    const HANDLE held =
        CreateFileW(temporary.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) continue;
    CloseHandle(CreateFileW((folder + L"hold-file.caught").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    Sleep(lingerMs);
    CloseHandle(held);
    return;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::wstring mode = argc == 4 ? argv[3] : L"";
  const bool deleted = mode == L"deleted";
  const std::wstring folder = ownFolder();
  const std::wstring file = folder + argv[1];
  if (mode == L"temporary") {
    CloseHandle(CreateFileW((folder + L"hold-file.ready").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    holdTemporary(file, folder, static_cast<DWORD>(std::stoul(argv[2])));
    return 0;
  }
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
