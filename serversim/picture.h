// The pictures of the avatar service: a small JPEG for each address, drawn from the address
// itself, so that every user has a face of its own and the same one at every start.
#pragma once

#include <string>

#include "serversim/wire.h"

namespace serversim::detail {

inline constexpr int kPictureSide = 90;

// A baseline JPEG of kPictureSide × kPictureSide pixels. Throws std::runtime_error when the
// encoder fails.
Bytes make_picture(const std::string& address);

}  // namespace serversim::detail
