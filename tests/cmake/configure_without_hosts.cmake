# cmake -DSOURCE=... -DWORK=... -DCXX=... -DMAKE=... -DBUILT=... -P configure_without_hosts.cmake
#
# A machine without Octave and GoogleTest (a Windows machine that builds for
# MATLAB): configuring hides both (no program is found, GTest is disabled)
# and must succeed, saying what it skips. Then `cmake --install` of the
# finished build BUILT puts every Octave plug-in beside its help file.
file(REMOVE_RECURSE ${WORK})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/bare
          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          -DCMAKE_FIND_ROOT_PATH=${WORK}/nothing -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=ONLY
          -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_MAKE_PROGRAM=${MAKE}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring without Octave and GoogleTest failed:\n${out}")
endif()
foreach(skipped "the Octave plug-ins and the Octave tests are skipped" "the C++ tests are skipped")
  string(FIND "${out}" "${skipped}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "configure did not say \"${skipped}\":\n${out}")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILT} --prefix ${WORK}/prefix
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
foreach(plugin ${PLUGINS})
  foreach(file ${plugin}.mex ${plugin}.m)
    if(NOT EXISTS ${WORK}/prefix/${INSTALL_DIR}/${file})
      message(FATAL_ERROR "cmake --install did not install ${file} in ${INSTALL_DIR}")
    endif()
  endforeach()
endforeach()
file(REMOVE_RECURSE ${WORK})
