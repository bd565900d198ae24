# Device unit cmp170hx_mining_kernel: the CMP 170HX CuTe tensor-core backend.
korvath_add_device_unit(cmp170hx_mining_kernel
  ARCHS 80 86 89 90 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/cmp170hx_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC cmp170hx_mining_kernel)
