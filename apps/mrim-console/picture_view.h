// Contact pictures at a colour terminal: a JPEG decoded to RGB, scaled down by averaging the
// pixels each cell covers, and drawn with the upper half block, whose foreground is the upper
// pixel and background the lower one, so that a cell holds two square pixels. Kept apart from
// the views so that it can be checked without a terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace console {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows from the top, three bytes a pixel
};

// "jpeg", "png" or "gif" by the file's first bytes; "" for anything else.
std::string picture_format_of(const std::vector<uint8_t>& bytes);

// The name of a picture's format as the plug-in gives it (PA_FORMAT_*): "jpeg", "png" or
// "gif"; for one it does not know, the file's first bytes decide, and "unknown" otherwise.
std::string avatar_format_name(int format, const std::string& path);

// None, with a one-line reason in `error`, when the bytes are no JPEG that can be read.
std::optional<Picture> decode_jpeg(const std::vector<uint8_t>& bytes, std::string& error);

// At most `columns` cells wide (never wider than the picture), as tall as its proportions
// want; each line ends by resetting the colours.
std::vector<std::string> half_block_lines(const Picture& picture, int columns);

// Whether pictures are drawn: on a terminal (`tty`) that is not a dumb one, and not where the
// user asked for no colour (NO_COLOR set, whatever its value). Null for an unset variable.
bool colour_wanted(bool tty, const char* term, const char* no_color);

// The picture file drawn, or (lines empty) a one-line reason why not; a PNG or GIF gets
// neither, as only JPEG is drawn.
struct Drawing {
  std::vector<std::string> lines;
  std::string problem;
};
Drawing draw_picture_file(const std::string& path, int columns);

}  // namespace console
