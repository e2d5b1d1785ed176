// Our microblog post: "/PostMicroblog" sends it (1.20 on), and the server's record of it (the
// USER_BLOG_STATUS that names our own address) confirms it to the host.
#pragma once

#include <cstdint>

#include "host/host_api.h"

// "/PostMicroblog": wParam the post's flags (0: a stored post), lParam UTF-8 text. A positive
// number that the acknowledgement (ACKTYPE_MICROBLOG) will carry, or a MICROBLOG_REFUSED_* code
// when nothing was sent: a text of more than MRIM_POST_MAX characters is refused, never cut.
INT_PTR MRIM_PostMicroblog(WPARAM flags, LPARAM text);

// The listener heard the server's record of one of our posts: the oldest post still waiting is
// acknowledged as stored.
void mrim_post_answered();

// Unload: every post still waiting gives up.
void mrim_posts_wake_all();

// The UTF-16 units of a UTF-8 text (how the server counts a post's characters: a character
// beyond the 16-bit range counts twice), or SIZE_MAX for a text that is no UTF-8.
size_t mrim_post_length(const char* text);
