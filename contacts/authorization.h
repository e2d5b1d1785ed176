// The grants we made lately. Servers send MRIM_CS_AUTHORIZE_ACK for two different things: some
// to the one who was authorized ("X authorized you"), a widely used one to the authorizer, as
// the acknowledgement of its own grant. Only what we did last tells them apart.
#pragma once

// We authorized `address` (sent MRIM_CS_AUTHORIZE naming it).
void mrim_grant_noted(const char* address);
// True when we authorized `address` lately and have not seen that acknowledged yet; the grant
// counts as acknowledged from then on.
bool mrim_grant_acknowledged(const char* address);
// Forgets every grant (Load, and tests).
void mrim_grants_reset();
