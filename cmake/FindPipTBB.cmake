# Locates oneTBB as installed from PyPI (tbb-devel for headers, tbb for the
# shared library).  pip puts both under the environment's data prefix
# (include/ and lib/), which is not a CMake search path, so ask the build's
# own interpreter where the distribution's files landed.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c [=[
import importlib.metadata as md, pathlib
def find(dist, suffix):
    for f in md.distribution(dist).files or []:
        if ('/' + str(f).replace('\\', '/')).endswith(suffix):
            return pathlib.Path(f.locate()).resolve()
    raise SystemExit(dist + ': no ' + suffix)
header = find('tbb-devel', '/oneapi/tbb.h')
library = find('tbb', '/libtbb.so.12')
print(header.parent.parent, library, sep=';', end='')
]=]
  OUTPUT_VARIABLE _piptbb
  RESULT_VARIABLE _piptbb_rc
  ERROR_VARIABLE _piptbb_err)
if(NOT _piptbb_rc EQUAL 0)
  message(FATAL_ERROR "oneTBB from PyPI not found (pip install tbb-devel): ${_piptbb_err}")
endif()
list(GET _piptbb 0 PipTBB_INCLUDE_DIR)
list(GET _piptbb 1 PipTBB_LIBRARY)
add_library(PipTBB::tbb SHARED IMPORTED)
set_target_properties(PipTBB::tbb PROPERTIES
  IMPORTED_LOCATION "${PipTBB_LIBRARY}"
  IMPORTED_SONAME "libtbb.so.12"
  INTERFACE_INCLUDE_DIRECTORIES "${PipTBB_INCLUDE_DIR}")
message(STATUS "oneTBB headers: ${PipTBB_INCLUDE_DIR}; library: ${PipTBB_LIBRARY}")
