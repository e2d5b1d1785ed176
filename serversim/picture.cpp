// The avatar service's pictures: a head and shoulders on a gradient, their colours taken from a
// hash of the address, encoded by TurboJPEG. Baseline (not progressive) and 4:2:0, as pictures
// uploaded to the network come out; a client that renders them needs nothing more.
#include "serversim/picture.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace serversim::detail {

namespace {

using Rgb = std::array<uint8_t, 3>;

uint32_t fnv1a(const std::string& text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
  return hash;
}

// Saturation and value from 0 to 1.
Rgb from_hsv(int hue, double saturation, double value) {
  const double c = value * saturation;
  const double h = (hue % 360) / 60.0;
  const double x = c * (1 - std::abs(std::fmod(h, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  switch (int(h)) {
    case 0:
      r = c, g = x;
      break;
    case 1:
      r = x, g = c;
      break;
    case 2:
      g = c, b = x;
      break;
    case 3:
      g = x, b = c;
      break;
    case 4:
      r = x, b = c;
      break;
    default:
      r = c, b = x;
      break;
  }
  const double m = value - c;
  return {uint8_t((r + m) * 255), uint8_t((g + m) * 255), uint8_t((b + m) * 255)};
}

bool inside_ellipse(int x, int y, double cx, double cy, double rx, double ry) {
  const double dx = (x - cx) / rx;
  const double dy = (y - cy) / ry;
  return dx * dx + dy * dy <= 1;
}

}  // namespace

Bytes make_picture(const std::string& address) {
  const uint32_t hash = fnv1a(address);
  const int hue = int(hash % 360);
  // The figure's hue stands well away from the background's, so that it reads at a glance.
  const Rgb figure = from_hsv(hue + 150 + int(hash >> 9) % 60, 0.55, 0.95);
  const int n = kPictureSide;
  std::vector<uint8_t> pixels(size_t(n) * n * 3);
  for (int y = 0; y < n; ++y) {
    const Rgb background = from_hsv(hue + y / 3, 0.7, 0.35 + 0.5 * y / n);
    for (int x = 0; x < n; ++x) {
      const bool head = inside_ellipse(x, y, n / 2.0, n * 0.38, n * 0.19, n * 0.21);
      const bool shoulders = inside_ellipse(x, y, n / 2.0, n * 1.05, n * 0.40, n * 0.36);
      const Rgb& colour = head || shoulders ? figure : background;
      std::copy(colour.begin(), colour.end(), pixels.begin() + (ptrdiff_t(y) * n + x) * 3);
    }
  }

  std::unique_ptr<void, int (*)(tjhandle)> encoder(tjInitCompress(), tjDestroy);
  if (!encoder) throw std::runtime_error("TurboJPEG: cannot start the encoder");
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(encoder.get(), pixels.data(), n, 0, n, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85, 0) != 0) {
    std::string error = tjGetErrorStr2(encoder.get());
    tjFree(jpeg);
    throw std::runtime_error("TurboJPEG: " + error);
  }
  Bytes out(jpeg, jpeg + size);
  tjFree(jpeg);
  return out;
}

}  // namespace serversim::detail
