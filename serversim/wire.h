// The MRIM server stand-in's own packet codec: the 44-byte header, little-endian UL items and
// length-prefixed LPS texts. The stand-in is an independent peer of the plug-in, so it shares no
// code with the plug-in's codec; a fault in one is then not hidden by the same fault in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace serversim {

using Bytes = std::vector<uint8_t>;

// Message codes, named after their MRIM names without the MRIM_CS_ prefix (the plug-in's headers
// may define the prefixed names as macros, and tests include both).
namespace code {
inline constexpr uint32_t hello = 0x1001;
inline constexpr uint32_t hello_ack = 0x1002;
inline constexpr uint32_t login_ack = 0x1004;
inline constexpr uint32_t login_rej = 0x1005;
inline constexpr uint32_t ping = 0x1006;
inline constexpr uint32_t message = 0x1008;
inline constexpr uint32_t message_ack = 0x1009;
inline constexpr uint32_t user_status = 0x100F;
inline constexpr uint32_t message_recv = 0x1011;
inline constexpr uint32_t message_status = 0x1012;
inline constexpr uint32_t logout = 0x1013;
inline constexpr uint32_t connection_params = 0x1014;
inline constexpr uint32_t user_info = 0x1015;
inline constexpr uint32_t add_contact = 0x1019;
inline constexpr uint32_t add_contact_ack = 0x101A;
inline constexpr uint32_t modify_contact = 0x101B;
inline constexpr uint32_t modify_contact_ack = 0x101C;
inline constexpr uint32_t offline_message_ack = 0x101D;
inline constexpr uint32_t delete_offline_message = 0x101E;
inline constexpr uint32_t authorize = 0x1020;
inline constexpr uint32_t authorize_ack = 0x1021;
inline constexpr uint32_t change_status = 0x1022;
inline constexpr uint32_t directory_info = 0x1028;
inline constexpr uint32_t directory_request = 0x1029;
inline constexpr uint32_t mailbox_status = 0x1033;
inline constexpr uint32_t contact_list2 = 0x1037;
inline constexpr uint32_t login2 = 0x1038;
// The microblog (from 1.20). A post, as the answer to the poster and pushed to its contacts: UL
// flags, LPS address, UL id low, UL id high, UL time, U16 text, UL reply-to.
inline constexpr uint32_t user_blog_status = 0x1063;
// A client's post: UL flags, U16 text.
inline constexpr uint32_t change_user_blog_status = 0x1064;
// The web-session key: the request is header-only and always answered under its number.
inline constexpr uint32_t web_key_request = 0x1024;
inline constexpr uint32_t web_key_ack = 0x1025;  // UL status 1, LPS key
// Upgrades of the connection, asked before the log-in; all three are header-only. The answer to
// either request echoes its sequence number.
inline constexpr uint32_t tls_request = 0x1086;
inline constexpr uint32_t tls_go_ahead = 0x1087;  // the TLS handshake follows on the same socket
inline constexpr uint32_t not_offered = 0x1088;   // refused: the connection goes on as it was
inline constexpr uint32_t compression_request = 0x1089;
}  // namespace code

// Message flags (the flags UL of a message).
namespace message_flag {
inline constexpr uint32_t norecv = 0x4;
inline constexpr uint32_t authorize = 0x8;
// The text is contacts: "address;nickname;" for each.
inline constexpr uint32_t contact = 0x200;
inline constexpr uint32_t notify = 0x400;
// On MESSAGE_ACK to a Unicode session: the text is UTF-16LE. Clients do not set it, since some
// servers then refuse to store the message for a receiver who is not logged in.
inline constexpr uint32_t unicode = 0x100000;
}  // namespace message_flag

// Contact flags (the flags UL of a contact-list entry and of ADD/MODIFY_CONTACT).
namespace contact_flag {
inline constexpr uint32_t removed = 0x1;
// The entry is a group; in the list its index stands in the top byte of the flags as well.
inline constexpr uint32_t group = 0x2;
// On the owner's invisible list; ignored by the owner. Such a contact's posts do not reach the
// owner.
inline constexpr uint32_t invisible = 0x4;
inline constexpr uint32_t ignored = 0x10;
// In the list to a Unicode session, on every group and contact: its name is UTF-16LE.
inline constexpr uint32_t unicode = 0x200;
}  // namespace contact_flag

// Status values of the protocol.
namespace mrim_status {
inline constexpr uint32_t offline = 0;
inline constexpr uint32_t online = 1;
inline constexpr uint32_t away = 2;
// Chosen by the user, with a title of its own (from 1.15); shown as online.
inline constexpr uint32_t user_defined = 4;
inline constexpr uint32_t invisible = 0x80000001;
}  // namespace mrim_status

// The status URI that goes with a status number (from 1.15 on); empty for a number without one
// (user-defined statuses carry whatever URI their client sent).
std::string status_uri(uint32_t status);

// The kinds of the items of MRIM_CS_DIRECTORY_REQUEST (each a UL kind, then an LPS value).
namespace search_field {
inline constexpr uint32_t user = 0;
inline constexpr uint32_t domain = 1;
inline constexpr uint32_t nickname = 2;
inline constexpr uint32_t first_name = 3;
inline constexpr uint32_t last_name = 4;
inline constexpr uint32_t age_from = 7;
inline constexpr uint32_t age_to = 8;
inline constexpr uint32_t online = 9;
inline constexpr uint32_t city = 11;
}  // namespace search_field

// Protocol revisions as the header's version carries them: major << 16 | minor. Servers branch
// on the minor number only, and so does this one.
namespace revision {
inline constexpr uint32_t v1_8 = 0x00010008;
inline constexpr uint32_t v1_13 = 0x0001000D;
inline constexpr uint32_t v1_14 = 0x0001000E;
inline constexpr uint32_t v1_15 = 0x0001000F;
inline constexpr uint32_t v1_16 = 0x00010010;
inline constexpr uint32_t v1_19 = 0x00010013;
inline constexpr uint32_t v1_20 = 0x00010014;
constexpr uint32_t minor(uint32_t version) { return version & 0xFFFF; }
// From 1.16 on a session's texts are UTF-16LE.
constexpr bool unicode(uint32_t version) { return minor(version) >= 16; }
// From 1.15 on statuses carry a URI, a title and a description.
constexpr bool status_texts(uint32_t version) { return minor(version) >= 15; }
// From 1.20 on the server tells its clock in HELLO_ACK, and sessions take microblog posts.
constexpr bool microblog(uint32_t version) { return minor(version) >= 20; }
// Typing notices go only to sessions above 1.8.
constexpr bool typing_notices(uint32_t version) { return minor(version) > 8; }
}  // namespace revision

inline constexpr uint32_t kMagic = 0xDEADBEEF;
// The version this stand-in writes in the headers it sends, and the client's default.
inline constexpr uint32_t kProtoVersion = revision::v1_8;
inline constexpr size_t kHeaderSize = 44;

struct Packet {
  uint32_t code = 0;
  uint32_t seq = 0;
  Bytes body;

  bool operator==(const Packet&) const = default;
};

// Builds a body item by item.
class Writer {
 public:
  Writer& ul(uint32_t value);
  Writer& lps(std::string_view text);
  Writer& raw(const Bytes& bytes);
  const Bytes& bytes() const { return bytes_; }
  Bytes take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
};

// Reads a body item by item. Every read is checked against the end of the body: an item that
// starts or ends past it fails, leaves the position where it was, and never reads past the body.
class Reader {
 public:
  explicit Reader(const Bytes& body) : data_(body.data()), size_(body.size()) {}
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  std::optional<uint32_t> ul();
  std::optional<std::string> lps();
  bool at_end() const { return pos_ == size_; }
  size_t position() const { return pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

uint32_t get_ul(const uint8_t* p);
void put_ul(uint8_t* p, uint32_t value);

// The whole packet as it goes on the wire: header (magic, version, seq, code, dlen, zero
// from/fromport/reserved) and body.
Bytes encode(const Packet& packet, uint32_t version = kProtoVersion);
// A header alone, with any dlen: for the misbehaviour that announces more body than it sends.
Bytes encode_header(uint32_t code, uint32_t seq, uint32_t dlen, uint32_t version = kProtoVersion);

// Result of looking at the front of a receive buffer.
struct Frame {
  enum class Kind { incomplete, packet, bad_magic, too_long } kind = Kind::incomplete;
  Packet packet;         // when kind == packet
  uint32_t version = 0;  // the header's version, when kind == packet
  size_t consumed = 0;   // bytes the packet took from the buffer
};
// Cuts one packet from the front of data. A body longer than max_body is refused rather than
// buffered, so a peer cannot make us hold gigabytes.
Frame cut_frame(const uint8_t* data, size_t size, size_t max_body);

// "0x%04X" style name of a code for messages and test output.
std::string code_name(uint32_t code);

}  // namespace serversim
