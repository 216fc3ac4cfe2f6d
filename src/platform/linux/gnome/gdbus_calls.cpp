#include "platform/linux/gnome/gdbus_calls.h"

#include <gio/gunixfdlist.h>

namespace qova::gdbus {

GDBusConnection* openSessionBus(std::string& failure) {
  GError* raw = nullptr;
  GDBusConnection* bus = nullptr;
  if (gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw)) {
    bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw);
    g_free(address);
  }
  std::unique_ptr<GError, ErrorFree> error(raw);
  if (!bus) failure = std::string("no session bus: ") + (error ? error->message : "?");
  return bus;
}

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

int takeDescriptor(GObject* connection, GAsyncResult* result) {
  GUnixFDList* fds = nullptr;
  Variant reply(g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(connection), &fds, result, nullptr));
  int fd = -1;
  if (reply && fds) {
    gint32 index = -1;
    g_variant_get(reply.get(), "(h)", &index);
    fd = g_unix_fd_list_get(fds, index, nullptr);
  }
  if (fds) g_object_unref(fds);
  return fd;
}

}  // namespace qova::gdbus
