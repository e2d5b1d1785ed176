// The MRIM service's turn to TLS: the answer to a request for it (or for compression, which
// this server never offers), and how a session that speaks TLS reads.
#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;

const detail::TlsIdentity& Server::Impl::identity() {
  if (!tls_identity) tls_identity = detail::make_identity();
  return *tls_identity;
}

// Offered only before the log-in, and once; a community server offers it after the log-in too,
// and the session inside TLS starts logged out. The go-ahead goes out in clear and the session
// turns to TLS right behind it; a fault that ends or stalls the session instead leaves it as it
// was. A go-ahead held or delayed by a fault would come after the turn, and so never go out.
void Server::Impl::on_upgrade(Session& s, const Packet& p) {
  if (p.code == code::tls_request && behavior.tls_silent) return;
  const bool go_ahead = p.code == code::tls_request && behavior.tls && !s.tls &&
                        (!s.info.logged_in || behavior.tls_fresh_session);
  reply(s, p.code, Packet{go_ahead ? code::tls_go_ahead : code::not_offered, p.seq, {}});
  if (go_ahead) queue_wire(s, behavior.after_go_ahead);
  if (!go_ahead || !s.info.open || s.closing || s.info.stalled) return;
  s.tls = detail::TlsEngine::server(identity());
  if (behavior.tls_fresh_session) start_afresh(s);
}

void Server::Impl::read_tls(Session& s, const uint8_t* data, size_t size) {
  // After a decision to close, what the client still sends is not acted upon.
  if (s.closing) return;
  detail::TlsRead read = s.tls->feed(data, size);
  queue_wire(s, s.tls->take_output());
  if (!s.info.encrypted && s.tls->established()) {
    s.info.encrypted = true;
    s.info.tls_version = s.tls->version();
    for (const Packet& packet : behavior.after_handshake) queue(s, encode(packet));
    changed();
  }
  for (const Bytes& plain : read.plain) {
    s.in.insert(s.in.end(), plain.begin(), plain.end());
    // The quirks that work per read see what each read of the TLS engine gives.
    if (per_read()) take_packets(s);
    if (!s.info.open || s.closing) return;
  }
  take_packets(s);
  if (!read.error.empty() && s.info.open && !s.closing) {
    // An alert the engine wrote goes out before the connection closes.
    s.closing = true;
    s.closing_reason = read.error;
    changed();
  }
}

}  // namespace serversim
