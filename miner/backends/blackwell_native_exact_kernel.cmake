# Device unit blackwell_native_exact_kernel: the native-exact debug kernels of
# the rank-tile check.
korvath_add_device_unit(blackwell_native_exact_kernel
  ARCHS 100 103 120
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/blackwell_native_exact_kernel.cu"
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_backends PUBLIC blackwell_native_exact_kernel)
