# Device unit tensor_hash: keyed Merkle roots of matrices and the commitment.
korvath_add_device_unit(tensor_hash ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/tensor_hash.cu"
  LINK korvath_core korvath_cutlass)
target_include_directories(tensor_hash PUBLIC "${CMAKE_CURRENT_LIST_DIR}/..")
target_link_libraries(vexal_gemm INTERFACE tensor_hash)
