# Makes a fresh virtual environment that sees Debian's pip, pytest and Pillow,
# installs the C library of BUILD into it (a prefix where the package looks
# when TAVELO_LIBRARY is unset), and installs the Python package from a copy
# of its sources, so the build leaves nothing in the source tree. pip neither
# fetches nor builds in isolation: the build backend is Debian's setuptools.
file(REMOVE_RECURSE ${WORK}/source ${VENV})
file(COPY ${SOURCE}/ DESTINATION ${WORK}/source)
foreach(step
    "${PYTHON};-m;venv;--system-site-packages;--without-pip;${VENV}"
    "${CMAKE_COMMAND};--install;${BUILD};--prefix;${VENV}"
    "${VENV}/bin/python;-m;pip;install;-q;--disable-pip-version-check;--no-build-isolation;--no-index;--no-deps;${WORK}/source")
  execute_process(COMMAND ${step} RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "failed: ${step}")
  endif()
endforeach()
