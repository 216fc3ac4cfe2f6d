#include "platform/linux/gnome/mutter_session.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <future>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/log.h"
#include "base/thread_check.h"
#include "platform/linux/clipboard_pipe.h"

namespace qova {

namespace {

const Log kLog("gnome");

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

constexpr int kCallTimeoutMs = 5000;
constexpr auto kStartTimeout = std::chrono::seconds(5);  // for the stream to be announced
constexpr auto kRetryInterval = std::chrono::seconds(1);
constexpr int kClipboardWriteTimeoutMs = 2000;
constexpr auto kDevicesTimeout = std::chrono::seconds(1);
constexpr uint32_t kCursorEmbedded = 1;
constexpr uint32_t kCursorMetadata = 2;
constexpr uint32_t kNoSuchKey = 0xffffff;  // X's VoidSymbol: on no key of any keymap
// Pastes being written at once; more are refused, so a flood of requests cannot pile up threads.
constexpr int kMaxClipboardWriters = 4;

// What this session offers on the clipboard; other programs ask for text by one of these names.
const char* const kTextMimeTypes[] = {"text/plain;charset=utf-8", "text/plain", "UTF8_STRING", "STRING", "TEXT"};

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};

// A blocking call's reply, or nullptr with the error's text in `failure`.
Variant callSync(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                 const char* method, GVariant* arguments, const char* replyType, std::string& failure) {
  GError* raw = nullptr;
  Variant reply(g_dbus_connection_call_sync(bus, name, path.c_str(), interface, method, arguments,
                                            replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                            G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &raw));
  std::unique_ptr<GError, ErrorFree> error(raw);
  if (!reply) failure = std::string(method) + ": " + (error ? error->message : "no reply");
  return reply;
}

Variant property(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                 const char* property, std::string& failure) {
  Variant reply = callSync(bus, name, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", interface, property), "(v)", failure);
  if (!reply) return nullptr;
  GVariant* value = nullptr;
  g_variant_get(reply.get(), "(v)", &value);
  return Variant(value);
}

std::string objectPath(const Variant& reply) {
  const char* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path;
}

GVariant* options(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto& [key, value] : entries) g_variant_builder_add(&builder, "{sv}", key, value);
  return g_variant_builder_end(&builder);
}

// Writes all of `text` to a paste's descriptor and closes it, giving up after a while so a reader
// that never reads costs one thread for a bounded time.
bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClipboardWriteTimeoutMs);
  while (done < text.size()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return done == text.size();
}

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

// The bus thread's state: touched only on that thread.
struct MutterSession::Bus {
  std::thread::id thread;
  bool isCurrent() const { return std::this_thread::get_id() == thread; }
  gpointer owner = nullptr;  // the session, as the signal handlers' data
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
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
  guint subscribe(const std::string& path, const char* interface, const char* member,
                  GDBusSignalCallback callback, gpointer self) {
    const guint id = g_dbus_connection_signal_subscribe(connection, nullptr, interface, member, path.c_str(), nullptr,
                                                        G_DBUS_SIGNAL_FLAGS_NONE, callback, self, nullptr);
    subscriptions.push_back(id);
    return id;
  }
};

std::shared_ptr<MutterSession> MutterSession::create() {
  return std::shared_ptr<MutterSession>(new MutterSession());
}

// Who watches the clipboard, shared by the bus thread and the readers it starts.
struct MutterSession::ClipboardWatch {
  std::mutex mutex;
  std::function<void(std::string)> changed;  // empty while nobody watches
  size_t maxBytes = 0;
  uint64_t newest = 0;  // the owner read last; an older read that ends later is dropped
};

MutterSession::MutterSession() : bus_(std::make_unique<Bus>()), clipboardWatch_(std::make_shared<ClipboardWatch>()) {
  bus_->owner = this;
  bus_->context = g_main_context_new();
  bus_->loop = g_main_loop_new(bus_->context, FALSE);
  thread_ = std::thread([this] {
    bus_->thread = std::this_thread::get_id();
    g_main_context_push_thread_default(bus_->context);
    g_main_loop_run(bus_->loop);
    bus_->stopSession();
    if (bus_->connection && !g_dbus_connection_is_closed(bus_->connection)) {
      g_dbus_connection_flush_sync(bus_->connection, nullptr, nullptr);
    }
    bus_->dropConnection();
    g_main_context_pop_thread_default(bus_->context);
  });
}

MutterSession::~MutterSession() {
  post([loop = bus_->loop] { g_main_loop_quit(loop); });
  thread_.join();
  g_main_loop_unref(bus_->loop);
  g_main_context_unref(bus_->context);
}

void MutterSession::post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard lock(tasksMutex_);
    wake = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  if (!wake) return;
  // One source drains the whole queue, so tasks run in the order they were posted.
  GSource* source = g_idle_source_new();
  g_source_set_callback(
      source,
      [](gpointer self) -> gboolean {
        static_cast<MutterSession*>(self)->drainTasks();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(source, bus_->context);
  g_source_unref(source);
}

void MutterSession::drainTasks() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(tasksMutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

template <class Result>
std::optional<Result> MutterSession::call(std::function<Result()> task, std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<Result>>();
  auto future = promise->get_future();
  post([promise, task = std::move(task)] { promise->set_value(task()); });
  if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
  return future.get();
}

std::optional<MutterSessionInfo> MutterSession::ensure(Wait wait) {
  std::unique_lock lock(mutex_);
  if (phase_ == Phase::idle) {
    const auto now = std::chrono::steady_clock::now();
    if (lastFailure_ && now - *lastFailure_ < kRetryInterval) return std::nullopt;
    phase_ = Phase::starting;
    post([this] { open(); });
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
  QOVA_ASSERT_ON(*bus_);
  Bus& b = *bus_;
  if (b.connection && g_dbus_connection_is_closed(b.connection)) b.dropConnection();
  if (!b.connection) {
    GError* raw = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    if (address) {
      b.connection = g_dbus_connection_new_for_address_sync(
          address,
          static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                            G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
          nullptr, nullptr, &raw);
      g_free(address);
    }
    std::unique_ptr<GError, ErrorFree> error(raw);
    if (!b.connection) return startFailed(std::string("no session bus: ") + (error ? error->message : "?"));
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
                std::string chosen;
                // The first of ours that the owner offers: those that say UTF-8 come first.
                for (const char* wanted : {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"}) {
                  for (gsize i = 0; chosen.empty() && i < count; ++i) {
                    if (std::string_view(offered[i]) == wanted) chosen = wanted;
                  }
                }
                g_free(offered);
                if (!chosen.empty()) static_cast<MutterSession*>(self)->readClipboard(chosen);
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
  g_source_attach(b.startTimeout, b.context);
}

// Runs once every stream recorded has its node.
void MutterSession::started(uint32_t node, bool cursorStream) {
  QOVA_ASSERT_ON(*bus_);
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
  QOVA_ASSERT_ON(*bus_);
  bus_->stopSession();
  std::lock_guard lock(mutex_);
  // Said once per stretch of failures, not on every retry.
  if (!lastFailure_) kLog.warning("no GNOME remote-desktop session: " + why);
  lastFailure_ = std::chrono::steady_clock::now();
  phase_ = Phase::idle;
  changed_.notify_all();
}

void MutterSession::ended(const std::string& why) {
  QOVA_ASSERT_ON(*bus_);
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
  return call<std::vector<MutterMonitor>>(
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
  call<bool>(
      [this] {
        if (bus_->remoteDesktopPath.empty()) return false;
        bus_->stopSession();
        ended("another monitor is recorded now");
        return true;
      },
      std::chrono::milliseconds(2 * kCallTimeoutMs));
}

void MutterSession::notify(uint64_t generation, const char* method, void* arguments) {
  GVariant* args = g_variant_ref_sink(static_cast<GVariant*>(arguments));
  post([this, generation, method, args] {
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

void MutterSession::watchClipboard(std::function<void(std::string)> changed, size_t maxBytes) {
  {
    std::lock_guard lock(clipboardWatch_->mutex);
    clipboardWatch_->changed = std::move(changed);
    clipboardWatch_->maxBytes = maxBytes;
  }
  post([this] { enableClipboard(); });
}

// On the bus thread: the compositor tells of new clipboard owners only once the clipboard is enabled.
void MutterSession::enableClipboard() {
  QOVA_ASSERT_ON(*bus_);
  Bus& b = *bus_;
  {
    std::lock_guard lock(clipboardWatch_->mutex);
    if (!clipboardWatch_->changed) return;
  }
  if (b.clipboardEnabled || b.remoteDesktopPath.empty()) return;
  std::string failure;
  b.clipboardEnabled = callSync(b.connection, kRemoteDesktop, b.remoteDesktopPath, kRemoteDesktopSession,
                                "EnableClipboard", g_variant_new("(@a{sv})", options({})), nullptr, failure) != nullptr;
  if (!b.clipboardEnabled) kLog.warning("the GNOME session's clipboard cannot be watched: " + failure);
}

// On the bus thread: another program took the clipboard. Its text comes through a descriptor the
// compositor hands out, read on a thread of its own so a slow owner never holds up input.
void MutterSession::readClipboard(const std::string& mimeType) {
  QOVA_ASSERT_ON(*bus_);
  struct Read {
    std::shared_ptr<ClipboardWatch> watch;
    uint64_t number;
    size_t maxBytes;
  };
  auto read = std::make_unique<Read>(Read{clipboardWatch_, 0, 0});
  {
    std::lock_guard lock(clipboardWatch_->mutex);
    if (!clipboardWatch_->changed) return;
    read->number = ++clipboardWatch_->newest;
    read->maxBytes = clipboardWatch_->maxBytes;
  }
  g_dbus_connection_call_with_unix_fd_list(
      bus_->connection, kRemoteDesktop, bus_->remoteDesktopPath.c_str(), kRemoteDesktopSession, "SelectionRead",
      g_variant_new("(s)", mimeType.c_str()), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
      nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Read> read(static_cast<Read*>(data));
        GUnixFDList* fds = nullptr;
        Variant reply(g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &fds, result, nullptr));
        int fd = -1;
        if (reply && fds) {
          gint32 index = -1;
          g_variant_get(reply.get(), "(h)", &index);
          fd = g_unix_fd_list_get(fds, index, nullptr);
        }
        if (fds) g_object_unref(fds);
        if (fd < 0) return;
        std::thread([read = std::move(read), fd] {
          auto text = readClipboardPipe(fd, read->maxBytes, std::chrono::milliseconds(kClipboardWriteTimeoutMs));
          std::lock_guard lock(read->watch->mutex);
          if (text && !text->empty() && read->watch->changed && read->watch->newest == read->number) {
            read->watch->changed(std::move(*text));
          }
        }).detach();
      },
      read.release());
}

bool MutterSession::setClipboardText(uint64_t generation, const std::string& text) {
  const auto offered = call<bool>(
      [this, generation, text] {
        {
          std::lock_guard lock(mutex_);
          if (phase_ != Phase::running || info_.generation != generation) return false;
        }
        Bus& b = *bus_;
        std::string failure;
        if (!b.clipboardEnabled) {
          b.clipboardEnabled = callSync(b.connection, kRemoteDesktop, b.remoteDesktopPath, kRemoteDesktopSession,
                                        "EnableClipboard", g_variant_new("(@a{sv})", options({})), nullptr, failure) !=
                               nullptr;
        }
        if (b.clipboardEnabled) {
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
  QOVA_ASSERT_ON(*bus_);
  Bus& b = *bus_;
  bool known = false;
  for (const char* offered : kTextMimeTypes) known = known || mimeType == offered;
  if (!known || clipboardWriters_->load() >= kMaxClipboardWriters) {
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
        GUnixFDList* fds = nullptr;
        Variant reply(g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &fds, result, nullptr));
        int fd = -1;
        if (reply && fds) {
          gint32 index = -1;
          g_variant_get(reply.get(), "(h)", &index);
          fd = g_unix_fd_list_get(fds, index, nullptr);
        }
        if (fds) g_object_unref(fds);
        // Only checked here: a reference taken on this thread could be the last and end the thread itself.
        if (transfer->session.expired()) {
          if (fd >= 0) ::close(fd);
          return;
        }
        std::thread([transfer = std::move(transfer), fd] {
          const bool written = fd >= 0 && writeAll(fd, transfer->text);
          if (auto session = transfer->session.lock()) {
            session->post([session = session.get(), serial = transfer->serial, path = transfer->path, written] {
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

bool mutterRemoteDesktopAvailable() {
  GError* raw = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
  GDBusConnection* bus = nullptr;
  if (address) {
    // A private connection: the probe leaves no shared bus connection behind in the process.
    bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw);
    g_free(address);
  }
  if (raw) g_error_free(raw);
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
