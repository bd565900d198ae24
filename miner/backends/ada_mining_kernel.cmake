# Device unit ada_mining_kernel: the ada backend's CuTe tensor-core mining kernel.
korvath_add_device_unit(ada_mining_kernel
  ARCHS 80 86 89 90 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/ada_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass)
target_link_libraries(korvath_backends PUBLIC ada_mining_kernel)
