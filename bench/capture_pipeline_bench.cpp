// Cost of each stage of one captured frame on the X server named by $DISPLAY (start it with
// photo-like content, as capture_compare.sh does): MIT-SHM grab, scaling to the frame size, the
// JPEG colour pass and compression; and the alternatives the pipeline was chosen against.
#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <turbojpeg.h>

#include <memory>
#include <vector>

#include "capture/capture_rules.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/x_shm_image.h"

namespace {

struct Screen {
  Screen() {
    connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return;
    screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    width = screen->width_in_pixels;
    height = screen->height_in_pixels;
    image = qova::x11::ShmImage::create(connection, *screen, width, height);
    target = qova::captureFrameSize(width, height, 1280.0);
  }
  ~Screen() {
    image.reset();
    xcb_disconnect(connection);
  }
  bool grab() { return image && image->grab(screen->root, 0, 0); }
  xcb_connection_t* connection = nullptr;
  xcb_screen_t* screen = nullptr;
  int width = 0;
  int height = 0;
  std::unique_ptr<qova::x11::ShmImage> image;
  qova::FrameSize target;
};

Screen& screen() {
  static Screen s;
  return s;
}

std::vector<uint8_t> scaledFrame() {
  auto& s = screen();
  s.grab();
  std::vector<uint8_t> out(static_cast<size_t>(s.target.width) * s.target.height * 4);
  qova::ScaleScratch scratch;
  qova::scaleBgra(s.image->data(), s.image->bytesPerRow(), s.width, s.height, out.data(),
                  static_cast<int>(s.target.width) * 4, static_cast<int>(s.target.width),
                  static_cast<int>(s.target.height), scratch);
  return out;
}

void label(benchmark::State& state) {
  auto& s = screen();
  state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) + " -> " + std::to_string(s.target.width) +
                 "x" + std::to_string(s.target.height));
}

void BM_XShmGrab(benchmark::State& state) {
  if (!screen().image) return state.SkipWithError("no X display with MIT-SHM");
  for (auto _ : state) benchmark::DoNotOptimize(screen().grab());
  label(state);
}

void BM_ScaleBgra(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  s.grab();
  std::vector<uint8_t> out(static_cast<size_t>(s.target.width) * s.target.height * 4);
  qova::ScaleScratch scratch;
  for (auto _ : state) {
    qova::scaleBgra(s.image->data(), s.image->bytesPerRow(), s.width, s.height, out.data(),
                    static_cast<int>(s.target.width) * 4, static_cast<int>(s.target.width),
                    static_cast<int>(s.target.height), scratch);
  }
  label(state);
}

void BM_ArgbToJ420(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  const auto frame = scaledFrame();
  const int w = static_cast<int>(s.target.width), h = static_cast<int>(s.target.height);
  std::vector<uint8_t> planes(static_cast<size_t>(w) * h * 2);
  uint8_t* u = planes.data() + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2);
  for (auto _ : state) libyuv::ARGBToJ420(frame.data(), w * 4, planes.data(), w, u, (w + 1) / 2, v, (w + 1) / 2, w, h);
  label(state);
}

// The chosen encoder: libyuv colour pass plus tjCompressFromYUVPlanes, as the image context runs it.
void BM_EncodeJpegChosen(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  const auto frame = scaledFrame();
  const int w = static_cast<int>(s.target.width), h = static_cast<int>(s.target.height);
  auto context = qova::TurboJpegImaging().makeContext();
  qova::PixelBuffer buffer{w, h, w * 4, frame.data(), nullptr};
  size_t bytes = 0;
  for (auto _ : state) bytes = context->encodeJpeg(buffer, 0.54)->size();
  state.counters["jpeg_bytes"] = static_cast<double>(bytes);
  label(state);
}

// The alternative: libjpeg-turbo's own BGRX-to-YCbCr pass (tjCompress2).
void BM_EncodeJpegTjCompress2(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  const auto frame = scaledFrame();
  const int w = static_cast<int>(s.target.width), h = static_cast<int>(s.target.height);
  tjhandle handle = tjInitCompress();
  std::vector<unsigned char> out(tjBufSize(w, h, TJSAMP_420));
  unsigned long size = 0;
  for (auto _ : state) {
    unsigned char* jpeg = out.data();
    size = out.size();
    tjCompress2(handle, frame.data(), w, w * 4, h, TJPF_BGRX, &jpeg, &size, TJSAMP_420, 54, TJFLAG_NOREALLOC);
  }
  tjDestroy(handle);
  state.counters["jpeg_bytes"] = static_cast<double>(size);
  label(state);
}

// The alternative order: colour pass at full size, then scaling the three planes.
void BM_ScaleInYuvInstead(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  s.grab();
  const int sw = s.width, sh = s.height, w = static_cast<int>(s.target.width), h = static_cast<int>(s.target.height);
  std::vector<uint8_t> full(static_cast<size_t>(sw) * sh * 2), small(static_cast<size_t>(w) * h * 2);
  const int scw = (sw + 1) / 2, sch = (sh + 1) / 2, cw = (w + 1) / 2, ch = (h + 1) / 2;
  uint8_t *fy = full.data(), *fu = fy + static_cast<size_t>(sw) * sh, *fv = fu + static_cast<size_t>(scw) * sch;
  uint8_t *y = small.data(), *u = y + static_cast<size_t>(w) * h, *v = u + static_cast<size_t>(cw) * ch;
  for (auto _ : state) {
    libyuv::ARGBToJ420(s.image->data(), s.image->bytesPerRow(), fy, sw, fu, scw, fv, scw, sw, sh);
    libyuv::I420Scale(fy, sw, fu, scw, fv, scw, sw, sh, y, w, u, cw, v, cw, w, h, libyuv::kFilterBilinear);
  }
  label(state);
}

// The whole frame as the stream and the pipeline do it, grab to JPEG bytes.
void BM_WholeFrame(benchmark::State& state) {
  auto& s = screen();
  if (!s.image) return state.SkipWithError("no X display with MIT-SHM");
  const int w = static_cast<int>(s.target.width), h = static_cast<int>(s.target.height);
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4);
  qova::ScaleScratch scratch;
  auto context = qova::TurboJpegImaging().makeContext();
  for (auto _ : state) {
    s.grab();
    qova::scaleBgra(s.image->data(), s.image->bytesPerRow(), s.width, s.height, out.data(), w * 4, w, h, scratch);
    benchmark::DoNotOptimize(context->encodeJpeg({w, h, w * 4, out.data(), nullptr}, 0.54));
  }
  label(state);
}

BENCHMARK(BM_XShmGrab)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ScaleBgra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArgbToJ420)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeJpegChosen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeJpegTjCompress2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScaleInYuvInstead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFrame)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
