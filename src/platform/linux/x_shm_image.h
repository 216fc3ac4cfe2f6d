#pragma once

// Include only from .cpp files under platform/linux/.

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

namespace qova::x11 {

// An image in a shared-memory segment attached to one XCB connection, filled by ShmGetImage.
// The segment is marked for removal as soon as both sides are attached, so nothing is left behind
// if the process dies. Pixels are 32-bit B, G, R, X.
class ShmImage {
 public:
  // Null when MIT-SHM is missing, the screen's pixels are not 32-bit BGRX, the segment cannot be
  // made or the server refuses it.
  static std::unique_ptr<ShmImage> create(xcb_connection_t* connection, const xcb_screen_t& screen, int width,
                                          int height);
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  // Copies the rectangle of `drawable` at (x, y) of the image's size. False on any error.
  bool grab(xcb_drawable_t drawable, int x, int y);
  int width() const { return width_; }
  int height() const { return height_; }
  int bytesPerRow() const { return width_ * 4; }
  uint8_t* data() const { return data_; }

 private:
  ShmImage(xcb_connection_t* connection, int width, int height) : connection_(connection), width_(width), height_(height) {}
  xcb_connection_t* connection_;
  int width_;
  int height_;
  int shmid_ = -1;
  uint8_t* data_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
  bool attached_ = false;
};

}  // namespace qova::x11
