# Compiler and linker settings shared by every target of the project.

set(SANDBOX_WARNINGS -Wall -Wextra -Werror -Wshadow)

if(SANDBOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
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
  elseif(NOT SANDBOX_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
