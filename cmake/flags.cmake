# Compiler and linker settings shared by every target of the project.

set(SANDBOX_WARNINGS -Wall -Wextra -Werror -Wshadow -Wconversion -Wsign-conversion)
# GCC 12 at -O3 reports overlapping copies inside std::string that cannot
# happen (its bug 105651); the C-style code of the program is not affected.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND SANDBOX_WARNINGS -Wno-restrict)
endif()

if(SANDBOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(SANDBOX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Fuzzing instruments every object for coverage as well, so that libFuzzer
# sees the branches of the library code it drives; only the fuzz targets
# themselves link libFuzzer's main (fuzz/CMakeLists.txt).
if(SANDBOX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "SANDBOX_FUZZ needs clang: CC=clang CXX=clang++ cmake -DSANDBOX_FUZZ=ON ...")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Project code: warnings as errors, no exceptions and no RTTI.
function(sandbox_strict target)
  target_compile_options(${target} PRIVATE ${SANDBOX_WARNINGS} -fno-exceptions -fno-rtti)
endfunction()

# A shipped program links against libc only: the C++ runtime goes in statically.
# Test machine images take fully static copies instead.
function(sandbox_program target)
  if(SANDBOX_STATIC)
    target_link_options(${target} PRIVATE -static)
  elseif(NOT SANDBOX_SANITIZE AND NOT SANDBOX_TSAN AND NOT SANDBOX_FUZZ)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  # Every symbol bound at start, then the table made read-only: no lazy
  # binding in each forked process, and nothing there left to overwrite.
  if(NOT SANDBOX_STATIC)
    target_link_options(${target} PRIVATE -Wl,-z,now,-z,relro)
  endif()
endfunction()
