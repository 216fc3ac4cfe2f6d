#pragma once

#include <QString>

#include <memory>

#include "platform/tray.h"

class QSystemTrayIcon;
class QMenu;

namespace qova {

// Qt's system tray icon, which speaks StatusNotifierItem where the desktop has a watcher for it and
// XEmbed otherwise. The icon is the installed theme icon, else the file at `fallbackIconPath`.
class QtTray : public Tray {
 public:
  explicit QtTray(QString fallbackIconPath);
  ~QtTray() override;
  bool show(const std::string& toolTip, std::vector<TrayMenuItem> items) override;
  void notify(const std::string& title, const std::string& text) override;

 private:
  QString fallbackIconPath_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace qova
