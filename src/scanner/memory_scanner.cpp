// MemoryScanner (placeholder until implemented).
#include "scanner/memory_scanner.hpp"

#include <stdexcept>

MemoryScanner::Result MemoryScanner::scan(const std::uint8_t*, std::size_t) {
  throw std::logic_error("not implemented");
}
