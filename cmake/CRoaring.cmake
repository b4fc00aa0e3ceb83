# Provides the target `quorvel::roaring`: CRoaring's 32-bit bitmap, included as <roaring/roaring.h>.
#
# The unmodified amalgamation (roaring.c, roaring.h) of one pinned release is taken from a pinned
# pyroaring source archive on PyPI, verified against its SHA-256, unpacked under the build tree and
# compiled as a static library. An installed CRoaring is not used: Bitmap's failure handling needs
# CRoaring compiled with unwind tables (a C++ exception leaves its allocation hook through it) and
# reads the container index of exactly this release (src/storage/roaring32.cpp checks the version).

include(${CMAKE_CURRENT_LIST_DIR}/PypiSdist.cmake)
quorvel_pypi_sdist(pyroaring 1.2.0 e33bf8fc8d8aad7373f62147cb5dbfaf0fdcf19af8069d034cd8ef4fb41a78af
                   QUORVEL_CROARING_ARCHIVE croaring_carrier_dir)

set(amalgamation "${croaring_carrier_dir}/pyroaring")
set(include_root "${CMAKE_CURRENT_BINARY_DIR}/croaring-include")
configure_file("${amalgamation}/roaring.h" "${include_root}/roaring/roaring.h" COPYONLY)

add_library(quorvel_croaring STATIC "${amalgamation}/roaring.c")
target_include_directories(quorvel_croaring SYSTEM PUBLIC "${include_root}" PRIVATE "${amalgamation}")
set_target_properties(quorvel_croaring PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
# -fexceptions: std::bad_alloc thrown by the allocation hook unwinds through CRoaring's frames.
# -falign-functions=64: each function starts a cache line, so that its loops keep their place in
# the lines whatever code is linked before it; with the default 16, a change elsewhere in the
# module moved roaring_bitmap_intersect by 16 bytes within its line and made it 25% slower.
target_compile_options(quorvel_croaring PRIVATE -fexceptions $<$<NOT:$<CONFIG:Debug>>:-O3>
                                                $<$<NOT:$<CONFIG:Debug>>:-falign-functions=64>)
add_library(quorvel::roaring ALIAS quorvel_croaring)
