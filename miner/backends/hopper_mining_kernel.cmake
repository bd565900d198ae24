# Device unit hopper_mining_kernel: the Hopper backend's mining launches over
# the library's warp-specialised int8 product, and the product's kernels
# (sm_90a: warp-group MMA and register reallocation need the arch-specific image).
korvath_add_device_unit(hopper_mining_kernel
  ARCHS 90a 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/hopper_mining_kernel.cu"
  LINK korvath_core vexal_gemm korvath_cutlass blackwell_mining_kernel)
target_link_libraries(korvath_backends PUBLIC hopper_mining_kernel)
