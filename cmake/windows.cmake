# Windows settings: Torvane.dll is one self-contained file that imports only
# the system's own DLLs and exports only the fifteen calls, whatever name the
# other platforms give the library.
if(NOT WIN32)
  return()
endif()

set_target_properties(Torvane PROPERTIES
  PREFIX "" IMPORT_PREFIX "" OUTPUT_NAME Torvane RUNTIME_OUTPUT_NAME Torvane ARCHIVE_OUTPUT_NAME Torvane)

if(MINGW)
  # The C++ runtime, libgcc and winpthreads are linked in, and so is every
  # target built after this point (the tests): nothing needs a MinGW DLL.
  # Symbols of the static archives stay private to the DLL.
  set(torvane_windows_static -static -static-libgcc -static-libstdc++)
  target_link_options(Torvane PRIVATE ${torvane_windows_static} -Wl,--exclude-libs,ALL -Wl,--no-undefined
                      $<$<CONFIG:Release,MinSizeRel>:-s>)
  add_link_options(${torvane_windows_static})
endif()

if(CMAKE_CROSSCOMPILING)
  # Listing the tests needs the emulator: do it when they run, not at build time.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()

# A Windows host program: loads Torvane.dll at run time and checks it the way a
# host sees it.
add_executable(torvane_windows_host ${PROJECT_SOURCE_DIR}/tools/windows/windows_host.c)
set_target_properties(torvane_windows_host PROPERTIES C_STANDARD 11 C_EXTENSIONS ON)
target_compile_options(torvane_windows_host PRIVATE -Wall -Wextra)
target_link_libraries(torvane_windows_host PRIVATE user32)
add_dependencies(torvane_windows_host Torvane)
