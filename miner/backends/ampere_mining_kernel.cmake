# Device unit ampere_mining_kernel: the ampere CuTe tensor-core backend.
korvath_add_device_unit(ampere_mining_kernel
  ARCHS 80 86 89 90 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/ampere_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC ampere_mining_kernel)
