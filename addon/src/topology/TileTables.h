#pragma once

// Index helpers over a model's shape tables (TileTables, one per row of the
// module-type table): they apply rotation operations without ever reading a
// table past its end.

#include <cstdint>

#include "topology/ModuleType.h"

namespace lc {

// The channel rotation operation of any known type (relays included);
// nullptr for an unknown type.
TileTables::Op channelRotation(ModuleType type);

// Applies an operation `steps` times to `index`, staying inside a table of
// `length` entries: false (out untouched) when the index, or any index met
// on the way, is outside the table.
bool rotateIndex(TileTables::Op op, unsigned length, std::uint32_t index, std::uint32_t steps,
                 std::uint32_t& out);

// A channel of a module of `type` turned by `steps` rotation steps; false
// when the type is unknown or the channel is not one of its channels.
bool absoluteChannel(ModuleType type, std::uint32_t channel, std::uint32_t steps,
                     std::uint32_t& out);

// The sign of an orientation index of a tile model: +1 or -1; +1 for relays,
// unknown types and indices outside the table.
int orientationSign(ModuleType type, std::uint32_t orientation);

}  // namespace lc
