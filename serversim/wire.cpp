// The MRIM server stand-in's packet codec (see wire.h).
#include "serversim/wire.h"

#include <cstdio>

namespace serversim {

uint32_t get_ul(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_ul(uint8_t* p, uint32_t value) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

Writer& Writer::ul(uint32_t value) {
  size_t at = bytes_.size();
  bytes_.resize(at + 4);
  put_ul(bytes_.data() + at, value);
  return *this;
}

Writer& Writer::lps(std::string_view text) {
  ul(uint32_t(text.size()));
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  return *this;
}

Writer& Writer::raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::optional<uint32_t> Reader::ul() {
  if (size_ - pos_ < 4) return std::nullopt;
  uint32_t value = get_ul(data_ + pos_);
  pos_ += 4;
  return value;
}

std::optional<std::string> Reader::lps() {
  if (size_ - pos_ < 4) return std::nullopt;
  uint32_t n = get_ul(data_ + pos_);
  if (size_ - pos_ - 4 < n) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(data_ + pos_ + 4), n);
  pos_ += 4 + size_t(n);
  return text;
}

Bytes encode_header(uint32_t code, uint32_t seq, uint32_t dlen, uint32_t version) {
  Bytes out(kHeaderSize, 0);
  put_ul(out.data() + 0, kMagic);
  put_ul(out.data() + 4, version);
  put_ul(out.data() + 8, seq);
  put_ul(out.data() + 12, code);
  put_ul(out.data() + 16, dlen);
  return out;
}

Bytes encode(const Packet& packet, uint32_t version) {
  Bytes out = encode_header(packet.code, packet.seq, uint32_t(packet.body.size()), version);
  out.insert(out.end(), packet.body.begin(), packet.body.end());
  return out;
}

Frame cut_frame(const uint8_t* data, size_t size, size_t max_body) {
  Frame frame;
  // A wrong marker is recognisable from its first bytes; say so at once rather than waiting for
  // a whole header that may never come.
  for (size_t i = 0; i < 4 && i < size; ++i) {
    if (data[i] != uint8_t(kMagic >> (8 * i))) {
      frame.kind = Frame::Kind::bad_magic;
      return frame;
    }
  }
  if (size < kHeaderSize) return frame;
  uint32_t dlen = get_ul(data + 16);
  if (dlen > max_body) {
    frame.kind = Frame::Kind::too_long;
    return frame;
  }
  if (size - kHeaderSize < dlen) return frame;
  frame.kind = Frame::Kind::packet;
  frame.version = get_ul(data + 4);
  frame.packet.seq = get_ul(data + 8);
  frame.packet.code = get_ul(data + 12);
  frame.packet.body.assign(data + kHeaderSize, data + kHeaderSize + dlen);
  frame.consumed = kHeaderSize + dlen;
  return frame;
}

std::string status_uri(uint32_t status) {
  switch (status) {
    case mrim_status::offline:
      return "STATUS_OFFLINE";
    case mrim_status::online:
      return "STATUS_ONLINE";
    case mrim_status::away:
      return "STATUS_AWAY";
    case mrim_status::invisible:
      return "STATUS_INVISIBLE";
    default:
      return "";
  }
}

std::string code_name(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", unsigned(code));
  return text;
}

}  // namespace serversim
