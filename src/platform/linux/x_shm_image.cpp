#include "platform/linux/x_shm_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <X11/Xutil.h>

#include "platform/linux/x_display.h"

namespace qova::x11 {

std::unique_ptr<ShmImage> ShmImage::create(Display* display, int width, int height) {
  if (!XShmQueryExtension(display) || width <= 0 || height <= 0) return nullptr;
  std::unique_ptr<ShmImage> result(new ShmImage(display));
  XShmSegmentInfo& info = result->info_;
  const int screen = DefaultScreen(display);
  result->image_ = XShmCreateImage(display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap,
                                   nullptr, &info, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XImage* image = result->image_;
  if (!image) return nullptr;
  // Only 32-bit pixels in the layout B, G, R, X are what the rest of the pipeline reads.
  if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst || image->red_mask != 0xFF0000 ||
      image->blue_mask != 0xFF) {
    return nullptr;
  }
  info.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
  if (info.shmid < 0) return nullptr;
  info.shmaddr = static_cast<char*>(shmat(info.shmid, nullptr, 0));
  if (info.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(info.shmid, IPC_RMID, nullptr);
    return nullptr;
  }
  result->mapped_ = true;
  image->data = info.shmaddr;
  info.readOnly = False;
  {
    ErrorTrap trap(display);
    result->attached_ = XShmAttach(display, &info) && !trap.failed();
  }
  // Both sides hold the segment now (or never will): it goes away with the last of them.
  shmctl(info.shmid, IPC_RMID, nullptr);
  if (!result->attached_) return nullptr;
  return result;
}

ShmImage::~ShmImage() {
  if (attached_) {
    ErrorTrap trap(display_);
    XShmDetach(display_, &info_);
    XSync(display_, False);
  }
  if (mapped_) shmdt(info_.shmaddr);
  if (image_) {
    image_->data = nullptr;
    XDestroyImage(image_);
  }
}

bool ShmImage::grab(Window root, int x, int y) {
  ErrorTrap trap(display_);
  const bool ok = XShmGetImage(display_, root, image_, x, y, AllPlanes);
  return ok && !trap.failed();
}

}  // namespace qova::x11
