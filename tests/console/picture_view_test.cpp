// Contact pictures drawn with coloured half blocks: a JPEG made here is decoded, scaled and
// drawn, and its colours land on the right halves; a file that is no picture only says so.
#include "picture_view.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "console_process.h"

namespace {

using console::Picture;

struct Rgb {
  int r, g, b;
};

// A JPEG whose upper half is one colour and lower half another; every pixel of a block of 8
// the same, so that the colours come back nearly as they went in.
std::vector<uint8_t> two_colour_jpeg(int width, int height, Rgb upper, Rgb lower) {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb& c = y < height / 2 ? upper : lower;
      rgb.insert(rgb.end(),
                 {static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.b)});
    }
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(encoder, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, 100, 0), 0)
      << tjGetErrorStr2(encoder);
  std::vector<uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return bytes;
}

struct Cell {
  Rgb upper;
  std::optional<Rgb> lower;  // none: the terminal's own background
};

// The cells of a drawn line, read back from its escapes; fails the test on anything else.
std::vector<Cell> cells_of(const std::string& line) {
  static const std::regex cell(
      "\x1b\\[38;2;(\\d+);(\\d+);(\\d+)m(?:\x1b\\[48;2;(\\d+);(\\d+);(\\d+)m|(\x1b\\[49m))\u2580");
  std::vector<Cell> cells;
  std::string rest = line;
  std::smatch m;
  while (std::regex_search(rest, m, cell, std::regex_constants::match_continuous)) {
    Cell c{{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])}, std::nullopt};
    if (!m[7].matched) c.lower = Rgb{std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6])};
    cells.push_back(c);
    rest = m.suffix();
  }
  EXPECT_EQ(rest, "\x1b[0m") << "a line ends by resetting the colours: " << line;
  return cells;
}

// Within what JPEG's rounding moves a flat colour.
::testing::AssertionResult near(const Rgb& got, const Rgb& wanted) {
  if (std::abs(got.r - wanted.r) <= 6 && std::abs(got.g - wanted.g) <= 6 && std::abs(got.b - wanted.b) <= 6)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got.r << "," << got.g << "," << got.b << " is not " << wanted.r
                                       << "," << wanted.g << "," << wanted.b;
}

const Rgb kRed{230, 20, 30};
const Rgb kBlue{20, 40, 220};

TEST(PictureView, TheUpperPixelIsTheForegroundAndTheLowerTheBackground) {
  std::string error;
  std::optional<Picture> picture = console::decode_jpeg(two_colour_jpeg(16, 16, kRed, kBlue), error);
  ASSERT_TRUE(picture) << error;
  EXPECT_EQ(picture->width, 16);
  EXPECT_EQ(picture->height, 16);

  // Two columns of a square picture: two pixel rows, one line, red over blue.
  std::vector<std::string> one_line = console::half_block_lines(*picture, 2);
  ASSERT_EQ(one_line.size(), 1u);
  std::vector<Cell> cells = cells_of(one_line[0]);
  ASSERT_EQ(cells.size(), 2u);
  for (const Cell& c : cells) {
    EXPECT_TRUE(near(c.upper, kRed));
    ASSERT_TRUE(c.lower);
    EXPECT_TRUE(near(*c.lower, kBlue));
  }

  // Never wider than the picture: 16 columns, 16 pixel rows in 8 lines, red ones then blue.
  std::vector<std::string> lines = console::half_block_lines(*picture, 24);
  ASSERT_EQ(lines.size(), 8u);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<Cell> row = cells_of(lines[i]);
    ASSERT_EQ(row.size(), 16u) << i;
    const Rgb& colour = i < 4 ? kRed : kBlue;
    EXPECT_TRUE(near(row[0].upper, colour)) << i;
    EXPECT_TRUE(near(row[15].lower.value_or(Rgb{-99, -99, -99}), colour)) << i;
  }
}

TEST(PictureView, TheProportionsAreKept) {
  std::string error;
  // Twice as wide as tall, 8 columns: 4 pixel rows, 2 lines.
  std::optional<Picture> wide = console::decode_jpeg(two_colour_jpeg(32, 16, kRed, kBlue), error);
  ASSERT_TRUE(wide) << error;
  std::vector<std::string> lines = console::half_block_lines(*wide, 8);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(cells_of(lines[0]).size(), 8u);
  // 24x9 at 8 columns: three pixel rows, so the last line's lower halves are left to the
  // terminal.
  std::optional<Picture> odd = console::decode_jpeg(two_colour_jpeg(24, 9, kRed, kBlue), error);
  ASSERT_TRUE(odd) << error;
  lines = console::half_block_lines(*odd, 8);
  ASSERT_EQ(lines.size(), 2u);
  std::vector<Cell> last = cells_of(lines[1]);
  ASSERT_EQ(last.size(), 8u);
  EXPECT_FALSE(last[0].lower.has_value());
}

TEST(PictureView, AFileIsDrawnOrSaysInOneLineWhyNot) {
  consoletest::TempFolder folder;
  auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(folder.file(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return folder.file(name);
  };
  std::vector<uint8_t> jpeg = two_colour_jpeg(48, 48, kRed, kBlue);
  console::Drawing drawn = console::draw_picture_file(write("good-picture", jpeg), 24);
  EXPECT_EQ(drawn.problem, "");
  EXPECT_EQ(drawn.lines.size(), 12u);

  // A JPEG's start and then rubbish: no drawing, one line that says so.
  std::vector<uint8_t> corrupt(jpeg.begin(), jpeg.begin() + 3);
  corrupt.insert(corrupt.end(), 200, 0x5A);
  console::Drawing broken = console::draw_picture_file(write("broken-picture", corrupt), 24);
  EXPECT_TRUE(broken.lines.empty());
  EXPECT_NE(broken.problem.find("could not be drawn"), std::string::npos) << broken.problem;
  EXPECT_EQ(broken.problem.find('\n'), std::string::npos) << broken.problem;

  // A PNG is named, not drawn, and is no problem.
  console::Drawing png = console::draw_picture_file(
      write("picture.png", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13}), 24);
  EXPECT_TRUE(png.lines.empty());
  EXPECT_EQ(png.problem, "");
  EXPECT_EQ(console::avatar_format_name(0, folder.file("picture.png")), "png");
}

TEST(PictureView, ColourOnlyAtATerminalThatHasIt) {
  EXPECT_TRUE(console::colour_wanted(true, "xterm-256color", nullptr));
  EXPECT_FALSE(console::colour_wanted(false, "xterm-256color", nullptr));
  EXPECT_FALSE(console::colour_wanted(true, "dumb", nullptr));
  EXPECT_FALSE(console::colour_wanted(true, "xterm", ""));
}

}  // namespace
