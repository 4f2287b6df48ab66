# regkern_add_plugin(<name> <sources>...)
#
# Builds one plug-in for each host:
#   ${name}_standin  -> build/standin/<name>.so (.dll on Windows), linked to
#                       the stand-in host
#   ${name}_octave   -> build/octave/<name>.mex, an Octave MEX file, which
#                       `cmake --install` puts in <prefix>/${REGKERN_INSTALL_DIR}
# Both export only mexFunction. The folders hold no per-configuration
# subfolder (the generator expression stops multi-configuration generators,
# such as Visual Studio's, from adding one): the stand-in host looks for its
# plug-ins in build/standin itself.

set(REGKERN_STANDIN_DIR ${CMAKE_BINARY_DIR}/standin)
set(REGKERN_OCTAVE_DIR ${CMAKE_BINARY_DIR}/octave)
add_custom_target(standin_plugins)
add_custom_target(octave_plugins)

set(REGKERN_INSTALL_DIR lib/regkern CACHE STRING
    "Where `cmake --install` puts the Octave plug-ins and their help files, under the prefix")

# Without Octave (as on a Windows machine that builds for MATLAB), the
# Octave plug-ins and tests are left out and the rest is built.
if(REGKERN_OCTAVE)
  find_program(MKOCTFILE mkoctfile)
  find_program(OCTAVE_CLI octave-cli)
  if(NOT MKOCTFILE OR NOT OCTAVE_CLI)
    message(STATUS "Octave's mkoctfile or octave-cli not found: the Octave plug-ins and "
                   "the Octave tests are skipped (REGKERN_OCTAVE=OFF says so quietly)")
    set(REGKERN_OCTAVE OFF)
  endif()
endif()
if(REGKERN_OCTAVE)
  execute_process(COMMAND ${MKOCTFILE} -p OCTINCLUDEDIR
                  OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${MKOCTFILE} -p OCTLIBDIR
                  OUTPUT_VARIABLE OCTAVE_LIB_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  find_library(OCTAVE_OCTINTERP_LIB octinterp PATHS ${OCTAVE_LIB_DIR} NO_DEFAULT_PATH REQUIRED)
  find_library(OCTAVE_OCTAVE_LIB octave PATHS ${OCTAVE_LIB_DIR} NO_DEFAULT_PATH REQUIRED)
endif()

# Exports mexFunction alone from a plug-in, in each platform's own way: a
# version script for ELF linkers, an exported-symbol list for Apple's linker,
# a module-definition file on Windows (MinGW and Microsoft's linker).
function(regkern_export_mexfunction target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/mexfunction.def)
  elseif(APPLE)
    target_link_options(${target} PRIVATE
      -Wl,-exported_symbols_list,${CMAKE_SOURCE_DIR}/cmake/mexfunction.exports)
  else()
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/mexfunction.map)
  endif()
endfunction()

function(regkern_add_plugin name)
  set(sources ${ARGN})

  add_library(${name}_standin MODULE ${sources})
  target_link_libraries(${name}_standin PRIVATE regkern_mex_standin regkern_host Threads::Threads)
  regkern_export_mexfunction(${name}_standin)
  set_target_properties(${name}_standin PROPERTIES
    OUTPUT_NAME ${name} PREFIX "" SUFFIX "${CMAKE_SHARED_MODULE_SUFFIX}"
    LIBRARY_OUTPUT_DIRECTORY $<1:${REGKERN_STANDIN_DIR}>)
  add_dependencies(standin_plugins ${name}_standin)

  if(REGKERN_OCTAVE)
    add_library(${name}_octave MODULE ${sources})
    target_link_libraries(${name}_octave PRIVATE regkern_mex_octave
                          ${OCTAVE_OCTINTERP_LIB} ${OCTAVE_OCTAVE_LIB} Threads::Threads)
    regkern_export_mexfunction(${name}_octave)
    set_target_properties(${name}_octave PROPERTIES
      OUTPUT_NAME ${name} PREFIX "" SUFFIX ".mex"
      LIBRARY_OUTPUT_DIRECTORY $<1:${REGKERN_OCTAVE_DIR}>)
    add_dependencies(octave_plugins ${name}_octave)
    install(TARGETS ${name}_octave LIBRARY DESTINATION ${REGKERN_INSTALL_DIR})
  endif()
endfunction()
