// What the MRIM wire carries, as numbers: the header's fixed values and sizes, the message
// codes, and the values of the fields that several parts of the plug-in read or write (message
// flags, status values, contact flags, operation results). Nothing here knows a connection.
#pragma once

#include <cstdint>

constexpr uint32_t MRIM_MAGIC = 0xDEADBEEF;
// Revisions (major << 16 | minor) the plug-in speaks. The legacy one keeps every text in code
// page 1251; from 1.16 on a session is Unicode (UTF-16LE texts), and from 1.15 on status carries
// a URI, a title and a description. 1.19 has all of that and no microblog pushes.
constexpr uint32_t MRIM_PROTO_VERSION_LEGACY = 0x00010008;
constexpr uint32_t MRIM_PROTO_VERSION_MODERN = 0x00010013;
// From 1.20: the server's clock in the greeting's answer, and microblog posts.
constexpr uint32_t MRIM_PROTO_VERSION_MICROBLOG = 0x00010014;
constexpr uint32_t MRIM_MINOR_STATUS_TEXTS = 15;
constexpr uint32_t MRIM_MINOR_UNICODE = 16;
constexpr uint32_t MRIM_HEADER_SIZE = 44;
// Every packet buffer holds the largest packet the receiver can deliver: 65,536 bytes in all.
constexpr uint32_t MRIM_PACKET_SIZE = 65536;
constexpr uint32_t MRIM_BODY_CAPACITY = MRIM_PACKET_SIZE - MRIM_HEADER_SIZE;
// The largest packet the listener hands over whole (header included). Servers send the whole
// contact list in one packet, about 60 bytes an entry: 4 MiB holds lists of tens of thousands,
// and a longer packet is skipped by its declared length. Packets received this way may be
// longer than MRIM_PACKET_SIZE, so readers go by dlen, never by the packet buffer's size.
constexpr uint32_t MRIM_LARGEST_PACKET = 4u << 20;
constexpr uint32_t MRIM_LARGEST_BODY = MRIM_LARGEST_PACKET - MRIM_HEADER_SIZE;

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
// LPS address. Either "that address authorized you" or, from a widely used server, the
// acknowledgement of our own grant to it (see contacts/authorization.h).
constexpr uint32_t MRIM_CS_AUTHORIZE_ACK = 0x1021;
constexpr uint32_t MRIM_CS_CHANGE_STATUS = 0x1022;
// Header only. Every server answers it under its number (UL status, LPS key), some under this
// code, others under 0x1025; only the answer's coming is used, to tell a live connection from a
// dead one, and sparingly (a server keeps every key it hands out for an hour).
constexpr uint32_t MRIM_CS_WEB_SESSION_KEY = 0x1024;
constexpr uint32_t MRIM_CS_DIRECTORY_INFO = 0x1028;
constexpr uint32_t MRIM_CS_DIRECTORY_REQUEST = 0x1029;
constexpr uint32_t MRIM_CS_MAILBOX_STATUS = 0x1033;
// A post, as the answer to ours and pushed from contacts: UL flags, LPS address, UL64 id, UL
// time, U16 text, UL reply-to.
constexpr uint32_t MRIM_CS_USER_BLOG_STATUS = 0x1063;
// Our post: UL flags, U16 text of at most MRIM_POST_MAX characters.
constexpr uint32_t MRIM_CS_CHANGE_USER_BLOG_STATUS = 0x1064;
constexpr uint32_t MRIM_POST_FLAG_STORED = 1;
constexpr size_t MRIM_POST_MAX = 500;
constexpr uint32_t MRIM_CS_CONTACT_LIST2 = 0x1037;
constexpr uint32_t MRIM_CS_LOGIN2 = 0x1038;
// The upgrade to TLS, header-only both ways, asked before the greeting: go ahead, or not offered.
constexpr uint32_t MRIM_CS_STARTTLS = 0x1086;
constexpr uint32_t MRIM_CS_STARTTLS_ACK = 0x1087;
constexpr uint32_t MRIM_CS_STARTTLS_REJ = 0x1088;

// Message flags (the UL after the message id in MRIM_CS_MESSAGE and MRIM_CS_MESSAGE_ACK).
constexpr uint32_t MESSAGE_FLAG_NORECV = 0x4;
constexpr uint32_t MESSAGE_FLAG_AUTHORIZE = 0x8;
// The text is contacts, "address;nickname;" for each.
constexpr uint32_t MESSAGE_FLAG_CONTACT = 0x200;
constexpr uint32_t MESSAGE_FLAG_NOTIFY = 0x400;
// Set by the server on a message whose text is UTF-16LE. Never set on what we send: some servers
// then refuse to store the message for a receiver who is offline.
constexpr uint32_t MESSAGE_FLAG_UNICODE = 0x100000;
// Status of MRIM_CS_MESSAGE_STATUS.
constexpr uint32_t MESSAGE_DELIVERED = 0;
constexpr uint32_t MESSAGE_REJECTED_NOUSER = 0x8001;
constexpr uint32_t MESSAGE_REJECTED_INTERR = 0x8003;
constexpr uint32_t MESSAGE_REJECTED_LIMIT_EXCEEDED = 0x8004;  // the receiver's offline store is full
constexpr uint32_t MESSAGE_REJECTED_TOO_LARGE = 0x8005;
constexpr uint32_t MESSAGE_REJECTED_DENY_OFFMSG = 0x8006;  // not stored for an offline receiver

// MRIM status values.
constexpr uint32_t MRIM_STATUS_OFFLINE = 0x00000000;
constexpr uint32_t MRIM_STATUS_ONLINE = 0x00000001;
constexpr uint32_t MRIM_STATUS_AWAY = 0x00000002;
// A status of the user's own making: present, shown with its title.
constexpr uint32_t MRIM_STATUS_USER_DEFINED = 0x00000004;
constexpr uint32_t MRIM_STATUS_FLAG_INVISIBLE = 0x80000000;
constexpr uint32_t MRIM_STATUS_INVISIBLE = MRIM_STATUS_FLAG_INVISIBLE | MRIM_STATUS_ONLINE;

// Server contact flags.
constexpr uint32_t CONTACT_FLAG_REMOVED = 0x01;
// A group entry of the list, or an ADD/MODIFY_CONTACT about a group rather than a contact.
constexpr uint32_t CONTACT_FLAG_GROUP = 0x02;
constexpr uint32_t CONTACT_FLAG_INVISIBLE = 0x04;
constexpr uint32_t CONTACT_FLAG_VISIBLE = 0x08;
// The user ignores the contact: the server keeps the mark, clients drop its messages.
constexpr uint32_t CONTACT_FLAG_IGNORED = 0x10;
// On a list entry of a Unicode session: its names are UTF-16LE.
constexpr uint32_t CONTACT_FLAG_UNICODE_NAME = 0x200;
// Status of MRIM_CS_ADD_CONTACT_ACK and MRIM_CS_MODIFY_CONTACT_ACK.
constexpr uint32_t CONTACT_OPER_SUCCESS = 0;
constexpr uint32_t CONTACT_OPER_ERROR = 1;
constexpr uint32_t CONTACT_OPER_INTERR = 2;
constexpr uint32_t CONTACT_OPER_NO_SUCH_USER = 3;
constexpr uint32_t CONTACT_OPER_INVALID_INFO = 4;
constexpr uint32_t CONTACT_OPER_USER_EXISTS = 5;
constexpr uint32_t CONTACT_OPER_GROUP_LIMIT = 6;

// Status of MRIM_CS_DIRECTORY_INFO when the address was found, and when the server refuses
// more searches for a few minutes (after 25 in a short time).
constexpr uint32_t MRIM_DIRECTORY_FOUND = 1;
constexpr uint32_t MRIM_DIRECTORY_TOO_MANY = 3;
// The keys of MRIM_CS_DIRECTORY_REQUEST's items. Names and the city are UTF-16LE in a Unicode
// session, the rest code page text; ages are whole years in decimal digits, online "1". The city
// goes by its name, which the directory compares with each entry's location.
constexpr uint32_t MRIM_SEARCH_KEY_USER = 0;
constexpr uint32_t MRIM_SEARCH_KEY_DOMAIN = 1;
constexpr uint32_t MRIM_SEARCH_KEY_NICKNAME = 2;
constexpr uint32_t MRIM_SEARCH_KEY_FIRST_NAME = 3;
constexpr uint32_t MRIM_SEARCH_KEY_LAST_NAME = 4;
constexpr uint32_t MRIM_SEARCH_KEY_AGE_FROM = 7;
constexpr uint32_t MRIM_SEARCH_KEY_AGE_TO = 8;
constexpr uint32_t MRIM_SEARCH_KEY_ONLINE = 9;
constexpr uint32_t MRIM_SEARCH_KEY_CITY = 11;
