# Warnings and sanitizers for every target of the project.
add_library(zflash_options INTERFACE)
target_compile_options(zflash_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wformat=2 -Wcast-align
  $<$<BOOL:${ZFLASH_WERROR}>:-Werror>)

if(ZFLASH_SANITIZE STREQUAL "address")
  set(_zf_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(ZFLASH_SANITIZE STREQUAL "thread")
  set(_zf_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT ZFLASH_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZFLASH_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(ZFLASH_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZFLASH_BUILD_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(_zf_san -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
endif()
if(_zf_san)
  # Applied globally so that test binaries and the library agree on the runtime.
  add_compile_options(${_zf_san})
  add_link_options(${_zf_san})
endif()
