# Dependencies installed on the machine by scripts/setup.sh; nothing is vendored.
find_package(Threads REQUIRED)

# CUDA toolkit headers: the API declarations and CCCL, used by both flavours.
find_path(KORVATH_CUDA_INCLUDE cuda_runtime_api.h
  HINTS ENV CUDA_HOME PATH_SUFFIXES include
  PATHS /usr/local/cuda/include /usr/local/cuda)
if(NOT KORVATH_CUDA_INCLUDE)
  message(FATAL_ERROR "CUDA toolkit headers (cuda_runtime_api.h) not found")
endif()

# CUTLASS and CuTe headers from the pinned nvidia-cutlass wheel.
if(NOT KORVATH_CUTLASS_INCLUDE)
  execute_process(COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/scripts/cutlass-include.sh"
    OUTPUT_VARIABLE _cutlass_inc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0 OR NOT EXISTS "${_cutlass_inc}/cute/tensor.hpp")
    message(FATAL_ERROR "CUTLASS headers not found; run scripts/setup.sh")
  endif()
  set(KORVATH_CUTLASS_INCLUDE "${_cutlass_inc}" CACHE PATH "CUTLASS/CuTe include directory")
endif()
add_library(korvath_cutlass INTERFACE)
target_include_directories(korvath_cutlass SYSTEM INTERFACE "${KORVATH_CUTLASS_INCLUDE}")

include(Blake3)

find_package(GTest REQUIRED)
