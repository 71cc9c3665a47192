# The Win32 platform layer and the Windows executable: one self-contained
# file (runtime linked statically), GUI subsystem, wide-character entry.
target_sources(ts_core PRIVATE src/exchange/file_io_win32.cpp)

add_library(ts_win32 STATIC
  src/loop/event_loop_win32.cpp
  src/app/executable_folder_win32.cpp
  src/serial/serial_control_win32.cpp
  src/ui/window_win32.cpp
)
# Windows 7 APIs at most; wide-character Win32 calls throughout.
set(TS_WIN32_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_definitions(ts_core PRIVATE ${TS_WIN32_DEFINITIONS})
target_compile_definitions(ts_win32 PUBLIC ${TS_WIN32_DEFINITIONS})
target_link_libraries(ts_win32 PUBLIC ts_core user32 gdi32 kernel32)

add_executable(terminal-serial WIN32 src/app/main_win32.cpp)
target_link_libraries(terminal-serial PRIVATE ts_win32)
target_link_options(terminal-serial PRIVATE -municode -static -static-libgcc -static-libstdc++)
set_target_properties(terminal-serial PROPERTIES SUFFIX ".exe")

# A test helper, not shipped: starts the program as a calling program that
# holds the focus would, asking for a show state of its own in STARTUPINFO.
add_executable(show-state-launcher tests/show_state_launcher_win32.cpp)
target_compile_definitions(show-state-launcher PRIVATE ${TS_WIN32_DEFINITIONS})
target_link_libraries(show-state-launcher PRIVATE user32)
target_link_options(show-state-launcher PRIVATE -municode -static)
set_target_properties(show-state-launcher PROPERTIES SUFFIX ".exe")
