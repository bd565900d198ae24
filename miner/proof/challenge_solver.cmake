# The BLAKE3 challenge search (device code and its host driver).
korvath_add_device_unit(korvath_challenge_solver
  ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/challenge_solver.cu
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_app PUBLIC korvath_challenge_solver)
