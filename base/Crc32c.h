// base/Crc32c.h: CRC-32C (Castagnoli) of byte runs, for the checks that tell
// a spool file written whole from one that a crash cut or tore.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Extends `crc` (0 to start) by `size` bytes.
std::uint32_t Crc32cExtend(std::uint32_t crc, const void* data, std::size_t size);
