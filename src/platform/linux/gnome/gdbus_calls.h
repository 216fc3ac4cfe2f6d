#pragma once

#include <gio/gio.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace qova::gdbus {

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};

constexpr int kCallTimeoutMs = 5000;

// A private connection to the session bus, nullptr with the reason in `failure`: its owner alone
// closes it, and nothing of it stays in the process after.
GDBusConnection* openSessionBus(std::string& failure);
// A blocking call's reply, or nullptr with the error's text in `failure`.
Variant callSync(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                 const char* method, GVariant* arguments, const char* replyType, std::string& failure);
Variant property(GDBusConnection* bus, const char* name, const std::string& path, const char* interface,
                 const char* property, std::string& failure);
std::string objectPath(const Variant& reply);
GVariant* options(std::initializer_list<std::pair<const char*, GVariant*>> entries);
// The descriptor a finished call handed out (a reply of type "(h)"), or -1.
int takeDescriptor(GObject* connection, GAsyncResult* result);

}  // namespace qova::gdbus
