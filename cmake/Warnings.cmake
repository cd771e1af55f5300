# Warnings for the project's own targets; third-party headers come in as SYSTEM.
function(taviksms_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                             -Wcast-align -Wformat=2 -Wimplicit-fallthrough)
  endif()
endfunction()
