# Makes TavikSms-<version>-windows.zip from the two Windows builds:
#   cmake -DX64_BIN=<bin of an x86_64 build> -DX86_BIN=<bin of an i686 build> -DOUTPUT_DIR=<dir>
#         [-DVERSION=x.y.z] [-DDEPS_DIR=<build/deps-src's parent>] -P cmake/windows_package.cmake
# Each bin folder holds TavikSmsDll.dll, TavikSmsDll.tlb and taviksms.exe. scripts/package-windows
# builds both architectures and calls this; the Wine package test calls it on the test builds.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
foreach(var X64_BIN X86_BIN OUTPUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows_package: -D${var}=... is required")
  endif()
endforeach()
if(NOT DEFINED VERSION)
  file(STRINGS "${source_dir}/CMakeLists.txt" project_line REGEX "^project\\(TavikSms VERSION")
  string(REGEX MATCH "VERSION ([0-9.]+)" _ "${project_line}")
  set(VERSION "${CMAKE_MATCH_1}")
endif()
if(NOT DEFINED DEPS_DIR)
  set(DEPS_DIR "${source_dir}/build")
endif()

set(name "TavikSms-${VERSION}-windows")
set(stage "${OUTPUT_DIR}/${name}.stage")
set(root "${stage}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${root}/x64" "${root}/x86" "${root}/examples" "${root}/licenses")

foreach(arch x64 x86)
  if(arch STREQUAL "x64")
    set(bin "${X64_BIN}")
  else()
    set(bin "${X86_BIN}")
  endif()
  foreach(f TavikSmsDll.dll TavikSmsDll.tlb taviksms.exe)
    if(NOT EXISTS "${bin}/${f}")
      message(FATAL_ERROR "windows_package: ${bin}/${f} is missing; build that architecture first")
    endif()
    file(COPY "${bin}/${f}" DESTINATION "${root}/${arch}")
  endforeach()
  # Debug information stays in the build; the package carries the code only.
  if(arch STREQUAL "x64")
    find_program(strip_${arch} x86_64-w64-mingw32-strip)
  else()
    find_program(strip_${arch} i686-w64-mingw32-strip)
  endif()
  if(strip_${arch})
    foreach(f TavikSmsDll.dll taviksms.exe)
      execute_process(COMMAND ${strip_${arch}} --strip-debug "${root}/${arch}/${f}"
                      RESULT_VARIABLE rc)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "windows_package: strip ${arch}/${f} failed")
      endif()
    endforeach()
  endif()
endforeach()

# Texts for Windows: CRLF line ends (cmd needs them for its labels), the version filled in.
function(windows_text from to)
  file(READ "${from}" text)
  string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${to}" "${text}")
endfunction()
set(pkg "${source_dir}/packaging/windows")
windows_text("${pkg}/README.txt" "${root}/README.txt")
windows_text("${source_dir}/docs/reference.md" "${root}/reference.md")  # the method reference
windows_text("${pkg}/register.cmd" "${root}/register.cmd")
windows_text("${pkg}/unregister.cmd" "${root}/unregister.cmd")
foreach(f example.vbs example.bas Example.cs)
  windows_text("${pkg}/examples/${f}" "${root}/examples/${f}")
endforeach()

# Notices of what is linked in: libssh2 and Mbed TLS (from scripts/build-windows-deps' sources),
# the mingw-w64 runtime and GCC's runtime libraries (from the cross toolchain's packages).
file(GLOB libssh2_copying "${DEPS_DIR}/deps-src/libssh2-*/COPYING")
file(GLOB mbedtls_license "${DEPS_DIR}/deps-src/mbedtls-*/LICENSE")
set(notices
    "libssh2.txt|${libssh2_copying}"
    "mbedtls.txt|${mbedtls_license}"
    "mingw-w64-runtime.txt|/usr/share/doc/mingw-w64-common/copyright"
    "gcc-runtime.txt|/usr/share/doc/gcc-mingw-w64-base/copyright")
foreach(entry IN LISTS notices)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 to)
  list(LENGTH parts n)
  if(n LESS 2)
    message(FATAL_ERROR "windows_package: no licence text for ${to} (run scripts/build-windows-deps)")
  endif()
  list(GET parts 1 from)
  if(NOT EXISTS "${from}")
    message(FATAL_ERROR "windows_package: ${from} is missing")
  endif()
  windows_text("${from}" "${root}/licenses/${to}")
endforeach()

set(zip "${OUTPUT_DIR}/${name}.zip")
file(REMOVE "${zip}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip "${name}"
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windows_package: zip failed")
endif()
file(REMOVE_RECURSE "${stage}")
message(STATUS "windows package: ${zip}")
