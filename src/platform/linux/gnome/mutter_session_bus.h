#pragma once
// What the session's files share: the compositor's names and the bus thread's state.

#include <gio/gio.h>

#include <string>
#include <vector>

#include "platform/linux/gnome/gdbus_calls.h"
#include "platform/linux/gnome/mutter_session.h"

namespace qova {

inline constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

// The bus thread's state: touched only on that thread.
struct MutterSession::Bus {
  gpointer owner = nullptr;  // the session, as the signal handlers' data
  GDBusConnection* connection = nullptr;
  guint nameWatch = 0;
  std::vector<guint> subscriptions;
  std::string remoteDesktopPath;
  std::string streamPath;
  std::string cursorStreamPath;  // empty when there is none
  GSource* startTimeout = nullptr;
  bool clipboardEnabled = false;
  std::string clipboardText;

  void forgetSession() {
    for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(connection, id);
    subscriptions.clear();
    if (startTimeout) {
      g_source_destroy(startTimeout);
      g_source_unref(startTimeout);
      startTimeout = nullptr;
    }
    remoteDesktopPath.clear();
    streamPath.clear();
    cursorStreamPath.clear();
    clipboardEnabled = false;
    clipboardText.clear();
  }
  // Ends the compositor's side of the session too; without a reply to wait for.
  void stopSession() {
    if (connection && !remoteDesktopPath.empty() && !g_dbus_connection_is_closed(connection)) {
      g_dbus_connection_call(connection, kRemoteDesktop, remoteDesktopPath.c_str(), kRemoteDesktopSession, "Stop",
                             nullptr, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
    }
    forgetSession();
  }
  void dropConnection() {
    forgetSession();
    if (nameWatch) g_bus_unwatch_name(nameWatch);
    nameWatch = 0;
    if (!connection) return;
    // The bus's worker thread may still hold the connection and report it closed later.
    g_signal_handlers_disconnect_matched(connection, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, owner);
    g_object_unref(connection);
    connection = nullptr;
  }
  // The compositor tells of clipboard owners, and takes our offers, only once the clipboard is enabled.
  bool enableClipboard(std::string& failure) {
    if (!clipboardEnabled && !remoteDesktopPath.empty()) {
      clipboardEnabled = gdbus::callSync(connection, kRemoteDesktop, remoteDesktopPath, kRemoteDesktopSession,
                                         "EnableClipboard", g_variant_new("(@a{sv})", gdbus::options({})), nullptr,
                                         failure) != nullptr;
    }
    return clipboardEnabled;
  }
  guint subscribe(const std::string& path, const char* interface, const char* member, GDBusSignalCallback callback,
                  gpointer self) {
    const guint id = g_dbus_connection_signal_subscribe(connection, nullptr, interface, member, path.c_str(), nullptr,
                                                        G_DBUS_SIGNAL_FLAGS_NONE, callback, self, nullptr);
    subscriptions.push_back(id);
    return id;
  }
};

}  // namespace qova
