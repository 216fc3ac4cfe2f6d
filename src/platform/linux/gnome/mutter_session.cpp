#include "platform/linux/gnome/mutter_session.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/log.h"
#include "base/thread_check.h"
#include "platform/linux/clipboard_pipe.h"
#include "platform/linux/gnome/glib_thread.h"
#include "platform/linux/gnome/mutter_session_bus.h"

// The session's life: made on first need on the bus thread, its facts for the other threads, its
// end however it comes. Input and the clipboard go through it in files of their own.
namespace qova {

using namespace gdbus;

namespace {

const Log kLog("gnome");

constexpr auto kStartTimeout = std::chrono::seconds(5);  // for the stream to be announced
constexpr auto kRetryInterval = std::chrono::seconds(1);
constexpr auto kDevicesTimeout = std::chrono::seconds(1);
constexpr uint32_t kCursorEmbedded = 1;
constexpr uint32_t kCursorMetadata = 2;
constexpr uint32_t kNoSuchKey = 0xffffff;  // X's VoidSymbol: on no key of any keymap

// Waits, as a Wayland client of the compositor, until a seat offers both a pointer and a keyboard.
// False at the deadline or without a compositor to ask.
bool waitForSeatDevices(std::chrono::milliseconds patience) {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return false;
  struct Seats {
    std::vector<wl_seat*> bound;
    bool ready = false;
  } seats;
  static const wl_seat_listener seatListener = {
      [](void* data, wl_seat*, uint32_t capabilities) {
        constexpr uint32_t both = WL_SEAT_CAPABILITY_POINTER | WL_SEAT_CAPABILITY_KEYBOARD;
        static_cast<Seats*>(data)->ready |= (capabilities & both) == both;
      },
      [](void*, wl_seat*, const char*) {}};
  static const wl_registry_listener registryListener = {
      [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        if (std::string_view(interface) != wl_seat_interface.name) return;
        auto* seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        static_cast<Seats*>(data)->bound.push_back(seat);
        wl_seat_add_listener(seat, &seatListener, data);
      },
      [](void*, wl_registry*, uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, &seats);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  bool failed = wl_display_roundtrip(display) < 0;
  while (!seats.ready && !failed) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    pollfd p{wl_display_get_fd(display), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) > 0) {
      failed = wl_display_read_events(display) < 0;
    } else {
      wl_display_cancel_read(display);
    }
    failed = failed || wl_display_dispatch_pending(display) < 0;
  }
  for (wl_seat* seat : seats.bound) wl_seat_destroy(seat);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return seats.ready;
}

}  // namespace

std::shared_ptr<MutterSession> MutterSession::create() {
  return std::shared_ptr<MutterSession>(new MutterSession());
}

MutterSession::MutterSession()
    : bus_(std::make_unique<Bus>()), glib_(std::make_unique<GlibThread>()),
      clipboardWatch_(std::make_shared<ClipboardWatch>()) {
  bus_->owner = this;
}

MutterSession::~MutterSession() {
  glib_->post([this] {
    bus_->stopSession();
    if (bus_->connection && !g_dbus_connection_is_closed(bus_->connection)) {
      g_dbus_connection_flush_sync(bus_->connection, nullptr, nullptr);
    }
    bus_->dropConnection();
  });
  glib_->stop();
}

std::optional<MutterSessionInfo> MutterSession::ensure(Wait wait) {
  std::unique_lock lock(mutex_);
  if (phase_ == Phase::idle) {
    const auto now = std::chrono::steady_clock::now();
    if (lastFailure_ && now - *lastFailure_ < kRetryInterval) return std::nullopt;
    phase_ = Phase::starting;
    glib_->post([this] { open(); });
  }
  std::chrono::milliseconds patience = kStartTimeout + std::chrono::seconds(1);
  if (wait == Wait::briefly) patience = lastFailure_ ? std::chrono::seconds(0) : std::chrono::seconds(1);
  changed_.wait_for(lock, patience, [this] { return phase_ != Phase::starting; });
  if (phase_ != Phase::running) return std::nullopt;
  return info_;
}

int MutterSession::watchEnd(uint64_t generation, std::function<void()> ended) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::running && info_.generation == generation) {
      watchers_.emplace(nextWatcher_, std::make_pair(generation, std::move(ended)));
      return nextWatcher_++;
    }
  }
  ended();
  return 0;
}

void MutterSession::unwatch(int id) {
  std::lock_guard lock(mutex_);
  watchers_.erase(id);
}

// On the bus thread: the session, its screen cast and the stream, then Start; it runs once the
// stream's PipeWire node is announced.
void MutterSession::open() {
  QOVA_ASSERT_ON(*glib_);
  Bus& b = *bus_;
  if (b.connection && g_dbus_connection_is_closed(b.connection)) b.dropConnection();
  if (!b.connection) {
    std::string failure;
    b.connection = openSessionBus(failure);
    if (!b.connection) return startFailed(failure);
    g_dbus_connection_set_exit_on_close(b.connection, FALSE);
    g_signal_connect(b.connection, "closed",
                     G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer self) {
                       static_cast<MutterSession*>(self)->ended("the session bus went away");
                     }),
                     this);
    b.nameWatch = g_bus_watch_name_on_connection(
        b.connection, kRemoteDesktop, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
        +[](GDBusConnection*, const gchar*, gpointer self) {
          static_cast<MutterSession*>(self)->ended("the compositor left the session bus");
        },
        this, nullptr);
  }
  std::string failure;
  MutterSessionInfo info;
  const auto remoteDesktop = callSync(b.connection, kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop,
                                      "CreateSession", nullptr, "(o)", failure);
  if (!remoteDesktop) return startFailed(failure);
  b.remoteDesktopPath = objectPath(remoteDesktop);
  if (auto types = property(b.connection, kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, "SupportedDeviceTypes",
                            failure);
      types && g_variant_is_of_type(types.get(), G_VARIANT_TYPE_UINT32)) {
    info.deviceTypes = g_variant_get_uint32(types.get());
  }
  const auto id = property(b.connection, kRemoteDesktop, b.remoteDesktopPath, kRemoteDesktopSession, "SessionId",
                           failure);
  if (!id || !g_variant_is_of_type(id.get(), G_VARIANT_TYPE_STRING)) return startFailed(failure);
  const auto screenCast =
      callSync(b.connection, kScreenCast, kScreenCastPath, kScreenCast, "CreateSession",
               g_variant_new("(@a{sv})", options({{"remote-desktop-session-id", g_variant_new_string(
                                                                                  g_variant_get_string(id.get(), nullptr))}})),
               "(o)", failure);
  if (!screenCast) return startFailed(failure);
  const std::string screenCastPath = objectPath(screenCast);
  std::string connector;  // empty: the primary monitor
  {
    std::lock_guard lock(mutex_);
    connector = connector_;
  }
  const auto stream = callSync(
      b.connection, kScreenCast, screenCastPath, kScreenCastSession, "RecordMonitor",
      g_variant_new("(s@a{sv})", connector.c_str(), options({{"cursor-mode", g_variant_new_uint32(kCursorEmbedded)}})),
      "(o)", failure);
  if (!stream) return startFailed(failure);
  b.streamPath = objectPath(stream);
  if (const auto cursorStream = callSync(
          b.connection, kScreenCast, screenCastPath, kScreenCastSession, "RecordMonitor",
          g_variant_new("(s@a{sv})", connector.c_str(),
                        options({{"cursor-mode", g_variant_new_uint32(kCursorMetadata)}})),
          "(o)", failure)) {
    b.cursorStreamPath = objectPath(cursorStream);
  } else {
    kLog.info("the compositor records no stream with the cursor apart (" + failure + "): it is drawn in");
  }
  info.streamPath = b.streamPath;
  if (auto parameters = property(b.connection, kScreenCast, b.streamPath, kScreenCastStream, "Parameters", failure)) {
    g_variant_lookup(parameters.get(), "position", "(ii)", &info.x, &info.y);
    g_variant_lookup(parameters.get(), "size", "(ii)", &info.width, &info.height);
  }
  if (info.width <= 0 || info.height <= 0) return startFailed("the monitor's stream has no size");
  {
    std::lock_guard lock(mutex_);
    info.generation = nextGeneration_++;
    info_ = info;
  }

  auto closed = +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer self) {
    static_cast<MutterSession*>(self)->ended("the compositor closed the session");
  };
  b.subscribe(b.remoteDesktopPath, kRemoteDesktopSession, "Closed", closed, this);
  b.subscribe(screenCastPath, kScreenCastSession, "Closed", closed, this);
  for (const std::string* path : {&b.streamPath, &b.cursorStreamPath}) {
    if (path->empty()) continue;
    b.subscribe(*path, kScreenCastStream, "PipeWireStreamAdded",
                +[](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                    GVariant* parameters, gpointer self) {
                  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) return;
                  uint32_t node = 0;
                  g_variant_get(parameters, "(u)", &node);
                  auto* session = static_cast<MutterSession*>(self);
                  session->started(node, path == session->bus_->cursorStreamPath);
                },
                this);
  }
  b.subscribe(b.remoteDesktopPath, kRemoteDesktopSession, "SelectionTransfer",
              +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                  gpointer self) {
                if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(su)"))) return;
                const char* mimeType = nullptr;
                uint32_t serial = 0;
                g_variant_get(parameters, "(&su)", &mimeType, &serial);
                static_cast<MutterSession*>(self)->answerTransfer(mimeType, serial);
              },
              this);
  b.subscribe(b.remoteDesktopPath, kRemoteDesktopSession, "SelectionOwnerChanged",
              +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                  gpointer self) {
                if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) return;
                Variant options(g_variant_get_child_value(parameters, 0));
                gboolean ours = FALSE;
                g_variant_lookup(options.get(), "session-is-owner", "b", &ours);
                Variant types(g_variant_lookup_value(options.get(), "mime-types", nullptr));
                // Mutter sends the list wrapped in a tuple of its own.
                if (types && g_variant_is_of_type(types.get(), G_VARIANT_TYPE("(as)"))) {
                  types.reset(g_variant_get_child_value(types.get(), 0));
                }
                if (ours || !types || !g_variant_is_of_type(types.get(), G_VARIANT_TYPE("as"))) return;
                gsize count = 0;
                const gchar** offered = g_variant_get_strv(types.get(), &count);
                const char* chosen = preferredTextType([offered, count](std::string_view wanted) {
                  return std::find(offered, offered + count, wanted) != offered + count;
                });
                g_free(offered);
                if (chosen) static_cast<MutterSession*>(self)->readClipboard(chosen);
              },
              this);
  if (!callSync(b.connection, kRemoteDesktop, b.remoteDesktopPath, kRemoteDesktopSession, "Start", nullptr, nullptr,
                failure)) {
    return startFailed(failure);
  }
  enableClipboard();
  // Mutter makes a session's virtual pointer and keyboard on their first events, and only a moment
  // later does its seat offer windows a pointer and a keyboard: whatever comes before a window has
  // taken them up is lost, a person's first click and key with it. Events that change nothing make
  // both now, the pointer moved by nothing and a key no keymap has, and the session runs once the
  // seat offers them.
  for (auto [method, arguments] : {std::pair{"NotifyPointerMotionRelative", g_variant_new("(dd)", 0.0, 0.0)},
                                   {"NotifyKeyboardKeysym", g_variant_new("(ub)", kNoSuchKey, TRUE)},
                                   {"NotifyKeyboardKeysym", g_variant_new("(ub)", kNoSuchKey, FALSE)}}) {
    g_dbus_connection_call(b.connection, kRemoteDesktop, b.remoteDesktopPath.c_str(), kRemoteDesktopSession, method,
                           arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
  }
  if (!waitForSeatDevices(kDevicesTimeout)) kLog.warning("the GNOME session's input devices did not show up in time");
  b.startTimeout = g_timeout_source_new(std::chrono::milliseconds(kStartTimeout).count());
  g_source_set_callback(
      b.startTimeout,
      [](gpointer self) -> gboolean {
        static_cast<MutterSession*>(self)->startFailed("the compositor announced no PipeWire stream");
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(b.startTimeout, glib_->context());
}

// Runs once every stream recorded has its node.
void MutterSession::started(uint32_t node, bool cursorStream) {
  QOVA_ASSERT_ON(*glib_);
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::starting) return;
  (cursorStream ? info_.cursorPipeWireNode : info_.pipeWireNode) = node;
  if (info_.pipeWireNode == 0 || (!bus_->cursorStreamPath.empty() && info_.cursorPipeWireNode == 0)) return;
  if (bus_->startTimeout) {
    g_source_destroy(bus_->startTimeout);
    g_source_unref(bus_->startTimeout);
    bus_->startTimeout = nullptr;
  }
  phase_ = Phase::running;
  lastFailure_.reset();
  changed_.notify_all();
}

void MutterSession::startFailed(const std::string& why) {
  QOVA_ASSERT_ON(*glib_);
  bus_->stopSession();
  std::lock_guard lock(mutex_);
  // Said once per stretch of failures, not on every retry.
  if (!lastFailure_) kLog.warning("no GNOME remote-desktop session: " + why);
  lastFailure_ = std::chrono::steady_clock::now();
  phase_ = Phase::idle;
  changed_.notify_all();
}

void MutterSession::ended(const std::string& why) {
  QOVA_ASSERT_ON(*glib_);
  std::map<int, std::pair<uint64_t, std::function<void()>>> watchers;
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::idle) return;
    if (phase_ == Phase::starting) {
      // Not yet announced to anyone: a failed start.
    } else {
      kLog.warning("the GNOME remote-desktop session ended: " + why);
    }
    phase_ = Phase::idle;
    lastFailure_.reset();
    watchers.swap(watchers_);
    changed_.notify_all();
  }
  bus_->forgetSession();
  for (auto& [id, watcher] : watchers) watcher.second();
}

std::vector<MutterMonitor> MutterSession::monitors() {
  if (!ensure()) return {};
  return glib_->call<std::vector<MutterMonitor>>(
             [this] {
               std::vector<MutterMonitor> found;
               std::string failure;
               const auto state =
                   bus_->connection
                       ? callSync(bus_->connection, kDisplayConfig, kDisplayConfigPath, kDisplayConfig,
                                  "GetCurrentState", nullptr, "(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})",
                                  failure)
                       : nullptr;
               if (!state) {
                 kLog.warning("the compositor's monitors could not be listed: " + failure);
                 return found;
               }
               // The size of each monitor's current mode, by connector.
               std::map<std::string, std::pair<int, int>> sizes;
               Variant physical(g_variant_get_child_value(state.get(), 1));
               for (gsize i = 0; i < g_variant_n_children(physical.get()); ++i) {
                 Variant monitor(g_variant_get_child_value(physical.get(), i));
                 const char* connector = nullptr;
                 Variant modes(g_variant_get_child_value(monitor.get(), 1));
                 g_variant_get_child(monitor.get(), 0, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr);
                 for (gsize m = 0; m < g_variant_n_children(modes.get()); ++m) {
                   Variant mode(g_variant_get_child_value(modes.get(), m));
                   gint32 width = 0, height = 0;
                   gboolean current = FALSE;
                   g_variant_get_child(mode.get(), 1, "i", &width);
                   g_variant_get_child(mode.get(), 2, "i", &height);
                   Variant properties(g_variant_get_child_value(mode.get(), 6));
                   g_variant_lookup(properties.get(), "is-current", "b", &current);
                   if (current) sizes[connector] = {width, height};
                 }
               }
               Variant logical(g_variant_get_child_value(state.get(), 2));
               for (gsize i = 0; i < g_variant_n_children(logical.get()); ++i) {
                 Variant entry(g_variant_get_child_value(logical.get(), i));
                 MutterMonitor monitor;
                 gboolean primary = FALSE;
                 g_variant_get_child(entry.get(), 0, "i", &monitor.x);
                 g_variant_get_child(entry.get(), 1, "i", &monitor.y);
                 g_variant_get_child(entry.get(), 4, "b", &primary);
                 Variant members(g_variant_get_child_value(entry.get(), 5));
                 if (g_variant_n_children(members.get()) == 0) continue;
                 const char* connector = nullptr;
                 g_variant_get_child(members.get(), 0, "(&s&s&s&s)", &connector, nullptr, nullptr, nullptr);
                 const auto size = sizes.find(connector);
                 if (size == sizes.end()) continue;
                 monitor.connector = connector;
                 std::tie(monitor.width, monitor.height) = size->second;
                 monitor.primary = primary;
                 found.push_back(std::move(monitor));
               }
               return found;
             },
             std::chrono::milliseconds(2 * kCallTimeoutMs))
      .value_or(std::vector<MutterMonitor>{});
}

void MutterSession::record(const std::string& connector) {
  {
    std::lock_guard lock(mutex_);
    if (connector_ == connector) return;
    connector_ = connector;
  }
  glib_->call<bool>(
      [this] {
        if (bus_->remoteDesktopPath.empty()) return false;
        bus_->stopSession();
        ended("another monitor is recorded now");
        return true;
      },
      std::chrono::milliseconds(2 * kCallTimeoutMs));
}

bool mutterRemoteDesktopAvailable() {
  // A connection of its own: the probe leaves no shared bus connection behind in the process.
  std::string failure;
  GDBusConnection* bus = openSessionBus(failure);
  if (!bus) return false;
  bool present = true;
  for (const char* name : {kRemoteDesktop, kScreenCast}) {
    std::string failure;
    Variant reply = callSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                             "NameHasOwner", g_variant_new("(s)", name), "(b)", failure);
    gboolean owned = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &owned);
    present = present && owned;
  }
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return present;
}

}  // namespace qova
