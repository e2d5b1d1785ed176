// Microblog posts as the server sends them (1.20 on): a contact's last post in the list and
// each new one pushed as USER_BLOG_STATUS, our own in USER_INFO and in the answer to ours.
#pragma once

#include <cstdint>

#include "host/host_api.h"
#include "protocol/listener.h"

// A contact's last post: kept on the contact ("PostText", "PostTime" on this machine's clock,
// "PostId"), and added to its history when it is one not seen before. An empty post (the
// server leaves posts older than a week out) changes nothing.
void mrim_contact_post(HANDLE contact, uint64_t id, uint32_t server_time, const char* text);

// MRIM_CS_USER_BLOG_STATUS.
void mrim_handle_user_blog_status(const MrimPacket* packet, ListenerWorkArea* work);

// One pair of USER_INFO: our own last post's id, time or text. True when the key was one of them.
bool mrim_user_info_post(const char* key, const char* value);
