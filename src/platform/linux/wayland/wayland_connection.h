#pragma once
// Backend-internal: included only by the wlroots backend's .cpp files.

#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_data_control_manager_v1;

namespace qova::wayland {

// An output as the compositor describes it. The size is what a viewer sees: the current mode with the
// output's transform applied.
struct Output {
  uint32_t name = 0;  // the registry name: the display identifier
  wl_output* proxy = nullptr;
  int32_t modeWidth = 0;
  int32_t modeHeight = 0;
  int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
  std::string connector;  // "HEADLESS-1", from version 4 of the output
  bool removed = false;

  bool sideways() const { return transform % 2 == 1; }
  int32_t width() const { return sideways() ? modeHeight : modeWidth; }
  int32_t height() const { return sideways() ? modeWidth : modeHeight; }
};

// One client connection with the globals this backend uses bound, used by one thread at a time.
// Outputs are known with their modes once connect returns; later changes arrive with dispatch.
class Connection {
 public:
  // Null when no compositor answers (WAYLAND_DISPLAY, XDG_RUNTIME_DIR).
  static std::unique_ptr<Connection> open();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  wl_display* display() const { return display_; }
  // The compositor closed the connection or ended it with a protocol error.
  bool broken() const { return wl_display_get_error(display_) != 0; }
  bool roundtrip() { return wl_display_roundtrip(display_) >= 0; }
  // Waits up to `timeout` for events (or for `wakeFd` to become readable) and dispatches what came.
  // False once the connection is broken.
  bool dispatch(std::chrono::milliseconds timeout, int wakeFd = -1);

  // The outputs in the compositor's order; a removed one stays listed, marked, until the end.
  const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
  Output* output(uint32_t name) const;
  // The first output still there with a mode: what this backend calls the main display.
  Output* mainOutput() const;

  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  uint32_t screencopyVersion = 0;
  zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
  uint32_t pointerManagerVersion = 0;
  zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
  zwlr_data_control_manager_v1* dataControlManager = nullptr;

 private:
  Connection() = default;
  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
  static void globalRemove(void* data, wl_registry* registry, uint32_t name);

  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  std::vector<std::unique_ptr<Output>> outputs_;
};

// A memfd holding `bytes`, or -1. The caller owns the descriptor.
int sharedMemoryFile(const char* name, size_t bytes);

}  // namespace qova::wayland
