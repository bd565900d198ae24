# Device unit blackwell_mining_kernel: the CuTe Blackwell sm120 backend and the
# shared slots that the Hopper row borrows.
korvath_add_device_unit(blackwell_mining_kernel
  ARCHS 90 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/blackwell_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC blackwell_mining_kernel)
