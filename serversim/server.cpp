// The MRIM server stand-in's public methods (see server.h): each takes the lock, reads or
// changes the shared state (state.h) and wakes the loop when there is something to send.
#include "serversim/server.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "serversim/avatar_http.h"
#include "serversim/state.h"

namespace serversim {

using detail::Clock;
using detail::Deferred;
using Session = detail::Session;

Behavior Behavior::community() {
  Behavior b;
  b.tls = true;
  b.one_packet_per_read = true;
  b.list_only_authorized = true;
  b.split_header = true;
  b.short_body_twice = true;
  b.login_gate = true;
  b.login_delay = milliseconds(300);
  b.no_mailbox_status = true;
  b.ping_only_keepalive = true;
  b.push_sequence_numbers = true;
  b.cut_long_messages = true;
  b.strict_offline_store = true;
  b.answer_typing = true;
  b.message_ack_trailer = true;
  b.delete_offline_wipes_all = true;
  b.cp1251_converter_fails = true;
  b.unicode_flag_added = true;
  b.list_shows_adders = true;
  b.offline_empty_uri = true;
  b.add_ack_id_zero = true;
  b.error_pairs = true;
  b.add_needs_account = true;
  b.rename_from_address = true;
  b.groups_renumbered = true;
  b.unanswered_edits = true;
  b.delete_shows_offline = true;
  b.auth_request_as_sent = true;
  b.grant_ack_to_authorizer = true;
  b.message_authorizes = true;
  b.presence_needs_authorization = true;
  b.search_paging = true;
  b.search_limit = true;
  b.tls_fresh_session = true;
  b.web_key_own_code = true;
  return b;
}

Server::Server(Settings settings) : impl_(std::make_unique<Impl>()) {
  impl_->behavior = settings.behavior;
  impl_->accounts = settings.accounts;
  for (Account& a : impl_->accounts) {
    for (OfflineMessage& m : a.offline) m.id = impl_->next_offline_id++;
    impl_->number_post(a);
    if (a.avatar != AvatarKind::none) impl_->avatars[a.email] = a.avatar;
  }
  impl_->settings = std::move(settings);
  impl_->settings.accounts.clear();  // the server's own copy above is the one that changes
}

Server::~Server() { stop(); }

void Server::start() {
  Impl& d = *impl_;
  std::lock_guard lock(d.m);
  if (d.running) return;
  // Made before the first client can ask, so that no handshake waits for a key.
  if (d.behavior.tls) d.identity();
  // So are the pictures, so that the first answers are as quick as the later ones.
  for (const auto& [address, kind] : d.avatars) {
    if (detail::needs_picture(kind)) d.picture(address);
  }
  detail::Endpoint address = detail::parse_endpoint(d.settings.address_listen);
  detail::Endpoint mrim = detail::parse_endpoint(d.settings.mrim_listen);
  std::optional<detail::Endpoint> avatar;
  if (!d.settings.avatar_listen.empty()) avatar = detail::parse_endpoint(d.settings.avatar_listen);
  try {
    d.address_fd = detail::listen_on(address, d.address_port);
    d.mrim_fd = detail::listen_on(mrim, d.mrim_port);
    if (avatar) d.avatar_fd = detail::listen_on(*avatar, d.avatar_port);
  } catch (...) {
    for (int* fd : {&d.address_fd, &d.mrim_fd, &d.avatar_fd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    throw;
  }
  // A service listening on every interface is named by its loopback address.
  d.mrim_host = detail::every_interface(mrim) ? "127.0.0.1" : mrim.host;
  d.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  d.stopping = false;
  d.running = true;
  d.thread = std::thread([&d] { d.run(); });
}

void Server::stop() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.m);
    if (!d.running) return;
    d.stopping = true;
    d.wake();
  }
  d.thread.join();
  std::lock_guard lock(d.m);
  for (auto& [id, s] : d.sessions) d.end_session(s, "server stopped");
  for (detail::AddressConnection& c : d.address_connections) close(c.fd);
  d.address_connections.clear();
  for (detail::AvatarConnection& c : d.avatar_connections) d.close_avatar(c);
  d.avatar_connections.clear();
  d.deferred.clear();
  close(d.address_fd);
  close(d.mrim_fd);
  if (d.avatar_fd >= 0) close(d.avatar_fd);
  close(d.wake_fd);
  d.address_fd = d.mrim_fd = d.avatar_fd = d.wake_fd = -1;
  d.running = false;
  d.changed();
}

uint16_t Server::address_port() const {
  std::lock_guard lock(impl_->m);
  return impl_->address_port;
}

uint16_t Server::mrim_port() const {
  std::lock_guard lock(impl_->m);
  return impl_->mrim_port;
}

uint16_t Server::avatar_port() const {
  std::lock_guard lock(impl_->m);
  return impl_->avatar_port;
}

Behavior Server::behavior() const {
  std::lock_guard lock(impl_->m);
  return impl_->behavior;
}

void Server::set_behavior(const Behavior& behavior) {
  std::lock_guard lock(impl_->m);
  impl_->behavior = behavior;
  if (impl_->running) impl_->wake();
}

void Server::add_fault(const FaultRule& rule) {
  std::lock_guard lock(impl_->m);
  if (rule.times != 0) impl_->faults.push_back(rule);
}

void Server::clear_faults() {
  std::lock_guard lock(impl_->m);
  impl_->faults.clear();
}

void Server::release_held() {
  std::lock_guard lock(impl_->m);
  for (Deferred& d : impl_->deferred) {
    if (d.due == Clock::time_point::max()) d.due = Clock::now();
  }
  if (impl_->running) impl_->wake();
}

void Server::add_account(const Account& account) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account copy = account;
  for (OfflineMessage& m : copy.offline) m.id = d.next_offline_id++;
  d.number_post(copy);
  if (Account* existing = d.find_account(account.email)) {
    *existing = std::move(copy);
  } else {
    d.accounts.push_back(std::move(copy));
  }
  d.avatars[account.email] = account.avatar;
  if (detail::needs_picture(account.avatar)) d.picture(account.email);
}

void Server::set_avatar(const std::string& address, AvatarKind kind) {
  std::lock_guard lock(impl_->m);
  impl_->avatars[address] = kind;
  if (detail::needs_picture(kind)) impl_->picture(address);
}

std::optional<Account> Server::account(const std::string& email) const {
  std::lock_guard lock(impl_->m);
  Account* a = impl_->find_account(email);
  return a ? std::optional<Account>(*a) : std::nullopt;
}

uint64_t Server::store_offline(const std::string& email, OfflineMessage message) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account* a = d.find_account(email);
  if (!a) return 0;
  message.id = d.next_offline_id++;
  a->offline.push_back(message);
  if (Session* s = d.logged_in_session(email)) {
    d.push(*s, d.offline_message(message));
    d.wake();
  }
  return message.id;
}

std::optional<uint64_t> Server::post(const std::string& email, const std::string& text) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account* a = d.find_account(email);
  if (!a) return std::nullopt;
  const Post post = d.keep_post(*a, text);
  d.push_post(email, kPostStored, post, nullptr);
  if (d.running) d.wake();
  return post.id;
}

std::string Server::certificate_sha256() const {
  std::lock_guard lock(impl_->m);
  return impl_->identity().sha256;
}

void Server::renew_certificate() {
  std::lock_guard lock(impl_->m);
  impl_->tls_identity = detail::make_identity();
}

void Server::use_certificate(const std::string& cert_pem, const std::string& key_pem) {
  detail::TlsIdentity given = detail::identity_from_pem(cert_pem, key_pem);
  std::lock_guard lock(impl_->m);
  impl_->tls_identity = std::move(given);
}

void Server::make_certificate(std::string& cert_pem, std::string& key_pem) {
  detail::make_pem(cert_pem, key_pem);
}

std::vector<SessionInfo> Server::sessions() const {
  std::lock_guard lock(impl_->m);
  std::vector<SessionInfo> out;
  for (const auto& [id, s] : impl_->sessions) out.push_back(s.info);
  return out;
}

std::optional<SessionInfo> Server::session(SessionId id) const {
  std::lock_guard lock(impl_->m);
  auto it = impl_->sessions.find(id);
  return it == impl_->sessions.end() ? std::nullopt : std::optional<SessionInfo>(it->second.info);
}

std::optional<SessionId> Server::session_of(const std::string& email) const {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  return s ? std::optional<SessionId>(s->info.id) : std::nullopt;
}

std::vector<Packet> Server::received(SessionId id) const {
  std::lock_guard lock(impl_->m);
  auto it = impl_->sessions.find(id);
  if (it == impl_->sessions.end()) return {};
  return std::vector<Packet>(it->second.log.begin(), it->second.log.end());
}

std::vector<Received> Server::received() const {
  std::lock_guard lock(impl_->m);
  return std::vector<Received>(impl_->log.begin(), impl_->log.end());
}

int Server::address_queries() const {
  std::lock_guard lock(impl_->m);
  return impl_->address_queries;
}

int Server::avatar_requests() const {
  std::lock_guard lock(impl_->m);
  return impl_->avatar_requests;
}

int Server::avatar_requests(const std::string& path) const {
  std::lock_guard lock(impl_->m);
  auto it = impl_->avatar_paths.find(path);
  return it == impl_->avatar_paths.end() ? 0 : it->second;
}

int Server::avatar_peak_connections() const {
  std::lock_guard lock(impl_->m);
  return impl_->avatar_peak;
}

int Server::dropped_packets() const {
  std::lock_guard lock(impl_->m);
  return impl_->dropped_packets;
}

bool Server::wait_until(const std::function<bool()>& pred, milliseconds timeout) const {
  Impl& d = *impl_;
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(d.m);
  for (;;) {
    uint64_t seen = d.generation;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (!d.cv.wait_until(lock, deadline, [&] { return d.generation != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

bool Server::send(SessionId id, const Packet& packet) { return send_raw(id, encode(packet)); }

bool Server::send_raw(SessionId id, const Bytes& bytes) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->open_session(id);
  if (!s) return false;
  impl_->queue(*s, bytes);
  impl_->wake();
  return true;
}

bool Server::close_session(SessionId id) {
  Impl& d = *impl_;
  std::unique_lock lock(d.m);
  Session* s = d.open_session(id);
  if (!s) return false;
  s->out.clear();
  s->closing = true;
  s->reset = false;
  s->closing_reason = "closed by the test";
  d.wake();
  d.cv.wait(lock, [&] { return !d.running || !d.open_session(id); });
  return true;
}

bool Server::inject(SessionId id, const FaultRule& rule) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Session* s = d.open_session(id);
  if (!s || s->closing) return false;
  const Account* a = s->info.logged_in ? d.find_account(s->info.email) : nullptr;
  Packet harmless{code::mailbox_status, 0, Writer().ul(a ? a->unread_mail : 0).take()};
  d.carry_out(*s, detail::injected(rule, harmless));
  d.wake();
  return true;
}

bool Server::inject(SessionId id, Fault fault) {
  FaultRule rule;
  rule.fault = fault;
  return inject(id, rule);
}

std::optional<uint32_t> Server::deliver_message(const std::string& to, const std::string& from,
                                                const std::string& text, uint32_t flags) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Session* s = d.logged_in_session(to);
  if (!s || !d.converts(*s, text)) return std::nullopt;
  uint32_t id = d.next_message_id++;
  d.push(*s, d.message_ack(*s, id, flags, from, text, " "));
  d.wake();
  return id;
}

bool Server::set_unread(const std::string& email, uint32_t unread) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account* a = d.find_account(email);
  if (!a) return false;
  a->unread_mail = unread;
  a->total_mail = std::max(a->total_mail, unread);
  Session* s = d.logged_in_session(email);
  if (!s) return false;
  if (d.behavior.no_mailbox_status) return true;
  d.push(*s, d.mailbox_status(*a));
  d.wake();
  return true;
}

bool Server::send_connection_params(const std::string& email, uint32_t ping_period) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  if (!s) return false;
  impl_->push(*s, Packet{code::connection_params, 0, Writer().ul(ping_period).take()});
  impl_->wake();
  return true;
}

bool Server::force_logout(const std::string& email, uint32_t reason) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  if (!s) return false;
  impl_->push(*s, Packet{code::logout, 0, Writer().ul(reason).take()});
  if (!s->closing) {
    s->closing = true;
    s->closing_reason = "logged out by the test";
  }
  impl_->wake();
  return true;
}

void Server::announce_status(const std::string& address, uint32_t status, const StatusTexts& texts) {
  std::lock_guard lock(impl_->m);
  for (Account& a : impl_->accounts) {
    for (Contact& c : a.contacts) {
      if (c.email != address) continue;
      c.status = status;
      c.status_texts = texts;
    }
  }
  impl_->fan_out(address, detail::Presence{status, texts, ""});
  if (impl_->running) impl_->wake();
}

}  // namespace serversim
