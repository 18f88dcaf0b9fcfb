#pragma once
// The two encodings of external blocks: "compressible" (a byte
// substitution) and "high" (cyclic, keyed by the block id).
#include <cstddef>
#include <cstdint>

namespace pw::pst::ndb {

void decodePermute(std::uint8_t *data, std::size_t size);
// The cyclic encoding is its own inverse: the same call encodes.
void decodeCyclic(std::uint8_t *data, std::size_t size, std::uint32_t key);

} // namespace pw::pst::ndb
