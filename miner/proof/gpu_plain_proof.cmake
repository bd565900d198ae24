# Device unit of the GPU proof build (Merkle levels and proof fill); it runs
# during mining on every supported device.
korvath_add_device_unit(korvath_gpu_plain_proof
  ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/gpu_plain_proof.cu"
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_app PUBLIC korvath_gpu_plain_proof)
