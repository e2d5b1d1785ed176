// UTF-8 <-> code page 1251 through the C library's iconv.
#include "charset.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace console {

namespace {

// One conversion direction. iconv descriptors keep shift state, so each use is serialised;
// the console converts short texts, a few per second at most.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }

  // Converts the whole text; an input sequence that cannot be converted (or is no valid
  // input) is skipped, and `replacement` stands in its place.
  std::string convert(const std::string& text, const std::string& replacement, size_t input_step) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return text;
    std::lock_guard lock(mu_);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char buffer[256];
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    while (in_left > 0) {
      char* out_ptr = buffer;
      size_t out_left = sizeof buffer;
      size_t result = iconv(cd_, &in, &in_left, &out_ptr, &out_left);
      out.append(buffer, static_cast<size_t>(out_ptr - buffer));
      if (result != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip the offending input (a whole UTF-8 sequence when it is one).
      size_t skip = input_step == 0 ? utf8_sequence(in, in_left) : input_step;
      if (skip > in_left) skip = in_left;
      in += skip;
      in_left -= skip;
      out += replacement;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  // Length of the UTF-8 character at `text` when it is a whole one, else 1 (a stray byte).
  static size_t utf8_sequence(const char* text, size_t left) {
    auto lead = static_cast<unsigned char>(text[0]);
    size_t length = lead >= 0xF0 && lead < 0xF8 ? 4 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length > left) return 1;
    for (size_t i = 1; i < length; ++i)
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    return length;
  }

  iconv_t cd_;
  std::mutex mu_;
};

}  // namespace

std::string to_cp1251(const std::string& utf8) {
  static Converter converter("CP1251", "UTF-8");
  return converter.convert(utf8, "?", 0);
}

std::string from_cp1251(const std::string& cp1251) {
  static Converter converter("UTF-8", "CP1251");
  return converter.convert(cp1251, "\xEF\xBF\xBD", 1);
}

}  // namespace console
