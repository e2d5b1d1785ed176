// The MRIM server stand-in's microblog (from 1.20): a client's post is kept as its account's last
// one, answered to the poster and pushed to the sessions of the accounts that take it; lists
// and account information show the last post. Also the server's clock, which 1.20 sessions are
// told in HELLO_ACK and which dates what the server sends.
#include <algorithm>

#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;

namespace {

bool stores(uint32_t flags) { return flags == kPostStored || flags == kPostStoredToo; }

// The owner hears of the address's posts only through an entry it was granted, and not one it
// hides from or ignores.
bool takes_posts_of(const Account& owner, const std::string& address) {
  return std::any_of(owner.contacts.begin(), owner.contacts.end(), [&](const Contact& c) {
    return c.email == address && !c.pending &&
           (c.flags & (contact_flag::invisible | contact_flag::ignored)) == 0;
  });
}

}  // namespace

std::time_t Server::Impl::server_now() const { return std::time(nullptr) + behavior.clock_offset.count(); }

// The HELLO comes before the log-in, so its own header's revision decides.
Packet Server::Impl::hello_ack(uint32_t version, uint32_t seq) const {
  Writer w;
  w.ul(behavior.ping_period);
  if (revision::microblog(version)) w.ul(uint32_t(server_now())).ul(0);
  return Packet{code::hello_ack, seq, w.take()};
}

// An id given by a test is kept, and later ones still come after it.
void Server::Impl::number_post(Account& a) {
  if (!a.post) return;
  if (a.post->id == 0) a.post->id = next_post_id;
  next_post_id = std::max(next_post_id, a.post->id + 1);
}

// The text is UTF-16LE from any session. A text over the limit gets nothing at all, as from a
// server whose handler fails on it. Flags that store nothing are answered all the same, with id 0,
// and nobody else hears of it.
void Server::Impl::on_change_blog_status(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> flags = r.ul();
  std::optional<std::string> wire_text = r.lps();
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  if (!a || !flags || !wire_text) return;
  const std::string text = from_wire(*wire_text, true);
  if (utf8_to_utf16le(text).size() / 2 > kMaxPostUnits) return;
  auto answer = [&](const Post& post) {
    reply(s, p.code, Packet{code::user_blog_status, p.seq, blog_status(*flags, s.info.email, post)});
  };
  if (!stores(*flags)) return answer(Post{0, std::time(nullptr), text});
  const Post post = keep_post(*a, text);
  answer(post);
  push_post(s.info.email, *flags, post, &s);
}

const Post& Server::Impl::keep_post(Account& a, const std::string& text) {
  a.post = Post{next_post_id++, std::time(nullptr), text};
  return *a.post;
}

void Server::Impl::push_post(const std::string& address, uint32_t flags, const Post& post,
                             const Session* poster) {
  for (auto& [id, s] : sessions) {
    if (&s == poster || !s.info.open || s.closing || !s.info.logged_in ||
        !revision::microblog(s.info.version))
      continue;
    const Account* owner = find_account(s.info.email);
    if (!owner || (owner->email != address && !takes_posts_of(*owner, address))) continue;
    push(s, Packet{code::user_blog_status, 0, blog_status(flags, address, post)});
  }
}

Bytes Server::Impl::blog_status(uint32_t flags, const std::string& address, const Post& post) const {
  return Writer()
      .ul(flags)
      .lps(address)
      .ul(uint32_t(post.id))
      .ul(uint32_t(post.id >> 32))
      .ul(uint32_t(post.time + behavior.clock_offset.count()))
      .lps(utf8_to_utf16le(post.text))
      .ul(0)
      .take();
}

std::optional<Post> Server::Impl::shown_post(const std::string& address) {
  const Account* a = find_account(address);
  if (!a || !a->post || std::time(nullptr) - a->post->time > kPostShownFor.count()) return std::nullopt;
  return a->post;
}

}  // namespace serversim
