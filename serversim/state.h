// Inside the MRIM server stand-in (not for tests): the state that the server's parts share, and
// what each part does with it. One lock (Impl::m) guards all of it; every method here is called
// with the lock held. The parts live in files of their own: loop.cpp (sockets, writes, faults),
// avatars.cpp (the avatar service's connections; its HTTP is in avatar_http.cpp),
// sessions.cpp (log-in, status, presence), list.cpp (the contact list and its edits),
// messages.cpp (messages, stored messages), directory.cpp (the search), posts.cpp (the
// microblog), upgrade.cpp (the turn to TLS), server.cpp (the public methods).
#pragma once

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "serversim/faults.h"
#include "serversim/server.h"
#include "serversim/text.h"
#include "serversim/tls.h"

namespace serversim::detail {

using Clock = std::chrono::steady_clock;

// Bytes waiting to be written; dripped ones go one per write, `drip` apart.
struct Segment {
  Bytes bytes;
  milliseconds drip{0};
};

struct Session {
  SessionInfo info;
  int fd = -1;
  Bytes in;
  std::deque<Segment> out;
  Clock::time_point out_since;   // when `out` last went from empty to not empty
  Clock::time_point next_write;  // a dripped byte keeps the next write back until then
  milliseconds drip_all{0};      // not 0: every write is one byte, this far apart
  bool closing = false;          // close once `out` has gone
  bool reset = false;            // ... with an RST
  std::string closing_reason;
  Clock::time_point last_heard;
  // The contact numbers the client was given at log-in: number kFirstContactNumber + i is
  // numbers[i]; an entry removed during the session stays as an empty text, so that the numbers
  // after it keep their meaning until the next log-in renumbers the list as the client does.
  std::vector<std::string> numbers;
  // Behavior::delete_shows_offline: the account has deleted a contact since its last change of
  // status, and shows as offline to everyone.
  bool shows_offline = false;
  std::deque<Packet> log;
  // short_body_twice: how much of the body at the front of `in` the reads so far brought, and
  // in how many reads.
  size_t body_seen = 0;
  int body_reads = 0;
  // The log-in's number, kept for an answer that login_delay holds back until login_ack_due;
  // once the answer has gone out, the log-in gate is open.
  uint32_t login_seq = 0;
  std::optional<Clock::time_point> login_ack_due;
  bool login_acked = false;
  // The number of the log-in or the last status change: push_sequence_numbers puts it on the
  // user's status.
  uint32_t status_seq = 0;
  bool pinged = false;  // the idle clock of ping_only_keepalive runs
  // Set from the moment the session turned to TLS; what it reads goes through this first, and
  // what it queues is encrypted by it (once the handshake is done).
  std::unique_ptr<TlsEngine> tls;

  bool unicode() const { return revision::unicode(info.version); }
  // A text of the server for this session's wire, and one from it.
  std::string out_text(std::string_view utf8) const { return to_wire(utf8, unicode()); }
  std::string in_text(std::string_view bytes) const { return from_wire(bytes, unicode()); }
};

struct AddressConnection {
  int fd = -1;
  Bytes out;
  Clock::time_point due{};  // the reply is not written before then
};

// One connection of the avatar service: it waits for its request, answers it (maybe after a
// while, maybe at length) and closes.
struct AvatarConnection {
  int fd = -1;            // -1 once closed
  bool answered = false;  // the first read came and the answer below was decided
  Bytes out;
  size_t filler = 0;           // filler bytes to stream once `out` has gone
  Clock::time_point send_at;   // the answer waits until then
  bool sent = false;           // all of it went and the write side is shut
  bool client_done = false;    // the client shut its side
  Clock::time_point deadline;  // for the request, or for the client to close after the answer
};

struct Deferred {
  SessionId session = 0;
  Clock::time_point due;  // time_point::max(): held until release_held()
  std::vector<Step> steps;
};

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

// "host:port" of a listening address; throws std::runtime_error when it is no such thing.
Endpoint parse_endpoint(const std::string& text);
bool every_interface(const Endpoint& ep);
// A listening socket (non-blocking); throws std::runtime_error when it cannot be had.
int listen_on(const Endpoint& ep, uint16_t& bound_port);
// "address:port" of the socket's peer, or empty.
std::string peer_name(int fd);

// What the sessions listing an address are told of it.
struct Presence {
  uint32_t status = mrim_status::offline;
  StatusTexts texts;
  std::string client;
  uint32_t seq = 0;  // the sequence number of the USER_STATUS that tells it
};

// An entry of an account's list as its client receives it: one of its contacts, or (server
// flags 1, Behavior::list_shows_adders) someone who added the account.
struct Listed {
  Contact contact;
  uint32_t server_flags = 0;
};

// One account's searches, for Behavior::search_paging and search_limit.
struct Searches {
  std::vector<std::pair<std::string, std::string>> query;  // the last one, as read
  Clock::time_point query_at;
  size_t next_row = 0;  // where the next page of that query starts
  Clock::time_point window_start;
  int in_window = 0;  // searches since window_start
};

}  // namespace serversim::detail

namespace serversim {

struct Server::Impl {
  using Session = detail::Session;

  Settings settings;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  uint64_t generation = 0;

  Behavior behavior;
  std::vector<FaultRule> faults;
  std::vector<Account> accounts;
  std::map<SessionId, Session> sessions;
  std::deque<SessionId> ended;
  std::vector<detail::AddressConnection> address_connections;
  std::vector<detail::AvatarConnection> avatar_connections;
  std::map<std::string, AvatarKind> avatars;  // by address; the rest get AvatarKind::none
  std::map<std::string, Bytes> pictures;      // by address, made once
  std::map<std::string, int> avatar_paths;    // requests answered, by path
  int avatar_requests = 0;
  int avatar_peak = 0;
  std::vector<detail::Deferred> deferred;
  std::deque<Received> log;
  std::optional<detail::TlsIdentity> tls_identity;  // made when first needed
  int address_queries = 0;
  int dropped_packets = 0;
  SessionId next_session = 1;
  uint32_t next_message_id = 1;
  uint64_t next_offline_id = 1;
  uint64_t next_post_id = kFirstPostId;
  // A fixed seed: the "random" numbers and keys are the same at every run, so a failing test
  // can be repeated.
  std::mt19937 random{20240601};
  std::map<std::string, detail::Searches> searches;  // by account

  int address_fd = -1;
  int mrim_fd = -1;
  int avatar_fd = -1;
  int wake_fd = -1;
  uint16_t address_port = 0;
  uint16_t mrim_port = 0;
  uint16_t avatar_port = 0;
  std::string mrim_host;
  bool running = false;
  bool stopping = false;
  std::thread thread;

  // ---- loop.cpp: state, sockets, writes and the faults that spoil them ----
  void changed();
  void wake();
  Account* find_account(const std::string& email);
  Session* open_session(SessionId id);
  Session* logged_in_session(const std::string& email);
  // What the session sends, encrypted first once it speaks TLS.
  void queue(Session& s, const Bytes& bytes, milliseconds drip = milliseconds(0));
  // Bytes for the socket as they are.
  void queue_wire(Session& s, const Bytes& bytes, milliseconds drip = milliseconds(0));
  void carry_out(Session& s, std::vector<detail::Step> steps);
  detail::Clock::time_point write_due(const Session& s) const;
  bool wants_write(const Session& s, detail::Clock::time_point now) const;
  void record(Session& s, const Packet& p, uint32_t version);
  void end_session(Session& s, const std::string& reason, bool reset = false);
  std::optional<FaultRule> take_fault(const detail::Outgoing& out);
  void send_burst(Session& s, std::span<const detail::Outgoing> burst);
  // The reply to a request, spoiled by the first fault rule that matches. `trailer` is what the
  // server sends right after the reply (the notices after a log-in); it stays behind a held or
  // delayed reply, as it would behind a slow one.
  void reply(Session& s, uint32_t request, Packet packet, std::vector<Packet> trailer = {});
  // A packet the server sends on its own, spoiled by the first push rule for its code.
  void push(Session& s, Packet packet);
  // The packet under the number a community server gives what it sends on its own
  // (Behavior::push_sequence_numbers); USER_STATUS is numbered where it is made.
  Packet numbered(Packet packet);
  // Reads that Behavior quirks look at one by one.
  bool per_read() const;
  // The front packet's body is still incomplete after this read (short_body_twice).
  void take_short_body(Session& s, size_t at);
  void accept_address();
  void accept_mrim();
  void read_session(Session& s);
  void take_packets(Session& s);
  void flush(Session& s);
  milliseconds idle_limit() const;
  void run_timers(detail::Clock::time_point now);
  int poll_timeout(detail::Clock::time_point now) const;
  void run();
  void address_event(const pollfd& p);
  void flush_all();

  // ---- avatars.cpp: the avatar service's connections ----
  void accept_avatar();
  void avatar_event(const pollfd& p);
  // The user's picture, made at its first use (start() makes those of the configured users).
  const Bytes& picture(const std::string& address);
  void answer_avatar(detail::AvatarConnection& c, const uint8_t* data, size_t size);
  void flush_avatar(detail::AvatarConnection& c, detail::Clock::time_point now);
  void close_avatar(detail::AvatarConnection& c);
  // Writes what is due, closes what has timed out, and sweeps the closed connections.
  void run_avatars(detail::Clock::time_point now);
  // The next moment run_avatars has something to do without a socket event (`next` if sooner).
  detail::Clock::time_point avatars_due(detail::Clock::time_point now, detail::Clock::time_point next) const;
  // The answer may go out now, as far as the socket takes it.
  static bool avatar_writable(const detail::AvatarConnection& c, detail::Clock::time_point now);

  // ---- sessions.cpp: requests, log-in, status and presence ----
  void handle(Session& s, const Packet& p, uint32_t version);
  void on_login(Session& s, const Packet& p, uint32_t version);
  void on_change_status(Session& s, const Packet& p);
  // LOGIN_ACK and the notices behind it; the log-in gate opens.
  void acknowledge_login(Session& s);
  // The session as it was before its log-in (Behavior::tls_fresh_session); others see the
  // account go offline unless it is logged in elsewhere.
  void start_afresh(Session& s);
  detail::Presence presence_of(const Session& s);
  detail::Presence presence_of(const Contact& c);
  // What the viewer is shown of the address's presence: nothing when it does not list the
  // address, or when Behavior::presence_needs_authorization holds it back.
  std::optional<detail::Presence> seen_by(const Account& viewer, const std::string& address,
                                          detail::Presence presence);
  // The same for the viewer's own entry of the address (a list that holds thousands looks each
  // one up once, not once per entry).
  std::optional<detail::Presence> seen_through(const Contact& entry, detail::Presence presence) const;
  // MRIM_CS_USER_STATUS to every logged-in session whose contact list holds the address.
  void fan_out(const std::string& address, const detail::Presence& presence);
  static Packet user_status(const Session& to, const std::string& address, const detail::Presence& presence);
  Packet user_info(const Session& to, const Account& a);
  static Packet mailbox_status(const Account& a);
  std::vector<Packet> after_login(Session& s, const Account& a);

  // ---- upgrade.cpp: the turn to TLS ----
  const detail::TlsIdentity& identity();
  // MRIM_CS 0x1086 and 0x1089: go ahead with TLS when it is offered, refuse anything else.
  void on_upgrade(Session& s, const Packet& p);
  // Bytes read from a session that speaks TLS: the handshake's answers go out, and what the
  // client's records hold is cut into packets.
  void read_tls(Session& s, const uint8_t* data, size_t size);

  // ---- list.cpp: the contact list and its edits ----
  std::vector<detail::Listed> listed(const Account& a);
  // Nothing when Behavior::cp1251_converter_fails loses it.
  std::optional<Packet> contact_list(const Session& to, const Account& a);
  void on_modify_contact(Session& s, const Packet& p);
  void on_add_contact(Session& s, const Packet& p);
  void on_authorize(Session& s, const Packet& p);
  // The logged-in user authorizes `address` (by MRIM_CS_AUTHORIZE, or by a message with
  // Behavior::message_authorizes).
  void authorize(Session& by, const std::string& address);
  // The flags of ADD_CONTACT and MODIFY_CONTACT as the contact keeps them.
  uint32_t stored_flags(uint32_t flags) const;
  void delete_group(Account& a, size_t place);
  static uint32_t group_index(const Account& a, size_t place);
  static bool group_exists(const Account& a, uint32_t group);

  // ---- messages.cpp: messages between sessions and stored ones ----
  void on_message(Session& s, const Packet& p);
  void on_delete_offline(Session& s, const Packet& p);
  // Dated now, on the server's clock.
  Packet offline_message(const OfflineMessage& m) const;
  // MRIM_CS_MESSAGE_ACK to a session, in its encoding; the text is UTF-8.
  Packet message_ack(const Session& to, uint32_t id, uint32_t flags, const std::string& from,
                     const std::string& text, const std::string& rtf);
  // The same with the text as it goes on the wire and the flags as they are.
  Packet message_ack_wire(uint32_t id, uint32_t flags, const std::string& from, const std::string& wire_text,
                          const std::string& rtf);
  // False when Behavior::cp1251_converter_fails keeps the text from the session.
  bool converts(const Session& to, const std::string& text) const;

  // ---- directory.cpp: the search ----
  void on_directory_request(Session& s, const Packet& p);

  // ---- posts.cpp: the microblog and the server's clock ----
  // Unix seconds on the server's clock: the real one shifted by Behavior::clock_offset.
  std::time_t server_now() const;
  // HELLO_ACK for a HELLO whose header names `version`.
  Packet hello_ack(uint32_t version, uint32_t seq) const;
  // Gives an id to a post that has none (a configured or added account's).
  void number_post(Account& a);
  void on_change_blog_status(Session& s, const Packet& p);
  // The text as the account's new last post, dated now.
  const Post& keep_post(Account& a, const std::string& text);
  // USER_BLOG_STATUS to every session at 1.20 or later of the address's own account or of an
  // account that takes its posts, but `poster`'s (the poster's session has the answer).
  void push_post(const std::string& address, uint32_t flags, const Post& post, const Session* poster);
  // MRIM_CS_USER_BLOG_STATUS's body, the time on the server's clock.
  Bytes blog_status(uint32_t flags, const std::string& address, const Post& post) const;
  // The address's last post as lists show it: none when it has none, or it is too old.
  std::optional<Post> shown_post(const std::string& address);
};

}  // namespace serversim
