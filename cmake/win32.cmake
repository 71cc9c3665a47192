# The Win32 platform layer and the Windows executable: one self-contained
# file (runtime linked statically), GUI subsystem, wide-character entry.
target_sources(ts_core PRIVATE src/exchange/file_io_win32.cpp)

add_library(ts_win32 STATIC
  src/loop/event_loop_win32.cpp
  src/app/executable_folder_win32.cpp
  src/app/fault_guard_win32.cpp
  src/serial/serial_control_win32.cpp
  src/ui/window_win32.cpp
)
# Windows 7 APIs at most; wide-character Win32 calls throughout.
set(TS_WIN32_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_compile_definitions(ts_core PRIVATE ${TS_WIN32_DEFINITIONS})
target_compile_definitions(ts_win32 PUBLIC ${TS_WIN32_DEFINITIONS})
target_link_libraries(ts_win32 PUBLIC ts_core user32 gdi32 kernel32)

# The window's icon as an .ico, drawn by src/ui/icon.cpp on the build
# machine, so that the icon Explorer shows cannot drift from the drawing.
set(TS_ICON_FILE "${PROJECT_BINARY_DIR}/terminal-serial.ico")
set(TS_ICON_SOURCES
  "${PROJECT_SOURCE_DIR}/tools/make_icon.cpp"
  "${PROJECT_SOURCE_DIR}/src/ui/icon.cpp"
  "${PROJECT_SOURCE_DIR}/src/ui/icon.h")
if(CMAKE_CROSSCOMPILING)
  # The cross compiler's programs cannot run here: the build machine's own
  # compiler makes the tool.
  find_program(TS_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(TS_MAKE_ICON "${PROJECT_BINARY_DIR}/make-icon")
  add_custom_command(
    OUTPUT "${TS_ICON_FILE}"
    COMMAND "${TS_HOST_CXX}" -std=c++20 -O2 -Wall -Wextra -Wpedantic -Wshadow -Werror
            "-I${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tools/make_icon.cpp"
            "${PROJECT_SOURCE_DIR}/src/ui/icon.cpp" -o "${TS_MAKE_ICON}"
    COMMAND "${TS_MAKE_ICON}" "${TS_ICON_FILE}"
    DEPENDS ${TS_ICON_SOURCES}
    COMMENT "Drawing the window's icon"
    VERBATIM)
else()
  add_executable(make-icon tools/make_icon.cpp src/ui/icon.cpp)
  target_include_directories(make-icon PRIVATE src)
  add_custom_command(
    OUTPUT "${TS_ICON_FILE}"
    COMMAND make-icon "${TS_ICON_FILE}"
    DEPENDS make-icon
    COMMENT "Drawing the window's icon"
    VERBATIM)
endif()

# Resources: the manifest, the version information and the icon.
enable_language(RC)
set(TS_MANIFEST_FILE "${PROJECT_SOURCE_DIR}/src/app/terminal-serial.exe.manifest")
set(TS_RESOURCE_SCRIPT "${PROJECT_BINARY_DIR}/resources_win32.rc")
configure_file(src/app/resources_win32.rc.in "${TS_RESOURCE_SCRIPT}" @ONLY)
set_source_files_properties("${TS_RESOURCE_SCRIPT}" PROPERTIES
  OBJECT_DEPENDS "${TS_ICON_FILE};${TS_MANIFEST_FILE}")

add_executable(terminal-serial WIN32 src/app/main_win32.cpp "${TS_RESOURCE_SCRIPT}")
target_link_libraries(terminal-serial PRIVATE ts_win32)
target_link_options(terminal-serial PRIVATE -municode -static -static-libgcc -static-libstdc++)
set_target_properties(terminal-serial PROPERTIES SUFFIX ".exe")

if(TS_BUILD_TESTS)
  # Test helpers, not shipped, for the end-to-end tests that run the
  # executable under Wine: one holds a file open as a Windows reader does;
  # the other starts the program as a calling program that holds the focus
  # would, asking for a show state of its own in STARTUPINFO, or as a
  # service would, in a window station no screen shows.
  add_executable(hold-file tests/hold_file_win32.cpp)
  add_executable(show-state-launcher tests/show_state_launcher_win32.cpp)
  target_link_libraries(hold-file PRIVATE user32)
  target_link_libraries(show-state-launcher PRIVATE user32)
  # The third fails on purpose behind the program's fault guard, as a
  # windowed program, where the C runtime would show a message box.
  add_executable(fault-probe WIN32 tests/fault_probe_win32.cpp src/app/fault_guard_win32.cpp)
  target_include_directories(fault-probe PRIVATE src)
  foreach(helper hold-file show-state-launcher fault-probe)
    target_compile_definitions(${helper} PRIVATE ${TS_WIN32_DEFINITIONS})
    target_link_options(${helper} PRIVATE -municode -static -static-libgcc -static-libstdc++)
    set_target_properties(${helper} PROPERTIES SUFFIX ".exe")
  endforeach()
endif()

# Says why a run in a working folder would fail, with the run's own code: a
# console program, shipped in the zip beside terminal-serial.exe.
add_executable(terminal-serial-check src/app/check_main_win32.cpp
               src/app/port_diagnosis_win32.cpp)
target_link_libraries(terminal-serial-check PRIVATE ts_win32)
target_compile_definitions(terminal-serial-check PRIVATE TS_VERSION="${PROJECT_VERSION}")
target_link_options(terminal-serial-check PRIVATE -municode -static -static-libgcc
                    -static-libstdc++)
set_target_properties(terminal-serial-check PROPERTIES SUFFIX ".exe")
