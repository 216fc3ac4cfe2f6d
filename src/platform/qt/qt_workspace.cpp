#include "platform/qt/qt_workspace.h"

#include <sys/stat.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace qova {

namespace {

constexpr int kShowItemsTimeoutMs = 5000;
constexpr int kHandlerQueryTimeoutMs = 2000;

bool exists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::string parentFolder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

QUrl localFileURL(const std::string& path);

// A file that has gone is not handed on, so no handler shows an error about it.
bool openExisting(const std::string& path) {
  if (!exists(path)) return false;
  return QDesktopServices::openUrl(localFileURL(path));
}

// xdg-open hands a URL whose scheme has no handler to whatever web browser it finds, so such a URL
// is not passed on at all.
bool hasSchemeHandler(const QString& scheme) {
  static const QStringList kCommon = {"file", "http", "https", "mailto"};
  if (kCommon.contains(scheme)) return true;
  const QString query = QStandardPaths::findExecutable("xdg-mime");
  if (query.isEmpty()) return false;
  QProcess process;
  process.start(query, {"query", "default", "x-scheme-handler/" + scheme});
  if (!process.waitForFinished(kHandlerQueryTimeoutMs)) {
    process.kill();
    process.waitForFinished();
    return false;
  }
  return process.exitCode() == 0 && !process.readAllStandardOutput().trimmed().isEmpty();
}

}  // namespace

namespace {
QUrl localFileURL(const std::string& path) { return QUrl::fromEncoded(fileURLForPath(path).toLatin1()); }
}  // namespace

QString fileURLForPath(const std::string& path) {
  const QByteArray bytes(path.data(), static_cast<qsizetype>(path.size()));
  return QStringLiteral("file://") + QString::fromLatin1(bytes.toPercentEncoding("/"));
}

QtWorkspace::QtWorkspace(std::shared_ptr<Workspace> files, QString busAddress)
    : files_(std::move(files)), busAddress_(std::move(busAddress)) {}

bool QtWorkspace::openURL(const std::string& url) {
  const QUrl parsed(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())), QUrl::StrictMode);
  if (!parsed.isValid() || parsed.scheme().isEmpty() || !hasSchemeHandler(parsed.scheme())) return false;
  return QDesktopServices::openUrl(parsed);
}

bool QtWorkspace::openFile(const std::string& path) { return openExisting(path); }

bool QtWorkspace::revealFile(const std::string& path) {
  if (!exists(path)) return false;
  QDBusConnection bus = busAddress_.isEmpty() ? QDBusConnection::sessionBus()
                                              : QDBusConnection::connectToBus(busAddress_, "qova-workspace");
  const std::string folder = parentFolder(path);
  if (!bus.isConnected()) return openExisting(folder);

  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                     "org.freedesktop.FileManager1", "ShowItems");
  call << QStringList{fileURLForPath(path)} << QString();
  // Off the main thread, so waiting for a file manager that is slow to start stalls nothing.
  const QDBusMessage reply = bus.call(call, QDBus::Block, kShowItemsTimeoutMs);
  if (reply.type() == QDBusMessage::ErrorMessage) return openExisting(folder);
  return true;
}

bool QtWorkspace::openPrivacySettings() {
  struct Settings {
    const char* program;
    QStringList arguments;
  };
  const Settings candidates[] = {{"gnome-control-center", {"privacy"}}, {"systemsettings", {}}};
  for (const Settings& candidate : candidates) {
    const QString program = QStandardPaths::findExecutable(candidate.program);
    if (!program.isEmpty()) return QProcess::startDetached(program, candidate.arguments);
  }
  return false;
}

}  // namespace qova
