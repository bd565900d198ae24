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

# korvath_add_device_unit(<target> ARCHS <sm numbers...> SOURCES <.cu files...>)
# A source unit of device code: machine code (no PTX) for the given
# architectures with nvcc, or plain C++ run by hostgpu in the host flavour.
function(korvath_add_device_unit target)
  cmake_parse_arguments(U "" "" "ARCHS;SOURCES;LINK" ${ARGN})
  add_library(${target} STATIC ${U_SOURCES})
  target_link_libraries(${target} PUBLIC korvath_gpu_platform ${U_LINK})
  if(KORVATH_FLAVOUR STREQUAL "cuda")
    set(_archs "")
    foreach(a IN LISTS U_ARCHS)
      list(APPEND _archs "${a}-real")
    endforeach()
    set_target_properties(${target} PROPERTIES CUDA_ARCHITECTURES "${_archs}")
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CUDA>:--expt-relaxed-constexpr --expt-extended-lambda -Xcudafe=--diag_suppress=177>)
  else()
    set_source_files_properties(${U_SOURCES} TARGET_DIRECTORY ${target}
      PROPERTIES LANGUAGE CXX COMPILE_OPTIONS "-xc++")
  endif()
endfunction()

# The device architectures of the product (compute capability 7.0 needs an
# older toolkit and is added where one is available).
set(KORVATH_ALL_ARCHS 75 80 86 89 90 100 103 120)
