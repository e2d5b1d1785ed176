// Microblog posts (revision 1.20) as the console reads and words them. The plug-in keeps each
// contact's last post in the contact's settings "PostText", "PostTime" (Unix seconds on this
// machine's clock) and "PostId", and the account's own last post in the same settings of
// contact 0; each new post of a contact also enters its history as an event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "contact_book.h"
#include "event.h"
#include "platform/win32.h"

namespace console {

struct Post {
  std::string text;  // UTF-8
  int64_t time = 0;
  std::string id;  // decimal, as the plug-in keeps it
};

// The last post kept for the contact (0: the account's own); none when there is no text.
std::optional<Post> last_post(const ContactBook& book, hostsim::Handle contact);
// {text, time}, or null without a post.
Value post_value(const std::optional<Post>& post);

// How long ago, in the words `posts` and `list --long` show: "just now", "5 min ago",
// "3 h ago", "1 day ago", "2 days ago". A time ahead of `now` (another clock) is "just now".
std::string relative_time(int64_t then, int64_t now);

// How many characters the plug-in counts in a post: UTF-16 units, as the text goes on the wire.
size_t post_length(const std::string& utf8);

// Why "/PostMicroblog" refused `text` (one of MICROBLOG_REFUSED_*, or another answer that is
// no post's number), for the user; `revision` is the account's ("1.19").
std::string post_refusal(INT_PTR code, const std::string& text, const std::string& revision);

}  // namespace console
