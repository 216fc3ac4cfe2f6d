#include "platform/linux/x_shm_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>

namespace qova::x11 {

namespace {

// Whether the screen's own pixels are what the pipeline reads: 32 bits, B, G, R, X in memory.
bool isBgrx(xcb_connection_t* connection, const xcb_screen_t& screen) {
  const xcb_setup_t* setup = xcb_get_setup(connection);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool bits32 = false;
  for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem; xcb_format_next(&formats)) {
    if (formats.data->depth == screen.root_depth) bits32 = formats.data->bits_per_pixel == 32;
  }
  if (!bits32) return false;
  for (auto depths = xcb_screen_allowed_depths_iterator(&screen); depths.rem; xcb_depth_next(&depths)) {
    for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem; xcb_visualtype_next(&visuals)) {
      if (visuals.data->visual_id == screen.root_visual) {
        return visuals.data->red_mask == 0xFF0000 && visuals.data->green_mask == 0xFF00 &&
               visuals.data->blue_mask == 0xFF;
      }
    }
  }
  return false;
}

}  // namespace

std::unique_ptr<ShmImage> ShmImage::create(xcb_connection_t* connection, const xcb_screen_t& screen, int width,
                                           int height) {
  if (width <= 0 || height <= 0) return nullptr;
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection, &xcb_shm_id);
  if (!shm || !shm->present || !isBgrx(connection, screen)) return nullptr;
  std::unique_ptr<ShmImage> image(new ShmImage(connection, width, height));
  image->shmid_ = shmget(IPC_PRIVATE, static_cast<size_t>(width) * height * 4, IPC_CREAT | 0600);
  if (image->shmid_ < 0) return nullptr;
  void* address = shmat(image->shmid_, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(image->shmid_, IPC_RMID, nullptr);
    return nullptr;
  }
  image->data_ = static_cast<uint8_t*>(address);
  image->segment_ = xcb_generate_id(connection);
  xcb_generic_error_t* error =
      xcb_request_check(connection, xcb_shm_attach_checked(connection, image->segment_, image->shmid_, 0));
  image->attached_ = error == nullptr && !xcb_connection_has_error(connection);
  std::free(error);
  // Both sides hold the segment now (or never will): it goes away with the last of them.
  shmctl(image->shmid_, IPC_RMID, nullptr);
  if (!image->attached_) return nullptr;
  return image;
}

ShmImage::~ShmImage() {
  if (attached_ && !xcb_connection_has_error(connection_)) {
    xcb_shm_detach(connection_, segment_);
    xcb_flush(connection_);
  }
  if (data_) shmdt(data_);
}

bool ShmImage::grab(xcb_drawable_t drawable, int x, int y) {
  xcb_generic_error_t* error = nullptr;
  xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
      connection_,
      xcb_shm_get_image(connection_, drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                        static_cast<uint16_t>(width_), static_cast<uint16_t>(height_), ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
      &error);
  const bool ok = reply != nullptr && error == nullptr;
  std::free(reply);
  std::free(error);
  return ok;
}

}  // namespace qova::x11
