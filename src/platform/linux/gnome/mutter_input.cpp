#include "platform/linux/gnome/glib_thread.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/gnome/mutter_session_bus.h"

// The session's input calls: in order, without waiting for replies.
namespace qova {

using namespace gdbus;

void MutterSession::notify(uint64_t generation, const char* method, void* arguments) {
  GVariant* args = g_variant_ref_sink(static_cast<GVariant*>(arguments));
  glib_->post([this, generation, method, args] {
    Variant owned(args);
    {
      std::lock_guard lock(mutex_);
      if (phase_ != Phase::running || info_.generation != generation) return;
    }
    // No callback: the message says no reply is wanted, so nothing waits for one.
    g_dbus_connection_call(bus_->connection, kRemoteDesktop, bus_->remoteDesktopPath.c_str(), kRemoteDesktopSession,
                           method, owned.get(), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr,
                           nullptr);
  });
}

void MutterSession::pointerMotion(uint64_t generation, double x, double y) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    path = info_.streamPath;
  }
  notify(generation, "NotifyPointerMotionAbsolute", g_variant_new("(sdd)", path.c_str(), x, y));
}

void MutterSession::pointerButton(uint64_t generation, int32_t evdevButton, bool pressed) {
  notify(generation, "NotifyPointerButton", g_variant_new("(ib)", evdevButton, pressed));
}

void MutterSession::pointerAxisDiscrete(uint64_t generation, int32_t steps) {
  notify(generation, "NotifyPointerAxisDiscrete", g_variant_new("(ui)", 0u, steps));
}

void MutterSession::keysym(uint64_t generation, uint32_t keysym, bool pressed) {
  notify(generation, "NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
}

}  // namespace qova
