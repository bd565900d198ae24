# korvath_gpu_platform: what every unit that talks to the GPU links.
#   cuda flavour: the toolkit's static runtime (the driver is looked up at run time).
#   host flavour: hostgpu/, with the toolkit's headers for the API's declarations and types.
add_library(korvath_gpu_platform INTERFACE)
target_include_directories(korvath_gpu_platform SYSTEM INTERFACE
  "${KORVATH_CUDA_INCLUDE}" "${KORVATH_CUDA_INCLUDE}/cccl")

if(KORVATH_FLAVOUR STREQUAL "cuda")
  find_package(CUDAToolkit REQUIRED)
  set(CMAKE_CUDA_RUNTIME_LIBRARY Static)
  target_link_libraries(korvath_gpu_platform INTERFACE CUDA::cudart_static)
  target_compile_definitions(korvath_gpu_platform INTERFACE KORVATH_FLAVOUR_CUDA=1)
else()
  target_link_libraries(korvath_gpu_platform INTERFACE hostgpu)
  target_compile_definitions(korvath_gpu_platform INTERFACE KORVATH_FLAVOUR_HOST=1)
endif()

# The sm_70 image of a unit. The installed toolkit no longer targets sm_70, so
# the unit's device code is compiled to compute_75 PTX with the unit's own
# flags, re-targeted to sm_70 (the assembler refuses any instruction sm_70
# lacks, so nothing slips in) and assembled by the CUDA 12 ptxas that
# scripts/setup.sh installs. The cubin joins the unit's own fat binary through
# nvcc's fatbinary step, so the unit registers one image per architecture.
set(KORVATH_SM70_PTXAS "/opt/korvath/cuda12-ptxas/nvidia/cuda_nvcc/bin/ptxas"
  CACHE FILEPATH "A ptxas that still assembles sm_70 (CUDA 12)")
set(KORVATH_SM70_AVAILABLE FALSE)
if(KORVATH_FLAVOUR STREQUAL "cuda" AND EXISTS "${KORVATH_SM70_PTXAS}")
  execute_process(COMMAND "${KORVATH_SM70_PTXAS}" --version OUTPUT_VARIABLE _version RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND _version MATCHES "release 12\\.")
    set(KORVATH_SM70_AVAILABLE TRUE)
  endif()
endif()
if(KORVATH_FLAVOUR STREQUAL "cuda" AND NOT KORVATH_SM70_AVAILABLE)
  message(STATUS "No sm_70 images: no CUDA 12 ptxas at ${KORVATH_SM70_PTXAS} (run scripts/setup.sh)")
endif()

function(korvath_add_sm70_image unit)
  get_target_property(_sources ${unit} SOURCES)
  add_library(${unit}_sm75_ptx OBJECT ${_sources})
  target_link_libraries(${unit}_sm75_ptx PRIVATE korvath_gpu_platform ${ARGN})
  set_target_properties(${unit}_sm75_ptx PROPERTIES CUDA_PTX_COMPILATION ON CUDA_ARCHITECTURES 75-virtual)
  target_include_directories(${unit}_sm75_ptx PRIVATE $<TARGET_PROPERTY:${unit},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${unit}_sm75_ptx PRIVATE $<TARGET_PROPERTY:${unit},COMPILE_DEFINITIONS>)
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
  add_dependencies(${unit} ${unit}_sm70_cubin)
  target_compile_options(${unit} PRIVATE "$<$<COMPILE_LANGUAGE:CUDA>:-Xfatbin=--options-file=${_options}>")
endfunction()

# korvath_add_device_unit(<target> ARCHS <sm numbers...> SOURCES <.cu files...>)
# A source unit of device code: machine code (no PTX) for the given
# architectures with nvcc, or plain C++ run by hostgpu in the host flavour.
# Architecture 70 is built through korvath_add_sm70_image when its assembler is there.
function(korvath_add_device_unit target)
  cmake_parse_arguments(U "" "" "ARCHS;SOURCES;LINK" ${ARGN})
  # The images the unit carries, for the table of what each row can run on
  # (korvath_write_device_images): 70 only where its assembler is there.
  set(_images "")
  foreach(a IN LISTS U_ARCHS)
    if(NOT (a STREQUAL "70" AND KORVATH_FLAVOUR STREQUAL "cuda" AND NOT KORVATH_SM70_AVAILABLE))
      list(APPEND _images "${a}")
    endif()
  endforeach()
  list(JOIN _images " " _images)
  set_property(GLOBAL APPEND PROPERTY KORVATH_DEVICE_UNIT_IMAGES "${target}=${_images}")
  add_library(${target} STATIC ${U_SOURCES})
  target_link_libraries(${target} PUBLIC korvath_gpu_platform ${U_LINK})
  if(KORVATH_FLAVOUR STREQUAL "cuda")
    set(_archs "")
    set(_wants_sm70 FALSE)
    foreach(a IN LISTS U_ARCHS)
      if(a STREQUAL "70")
        set(_wants_sm70 TRUE)
      else()
        list(APPEND _archs "${a}-real")
      endif()
    endforeach()
    set_target_properties(${target} PROPERTIES CUDA_ARCHITECTURES "${_archs}")
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CUDA>:--expt-relaxed-constexpr --expt-extended-lambda -Xcudafe=--diag_suppress=177>)
    if(_wants_sm70 AND KORVATH_SM70_AVAILABLE)
      korvath_add_sm70_image(${target} ${U_LINK})
    endif()
  else()
    set_source_files_properties(${U_SOURCES} TARGET_DIRECTORY ${target}
      PROPERTIES LANGUAGE CXX COMPILE_OPTIONS "-xc++")
  endif()
endfunction()

# The device architectures of the product; 70 needs the CUDA 12 assembler above.
set(KORVATH_ALL_ARCHS 70 75 80 86 89 90 100 103 120)

# Writes <dir>/device_unit_images.h: every device unit declared so far and the
# architectures of its images ("100a": only that capability; "100": that one
# and the higher minors of its major), one row each.
function(korvath_write_device_images dir)
  get_property(_units GLOBAL PROPERTY KORVATH_DEVICE_UNIT_IMAGES)
  set(_rows "")
  foreach(entry IN LISTS _units)
    string(REPLACE "=" ";" _pair "${entry}")
    list(GET _pair 0 _unit)
    list(LENGTH _pair _length)
    set(_archs "")
    if(_length GREATER 1)
      list(GET _pair 1 _archs)
    endif()
    string(APPEND _rows "    {\"${_unit}\", \"${_archs}\"},\n")
  endforeach()
  file(CONFIGURE OUTPUT "${dir}/device_unit_images.h" CONTENT
"#pragma once
// Generated by CMake (korvath_write_device_images): the device images each
// unit of device code carries in this build.
struct DeviceUnitImages {
  const char* unit;
  const char* architectures;  // blank-separated: \"100a\" exact, \"100\" and higher minors
};

inline constexpr DeviceUnitImages kDeviceUnitImages[] = {
@_rows@};
" @ONLY)
endfunction()
