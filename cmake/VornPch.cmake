# Precompiled headers: the heavy third-party headers (nlohmann-json, Asio,
# GoogleTest) are parsed once per target instead of once per source file.
option(VORN_PCH "Precompile the heavy third-party headers" ON)

set(VORN_PCH_STD <algorithm> <atomic> <chrono> <cstdint> <functional> <map> <memory> <mutex>
  <optional> <string> <string_view> <utility> <vector>)
set(VORN_PCH_LIBRARY ${VORN_PCH_STD} <nlohmann/json.hpp>
  <boost/asio/io_context.hpp> <boost/asio/post.hpp> <boost/asio/strand.hpp> <boost/asio/ip/tcp.hpp>)
set(VORN_PCH_EMULATOR ${VORN_PCH_STD} <nlohmann/json.hpp> <boost/asio/io_context.hpp> <boost/asio/ip/tcp.hpp>)
set(VORN_PCH_TESTS ${VORN_PCH_LIBRARY} <filesystem> <thread> <gtest/gtest.h>)

# vorn_precompile(TARGET LIST): precompile the headers named by LIST
# (LIBRARY, EMULATOR or TESTS) for TARGET.
function(vorn_precompile target list)
  if(VORN_PCH)
    target_precompile_headers(${target} PRIVATE ${VORN_PCH_${list}})
  endif()
endfunction()

# The sources of the library, the emulator and the tests are compiled a few
# at a time in one translation unit: most of their compile time is code
# generation for the same JSON, Asio and GoogleTest templates, which a unit
# then does once instead of once per file. Names local to a source (an
# anonymous namespace) must therefore differ between the sources of a target.
# clang-tidy reads the same batches (./dev check).
option(VORN_UNITY "Compile sources in batches (unity build)" ON)
set(VORN_UNITY_BATCH 8 CACHE STRING "Sources per unity batch")

function(vorn_unity target)
  if(VORN_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${VORN_UNITY_BATCH})
  endif()
endfunction()

# vorn_reuse_precompiled(TARGET FROM): TARGET uses FROM's precompiled headers.
function(vorn_reuse_precompiled target from)
  if(VORN_PCH)
    target_precompile_headers(${target} REUSE_FROM ${from})
  endif()
endfunction()
