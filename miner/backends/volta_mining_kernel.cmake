# Device unit volta_mining_kernel: the explicit Volta backend, whose row runs on
# every supported device when forced.
korvath_add_device_unit(volta_mining_kernel
  ARCHS ${KORVATH_ALL_ARCHS}
  SOURCES "${CMAKE_CURRENT_LIST_DIR}/volta_mining_kernel.cu"
  LINK korvath_core vexal_gemm)
target_link_libraries(korvath_backends PUBLIC volta_mining_kernel)

# The sm_70 image. The installed toolkit no longer targets sm_70, so the unit's
# device code is compiled to compute_75 PTX, re-targeted to sm_70 (it uses no
# instruction that sm_70 lacks; the assembler refuses any that would slip in)
# and assembled by the CUDA 12 ptxas that scripts/setup.sh installs. The cubin
# joins the unit's own fat binary through nvcc's fatbinary step, so the unit
# registers one image per architecture as usual.
set(KORVATH_SM70_PTXAS "/opt/korvath/cuda12-ptxas/nvidia/cuda_nvcc/bin/ptxas"
  CACHE FILEPATH "A ptxas that still assembles sm_70 (CUDA 12)")

function(korvath_add_sm70_image unit source)
  if(NOT EXISTS "${KORVATH_SM70_PTXAS}")
    message(STATUS "${unit}: no sm_70 image (no CUDA 12 ptxas at ${KORVATH_SM70_PTXAS}; run scripts/setup.sh)")
    return()
  endif()
  execute_process(COMMAND "${KORVATH_SM70_PTXAS}" --version OUTPUT_VARIABLE _version RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0 OR NOT _version MATCHES "release 12\\.")
    message(STATUS "${unit}: no sm_70 image (${KORVATH_SM70_PTXAS} is not a CUDA 12 ptxas)")
    return()
  endif()

  # The same source with the unit's own flags, as compute_75 PTX.
  add_library(${unit}_sm75_ptx OBJECT "${source}")
  set_target_properties(${unit}_sm75_ptx PROPERTIES CUDA_PTX_COMPILATION ON CUDA_ARCHITECTURES 75-virtual)
  target_link_libraries(${unit}_sm75_ptx PRIVATE korvath_gpu_platform korvath_core vexal_gemm)
  target_compile_options(${unit}_sm75_ptx PRIVATE
    --expt-relaxed-constexpr --expt-extended-lambda -Xcudafe=--diag_suppress=177)

  set(_dir "${CMAKE_CURRENT_BINARY_DIR}/${unit}_sm70")
  set(_ptx "${_dir}/${unit}.sm_70.ptx")
  set(_cubin "${_dir}/${unit}.sm_70.cubin")
  set(_options "${_dir}/fatbinary_sm70.options")
  file(MAKE_DIRECTORY "${_dir}")
  add_custom_command(OUTPUT "${_cubin}"
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_OBJECTS:${unit}_sm75_ptx>" "${_ptx}"
    COMMAND sed -i -e "s/^\\.target sm_75$/.target sm_70/" -e "s/^\\.version .*/.version 8.8/" "${_ptx}"
    COMMAND "${KORVATH_SM70_PTXAS}" -arch=sm_70 -O3 -o "${_cubin}" "${_ptx}"
    DEPENDS ${unit}_sm75_ptx "$<TARGET_OBJECTS:${unit}_sm75_ptx>"
    COMMENT "Assembling the sm_70 image of ${unit}"
    VERBATIM)
  add_custom_target(${unit}_sm70_cubin DEPENDS "${_cubin}")

  # nvcc splits -Xfatbin values at commas, so the image goes in an options file.
  file(WRITE "${_options}" "--image3=kind=elf,sm=70,file=${_cubin}\n")
  # The cubin is rebuilt whenever the unit's object is (same source, same
  # headers), and before it.
  add_dependencies(${unit} ${unit}_sm70_cubin)
  target_compile_options(${unit} PRIVATE "$<$<COMPILE_LANGUAGE:CUDA>:-Xfatbin=--options-file=${_options}>")
endfunction()

if(KORVATH_FLAVOUR STREQUAL "cuda")
  korvath_add_sm70_image(volta_mining_kernel "${CMAKE_CURRENT_LIST_DIR}/volta_mining_kernel.cu")
endif()
