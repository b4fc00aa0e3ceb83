# Provides the target `quorvel::simdjson`: simdjson's On-Demand parser, included as <simdjson.h>.
#
# By default the unmodified single-header amalgamation (simdjson.h, simdjson.cpp) of one pinned
# release, taken from a pinned PyPI source archive that carries it (pysimdjson keeps it in
# simdjson/), is compiled as a static library into the module: every build scans with the same
# release, and the module needs no simdjson where it runs. Built with threads on (the document
# stream can index the next batch on a worker thread, a configuration the scan ceiling measures;
# the scanner keeps that thread off and runs one of its own), every SIMD kernel compiled in and
# chosen at run time for the CPU at hand (no -march), position-independent with hidden symbols.
# QUORVEL_SYSTEM_SIMDJSON=ON links an installed simdjson instead.

option(QUORVEL_SYSTEM_SIMDJSON "Link an installed simdjson (find_package) instead of the pinned release" OFF)
# The release the scanner is tested with. 5.0.2 cuts the document stream's batches differently, and
# the scanner's batch-by-batch windows follow the 3.x rule: a move there needs a scanner change.
set(QUORVEL_SIMDJSON_RELEASE 3.12.3)

if(QUORVEL_SYSTEM_SIMDJSON)
  find_package(simdjson CONFIG REQUIRED)
  if(NOT simdjson_VERSION VERSION_EQUAL QUORVEL_SIMDJSON_RELEASE)
    message(WARNING "simdjson ${simdjson_VERSION} is installed; the scanner is tested with ${QUORVEL_SIMDJSON_RELEASE}")
  endif()
  add_library(quorvel::simdjson ALIAS simdjson::simdjson)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/PypiSdist.cmake)
  quorvel_pypi_sdist(pysimdjson 7.0.2 44cf276e48912a3b9c7ca362c14da8420a7ac15a9f1a16ec95becff86db3904a
                     QUORVEL_SIMDJSON_ARCHIVE simdjson_carrier_dir)
  set(simdjson_amalgamation "${simdjson_carrier_dir}/simdjson")
  file(STRINGS "${simdjson_amalgamation}/simdjson.h" simdjson_version_line
       REGEX "^#define SIMDJSON_VERSION \"${QUORVEL_SIMDJSON_RELEASE}\"$")
  if(NOT simdjson_version_line)
    message(FATAL_ERROR "${QUORVEL_SIMDJSON_ARCHIVE} does not carry simdjson ${QUORVEL_SIMDJSON_RELEASE}")
  endif()
  # A folder holding simdjson.h alone, so that the carrier's other files are not on the include path.
  set(simdjson_include_root "${CMAKE_CURRENT_BINARY_DIR}/simdjson-include")
  configure_file("${simdjson_amalgamation}/simdjson.h" "${simdjson_include_root}/simdjson.h" COPYONLY)

  find_package(Threads REQUIRED)
  add_library(quorvel_simdjson STATIC "${simdjson_amalgamation}/simdjson.cpp")
  target_include_directories(quorvel_simdjson SYSTEM PUBLIC "${simdjson_include_root}")
  # Part of the library's interface: the parser's and the document stream's layout depend on it.
  target_compile_definitions(quorvel_simdjson PUBLIC SIMDJSON_THREADS_ENABLED=1)
  target_link_libraries(quorvel_simdjson PUBLIC Threads::Threads)
  set_target_properties(quorvel_simdjson PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  add_library(quorvel::simdjson ALIAS quorvel_simdjson)
endif()
