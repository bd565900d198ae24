# Device unit blake3: the BLAKE3 device constants, registered on their own.
korvath_add_device_unit(blake3_constants ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/blake3.cu"
  LINK korvath_core)
target_include_directories(blake3_constants PUBLIC "${CMAKE_CURRENT_LIST_DIR}/..")
target_link_libraries(vexal_gemm INTERFACE blake3_constants)
