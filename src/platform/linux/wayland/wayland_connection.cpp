#include "platform/linux/wayland/wayland_connection.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace qova::wayland {

namespace {

void outputMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto* output = static_cast<Output*>(data);
  if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
  output->modeWidth = width;
  output->modeHeight = height;
}

void outputGeometryTransform(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                             const char*, int32_t transform) {
  // Only the eight transforms the protocol defines; anything else is taken as none.
  static_cast<Output*>(data)->transform = transform >= 0 && transform <= 7 ? transform : WL_OUTPUT_TRANSFORM_NORMAL;
}

void outputDone(void*, wl_output*) {}
void outputScale(void*, wl_output*, int32_t) {}
void outputName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->connector = name ? name : ""; }
void outputDescription(void*, wl_output*, const char*) {}

const wl_output_listener kOutputListener = {outputGeometryTransform, outputMode, outputDone, outputScale, outputName,
                                            outputDescription};

template <class T>
T* bind(wl_registry* registry, uint32_t name, const wl_interface* interface, uint32_t offered, uint32_t wanted) {
  return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

}  // namespace

void Connection::global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* self = static_cast<Connection*>(data);
  const std::string_view kind = interface;
  if (kind == wl_output_interface.name) {
    auto output = std::make_unique<Output>();
    output->name = name;
    output->proxy = bind<wl_output>(registry, name, &wl_output_interface, version, 4);
    wl_output_add_listener(output->proxy, &kOutputListener, output.get());
    self->outputs_.push_back(std::move(output));
  } else if (kind == wl_shm_interface.name && !self->shm) {
    self->shm = bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
  } else if (kind == wl_seat_interface.name && !self->seat) {
    self->seat = bind<wl_seat>(registry, name, &wl_seat_interface, version, 1);
  } else if (kind == zwlr_screencopy_manager_v1_interface.name && !self->screencopy) {
    self->screencopyVersion = std::min(version, 3u);
    self->screencopy =
        bind<zwlr_screencopy_manager_v1>(registry, name, &zwlr_screencopy_manager_v1_interface, version, 3);
  } else if (kind == zwlr_virtual_pointer_manager_v1_interface.name && !self->pointerManager) {
    self->pointerManagerVersion = std::min(version, 2u);
    self->pointerManager =
        bind<zwlr_virtual_pointer_manager_v1>(registry, name, &zwlr_virtual_pointer_manager_v1_interface, version, 2);
  } else if (kind == zwp_virtual_keyboard_manager_v1_interface.name && !self->keyboardManager) {
    self->keyboardManager =
        bind<zwp_virtual_keyboard_manager_v1>(registry, name, &zwp_virtual_keyboard_manager_v1_interface, version, 1);
  } else if (kind == zwlr_data_control_manager_v1_interface.name && !self->dataControlManager) {
    self->dataControlManager =
        bind<zwlr_data_control_manager_v1>(registry, name, &zwlr_data_control_manager_v1_interface, version, 1);
  }
}

void Connection::globalRemove(void* data, wl_registry*, uint32_t name) {
  if (Output* output = static_cast<Connection*>(data)->output(name)) output->removed = true;
}

std::unique_ptr<Connection> Connection::open() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return nullptr;
  std::unique_ptr<Connection> c(new Connection);
  c->display_ = display;
  c->registry_ = wl_display_get_registry(display);
  static const wl_registry_listener listener = {&Connection::global, &Connection::globalRemove};
  wl_registry_add_listener(c->registry_, &listener, c.get());
  // The first round brings the globals, the second what the bound outputs say of themselves.
  if (!c->roundtrip() || !c->roundtrip()) return nullptr;
  return c;
}

Connection::~Connection() {
  if (!display_) return;
  for (auto& output : outputs_) {
    if (output->proxy) wl_output_destroy(output->proxy);
  }
  if (shm) wl_shm_destroy(shm);
  if (seat) wl_seat_destroy(seat);
  if (screencopy) zwlr_screencopy_manager_v1_destroy(screencopy);
  if (pointerManager) zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
  if (keyboardManager) zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
  if (dataControlManager) zwlr_data_control_manager_v1_destroy(dataControlManager);
  if (registry_) wl_registry_destroy(registry_);
  wl_display_flush(display_);
  wl_display_disconnect(display_);
}

bool Connection::dispatch(std::chrono::milliseconds timeout, int wakeFd) {
  while (wl_display_prepare_read(display_) != 0) {
    if (wl_display_dispatch_pending(display_) < 0) return false;
  }
  // A full socket buffer is flushed on a later round; POLLOUT is not worth waiting for here.
  wl_display_flush(display_);
  pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(std::max<int64_t>(timeout.count(), 0)));
  if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
    if (wl_display_read_events(display_) < 0) return false;
  } else {
    wl_display_cancel_read(display_);
  }
  return wl_display_dispatch_pending(display_) >= 0 && !broken();
}

Output* Connection::output(uint32_t name) const {
  for (const auto& output : outputs_) {
    if (output->name == name) return output.get();
  }
  return nullptr;
}

Output* Connection::mainOutput() const {
  for (const auto& output : outputs_) {
    if (!output->removed && output->modeWidth > 0 && output->modeHeight > 0) return output.get();
  }
  return nullptr;
}

int sharedMemoryFile(const char* name, size_t bytes) {
  const int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace qova::wayland
