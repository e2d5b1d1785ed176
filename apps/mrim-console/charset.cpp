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

std::wstring wide_from_utf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                                                  : 0;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool whole = length > 0 && i + length <= text.size();
    for (size_t k = 1; whole && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      whole = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    // The shortest form only, and no surrogate: anything else would decode to a character the
    // bytes do not hold (a NUL from an overlong form).
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (whole && (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) whole = false;
    if (!whole) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += length;
  }
  return out;
}

std::string utf8_from_wide(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string valid_utf8(const std::string& text) { return utf8_from_wide(wide_from_utf8(text)); }

std::string fold_case(const std::string& utf8) {
  std::wstring text = wide_from_utf8(utf8);
  for (wchar_t& c : text) {
    if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
        (c >= 0x410 && c <= 0x42F))
      c += 0x20;
    else if (c >= 0x400 && c <= 0x40F)
      c += 0x50;
    else if (((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) && c % 2 == 0)
      c += 1;
  }
  return utf8_from_wide(text);
}

std::string to_cp1251(const std::string& utf8) {
  static Converter converter("CP1251", "UTF-8");
  return converter.convert(utf8, "?", 0);
}

std::string from_cp1251(const std::string& cp1251) {
  static Converter converter("UTF-8", "CP1251");
  return converter.convert(cp1251, "\xEF\xBF\xBD", 1);
}

}  // namespace console
