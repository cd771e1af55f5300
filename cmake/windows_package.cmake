# Makes the Windows packages from the two Windows builds: TavikSms-<version>-x64.msi (64-bit
# Windows: both DLLs), TavikSms-<version>-x86.msi (32-bit Windows) and TavikSms-<version>-windows.zip
# (both DLLs to register by hand, and the two MSIs):
#   cmake -DX64_BIN=<bin of an x86_64 build> -DX86_BIN=<bin of an i686 build> -DOUTPUT_DIR=<dir>
#         [-DVERSION=x.y.z] [-DDEPS_DIR=<build/deps-src's parent>] -P cmake/windows_package.cmake
# Each bin folder holds TavikSmsDll.dll, TavikSmsDll.tlb and taviksms.exe (the x64 one also
# include/, the header and GUIDs of the interface for C++, and taviksms-sandbox.exe with the
# libssh.dll it loads, which go to sandbox\: in the 64-bit MSI the feature "Sandbox", off by
# default, with the Start-menu entry "TavikSms sandbox"). VERSION (default: the
# project's) names the packages and is the MSIs' product version; the files' own version is the
# project's, which the binaries carry. scripts/package-windows builds both architectures and calls
# this; the Wine package tests call it on the builds under test.
cmake_minimum_required(VERSION 3.25)
get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
foreach(var X64_BIN X86_BIN OUTPUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows_package: -D${var}=... is required")
  endif()
endforeach()
include("${source_dir}/cmake/identity.cmake")
file(STRINGS "${source_dir}/CMakeLists.txt" project_line REGEX "^project\\(TavikSms VERSION")
string(REGEX MATCH "VERSION ([0-9.]+)" _ "${project_line}")
set(binary_version "${CMAKE_MATCH_1}")
if(NOT DEFINED VERSION)
  set(VERSION "${binary_version}")
endif()
if(NOT DEFINED DEPS_DIR)
  set(DEPS_DIR "${source_dir}/build")
endif()

set(name "TavikSms-${VERSION}-windows")
set(stage "${OUTPUT_DIR}/${name}.stage")
set(root "${stage}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${root}/x64" "${root}/x86" "${root}/examples" "${root}/include"
                    "${root}/licenses" "${root}/sandbox/licenses")

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

# The sandbox (x64 only) and the DLL it loads, stripped of debug information like the others.
foreach(f taviksms-sandbox.exe libssh.dll)
  if(NOT EXISTS "${X64_BIN}/${f}")
    message(FATAL_ERROR "windows_package: ${X64_BIN}/${f} is missing; build windows-x64 with "
                        "TAVIKSMS_WINDOWS_SANDBOX (scripts/build-windows-deps sandbox first)")
  endif()
  file(COPY "${X64_BIN}/${f}" DESTINATION "${root}/sandbox")
  if(strip_x64)
    execute_process(COMMAND ${strip_x64} --strip-debug "${root}/sandbox/${f}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "windows_package: strip sandbox/${f} failed")
    endif()
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
windows_text("${pkg}/register.cmd" "${root}/register.cmd")
windows_text("${pkg}/unregister.cmd" "${root}/unregister.cmd")
# The method reference as a page any browser shows, rendered from docs/reference.md.
find_program(system_python3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
execute_process(
  COMMAND ${system_python3} "${source_dir}/packaging/render_reference.py"
          "${source_dir}/docs/reference.md" "${root}/reference.html" "${VERSION}"
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windows_package: the method reference could not be rendered: ${err}")
endif()
# The examples, one per host language, and the C++ header of the interface (from the x64
# build; the type library's header and GUIDs are the same for both architectures).
set(examples "vbscript/example.vbs" "vba/TavikSmsExample.bas" "csharp/ExampleDynamic.cs"
             "csharp/ExampleInterop.cs" "csharp/ExportFile.cs" "windows-cpp/example.cpp")
foreach(f IN LISTS examples)
  get_filename_component(base "${f}" NAME)
  windows_text("${source_dir}/examples/${f}" "${root}/examples/${base}")
endforeach()
file(COPY "${source_dir}/examples/Photo1.JPG" DESTINATION "${root}/examples")
foreach(f TavikSmsDll.h TavikSmsDll_i.c)
  if(NOT EXISTS "${X64_BIN}/include/${f}")
    message(FATAL_ERROR "windows_package: ${X64_BIN}/include/${f} is missing; build the x64 DLL first")
  endif()
  windows_text("${X64_BIN}/include/${f}" "${root}/include/${f}")
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
# The sandbox's: OpenSSL, libssh (LGPL, hence its own DLL), SQLite (Debian's copyright file: the
# code is in the public domain), cpp-httplib and the JSON library (MIT).
file(GLOB openssl_license "${DEPS_DIR}/deps-src/openssl_*/LICENSE.txt")
file(GLOB libssh_copying "${DEPS_DIR}/deps-src/libssh_*/COPYING")
file(GLOB sqlite_copyright "${DEPS_DIR}/deps-src/sqlite3_*/debian/copyright")
file(GLOB httplib_license "${DEPS_DIR}/deps-src/cpp-httplib_*/LICENSE")
list(APPEND notices
     "../sandbox/licenses/openssl.txt|${openssl_license}"
     "../sandbox/licenses/libssh.txt|${libssh_copying}"
     "../sandbox/licenses/sqlite.txt|${sqlite_copyright}"
     "../sandbox/licenses/cpp-httplib.txt|${httplib_license}"
     "../sandbox/licenses/nlohmann-json.txt|/usr/share/doc/nlohmann-json3-dev/copyright")
foreach(entry IN LISTS notices)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 to)
  list(LENGTH parts n)
  if(n LESS 2)
    message(FATAL_ERROR "windows_package: no licence text for ${to} (run scripts/build-windows-deps)")
  endif()
  list(GET parts 1 from)  # the first, should a glob find more than one
  if(NOT EXISTS "${from}")
    message(FATAL_ERROR "windows_package: ${from} is missing")
  endif()
  windows_text("${from}" "${root}/licenses/${to}")
endforeach()

# The Windows Installer packages, from the staged files (CRLF texts, stripped binaries).
find_program(wixl_exe wixl)
find_program(msibuild_exe msibuild)
if(NOT wixl_exe OR NOT msibuild_exe)
  message(FATAL_ERROR "windows_package: wixl and msibuild are needed for the MSIs (scripts/setup)")
endif()
foreach(arch x64 x86)
  set(msi "${root}/TavikSms-${VERSION}-${arch}.msi")
  execute_process(
    COMMAND ${wixl_exe} -a ${arch} -D Arch=${arch} -D Version=${VERSION}
            -D Manufacturer=${TAVIKSMS_COMPANY} -D Stage=.
            -I ${pkg} -o ${msi} ${pkg}/TavikSms.wxs
    WORKING_DIRECTORY "${root}"  # wixl takes sources by relative path only
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  # wixl reports some faults (a missing Guid or Value) as CRITICAL and still exits 0.
  if(NOT rc EQUAL 0 OR out MATCHES "CRITICAL|ERROR" OR NOT EXISTS "${msi}")
    message(FATAL_ERROR "windows_package: wixl ${arch} failed (${rc}):\n${out}")
  endif()
  # wixl leaves the files' Version column empty; Windows Installer then treats the DLLs as
  # unversioned and would keep a newer DLL already on disk over the package's. Fill it in.
  set(files Dll_x86 Shell_x86)
  if(arch STREQUAL "x64")
    list(APPEND files Dll_x64 Shell_x64)
  endif()
  set(queries "")
  if(arch STREQUAL "x64")
    # A plain shortcut to the sandbox (wixl writes an advertised one, whose target is the feature).
    list(APPEND queries
         "UPDATE `Shortcut` SET `Target` = '[#SandboxExe]' WHERE `Shortcut` = 'SandboxMenu'")
  endif()
  foreach(file_id IN LISTS files)
    list(APPEND queries
         "UPDATE `File` SET `Version` = '${binary_version}.0' WHERE `File` = '${file_id}'")
  endforeach()
  # What the DLL writes beside itself when its user may write there (an administrator's host):
  # ip1.ini, which holds the masked service passwords, and the names a download or the folder's
  # write check use until they are done ("ip1.ini.<process>-<thread>-<n>.part",
  # "ip1.ini.<process>-<thread>.probe"), removed with the DLL's component on uninstall (install
  # mode 2), so the folder is left empty and goes too. wixl has no RemoveFile element, so the rows
  # are added here. The temporary names need wildcards, which Windows Installer expands (Wine's
  # msiexec does not: it removes ip1.ini only). The per-user copy under %LOCALAPPDATA% is the
  # user's and stays.
  set(dll_bits x86)
  if(arch STREQUAL "x64")
    list(APPEND dll_bits x64)
  endif()
  foreach(bits IN LISTS dll_bits)
    string(TOUPPER "${bits}" dir_bits)
    foreach(row "File|ip1.ini" "Download|ip1*.par|ip1.ini.*.part" "Probe|ip1*.pro|ip1.ini.*.probe")
      string(FIND "${row}" "|" bar)
      string(SUBSTRING "${row}" 0 ${bar} kind)
      math(EXPR bar "${bar} + 1")
      string(SUBSTRING "${row}" ${bar} -1 file_name)
      list(APPEND queries
           "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('Config${kind}_${bits}', 'Dll_${bits}', '${file_name}', 'INSTALLDIR_${dir_bits}', 2)")
    endforeach()
  endforeach()
  foreach(query IN LISTS queries)
    execute_process(COMMAND ${msibuild_exe} ${msi} -q "${query}"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "windows_package: msibuild ${arch} failed (${query}):\n${out}")
    endif()
  endforeach()
  file(COPY "${msi}" DESTINATION "${OUTPUT_DIR}")
  message(STATUS "windows package: ${OUTPUT_DIR}/TavikSms-${VERSION}-${arch}.msi")
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

# Checksums of what is handed out: the packages are not code-signed.
set(sums "")
foreach(f "TavikSms-${VERSION}-x64.msi" "TavikSms-${VERSION}-x86.msi" "${name}.zip")
  file(SHA256 "${OUTPUT_DIR}/${f}" hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE "${OUTPUT_DIR}/TavikSms-${VERSION}-SHA256SUMS.txt" "${sums}")
