# BLAKE3 from the reference C sources installed by Debian's librust-blake3-dev,
# built as a static library with its SIMD variants and run-time dispatch.
file(GLOB _blake3_dirs LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
list(SORT _blake3_dirs)
list(REVERSE _blake3_dirs)
list(GET _blake3_dirs 0 BLAKE3_C_DIR)
if(NOT EXISTS "${BLAKE3_C_DIR}/blake3_dispatch.c")
  message(FATAL_ERROR "BLAKE3 C sources not found; run scripts/setup.sh")
endif()
message(STATUS "BLAKE3 sources: ${BLAKE3_C_DIR}")

add_library(blake3 STATIC
  "${BLAKE3_C_DIR}/blake3.c"
  "${BLAKE3_C_DIR}/blake3_dispatch.c"
  "${BLAKE3_C_DIR}/blake3_portable.c"
  "${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S"
  "${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S")
set_target_properties(blake3 PROPERTIES LINKER_LANGUAGE C)
target_compile_options(blake3 PRIVATE $<$<COMPILE_LANGUAGE:C>:-O3>)
# The public header and the internal one with the block-level primitives.
target_include_directories(blake3 SYSTEM PUBLIC "${BLAKE3_C_DIR}")
