// The window built by the controller with the real Qt controls, and the Qt workspace against real
// helpers: a stand-in xdg-open on PATH and a private D-Bus bus with a file manager object on it.
#include <gtest/gtest.h>

#include <sys/stat.h>

// Before any Qt header: Qt defines "emit" as a macro.
#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFontInfo>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QTabBar>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/posix/posix_workspace.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_workspace.h"

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The frame of a tab page's control in window coordinates: card (18 from the top), tab view (86
// below the card's top), the bar band (28), then the control flipped inside the 218-high page.
QRect inWindow(const Rect& frame) {
  const int pageLeft = 18 + 14;
  const int pageTop = 18 + 86 + 28;
  return QRect(pageLeft + static_cast<int>(frame.x), pageTop + 218 - static_cast<int>(frame.y + frame.height),
               static_cast<int>(frame.width), static_cast<int>(frame.height));
}

template <class W>
W* findWidget(QWidget* root, const QString& text) {
  for (W* widget : root->findChildren<W*>()) {
    if (widget->text() == text) return widget;
  }
  return nullptr;
}

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindowTest() {
    fakes.controls.reset();
    services = fakes.services();
    services.controls = std::make_shared<QtControls>();
    delegate = std::make_shared<AppDelegate>(services);
    delegate->buildWindow();
    fakes.mainQueue->runPending();
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible() && widget->windowTitle() == "QOVA Lumaro Agent") window = widget;
    }
  }
  ~QtWindowTest() override {
    delegate.reset();
    QApplication::processEvents();
  }
  QRect geometryOf(QWidget* widget) { return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size()); }

  FakePlatformServices fakes;
  PlatformServices services;
  std::shared_ptr<AppDelegate> delegate;
  QWidget* window = nullptr;
};

TEST_F(QtWindowTest, TheWindowIsFixedAndCloseOnlyHidesIt) {
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->size(), QSize(500, 380));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  QPointer<QWidget> guard(window);
  window->close();
  QApplication::processEvents();
  ASSERT_TRUE(guard);
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(delegate->window->isVisible());
  delegate->window->makeKeyAndOrderFront();
  EXPECT_TRUE(window->isVisible());
}

TEST_F(QtWindowTest, FramesAreFlippedOnceThroughTheNestedViews) {
  ASSERT_NE(window, nullptr);
  const std::pair<const char*, Rect> buttons[] = {{"启动服务", {92, 8, 108, 32}}, {"停止服务", {212, 8, 108, 32}}};
  for (const auto& [title, frame] : buttons) {
    QPushButton* button = findWidget<QPushButton>(window, title);
    ASSERT_NE(button, nullptr) << title;
    EXPECT_EQ(geometryOf(button), inWindow(frame)) << title;
  }
  QLabel* server = findWidget<QLabel>(window, "服务器");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(geometryOf(server), inWindow({18, 173, 70, 20}));
  QLabel* title = findWidget<QLabel>(window, "QOVA Lumaro Agent");
  ASSERT_NE(title, nullptr);
  EXPECT_EQ(geometryOf(title), QRect(18 + 20, 18 + 344 - 322, 410, 28));
  auto* bar = window->findChild<QTabBar*>();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->count(), 3);
  EXPECT_EQ(bar->tabText(0), "设备");
  EXPECT_EQ(bar->tabText(2), "文件");
  EXPECT_TRUE(findWidget<QPushButton>(window, "启动服务")->isEnabled());
  EXPECT_FALSE(findWidget<QPushButton>(window, "停止服务")->isEnabled());
}

TEST_F(QtWindowTest, OnlyTheSelectedTabsPageIsShown) {
  ASSERT_NE(window, nullptr);
  QPushButton* start = findWidget<QPushButton>(window, "启动服务");
  QPushButton* refresh = findWidget<QPushButton>(window, "刷新");
  ASSERT_TRUE(start && refresh);
  EXPECT_TRUE(start->isVisible());
  EXPECT_FALSE(refresh->isVisible());
  window->findChild<QTabBar*>()->setCurrentIndex(2);
  EXPECT_FALSE(start->isVisible());
  EXPECT_TRUE(refresh->isVisible());
  EXPECT_EQ(geometryOf(refresh), inWindow({356, 164, 56, 28}));
  refresh->click();
  EXPECT_EQ(delegate->statusLabel->text(), "文件列表已刷新");
}

TEST_F(QtWindowTest, ChineseTextsUseAFontThatHasTheirGlyphs) {
  ASSERT_NE(window, nullptr);
  for (const char* text : {"设备 ID", "未启动", "macOS 被控端"}) {
    QLabel* label = findWidget<QLabel>(window, text);
    ASSERT_NE(label, nullptr) << text;
    EXPECT_EQ(QFontInfo(label->font()).family(), "Noto Sans CJK SC") << text;
    for (QChar c : label->text()) EXPECT_TRUE(QFontMetrics(label->font()).inFont(c)) << text;
  }
  QLabel* id = nullptr;
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (label->textInteractionFlags() & Qt::TextSelectableByMouse) id = label;
  }
  ASSERT_NE(id, nullptr);
  // The value fields are monospaced: every Latin letter and digit is as wide as the others.
  const QFontMetrics metrics(id->font());
  EXPECT_EQ(QFontInfo(id->font()).family(), "Noto Sans Mono CJK SC");
  EXPECT_EQ(metrics.horizontalAdvance('1'), metrics.horizontalAdvance('W'));
  EXPECT_EQ(metrics.horizontalAdvance('i'), metrics.horizontalAdvance('8'));
}

TEST_F(QtWindowTest, RowsFillTheListWithTheirTextsShownPlainOnOneLine) {
  const std::string folder = "/home/tester/Downloads/QOVA-Lumaro";
  auto& entries = fakes.workspace->folders[folder];
  for (int i = 0; i < 60; ++i) {
    DirectoryEntry::Values values{true, 1000, FileTime(std::chrono::seconds(1000 + i)), false};
    const std::string name = i == 59 ? "<b>bold?</b>\nsecond line \u202eevil.exe" : "file-" + std::to_string(i);
    entries.push_back({folder + "/" + name, name, values});
  }
  delegate->refreshReceivedFiles();
  auto* area = window->findChild<QScrollArea*>();
  ASSERT_NE(area, nullptr);
  QWidget* list = area->widget();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size(), QSize(392, 2912));
  list->layout()->activate();
  int rows = 0;
  for (QWidget* child : list->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    ++rows;
    EXPECT_EQ(child->height(), 52);
    EXPECT_EQ(child->width(), 380);
  }
  EXPECT_EQ(rows, 50);
  QLabel* tricky = nullptr;
  for (QLabel* label : list->findChildren<QLabel*>()) {
    if (label->text().startsWith("<b>")) tricky = label;
  }
  ASSERT_NE(tricky, nullptr);
  EXPECT_EQ(tricky->textFormat(), Qt::PlainText);
  EXPECT_FALSE(tricky->text().contains('\n'));
  tricky->repaint();  // eliding a text with a line break and a right-to-left override

  delegate->refreshReceivedFiles();  // every row is replaced, none is left behind
  EXPECT_EQ(list->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), 50);
  entries.clear();
  delegate->refreshReceivedFiles();
  EXPECT_EQ(list->findChildren<QWidget*>(Qt::FindDirectChildrenOnly).size(), 0);
  EXPECT_EQ(list->size(), QSize(392, 138));
  EXPECT_FALSE(findWidget<QLabel>(window, "暂无收到的文件")->isHidden());
}

// ---- The Qt workspace -----------------------------------------------------------------------

struct TempDir {
  TempDir() {
    char pattern[] = "/tmp/qova-workspace-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  std::string path;
};

// A stand-in xdg-open first on PATH that records each argument it is given. One for the whole
// program: Qt looks the opener up once and keeps its path.
class RecordingOpener {
 public:
  static RecordingOpener& instance() {
    static RecordingOpener opener;
    opener.clear();
    return opener;
  }
  void clear() { std::ofstream(record, std::ios::trunc).flush(); }
  // Waits a little for the detached opener to have written.
  std::vector<std::string> opened(size_t atLeast) const {
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i) {
      lines.clear();
      std::ifstream in(record);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      if (lines.size() >= atLeast) break;
      QApplication::processEvents();
      std::this_thread::sleep_for(20ms);
    }
    return lines;
  }

 private:
  RecordingOpener() : record(dir.path + "/opened.txt") {
    const std::string script = dir.path + "/xdg-open";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << record << "'\n";
    fs::permissions(script, fs::perms::owner_all);
    qputenv("PATH", QByteArray::fromStdString(dir.path) + ":" + qgetenv("PATH"));
  }
  TempDir dir;
  std::string record;
};

// A private bus, so the test neither needs nor disturbs a desktop session.
class PrivateBus {
 public:
  PrivateBus() {
    daemon.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
    if (daemon.waitForStarted(5000) && daemon.waitForReadyRead(5000)) {
      address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
  }
  ~PrivateBus() {
    daemon.terminate();
    daemon.waitForFinished(5000);
  }
  QProcess daemon;
  QString address;
};

// The file manager's ShowItems, recorded and answered.
class FileManagerObject : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != "ShowItems") return false;
    shown = message.arguments().value(0).toStringList();
    connection.send(message.createReply());
    return true;
  }
  QStringList shown;
};

void pumpFor(std::chrono::milliseconds duration, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(5ms);
  }
}

TEST(QtWorkspaceTest, FileURLsKeepEveryByteOfThePath) {
  EXPECT_EQ(fileURLForPath("/tmp/a b/\xff\xfe #%.txt"), "file:///tmp/a%20b/%FF%FE%20%23%25.txt");
  EXPECT_EQ(fileURLForPath("/下载/x"), "file:///%E4%B8%8B%E8%BD%BD/x");
}

TEST(QtWorkspaceTest, OpensExistingFilesAndLeavesGoneOnesAlone) {
  RecordingOpener& opener = RecordingOpener::instance();
  TempDir files;
  const std::string present = files.path + "/报告 1.pdf";
  std::ofstream(present) << "x";
  QtWorkspace workspace(std::make_shared<PosixWorkspace>());
  EXPECT_FALSE(workspace.openFile(files.path + "/gone.pdf"));
  EXPECT_FALSE(workspace.revealFile(files.path + "/gone.pdf"));
  EXPECT_TRUE(workspace.openFile(present));
  EXPECT_TRUE(workspace.openFile(files.path));
  const auto opened = opener.opened(2);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(QUrl(QString::fromStdString(opened[0])).toLocalFile().toStdString(), present);
  EXPECT_EQ(QUrl(QString::fromStdString(opened[1])).toLocalFile().toStdString(), files.path);
}

TEST(QtWorkspaceTest, SettingsURLsWithoutAHandlerAreNotPassedOn) {
  RecordingOpener& opener = RecordingOpener::instance();
  QtWorkspace workspace(std::make_shared<PosixWorkspace>());
  EXPECT_FALSE(workspace.openURL("x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture"));
  EXPECT_FALSE(workspace.openURL("not a url"));
  EXPECT_TRUE(opener.opened(0).empty());
}

TEST(QtWorkspaceTest, RevealAsksTheFileManagerOverDBusAndFallsBackToTheFolder) {
  RecordingOpener& opener = RecordingOpener::instance();
  PrivateBus bus;
  ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
  TempDir files;
  const std::string file = files.path + "/收到 的.txt";
  std::ofstream(file) << "x";

  // No file manager on the bus: the folder is opened instead.
  QtWorkspace workspace(std::make_shared<PosixWorkspace>(), bus.address);
  EXPECT_TRUE(workspace.revealFile(file));
  auto opened = opener.opened(1);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(QUrl(QString::fromStdString(opened[0])).toLocalFile().toStdString(), files.path);

  // With one, it is asked to show the file and nothing else is opened.
  QDBusConnection service = QDBusConnection::connectToBus(bus.address, "file-manager");
  FileManagerObject fileManager;
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/FileManager1", &fileManager));
  ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
  EXPECT_TRUE(workspace.revealFile(file));
  pumpFor(5s, [&] { return !fileManager.shown.isEmpty(); });
  EXPECT_EQ(fileManager.shown, QStringList{fileURLForPath(file)});
  pumpFor(300ms, [] { return false; });
  EXPECT_EQ(opener.opened(1).size(), 1u);
  service.unregisterObject("/org/freedesktop/FileManager1");
  QDBusConnection::disconnectFromBus("file-manager");
}

}  // namespace
}  // namespace qova::test
