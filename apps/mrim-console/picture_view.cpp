// Contact pictures drawn with coloured half blocks (see picture_view.h).
#include "picture_view.h"

#include <turbojpeg.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "host/host_api.h"

namespace console {

namespace {

// A contact's picture is a few kilobytes; anything far past that is no picture to draw.
constexpr size_t kLargestFile = 16 * 1024 * 1024;
constexpr long kLargestSide = 8192;

bool starts_with(const std::vector<uint8_t>& bytes, std::initializer_list<uint8_t> magic) {
  return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
}

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};

// "\x1b[38;2;R;G;Bm" for the foreground (38) or the background (48).
void append_colour(std::string& out, int plane, const uint8_t* rgb) {
  out += "\x1b[" + std::to_string(plane) + ";2;" + std::to_string(rgb[0]) + ";" + std::to_string(rgb[1]) +
         ";" + std::to_string(rgb[2]) + "m";
}

// The decoder's reason, kept to one line.
std::string one_line(const char* text) {
  std::string line = text ? text : "";
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

}  // namespace

std::string picture_format_of(const std::vector<uint8_t>& bytes) {
  if (starts_with(bytes, {0xFF, 0xD8, 0xFF})) return "jpeg";
  if (starts_with(bytes, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) return "png";
  if (starts_with(bytes, {'G', 'I', 'F', '8'})) return "gif";
  return "";
}

std::string avatar_format_name(int format, const std::string& path) {
  switch (format) {
    case PA_FORMAT_JPEG:
      return "jpeg";
    case PA_FORMAT_PNG:
      return "png";
    case PA_FORMAT_GIF:
      return "gif";
    default:
      break;
  }
  std::ifstream in(path, std::ios::binary);
  char head[8] = {};
  in.read(head, sizeof head);
  std::string found = picture_format_of(std::vector<uint8_t>(head, head + in.gcount()));
  return found.empty() ? "unknown" : found;
}

std::optional<Picture> decode_jpeg(const std::vector<uint8_t>& bytes, std::string& error) {
  std::unique_ptr<void, HandleCloser> decoder(tjInitDecompress());
  if (!decoder) {
    error = "the JPEG decoder could not start";
    return std::nullopt;
  }
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decoder.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width,
                          &height, &subsampling, &colourspace) != 0) {
    error = "no JPEG that can be read: " + one_line(tjGetErrorStr2(decoder.get()));
    return std::nullopt;
  }
  if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide) {
    error =
        "a JPEG of " + std::to_string(width) + "x" + std::to_string(height) + " pixels is too large to draw";
    return std::nullopt;
  }
  Picture picture;
  picture.width = width;
  picture.height = height;
  picture.rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  // A warning (a file cut short, say) still leaves a picture worth showing; only a fatal
  // error leaves none.
  if (tjDecompress2(decoder.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), picture.rgb.data(),
                    width, 0, height, TJPF_RGB, 0) != 0 &&
      tjGetErrorCode(decoder.get()) == TJERR_FATAL) {
    error = "the JPEG could not be decoded: " + one_line(tjGetErrorStr2(decoder.get()));
    return std::nullopt;
  }
  return picture;
}

std::vector<std::string> half_block_lines(const Picture& picture, int columns) {
  std::vector<std::string> lines;
  if (picture.width <= 0 || picture.height <= 0 || columns <= 0 ||
      picture.rgb.size() < static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 3)
    return lines;
  const long out_width = std::min<long>(columns, picture.width);
  // Half blocks make square pixels: as many pixel rows as the proportions want.
  const long out_height = std::max<long>(1, (picture.height * out_width + picture.width / 2) / picture.width);
  // Each pixel the average of the source pixels it covers (at least one).
  std::vector<uint8_t> scaled(static_cast<size_t>(out_width * out_height) * 3);
  for (long y = 0; y < out_height; ++y) {
    const long y0 = y * picture.height / out_height;
    const long y1 = std::max(y0 + 1, (y + 1) * picture.height / out_height);
    for (long x = 0; x < out_width; ++x) {
      const long x0 = x * picture.width / out_width;
      const long x1 = std::max(x0 + 1, (x + 1) * picture.width / out_width);
      unsigned long sum[3] = {0, 0, 0};
      for (long sy = y0; sy < y1; ++sy)
        for (long sx = x0; sx < x1; ++sx)
          for (int c = 0; c < 3; ++c)
            sum[c] += picture.rgb[static_cast<size_t>((sy * picture.width + sx) * 3 + c)];
      const unsigned long count = static_cast<unsigned long>((y1 - y0) * (x1 - x0));
      for (int c = 0; c < 3; ++c)
        scaled[static_cast<size_t>((y * out_width + x) * 3 + c)] =
            static_cast<uint8_t>((sum[c] + count / 2) / count);
    }
  }
  for (long y = 0; y < out_height; y += 2) {
    std::string line;
    for (long x = 0; x < out_width; ++x) {
      append_colour(line, 38, &scaled[static_cast<size_t>((y * out_width + x) * 3)]);
      // An odd last row leaves the lower halves to the terminal's own background.
      if (y + 1 < out_height)
        append_colour(line, 48, &scaled[static_cast<size_t>(((y + 1) * out_width + x) * 3)]);
      else
        line += "\x1b[49m";
      line += "\u2580";
    }
    lines.push_back(line + "\x1b[0m");
  }
  return lines;
}

bool colour_wanted(bool tty, const char* term, const char* no_color) {
  return tty && term != nullptr && *term != '\0' && std::string(term) != "dumb" && no_color == nullptr;
}

Drawing draw_picture_file(const std::string& path, int columns) {
  Drawing drawing;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    drawing.problem = "the picture file cannot be read";
    return drawing;
  }
  std::vector<uint8_t> bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.insert(bytes.end(), chunk, chunk + in.gcount());
    if (bytes.size() > kLargestFile) {
      drawing.problem = "the picture file is too large to draw";
      return drawing;
    }
  }
  const std::string format = picture_format_of(bytes);
  if (format == "png" || format == "gif") return drawing;
  std::string error;
  std::optional<Picture> picture = decode_jpeg(bytes, error);
  if (!picture) {
    drawing.problem = "the picture could not be drawn: " + error;
    return drawing;
  }
  drawing.lines = half_block_lines(*picture, columns);
  return drawing;
}

}  // namespace console
