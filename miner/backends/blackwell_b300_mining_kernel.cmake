# Device unit blackwell_b300_mining_kernel: the B300 row's mining slots.
korvath_add_device_unit(blackwell_b300_mining_kernel
  ARCHS 100a 103a
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/blackwell_b300_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC blackwell_b300_mining_kernel)
