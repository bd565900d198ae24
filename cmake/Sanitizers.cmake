# KORVATH_SANITIZE: a comma-separated -fsanitize= list for every C and C++
# unit ("address,undefined" or "thread"; empty: none). A finding ends the
# process with an error, so a sanitizer run cannot pass over one.
set(KORVATH_SANITIZE "" CACHE STRING "Sanitizers for every C/C++ unit, e.g. address,undefined or thread")

if(KORVATH_SANITIZE)
  set(_flags "-fsanitize=${KORVATH_SANITIZE}" -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${_flags}>")
  add_link_options("-fsanitize=${KORVATH_SANITIZE}")
  string(REPLACE "," ";" KORVATH_SANITIZERS "${KORVATH_SANITIZE}")
  message(STATUS "Sanitizers: ${KORVATH_SANITIZERS}")
else()
  set(KORVATH_SANITIZERS "")
endif()
