// Microblog posts as the console reads and words them.
#include "posts.h"

#include "charset.h"
#include "host/host_api.h"
#include "protocol/wire.h"

namespace console {

std::optional<Post> last_post(const ContactBook& book, hostsim::Handle contact) {
  std::optional<std::string> text = book.text(contact, "PostText");
  if (!text || text->empty()) return std::nullopt;
  Post post;
  post.text = *text;
  post.time = book.number(contact, book.module(), "PostTime").value_or(0);
  post.id = book.text(contact, "PostId").value_or("");
  return post;
}

Value post_value(const std::optional<Post>& post) {
  if (!post) return Value();
  return Value{{"text", post->text}, {"time", post->time}};
}

std::string relative_time(int64_t then, int64_t now) {
  const int64_t seconds = now - then;
  if (seconds < 60) return "just now";
  if (seconds < 3600) return std::to_string(seconds / 60) + " min ago";
  if (seconds < 86400) return std::to_string(seconds / 3600) + " h ago";
  const int64_t days = seconds / 86400;
  return std::to_string(days) + (days == 1 ? " day ago" : " days ago");
}

size_t post_length(const std::string& utf8) {
  size_t units = 0;
  for (wchar_t c : wide_from_utf8(utf8)) units += c > 0xFFFF ? 2 : 1;
  return units;
}

std::string post_refusal(INT_PTR code, const std::string& text, const std::string& revision) {
  switch (code) {
    case MICROBLOG_REFUSED_TOO_LONG:
      return "a post has at most " + std::to_string(MRIM_POST_MAX) + " characters; this one has " +
             std::to_string(post_length(text));
    case MICROBLOG_REFUSED_OFFLINE:
      return "the account is offline (status online first)";
    case MICROBLOG_REFUSED_REVISION:
      // The console chooses the revision before the plug-in loads: with 1.20 chosen, it is the
      // server that answered in an older one.
      if (revision != "1.20")
        return "posts need protocol 1.20, and the account speaks " + revision +
               " (start with --protocol 1.20)";
      return "posts need protocol 1.20, and the server speaks an older one in this session";
    case MICROBLOG_REFUSED_EMPTY:
      return "a post needs a text";
    default:
      return "the plug-in did not take the post (it answered " + std::to_string(code) + ")";
  }
}

}  // namespace console
