// The avatar service's HTTP, as the network's picture server speaks it: one GET per connection,
// an answer with its length, and the close. It is stricter than HTTP needs to be (the head must
// come whole in one read), because clients in the field send it so and the server counts on it.
#include "serversim/avatar_http.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <vector>

namespace serversim::detail {

namespace {

constexpr std::array<std::string_view, 7> kSizeNames = {
    "_mrimavatar",   "_mrimavatarsmall", "_mrimavatar180", "_mrimavatar128",
    "_mrimavatar60", "_mrimavatar32",    "_mrimavatar22"};

// A week, as the network's pictures are cached.
constexpr std::string_view kCacheControl = "Cache-Control: max-age=604800\r\n";

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return out;
}

Bytes response(std::string_view status, std::string_view fields, size_t length, std::string_view body = {}) {
  std::string head = "HTTP/1.1 " + std::string(status) + "\r\n" + std::string(fields) +
                     "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  Bytes out(head.begin(), head.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::string_view as_text(const Bytes& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

AvatarRequest read_request(const uint8_t* data, size_t size) {
  AvatarRequest request;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t head_end = text.find("\r\n\r\n");
  if (head_end == std::string_view::npos || head_end + 4 > kMaxRequestHead) return request;
  const std::string_view line = text.substr(0, text.find("\r\n"));
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) return request;
  const std::string_view method = line.substr(0, first);
  std::string_view target = line.substr(first + 1, last - first - 1);
  if (method.empty() || target.empty() || target.find(' ') != std::string_view::npos ||
      !line.substr(last + 1).starts_with("HTTP/1.")) {
    return request;
  }
  // Through a proxy the target names the host as well.
  if (target.starts_with("http://")) {
    const size_t slash = target.find('/', 7);
    target = slash == std::string_view::npos ? "/" : target.substr(slash);
  }
  target = target.substr(0, target.find('?'));
  request.kind = AvatarRequest::Kind::other;
  request.path = target;
  if (method != "GET" || !target.starts_with('/')) return request;

  std::vector<std::string_view> parts;
  for (std::string_view rest = target.substr(1);;) {
    const size_t slash = rest.find('/');
    parts.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  if (parts.size() != 3 || parts[0].empty() || parts[1].empty() ||
      std::find(kSizeNames.begin(), kSizeNames.end(), parts[2]) == kSizeNames.end()) {
    return request;
  }
  request.kind = AvatarRequest::Kind::picture;
  request.label = parts[0];
  request.login = parts[1];
  return request;
}

bool names_user(const std::string& address, const std::string& label, const std::string& login) {
  const std::string a = lower(address);
  const size_t at = a.find('@');
  if (at == std::string::npos) return false;
  const std::string domain_label = a.substr(at + 1, a.find('.', at) - at - 1);
  return a.substr(0, at) == lower(login) && domain_label == lower(label);
}

HttpAnswer bad_request() { return {response("400 Bad Request", "", 0)}; }

HttpAnswer not_found() { return {response("404 Not Found", "", 0)}; }

bool needs_picture(AvatarKind kind) {
  return kind == AvatarKind::picture || kind == AvatarKind::slow || kind == AvatarKind::huge;
}

HttpAnswer avatar_answer(AvatarKind kind, const Bytes& picture, const std::string& path) {
  const std::string jpeg = "Content-Type: image/jpeg\r\n" + std::string(kCacheControl);
  switch (kind) {
    case AvatarKind::none:
      return {response("404 Not Found", "X-NoImage: 1\r\n", 0)};
    case AvatarKind::picture:
    case AvatarKind::slow:
      return {response("200 OK", jpeg, picture.size(), as_text(picture)), 0, kind == AvatarKind::slow};
    case AvatarKind::broken: {
      std::string body;
      while (body.size() < 300) body += "this is no picture; ";
      return {response("200 OK", jpeg, 5000, body)};
    }
    case AvatarKind::redirect:
      return {response("302 Found", "Location: http://192.0.2.1:8081" + path + "\r\n", 0)};
    case AvatarKind::huge: {
      // A real picture's start (all but its end marker), so that a client that looks at the
      // first bytes takes it for a JPEG, and then filler for as long as the client reads.
      const std::string_view start = as_text(picture).substr(0, picture.size() - 2);
      return {response("200 OK", jpeg, kHugeLength, start), kHugeLength - start.size()};
    }
    case AvatarKind::html: {
      const std::string_view page =
          "<html><head><title>Unavailable</title></head>"
          "<body><p>The service is not available now.</p></body></html>\n";
      return {response("200 OK", "Content-Type: text/html\r\n", page.size(), page)};
    }
  }
  return not_found();
}

}  // namespace serversim::detail
