# Device unit cmp170hx_dp2a_mining_kernel: the explicit CMP 170HX dp2a backend.
korvath_add_device_unit(cmp170hx_dp2a_mining_kernel
  ARCHS 80 86 89 90 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/cmp170hx_dp2a_mining_kernel.cu"
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_backends PUBLIC cmp170hx_dp2a_mining_kernel)
