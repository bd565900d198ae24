# Device unit noise_generation: the low-rank noise generator, every instantiation.
korvath_add_device_unit(noise_generation
  ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/noise_generation.cu"
  LINK korvath_core korvath_cutlass)
target_include_directories(noise_generation PRIVATE "${CMAKE_CURRENT_LIST_DIR}/..")
target_link_libraries(vexal_gemm INTERFACE noise_generation)
