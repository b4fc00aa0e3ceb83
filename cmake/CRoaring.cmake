# Provides the target `quorvel::roaring`: CRoaring's 32-bit bitmap, included as <roaring/roaring.h>.
#
# The unmodified amalgamation (roaring.c, roaring.h) of one pinned release is taken from a pinned
# pyroaring source archive on PyPI, verified against its SHA-256, unpacked under the build tree and
# compiled as a static library. An installed CRoaring is not used: Bitmap's failure handling needs
# CRoaring compiled with unwind tables (a C++ exception leaves its allocation hook through it) and
# reads the container index of exactly this release (src/storage/roaring32.cpp checks the version).

set(QUORVEL_CROARING_CARRIER "pyroaring==1.2.0")
set(QUORVEL_CROARING_ARCHIVE_SHA256 "e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af")
set(QUORVEL_CROARING_ARCHIVE "${PROJECT_SOURCE_DIR}/.deps/pyroaring-1.2.0.tar.gz"
    CACHE FILEPATH "pyroaring source archive that carries the CRoaring amalgamation")

if(NOT EXISTS "${QUORVEL_CROARING_ARCHIVE}")
  find_package(Python COMPONENTS Interpreter REQUIRED)
  get_filename_component(archive_dir "${QUORVEL_CROARING_ARCHIVE}" DIRECTORY)
  message(STATUS "CRoaring: downloading ${QUORVEL_CROARING_CARRIER} source archive into ${archive_dir}")
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps --no-binary :all:
            "${QUORVEL_CROARING_CARRIER}" -d "${archive_dir}"
    RESULT_VARIABLE download_result)
  if(NOT download_result EQUAL 0 OR NOT EXISTS "${QUORVEL_CROARING_ARCHIVE}")
    message(FATAL_ERROR "could not fetch ${QUORVEL_CROARING_CARRIER}; place its sdist at ${QUORVEL_CROARING_ARCHIVE}")
  endif()
endif()

include(FetchContent)
# SOURCE_SUBDIR names a folder without CMakeLists.txt: unpack only, add nothing.
FetchContent_Declare(croaring_carrier
  URL "${QUORVEL_CROARING_ARCHIVE}"
  URL_HASH SHA256=${QUORVEL_CROARING_ARCHIVE_SHA256}
  SOURCE_SUBDIR unpack-only
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE)
FetchContent_MakeAvailable(croaring_carrier)

set(amalgamation "${croaring_carrier_SOURCE_DIR}/pyroaring")
set(include_root "${CMAKE_CURRENT_BINARY_DIR}/croaring-include")
configure_file("${amalgamation}/roaring.h" "${include_root}/roaring/roaring.h" COPYONLY)

add_library(quorvel_croaring STATIC "${amalgamation}/roaring.c")
target_include_directories(quorvel_croaring SYSTEM PUBLIC "${include_root}" PRIVATE "${amalgamation}")
set_target_properties(quorvel_croaring PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
# -fexceptions: std::bad_alloc thrown by the allocation hook unwinds through CRoaring's frames.
target_compile_options(quorvel_croaring PRIVATE -fexceptions $<$<NOT:$<CONFIG:Debug>>:-O3>)
add_library(quorvel::roaring ALIAS quorvel_croaring)
message(STATUS "CRoaring: amalgamation from ${QUORVEL_CROARING_CARRIER}")
