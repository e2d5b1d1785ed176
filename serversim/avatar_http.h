// Inside the MRIM server stand-in: the HTTP of the avatar service, apart from its sockets. What
// a request asks for, and the bytes each kind of answer is made of.
#pragma once

#include <cstdint>
#include <string>

#include "serversim/accounts.h"
#include "serversim/wire.h"

namespace serversim::detail {

inline constexpr size_t kMaxRequestHead = 8192;
inline constexpr size_t kHugeLength = size_t(8) << 20;

struct AvatarRequest {
  enum class Kind {
    bad,      // no whole, well-formed head: 400
    other,    // another method or path: 404 without X-NoImage
    picture,  // GET of a user's picture, in one of its sizes
  };
  Kind kind = Kind::bad;
  std::string path;   // as requested, without host or query; empty for a bad request
  std::string label;  // the first label of the user's domain
  std::string login;
};

// The request that the first read of a connection brought.
AvatarRequest read_request(const uint8_t* data, size_t size);

// Whether the address is the user a picture path names (case aside, as addresses go).
bool names_user(const std::string& address, const std::string& label, const std::string& login);

struct HttpAnswer {
  Bytes bytes;
  size_t filler = 0;     // filler bytes streamed behind `bytes`
  bool delayed = false;  // waits for Behavior::avatar_delay first
};

HttpAnswer bad_request();
HttpAnswer not_found();
bool needs_picture(AvatarKind kind);
// The answer to a request for a picture; `picture` is the user's JPEG when needs_picture(kind).
HttpAnswer avatar_answer(AvatarKind kind, const Bytes& picture, const std::string& path);

}  // namespace serversim::detail
