# The Windows sandbox's libraries, built by `scripts/build-windows-deps sandbox` into
# build/deps-sandbox-x86_64 (static, but libssh, a DLL that goes beside the sandbox): imported
# targets under the names the Linux build finds (the sandbox's CMake files look for a library
# only when no target of that name exists).
set(TAVIKSMS_SANDBOX_DEPS "${PROJECT_SOURCE_DIR}/build/deps-sandbox-${CMAKE_SYSTEM_PROCESSOR}"
    CACHE PATH "Prefix of the Windows sandbox's static libraries (scripts/build-windows-deps sandbox)")
set(_deps "${TAVIKSMS_SANDBOX_DEPS}")
if(NOT EXISTS "${_deps}/bin/libssh.dll" OR NOT EXISTS "${_deps}/include/httplib.h")
  message(FATAL_ERROR "The Windows sandbox needs its libraries: run scripts/build-windows-deps "
                      "sandbox (or configure with -DTAVIKSMS_WINDOWS_SANDBOX=OFF)")
endif()

add_library(PkgConfig::httplib INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include"
                      INTERFACE_LINK_LIBRARIES "ws2_32")
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                      INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include")
add_library(SQLite::SQLite3 STATIC IMPORTED GLOBAL)
set_target_properties(SQLite::SQLite3 PROPERTIES IMPORTED_LOCATION "${_deps}/lib/libsqlite3.a"
                      INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include")
add_library(OpenSSL::Crypto STATIC IMPORTED GLOBAL)
set_target_properties(OpenSSL::Crypto PROPERTIES IMPORTED_LOCATION "${_deps}/lib/libcrypto.a"
                      INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include"
                      INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;bcrypt;user32;advapi32")
add_library(OpenSSL::SSL STATIC IMPORTED GLOBAL)
set_target_properties(OpenSSL::SSL PROPERTIES IMPORTED_LOCATION "${_deps}/lib/libssl.a"
                      INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include"
                      INTERFACE_LINK_LIBRARIES "OpenSSL::Crypto")
add_library(ssh SHARED IMPORTED GLOBAL)
set_target_properties(ssh PROPERTIES IMPORTED_LOCATION "${_deps}/bin/libssh.dll"
                      IMPORTED_IMPLIB "${_deps}/lib/libssh.dll.a"
                      INTERFACE_INCLUDE_DIRECTORIES "${_deps}/include")

# Windows 7's API (WSAPoll, inet_ntop), the POSIX names of the runtime's thread-safe time
# functions (localtime_r), and no min/max macros from windows.h.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                        _POSIX_THREAD_SAFE_FUNCTIONS)
