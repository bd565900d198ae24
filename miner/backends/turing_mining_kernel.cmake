# Device unit turing_mining_kernel: the Turing CuTe tensor-core backend (sm_75 only).
korvath_add_device_unit(turing_mining_kernel
  ARCHS 75
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/turing_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC turing_mining_kernel)
