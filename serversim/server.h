// The MRIM server stand-in: an address service that answers "host:port" and closes, the
// MRIM service with many sessions at once, accounts, contact lists, presence, messages, stored
// messages and the directory, and the users' pictures over HTTP as the network publishes them
// beside its MRIM port. Runs on a thread of its own; every public method is thread-safe, so
// tests steer and watch it while the plug-in talks to it. It can also misbehave on purpose.
//
// When Behavior::tls says so, a session may turn to TLS before its log-in (with
// Behavior::tls_fresh_session after it too, starting logged out), as servers in use offer:
// MRIM_CS 0x1086 is answered 0x1087 in clear, and from then on the session (handshake, log-in
// and all) runs inside TLS with a self-signed certificate the server made at start. What a
// session sends is encrypted as it is queued, so write styles and faults cut the ciphertext.
//
// Each session speaks the revision of its log-in, as servers in use do: up to 1.13 the old
// log-in, from 1.15 statuses with texts, from 1.16 a Unicode session (its texts UTF-16LE, the
// rest code page 1251), from 1.20 the server's clock in HELLO_ACK and the microblog. What the
// server sends on its own takes the receiver's revision. Texts inside the server, and every text
// of this interface, are UTF-8 (see text.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serversim/accounts.h"
#include "serversim/wire.h"

namespace serversim {

using SessionId = uint64_t;
using std::chrono::milliseconds;

// The reason in the MRIM_CS_LOGOUT that a second log-in of the account sends to the first
// session, and the statuses of the replies. Values other than 0 are this server's choice: the
// client only tells 0 (success) from anything else.
inline constexpr uint32_t kLogoutReasonOtherLogin = 0x10;
inline constexpr uint32_t kMessageDelivered = 0;
inline constexpr uint32_t kMessageRejected = 0x8001;
inline constexpr uint32_t kContactOperSuccess = 0;
inline constexpr uint32_t kContactOperError = 1;
// The replies and limits of a widely used community server's quirks (see Behavior).
inline constexpr uint32_t kMessageStoreFull = 0x8004;  // the receiver's stored messages are at the limit
inline constexpr uint32_t kMessageNotStored = 0x8006;  // not kept for a receiver who is not logged in
inline constexpr size_t kMaxStoredMessages = 20;
inline constexpr size_t kMaxMessageUnits = 5000;  // UTF-16 units of a message's text
inline constexpr uint32_t kContactOperNoSuchUser = 3;
inline constexpr uint32_t kContactOperInvalidInfo = 4;
inline constexpr uint32_t kContactOperGroupLimit = 6;
inline constexpr uint32_t kAddErrorNumber = 0xFFFFFFFF;  // beside kContactOperError
inline constexpr uint32_t kSearchRateLimited = 3;        // the status of DIRECTORY_INFO
inline constexpr int kMaxSearchesPerMinute = 25;
inline constexpr size_t kSearchPageRows = 50;
inline constexpr std::chrono::seconds kSearchPagingWindow{120};
// Contact numbers as the client counts them: the first contact of a list is 20.
inline constexpr uint32_t kFirstContactNumber = 20;
// A group's index travels in the top byte of its flags, so no list holds more groups.
inline constexpr size_t kMaxGroups = 256;
// A client packet announcing a longer body ends its session (no client request comes near it).
inline constexpr size_t kMaxClientBody = 1 << 20;
// The microblog. Posts are numbered from kFirstPostId up, past 32 bits, so that the id's high
// word is used. A post longer than kMaxPostUnits UTF-16 units is dropped without an answer; only
// the flags below make a stored post (and a push); the list shows a post no older than
// kPostShownFor.
inline constexpr uint64_t kFirstPostId = 0x100000001;
inline constexpr size_t kMaxPostUnits = 500;
inline constexpr uint32_t kPostStored = 1;
inline constexpr uint32_t kPostStoredToo = 9;
inline constexpr std::chrono::seconds kPostShownFor = std::chrono::hours(24 * 7);

// What the address service does with each connection.
enum class AddressMode {
  reply,  // write the reply text and close
  hold,   // accept and say nothing; the connection stays open until the client closes it
  close,  // close at once without a byte
};

// A misbehaviour applied to a packet the server sends: the reply to a client request or, with
// FaultRule::push, a packet it sends on its own. A reply and the notices sent right behind it
// (after a log-in: USER_INFO, CONTACT_LIST2, MAILBOX_STATUS and the stored messages) go out
// together: hold and delay keep the rest of them back with the spoiled packet; garbage,
// huge_dlen, close_mid_packet, close, reset and stall send nothing more of them.
enum class Fault {
  hold,              // keep the packet back until release_held() (or the session ends)
  delay,             // send the packet `delay` later
  wrong_code,        // send the packet under the code `wrong_code`
  garbage,           // send `garbage_bytes` bytes that are no packet instead of the packet
  huge_dlen,         // send only a header that announces 0xFFFFFFF0 body bytes
  close_mid_packet,  // send the first half of the packet's bytes, then close the session
  close,             // close the session instead of sending the packet
  reset,             // abort the connection (an RST: the client reads ECONNRESET, not an end)
  // Send the packet one byte per write, `delay` apart (kDefaultDripPause when 0); what the
  // session sends after it waits behind it, in order.
  drip,
  // Swallow the packet and everything the session would send after it. The connection stays
  // open until the client closes it (no idle limit, no second log-in ends it); the server
  // still reads and acts on what the client sends, so received() shows it.
  stall,
};

inline constexpr milliseconds kDefaultDripPause{20};

// Close reasons (SessionInfo::close_reason) of the sessions a fault ends:
//   close_mid_packet      "closed mid-packet on purpose"
//   close                 "closed instead of replying on purpose", or for a push rule
//                         "closed instead of sending 0x1037 on purpose" (the code in hex)
//   reset                 "reset instead of replying on purpose" / "... sending 0x1037 ..."
//   inject close, reset   "closed on purpose", "reset on purpose"
// A stalled session's reason ends in " while stalled on purpose" (for example "closed by the
// client while stalled on purpose").
struct FaultRule {
  uint32_t request = 0;  // code of the request whose reply is affected; 0 for every request
  Fault fault = Fault::hold;
  milliseconds delay{0};  // delay: how long; drip: the pause between bytes
  uint32_t wrong_code = 0x10FF;
  size_t garbage_bytes = 64;
  int times = -1;  // number of packets it spoils; -1 for every one
  // Not 0: the rule spoils, instead of replies, the packets of this code that the server sends
  // on its own (after a log-in USER_INFO, CONTACT_LIST2, MAILBOX_STATUS, OFFLINE_MESSAGE_ACK;
  // at any time USER_STATUS, MESSAGE_ACK, LOGOUT, CONNECTION_PARAMS...); `request` is then not
  // looked at. What a test sends with send() or send_raw() is spoiled by no rule (though a
  // stalled session swallows it too).
  uint32_t push = 0;
};

// How the MRIM service writes what it sends to a session.
enum class Writes {
  as_queued,  // everything queued so far in one write, as soon as the socket takes it
  coalesce,   // held for coalesce_window after the first byte, so that several packets share a write
  split,      // one byte per write: every packet is cut at every byte boundary
};

// Settings that tests may change while the server runs.
struct Behavior {
  uint32_t ping_period = 30;  // seconds, announced in MRIM_CS_HELLO_ACK
  // Added to every date the server sends (the time in HELLO_ACK from 1.20, the times of posts,
  // the dates of stored messages), as a server whose clock is off does: a client that corrects
  // by the difference HELLO_ACK shows gets the real clock's dates back.
  std::chrono::seconds clock_offset{0};
  // A session that sends no packet for idle_periods × ping_period is dropped; idle_timeout,
  // when not zero, replaces that product (tests use short ones). 0 in both: never dropped.
  uint32_t idle_periods = 3;
  milliseconds idle_timeout{0};
  bool hello_ack_zero_seq = false;  // answer MRIM_CS_HELLO with seq 0, as some servers do
  bool close_on_accept = false;     // the MRIM service closes every new connection at once
  AddressMode address_mode = AddressMode::reply;
  // The address service's reply; unset: "<MRIM host>:<MRIM port>\r\n" of the running service.
  std::optional<std::string> address_reply;
  // How long the address service waits before it replies, as a busy one does.
  milliseconds address_reply_delay{0};
  // After a log-in: account information, contact list, mailbox status and stored messages.
  bool send_after_login = true;
  // Form of the messages stored for accounts that are not logged in.
  OfflineForm stored_form = OfflineForm::modern;
  // Text of the authorization request that adding a contact sends to the added user (in code
  // page 1251 at every revision, as authorization texts go).
  std::string auth_request_text = "Please authorize me";
  Writes writes = Writes::as_queued;
  milliseconds coalesce_window{25};
  // As a widely used server does: of each TCP read only the first whole packet is handled, and
  // whatever else that read brought is dropped (counted in dropped_packets). A packet begun in
  // an earlier read is completed from the following reads as usual.
  bool one_packet_per_read = false;
  // A contact added by a client stays out of that account's list (Contact::pending) until the
  // added user authorizes it with MRIM_CS_AUTHORIZE, as community servers do. Without it the
  // contact is listed, though still pending.
  bool list_only_authorized = false;
  // The MRIM service offers TLS: a session that asks before its log-in is told to go ahead
  // (0x1087) and turns to TLS. Off: every such request is refused (0x1088), as are requests
  // after the log-in (but see tls_fresh_session) and requests for compression at any time.
  bool tls = false;
  // An attacker on the path, for the client's defences of its upgrade:
  //  - tls_silent: a request for TLS gets no answer at all (the session stays open);
  //  - after_go_ahead: bytes sent in clear right behind the go-ahead, in the same write;
  //  - after_handshake: packets sent encrypted as soon as the handshake is done, before the
  //    client has said anything inside TLS (that is, before it could have accepted the
  //    certificate).
  bool tls_silent = false;
  std::vector<uint8_t> after_go_ahead;
  std::vector<Packet> after_handshake;

  // ---- The quirks of a widely used community server. Each is off by default; community()
  // turns every one on. A client must survive all of them at once. ----

  // Reads. Both work per TCP read (per piece the TLS engine gives, in a TLS session), as
  // one_packet_per_read does. split_header: a read that ends inside a header has that header
  // parsed as if it were whole, the missing bytes read as 0. Cut before the body length, the
  // packet has no body, and the rest of the header (next read) is taken as the next packet,
  // whose bad magic ends the session; cut after it, the rest of the header becomes the start
  // of the body. A read that ends inside the magic ends the session at once.
  // short_body_twice: counting the reads that brought some of a packet's body, at the end of
  // the second a body still incomplete is handled as far as it has come (under its header as
  // sent), and the packet is handled again once whole: the client sees two answers under one
  // sequence number, and a message may be delivered twice. A body over two reads is handled
  // once.
  bool split_header = false;
  bool short_body_twice = false;

  // The log-in gate. login_gate: any packet but PING, HELLO, LOGIN2 and 0x1086 before the
  // LOGIN_ACK has gone out ends the session (FIN, no answer; the close reason names the code),
  // including one sent right behind LOGIN2 while the server still asks its database, and
  // including 0x1024. A session that turns to TLS after its log-in (tls_fresh_session) is
  // behind the gate again. login_delay: the LOGIN_ACK (and what follows it) goes out this long
  // after LOGIN2; meanwhile the session already counts as the account's for pushes, so another
  // user's message or status may come before LOGIN_ACK, and the account shows online to others
  // from LOGIN2 on. no_mailbox_status: MAILBOX_STATUS is never sent (neither after the log-in
  // nor by set_unread, which still changes the account).
  bool login_gate = false;
  milliseconds login_delay{0};
  bool no_mailbox_status = false;

  // Keep-alive: only PING resets the idle timer, which starts at the first PING, and the limit
  // is ping_period + 10 s (idle_timeout, when set, still replaces it). A session that never
  // pings is not timed out.
  bool ping_only_keepalive = false;

  // Sequence numbers of what the server sends on its own: USER_STATUS carries the number of the
  // request of the user whose status it is (their log-in or last status change; 0 for an
  // address no session speaks for, and when the user goes offline), MESSAGE_ACK a
  // random one, one that asks for authorization (flag 8) 0xFFFFFFFF, OFFLINE_MESSAGE_ACK the
  // low word of its id. Everything else keeps its usual number (0 for what the server sends on
  // its own).
  bool push_sequence_numbers = false;

  // Messages.
  //  - cut_long_messages: texts longer than 5,000 UTF-16 units (kMaxMessageUnits) are cut to
  //    that, never inside a pair (one that would straddle the cut goes too), whether delivered
  //    or stored, and the answer is still "delivered";
  //  - strict_offline_store: only messages whose flags are exactly 0 or 0x80 are stored for an
  //    account that is not logged in, others get kMessageNotStored (0x8006); an account that
  //    already holds 20 stored messages, configured ones included, gets no more
  //    (kMessageStoreFull, 0x8004);
  //  - answer_typing: typing notices get MESSAGE_STATUS 0 when the receiver is logged in
  //    (whether or not its revision takes them), 0x8006 when not;
  //  - message_ack_trailer: every MESSAGE_ACK ends with three zero ULs (authorization requests
  //    and test deliveries too);
  //  - delete_offline_wipes_all: DELETE_OFFLINE_MESSAGE removes every stored message of the
  //    account, whatever the id.
  bool cut_long_messages = false;
  bool strict_offline_store = false;
  bool answer_typing = false;
  bool message_ack_trailer = false;
  bool delete_offline_wipes_all = false;

  // Text conversion: a text with a character outside code page 1251, bound for a session below
  // 1.16, makes the converter fail, and what it was for is never sent:
  //  - a message whose text the receiver's session (logged in, taking it) cannot have: neither
  //    the delivery MESSAGE_ACK nor the sender's MESSAGE_STATUS goes out (stored messages are
  //    Unicode and not hit; deliver_message() sends nothing either);
  //  - a CONTACT_LIST2 with such a group name, nickname, status URI, title or description (of
  //    those its masks carry): the rest of the notices after log-in go out without it;
  //  - DIRECTORY_INFO with such a value in a row it would send: no answer at all.
  bool cp1251_converter_fails = false;

  // The contact list.
  //  - unicode_flag_added: flag 0x200 is added to the contact flags of ADD_CONTACT and
  //    MODIFY_CONTACT when they are stored, so an echoed 0x200 comes back as 0x400 (and a 0 as
  //    0x200, at every revision);
  //  - list_shows_adders: people who added the account, and whom it has not added, stand in its
  //    list after its contacts, in group 0 with flags 0, server flags 1, their nickname and as
  //    offline (no status of theirs follows them); they are numbered with the rest;
  //  - offline_empty_uri: contacts the list shows offline carry an empty status URI.
  bool unicode_flag_added = false;
  bool list_shows_adders = false;
  bool offline_empty_uri = false;

  // Editing. A group is deleted (always) by MODIFY_CONTACT with the flags 0x3 and its index in
  // the number's place; group 0 and a group that holds contacts are not deleted (error).
  //  - add_ack_id_zero: ADD_CONTACT of a contact is answered with status 0 and contact id 0; the
  //    contact is numbered in the session all the same (MODIFY_CONTACT takes that number, and
  //    the next list gives it);
  //  - error_pairs: an ADD_CONTACT error comes back as (1, 0xFFFFFFFF), not (1, 0, or the
  //    reason's own status: kContactOperGroupLimit, kContactOperNoSuchUser);
  //  - add_needs_account: adding an address that is no account here is an error;
  //  - rename_from_address: a group rename takes the new name from the address field (read as
  //    a name, in the session's encoding); an empty one is answered kContactOperInvalidInfo (4);
  //  - groups_renumbered: deleting a group moves the later groups' indices down by one at once,
  //    the contacts in them with them, and a new group's index is the group count. Servers in
  //    the field all do, so it is on unless a test turns it off for a server that keeps the
  //    indices (a new group then takes one past the highest);
  //  - unanswered_edits: a contact's MODIFY_CONTACT naming an address that is no account here,
  //    and any contact delete, are carried out when they would have succeeded but never
  //    answered;
  //  - delete_shows_offline: after deleting a contact the remover shows as offline to everyone
  //    (pushed at once, and in lists and status sent later) until their next status change.
  bool add_ack_id_zero = false;
  bool error_pairs = false;
  // How many groups an account may have; a new group past it is refused.
  size_t group_limit = kMaxGroups;
  bool add_needs_account = false;
  bool rename_from_address = false;
  bool groups_renumbered = true;
  bool unanswered_edits = false;
  bool delete_shows_offline = false;

  // Authorization. A's entry for B is authorized once B has authorized A (Contact::pending
  // false); entries an account was configured with are authorized, entries ADD_CONTACT makes are
  // not.
  //  - auth_request_as_sent: an add sends the target the request with flags 0xC (authorize |
  //    norecv) and the adder's own text from ADD_CONTACT (the LPS after the nickname, 1251;
  //    empty when there is none), in the receiver's encoding yet without 0x100000; nothing is
  //    sent or kept when the target is offline;
  //  - grant_ack_to_authorizer: when B authorizes A, B gets AUTHORIZE_ACK naming A, then A's
  //    status in the USER_STATUS layout under the code 0x1022 (invisible as offline); the grant
  //    is mutual, so B's own entry for A, if any, is authorized too. A is told nothing. Without
  //    it A gets AUTHORIZE_ACK naming B;
  //  - message_authorizes: a message with flag 8 from B authorizes its receiver A as AUTHORIZE
  //    would, whatever becomes of the message itself;
  //  - presence_needs_authorization: B's status reaches A only when A's entry for B is
  //    authorized; until then A's list shows B offline and no USER_STATUS of B reaches A. What
  //    does go out shows invisible as offline.
  bool auth_request_as_sent = false;
  bool grant_ack_to_authorizer = false;
  bool message_authorizes = false;
  bool presence_needs_authorization = false;

  // Search, counted and paged per account. search_paging: at most 50 rows per answer; the same
  // query again within 120 s of the last one returns the next 50 rows, and after a page found
  // empty the next repeat starts again at the first (so an identical lookup of one user finds
  // nothing every second time). search_limit: the 26th search within a minute (from the first
  // search of that minute), and every one after it in that minute, is answered with
  // kSearchRateLimited (3).
  bool search_paging = false;
  bool search_limit = false;

  // TLS (with `tls` on): an upgrade is offered after the log-in too; after 0x1087 the session
  // starts fresh and logged out (others see the account go offline unless it is logged in
  // elsewhere), and bytes the client sent in clear behind 0x1086, in the same read, are dropped
  // rather than read as TLS.
  bool tls_fresh_session = false;

  // The web-session key request 0x1024 is always answered (before the log-in too, unless
  // login_gate ends the session for it) with status 1 and a key, under the request's number:
  // under 0x1024 itself with web_key_own_code, else under 0x1025.
  bool web_key_own_code = false;

  // How long an AvatarKind::slow picture keeps its client waiting.
  milliseconds avatar_delay{3000};

  // Every quirk above on (with login_delay 300 ms, and the one-packet-per-read reads), TLS
  // offered, the rest as by default.
  static Behavior community();
};

struct Settings {
  std::string address_listen = "127.0.0.1:0";  // port 0: any free port
  std::string mrim_listen = "127.0.0.1:0";
  // The avatar service (HTTP); empty: none.
  std::string avatar_listen = "127.0.0.1:0";
  std::vector<Account> accounts;
  Behavior behavior;
};

struct SessionInfo {
  SessionId id = 0;
  bool open = false;
  bool logged_in = false;
  std::string email;         // the account, once logged in
  uint32_t status = 0;       // MRIM status value
  uint32_t version = 0;      // the header's version of the log-in (major << 16 | minor)
  std::string client;        // client description of the log-in
  std::string locale;        // from a log-in of 1.16 or later
  std::string close_reason;  // set when the session has ended
  bool stalled = false;      // a stall fault struck: the session sends nothing any more
  int dropped_packets = 0;   // client packets dropped by Behavior::one_packet_per_read
  bool encrypted = false;    // the session's TLS handshake is done
  std::string tls_version;   // "TLSv1.2" or "TLSv1.3" once encrypted
  // What the session would have sent while its TLS handshake was under way (a push or a test's
  // send): it cannot go in clear any more, nor encrypted yet, so it is dropped and counted.
  int dropped_in_handshake = 0;
  // Reads of the session's socket that brought bytes: a test that cuts what it sends waits for
  // each piece to be read before sending the next, so that the pieces stay apart.
  int reads = 0;
};

struct Received {
  SessionId session = 0;
  std::string email;  // the session's account when the packet arrived, empty before log-in
  Packet packet;
  uint32_t version = 0;  // the header's version
};

class Server {
 public:
  explicit Server(Settings settings = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the services and starts the server thread. Throws std::runtime_error when an
  // address cannot be bound.
  void start();
  // Closes every connection and joins the thread. Idempotent; the destructor calls it.
  void stop();
  uint16_t address_port() const;
  uint16_t mrim_port() const;
  // 0 when Settings::avatar_listen turned the service off.
  uint16_t avatar_port() const;

  // Behaviour.
  Behavior behavior() const;
  void set_behavior(const Behavior& behavior);
  void add_fault(const FaultRule& rule);  // rules are tried in the order they were added
  void clear_faults();
  void release_held();  // sends every held reply now

  // Accounts (copies; changes through the methods below).
  void add_account(const Account& account);  // replaces one with the same address
  std::optional<Account> account(const std::string& email) const;
  // The avatar service: GET /<first label of the domain>/<login>/_mrimavatar (or any other size
  // name: _mrimavatarsmall, _mrimavatar180, 128, 60, 32, 22) answers what the address's kind
  // says, and closes. A request whose head (up to its blank line) is not whole in the first
  // read, or is longer than 8 KiB, gets 400; another method or path gets 404 without
  // X-NoImage. This sets the kind of any address, an account's or not.
  void set_avatar(const std::string& address, AvatarKind kind);
  // Stores a message for the account and returns its identifier; it is handed out at the next
  // log-in (or at once, to a session that is logged in).
  uint64_t store_offline(const std::string& email, OfflineMessage message);
  // The account posts the text as its client would with MRIM_CS_CHANGE_USER_BLOG_STATUS and
  // flags kPostStored (without the length limit): a new id, dated now, kept as the account's
  // last post and pushed to the sessions that take it, the account's own at 1.20 too (no session
  // of its own made it). Returns the id; nothing when there is no such account.
  std::optional<uint64_t> post(const std::string& email, const std::string& text);

  // The TLS certificate (made at start when TLS is offered, or at the first call here).
  // Lowercase hex SHA-256 of the certificate's DER, as a client that pins it compares.
  std::string certificate_sha256() const;
  // A new key and certificate for the handshakes from now on; sessions keep theirs.
  void renew_certificate();
  // Handshakes from now on use this certificate and key (PEM texts). Throws
  // std::invalid_argument when they are no certificate with its key.
  void use_certificate(const std::string& cert_pem, const std::string& key_pem);
  // A fresh key and certificate of the kind the server makes, as PEM texts for use_certificate:
  // a program that keeps them serves the same certificate at its next start.
  static void make_certificate(std::string& cert_pem, std::string& key_pem);

  // Observation.
  std::vector<SessionInfo> sessions() const;  // every session, open and ended, oldest first
  std::optional<SessionInfo> session(SessionId id) const;
  std::optional<SessionId> session_of(const std::string& email) const;  // the logged-in one
  std::vector<Packet> received(SessionId id) const;
  std::vector<Received> received() const;  // from every session, in order of arrival
  int address_queries() const;             // connections the address service has taken
  int dropped_packets() const;             // by one_packet_per_read, over every session
  // Avatar requests answered: all of them (400s too), and those for one path, as requested
  // ("/mrim/ann/_mrimavatar", without host or query).
  int avatar_requests() const;
  int avatar_requests(const std::string& path) const;
  int avatar_peak_connections() const;  // the most avatar connections open at once
  // Calls pred (without any lock held, so it may call this server's methods) until it returns
  // true or the time is up; it is re-evaluated whenever the server's state changes.
  bool wait_until(const std::function<bool()>& pred, milliseconds timeout = milliseconds(10000)) const;

  // Acting on sessions. Each returns false when there is no such open session (or no
  // logged-in session of the account).
  bool send(SessionId id, const Packet& packet);
  bool send_raw(SessionId id, const Bytes& bytes);
  bool close_session(SessionId id);  // returns once the session is closed
  // Strikes a fault on the session now, behind what it has already queued:
  //   close             close the connection (no MRIM_CS_LOGOUT)
  //   reset             abort the connection with an RST
  //   garbage           `garbage_bytes` bytes that are no packet; the session goes on
  //   close_mid_packet  the first half of a MRIM_CS_MAILBOX_STATUS, then close
  //   huge_dlen         the header alone of a MAILBOX_STATUS announcing 0xFFFFFFF0 bytes
  //   wrong_code        a MAILBOX_STATUS under the code `wrong_code`
  //   stall             from now on the session sends nothing (see Fault::stall)
  //   drip              from now on every write is one byte, `delay` apart (kDefaultDripPause
  //                     when 0)
  // The rule's request, push and times are not looked at. hold and delay spoil a packet, not a
  // moment: they throw std::invalid_argument. False when there is no such open session, or it
  // is already closing.
  bool inject(SessionId id, const FaultRule& rule);
  bool inject(SessionId id, Fault fault);
  // MRIM_CS_MESSAGE_ACK to the account's session, the text in the session's encoding (with
  // message_flag::unicode to a Unicode session); returns the message identifier. Nothing is sent
  // when Behavior::cp1251_converter_fails loses the text.
  std::optional<uint32_t> deliver_message(const std::string& to, const std::string& from,
                                          const std::string& text, uint32_t flags = 0);
  // Also sends MRIM_CS_MAILBOX_STATUS, unless Behavior::no_mailbox_status.
  bool set_unread(const std::string& email, uint32_t unread);
  bool send_connection_params(const std::string& email, uint32_t ping_period);
  bool force_logout(const std::string& email, uint32_t reason);  // MRIM_CS_LOGOUT, then close
  // The presence of an address that is no account here (or that a test wants to fake): every
  // session whose list holds it gets MRIM_CS_USER_STATUS, and the lists keep the new status
  // and texts.
  void announce_status(const std::string& address, uint32_t status, const StatusTexts& texts = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace serversim
