# Device unit volta_mining_kernel: the explicit Volta backend, whose row runs on
# every supported device when forced.
korvath_add_device_unit(volta_mining_kernel
  ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/volta_mining_kernel.cu"
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_backends PUBLIC volta_mining_kernel)
