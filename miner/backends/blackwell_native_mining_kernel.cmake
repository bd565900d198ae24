# Device unit blackwell_native_mining_kernel: the TMA-fed Blackwell backend of
# the native row and the shared slots of the B200 and B300 rows.
korvath_add_device_unit(blackwell_native_mining_kernel
  ARCHS 100 103 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/blackwell_native_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC blackwell_native_mining_kernel)
