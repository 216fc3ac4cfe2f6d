#pragma once

// Include only from .cpp files under platform/linux/.

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

#include <memory>

namespace qova::x11 {

// An image in a shared-memory segment attached to one X connection, filled by XShmGetImage.
// The segment is marked for removal as soon as both sides are attached, so nothing is left
// behind if the process dies.
class ShmImage {
 public:
  // Null when MIT-SHM is missing, the segment cannot be made or the server refuses it.
  static std::unique_ptr<ShmImage> create(Display* display, int width, int height);
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  // Copies the root window's rectangle at (x, y) of the image's size. False on an X error.
  bool grab(Window root, int x, int y);
  int width() const { return image_->width; }
  int height() const { return image_->height; }
  int bytesPerRow() const { return image_->bytes_per_line; }
  uint8_t* data() const { return reinterpret_cast<uint8_t*>(image_->data); }

 private:
  explicit ShmImage(Display* display) : display_(display) {}
  Display* display_;
  XImage* image_ = nullptr;
  // The image refers to this record for as long as it lives, so it stays at one address.
  XShmSegmentInfo info_{};
  bool mapped_ = false;
  bool attached_ = false;
};

}  // namespace qova::x11
