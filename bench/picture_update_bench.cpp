// The richer picture's cost at 1920x1080, without a display: the tile comparison of an unchanged
// screen, the update for one character typed into a text area, a scrolled text page, a whole-screen
// photo change and the refinement of a still photo; and the JPEG qualities the defaults were chosen from (bytes and
// PSNR of a photo-like picture).
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "capture/capture_session.h"
#include "capture/picture_encoder.h"
#include "capture/tile_diff.h"
#include "platform/linux/turbojpeg_imaging.h"

namespace {

using qova::PixelBuffer;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

PixelBuffer blank(uint8_t fill) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(kWidth) * kHeight * 4, fill);
  return {kWidth, kHeight, kWidth * 4, bytes->data(), bytes};
}

uint8_t* at(const PixelBuffer& p, int x, int y) {
  return const_cast<uint8_t*>(p.data) + static_cast<size_t>(y) * p.bytesPerRow + static_cast<size_t>(x) * 4;
}

PixelBuffer copyOf(const PixelBuffer& p) {
  PixelBuffer copy = blank(0);
  std::memcpy(const_cast<uint8_t*>(copy.data), p.data, static_cast<size_t>(p.bytesPerRow) * p.height);
  return copy;
}

// Fractal value noise (octaves of smoothly interpolated random grids): the 1/f spectrum of
// photographs, which decides what JPEG makes of them.
PixelBuffer photo(unsigned seed) {
  const PixelBuffer p = blank(0);
  std::mt19937 random(seed);
  for (int channel = 0; channel < 3; ++channel) {
    std::vector<float> sum(static_cast<size_t>(kWidth) * kHeight, 0.0f);
    float amplitude = 128.0f;
    for (int cell = 512; cell >= 2; cell /= 2, amplitude *= 0.6f) {
      const int gw = kWidth / cell + 2, gh = kHeight / cell + 2;
      std::vector<float> grid(static_cast<size_t>(gw) * gh);
      for (auto& g : grid) g = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
      for (int y = 0; y < kHeight; ++y) {
        const float fy = static_cast<float>(y) / cell;
        const int gy = static_cast<int>(fy);
        const float ty = (fy - gy) * (fy - gy) * (3 - 2 * (fy - gy));
        for (int x = 0; x < kWidth; ++x) {
          const float fx = static_cast<float>(x) / cell;
          const int gx = static_cast<int>(fx);
          const float tx = (fx - gx) * (fx - gx) * (3 - 2 * (fx - gx));
          const float* g = &grid[static_cast<size_t>(gy) * gw + gx];
          const float top = g[0] + (g[1] - g[0]) * tx, bottom = g[gw] + (g[gw + 1] - g[gw]) * tx;
          sum[static_cast<size_t>(y) * kWidth + x] += amplitude * (top + (bottom - top) * ty);
        }
      }
    }
    for (int i = 0; i < kWidth * kHeight; ++i) {
      at(p, i % kWidth, i / kWidth)[channel] = static_cast<uint8_t>(std::clamp(128.0f + sum[i], 0.0f, 255.0f));
    }
  }
  return p;
}

// One glyph of 9x18 pixels at (x, y): a few strokes with grey (anti-aliased) edges on white.
void glyph(const PixelBuffer& p, int x, int y, unsigned seed) {
  std::mt19937 random(seed);
  for (int stroke = 0; stroke < 3; ++stroke) {
    const bool vertical = random() % 2;
    const int at0 = 1 + static_cast<int>(random() % 6), from = 2 + static_cast<int>(random() % 6);
    for (int i = from; i < from + 9 && i < 17; ++i) {
      for (int w = 0; w < 3; ++w) {
        const uint8_t shade = w == 1 ? 30 : 170;
        uint8_t* pixel = vertical ? at(p, x + at0 + w, y + i) : at(p, x + i % 9, y + at0 + w + 4);
        pixel[0] = pixel[1] = pixel[2] = std::min(pixel[0], shade);
      }
    }
  }
}

PixelBuffer textScreen() {
  const PixelBuffer p = blank(255);
  for (int row = 0; row < 50; ++row) {
    for (int column = 0; column < 150; ++column) glyph(p, 20 + column * 9, 40 + row * 20, row * 1000 + column);
  }
  return p;
}

const PixelBuffer& firstPhoto() {
  static const PixelBuffer p = photo(1);
  return p;
}

struct Encoder {
  std::shared_ptr<qova::ImageContext> images = qova::TurboJpegImaging().makeContext();
  qova::PictureEncoder encoder{*images};
  qova::UpdateSettings settings{kWidth, kHeight, qova::CaptureSession::kDefaultPhotoQuality, false};
  const qova::PictureEncoder::TimePoint start = std::chrono::steady_clock::now();
  explicit Encoder(const PixelBuffer& first, bool copies = false) {
    settings.copies = copies;
    encoder.sent(*encoder.makeUpdate(&first, {}, settings, start));
  }
};

void report(benchmark::State& state, const std::optional<qova::PictureUpdate>& update) {
  if (!update) return state.SkipWithError("no update");
  state.counters["bytes"] = static_cast<double>(update->payload.size());
  state.counters["rects"] = static_cast<double>(update->header.rects.size());
}

void BM_DiffOfAnUnchangedScreen(benchmark::State& state) {
  const PixelBuffer a = textScreen(), b = copyOf(a);
  for (auto _ : state) benchmark::DoNotOptimize(qova::changedTiles(a, b));
}
BENCHMARK(BM_DiffOfAnUnchangedScreen)->Unit(benchmark::kMillisecond);

void BM_OneTypedCharacter(benchmark::State& state) {
  const PixelBuffer before = textScreen(), after = copyOf(before);
  glyph(after, 20 + 70 * 9, 40 + 25 * 20, 4242);
  Encoder e(before);
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) update = e.encoder.makeUpdate(&after, {}, e.settings, e.start);
  report(state, update);
}
BENCHMARK(BM_OneTypedCharacter)->Unit(benchmark::kMillisecond);

// The same with the desktop's damage (the glyph's box), as XDamage gives it.
void BM_OneTypedCharacterWithDamage(benchmark::State& state) {
  const PixelBuffer before = textScreen(), after = copyOf(before);
  glyph(after, 20 + 70 * 9, 40 + 25 * 20, 4242);
  Encoder e(before);
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) {
    const auto damaged = qova::tilesTouched({{20 + 70 * 9, 40 + 25 * 20, 9, 20}}, qova::TileGrid{kWidth, kHeight});
    update = e.encoder.makeUpdate(&after, {}, e.settings, e.start, &damaged);
  }
  report(state, update);
}
BENCHMARK(BM_OneTypedCharacterWithDamage)->Unit(benchmark::kMillisecond);

// A text page of 960x640 at the screen's right scrolled by three lines (60 rows), new lines at its
// bottom; the argument says whether copies are asked for (the reference agent asks).
void BM_ScrolledTextPage(benchmark::State& state) {
  constexpr int kLeft = 960, kHeightOfPage = 640, kShift = 60;
  const PixelBuffer before = textScreen(), after = copyOf(before);
  for (int y = 0; y < kHeightOfPage; ++y) {
    if (y + kShift < kHeightOfPage) {
      std::memcpy(at(after, kLeft, y), at(before, kLeft, y + kShift), (kWidth - kLeft) * 4);
    } else {
      std::memset(at(after, kLeft, y), 255, (kWidth - kLeft) * 4);
    }
  }
  for (int column = 0; column < 40; ++column) glyph(after, kLeft + 20 + column * 9, kHeightOfPage - 40, 9000 + column);
  Encoder e(before, state.range(0) != 0);
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) update = e.encoder.makeUpdate(&after, {}, e.settings, e.start);
  report(state, update);
}
BENCHMARK(BM_ScrolledTextPage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The argument says whether copies are asked for: what looking for one costs where there is none.
void BM_WholeScreenPhotoChange(benchmark::State& state) {
  const PixelBuffer second = photo(2);
  Encoder e(firstPhoto(), state.range(0) != 0);
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) update = e.encoder.makeUpdate(&second, {}, e.settings, e.start);
  report(state, update);
}
BENCHMARK(BM_WholeScreenPhotoChange)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_WholeScreenTextChange(benchmark::State& state) {
  const PixelBuffer second = textScreen();
  for (int i = 0; i < kWidth * kHeight; i += 7) at(second, i % kWidth, i / kWidth)[0] ^= 0x10;
  Encoder e(textScreen());
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) update = e.encoder.makeUpdate(&second, {}, e.settings, e.start);
  report(state, update);
}
BENCHMARK(BM_WholeScreenTextChange)->Unit(benchmark::kMillisecond);

// A still photo 300 ms after it was sent: every tile again at full quality.
void BM_RefinementOfAStillPhoto(benchmark::State& state) {
  Encoder e(firstPhoto());
  const auto later = e.start + std::chrono::seconds(1);
  std::optional<qova::PictureUpdate> update;
  for (auto _ : state) update = e.encoder.makeUpdate(nullptr, {}, e.settings, later);
  report(state, update);
}
BENCHMARK(BM_RefinementOfAStillPhoto)->Unit(benchmark::kMillisecond);

double psnr(const PixelBuffer& a, const std::vector<uint8_t>& jpeg) {
  static tjhandle decoder = tjInitDecompress();
  std::vector<uint8_t> decoded(static_cast<size_t>(kWidth) * kHeight * 4);
  tjDecompress2(decoder, jpeg.data(), jpeg.size(), decoded.data(), kWidth, kWidth * 4, kHeight, TJPF_BGRX, 0);
  double squares = 0;
  for (int i = 0; i < kWidth * kHeight * 4; ++i) {
    if (i % 4 == 3) continue;
    const double d = static_cast<double>(a.data[i]) - decoded[static_cast<size_t>(i)];
    squares += d * d;
  }
  return 10.0 * std::log10(255.0 * 255.0 / (squares / (kWidth * kHeight * 3.0)));
}

// Arguments: quality in percent, 1 for colour at full resolution.
void BM_PhotoJpegQuality(benchmark::State& state) {
  const auto images = qova::TurboJpegImaging().makeContext();
  const double quality = static_cast<double>(state.range(0)) / 100.0;
  std::optional<std::vector<uint8_t>> jpeg;
  for (auto _ : state) {
    jpeg = state.range(1) ? images->encodeJpegFullColour(firstPhoto(), quality)
                          : images->encodeJpeg(firstPhoto(), quality);
  }
  state.counters["bytes"] = static_cast<double>(jpeg->size());
  state.counters["psnr_dB"] = psnr(firstPhoto(), *jpeg);
}
BENCHMARK(BM_PhotoJpegQuality)
    ->ArgsProduct({{54, 60, 65, 70}, {0}})
    ->ArgsProduct({{90, 95, 98}, {1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
