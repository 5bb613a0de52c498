# Each subsystem is one static library whose sources are picked up from its
# source folder; its public headers live in its own include folder, and it sees
# only the include folders of the libraries it links (always downward).
function(lumo_add_library name srcdir incdir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${srcdir}/*.cpp ${srcdir}/*.c)
  if(NOT _srcs)
    message(FATAL_ERROR "library ${name}: no sources in ${srcdir}")
  endif()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${incdir} PRIVATE ${srcdir})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()
