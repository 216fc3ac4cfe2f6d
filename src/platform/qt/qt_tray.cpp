#include "platform/qt/qt_tray.h"

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "base/log.h"
#include "base/thread_check.h"
#include "platform/qt/qt_main_thread.h"

namespace qova {

namespace {
constexpr Log kLog("tray");
constexpr const char* kIconName = "qova-lumaro-agent";
}  // namespace

QtTray::QtTray(QString fallbackIconPath) : fallbackIconPath_(std::move(fallbackIconPath)) {}

QtTray::~QtTray() = default;

bool QtTray::show(const std::string& toolTip, std::vector<TrayMenuItem> items) {
  QOVA_ASSERT_ON(kQtMainThread);
  auto menu = std::make_unique<QMenu>();
  for (TrayMenuItem& item : items) {
    QObject::connect(menu->addAction(QString::fromStdString(item.title)), &QAction::triggered, menu.get(),
                     [action = std::move(item.action)] { action(); });
  }
  if (!icon_) icon_ = std::make_unique<QSystemTrayIcon>(QIcon::fromTheme(kIconName, QIcon(fallbackIconPath_)));
  icon_->setToolTip(QString::fromStdString(toolTip));
  icon_->setContextMenu(menu.get());
  // The icon lets go of the old menu first: it must never point at a deleted one.
  menu_ = std::move(menu);
  // Shown even without a tray: Qt docks the icon should a tray appear later.
  icon_->show();
  if (QSystemTrayIcon::isSystemTrayAvailable()) return true;
  kLog.info("the desktop has no notification area; the window is the only way back in");
  return false;
}

void QtTray::notify(const std::string& title, const std::string& text) {
  QOVA_ASSERT_ON(kQtMainThread);
  if (icon_ && QSystemTrayIcon::supportsMessages()) {
    icon_->showMessage(QString::fromStdString(title), QString::fromStdString(text));
  }
}

}  // namespace qova
