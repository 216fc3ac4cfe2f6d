#include "platform/linux/gnome/mutter_session.h"

#include <unistd.h>

#include "base/log.h"
#include "base/thread_check.h"
#include "platform/linux/clipboard_pipe.h"
#include "platform/linux/gnome/glib_thread.h"
#include "platform/linux/gnome/mutter_session_bus.h"

// The session's clipboard: text offered to the desktop for a paste, and text the desktop copied.
namespace qova {

using namespace gdbus;

namespace {

const Log kLog("gnome");

// A clipboard owner or a paste target given no longer to read or write its text.
constexpr auto kClipboardPipeTimeout = std::chrono::seconds(2);
// Pastes being written at once; more are refused, so a flood of requests cannot pile up threads.
constexpr int kMaxClipboardWriters = 4;

}  // namespace

void MutterSession::watchClipboard(std::function<void(std::string)> changed, size_t maxBytes) {
  clipboardWatch_->set(std::move(changed), maxBytes);
  glib_->post([this] { enableClipboard(); });
}

// On the bus thread: the compositor tells of new clipboard owners only once the clipboard is enabled.
void MutterSession::enableClipboard() {
  QOVA_ASSERT_ON(*glib_);
  Bus& b = *bus_;
  if (!clipboardWatch_->active()) return;
  if (b.clipboardEnabled || b.remoteDesktopPath.empty()) return;
  std::string failure;
  if (!b.enableClipboard(failure)) kLog.warning("the GNOME session's clipboard cannot be watched: " + failure);
}

// On the bus thread: another program took the clipboard. Its text comes through a descriptor the
// compositor hands out, read on a thread of its own so a slow owner never holds up input.
void MutterSession::readClipboard(const std::string& mimeType) {
  QOVA_ASSERT_ON(*glib_);
  if (!clipboardWatch_->active()) return;
  g_dbus_connection_call_with_unix_fd_list(
      bus_->connection, kRemoteDesktop, bus_->remoteDesktopPath.c_str(), kRemoteDesktopSession, "SelectionRead",
      g_variant_new("(s)", mimeType.c_str()), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
      nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<ClipboardWatch>> watch(static_cast<std::shared_ptr<ClipboardWatch>*>(data));
        const int fd = takeDescriptor(source, result);
        if (fd >= 0) ClipboardWatch::read(*watch, fd, kClipboardPipeTimeout);
      },
      new std::shared_ptr<ClipboardWatch>(clipboardWatch_));
}

bool MutterSession::setClipboardText(uint64_t generation, const std::string& text) {
  const auto offered = glib_->call<bool>(
      [this, generation, text] {
        {
          std::lock_guard lock(mutex_);
          if (phase_ != Phase::running || info_.generation != generation) return false;
        }
        Bus& b = *bus_;
        std::string failure;
        if (b.enableClipboard(failure)) {
          GVariant* types = g_variant_new_strv(kTextMimeTypes, G_N_ELEMENTS(kTextMimeTypes));
          if (callSync(b.connection, kRemoteDesktop, b.remoteDesktopPath, kRemoteDesktopSession, "SetSelection",
                       g_variant_new("(@a{sv})", options({{"mime-types", types}})), nullptr, failure)) {
            b.clipboardText = text;
            return true;
          }
        }
        kLog.warning("the GNOME session's clipboard refused the text: " + failure);
        return false;
      },
      std::chrono::milliseconds(2 * kCallTimeoutMs));
  return offered.value_or(false);
}

// On the bus thread: someone pastes. The text goes through the descriptor the compositor hands
// out, written on a thread of its own so a slow reader never holds up input.
void MutterSession::answerTransfer(const std::string& mimeType, uint32_t serial) {
  QOVA_ASSERT_ON(*glib_);
  Bus& b = *bus_;
  if (!isTextType(mimeType) || clipboardWriters_->load() >= kMaxClipboardWriters) {
    g_dbus_connection_call(b.connection, kRemoteDesktop, b.remoteDesktopPath.c_str(), kRemoteDesktopSession,
                           "SelectionWriteDone", g_variant_new("(ub)", serial, FALSE), nullptr,
                           G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    return;
  }
  struct Transfer {
    std::weak_ptr<MutterSession> session;
    uint32_t serial;
    std::string text;
    std::string path;
    std::shared_ptr<std::atomic<int>> writers;
    ~Transfer() { --*writers; }
  };
  ++*clipboardWriters_;
  auto* transfer = new Transfer{weak_from_this(), serial, b.clipboardText, b.remoteDesktopPath, clipboardWriters_};
  g_dbus_connection_call_with_unix_fd_list(
      b.connection, kRemoteDesktop, b.remoteDesktopPath.c_str(), kRemoteDesktopSession, "SelectionWrite",
      g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr,
      nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Transfer> transfer(static_cast<Transfer*>(data));
        const int fd = takeDescriptor(source, result);
        // Only checked here: a reference taken on this thread could be the last and end the thread itself.
        if (transfer->session.expired()) {
          if (fd >= 0) ::close(fd);
          return;
        }
        std::thread([transfer = std::move(transfer), fd] {
          const bool written = fd >= 0 && writeClipboardPipe(fd, transfer->text, kClipboardPipeTimeout);
          if (auto session = transfer->session.lock()) {
            session->glib_->post([session = session.get(), serial = transfer->serial, path = transfer->path, written] {
              if (session->bus_->remoteDesktopPath != path) return;
              g_dbus_connection_call(session->bus_->connection, kRemoteDesktop, path.c_str(), kRemoteDesktopSession,
                                     "SelectionWriteDone", g_variant_new("(ub)", serial, written), nullptr,
                                     G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
            });
          }
        }).detach();
      },
      transfer);
}

}  // namespace qova
