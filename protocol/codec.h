// MRIM packets: the 44-byte header, the body items UL and LPS, the packet buffer in which
// packets are built and replies received, sequence numbers, and sending.
#pragma once

#include <cstdint>

#include "host/host_api.h"

constexpr uint32_t MRIM_MAGIC = 0xDEADBEEF;
constexpr uint32_t MRIM_PROTO_VERSION = 0x00010008;
constexpr uint32_t MRIM_HEADER_SIZE = 44;
// Every packet buffer holds the largest packet the receiver can deliver: 65,536 bytes in all.
constexpr uint32_t MRIM_PACKET_SIZE = 65536;
constexpr uint32_t MRIM_BODY_CAPACITY = MRIM_PACKET_SIZE - MRIM_HEADER_SIZE;

// Message codes.
constexpr uint32_t MRIM_CS_HELLO = 0x1001;
constexpr uint32_t MRIM_CS_HELLO_ACK = 0x1002;
constexpr uint32_t MRIM_CS_LOGIN_ACK = 0x1004;
constexpr uint32_t MRIM_CS_LOGIN_REJ = 0x1005;
constexpr uint32_t MRIM_CS_PING = 0x1006;
constexpr uint32_t MRIM_CS_MESSAGE = 0x1008;
constexpr uint32_t MRIM_CS_MESSAGE_ACK = 0x1009;
constexpr uint32_t MRIM_CS_USER_STATUS = 0x100F;
constexpr uint32_t MRIM_CS_MESSAGE_RECV = 0x1011;
constexpr uint32_t MRIM_CS_MESSAGE_STATUS = 0x1012;
constexpr uint32_t MRIM_CS_LOGOUT = 0x1013;
constexpr uint32_t MRIM_CS_CONNECTION_PARAMS = 0x1014;
constexpr uint32_t MRIM_CS_USER_INFO = 0x1015;
constexpr uint32_t MRIM_CS_ADD_CONTACT = 0x1019;
constexpr uint32_t MRIM_CS_ADD_CONTACT_ACK = 0x101A;
constexpr uint32_t MRIM_CS_MODIFY_CONTACT = 0x101B;
constexpr uint32_t MRIM_CS_MODIFY_CONTACT_ACK = 0x101C;
constexpr uint32_t MRIM_CS_OFFLINE_MESSAGE_ACK = 0x101D;
constexpr uint32_t MRIM_CS_DELETE_OFFLINE_MESSAGE = 0x101E;
constexpr uint32_t MRIM_CS_AUTHORIZE = 0x1020;
constexpr uint32_t MRIM_CS_CHANGE_STATUS = 0x1022;
constexpr uint32_t MRIM_CS_DIRECTORY_INFO = 0x1028;
constexpr uint32_t MRIM_CS_DIRECTORY_REQUEST = 0x1029;
constexpr uint32_t MRIM_CS_MAILBOX_STATUS = 0x1033;
constexpr uint32_t MRIM_CS_CONTACT_LIST2 = 0x1037;
constexpr uint32_t MRIM_CS_LOGIN2 = 0x1038;

// A packet exactly as it goes on the wire: the header fields, then the body area. dlen is at
// once the wire field and the append position. Packed (which changes no offset) so that a
// packet may be read in place wherever it starts in the receiver's buffer.
#pragma pack(push, 1)
struct MrimPacket {
  uint32_t magic;
  uint32_t proto;
  uint32_t seq;
  uint32_t msg;
  uint32_t dlen;
  uint32_t from;
  uint32_t fromport;
  BYTE reserved[16];
  BYTE body[MRIM_BODY_CAPACITY];
};
#pragma pack(pop)
static_assert(sizeof(MrimPacket) == MRIM_PACKET_SIZE);

// Adds one to last_seq and returns it; no two callers get the same number. Wraps to 0.
uint32_t mrim_next_seq();

// Writes a fresh header (magic, version, the given seq and code, dlen 0, zero addresses and
// reserved bytes).
void mrim_packet_init(MrimPacket* packet, uint32_t msg, uint32_t seq);

// Appends return 0, or 1 when the item would not fit the buffer; the packet is then unchanged.
int mrim_append_ul(MrimPacket* packet, uint32_t value);
int mrim_append_lps(MrimPacket* packet, const char* text);

// Reads return 1 when the position has reached dlen, or when the item runs past dlen; the
// position and output are then unchanged. An LPS longer than out_size - 1 is cut to fit (its
// whole length is still consumed).
int mrim_read_ul(uint32_t* position, const MrimPacket* packet, uint32_t* out);
int mrim_read_lps(uint32_t* position, const MrimPacket* packet, char* out_text, uint32_t out_size);

// Sends header and body in one host call on the current connection. 0 when there is no
// connection (nothing sent) or the host took the packet; 1 when the host reported a failure.
int MRIM_sendpacket(const MrimPacket* packet);
