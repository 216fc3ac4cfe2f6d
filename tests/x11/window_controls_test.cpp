// The Qt controls on the test's X server, and the Qt workspace against real helpers: a stand-in
// xdg-open on PATH and a private D-Bus bus with a file manager object on it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFontInfo>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QProcess>
#include <QTabBar>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/posix/posix_workspace.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_workspace.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool runLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  return waitUntil(done, timeout, [] {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(2ms);
  });
}

template <class W>
W* widgetWithText(const QString& text) {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    for (W* widget : window->findChildren<W*>()) {
      if (widget->text() == text) return widget;
    }
  }
  return nullptr;
}

QRect inWindow(QWidget* widget) { return {widget->mapTo(widget->window(), QPoint()), widget->size()}; }

TEST(QtControls, FramesFromTheBottomLeftAreFlippedOnceAgainstTheirParentsHeight) {
  const struct {
    const char* name;
    Rect box;
    Rect label;  // in the box
    QRect expected;
  } cases[] = {
      {"in a box filling the window", {0, 0, 300, 200}, {5, 10, 50, 20}, {5, 170, 50, 20}},
      {"in a smaller box", {10, 20, 200, 100}, {5, 10, 50, 20}, {15, 150, 50, 20}},
      {"at the top of a smaller box", {10, 20, 200, 100}, {0, 80, 200, 20}, {10, 80, 200, 20}},
  };
  QtControls controls;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = controls.makeWindow(300, 200);
    auto box = controls.makeView();
    auto label = controls.makeLabel(c.name);
    label->setFrame(c.label);  // before it has a parent
    box->addSubview(label);
    box->setFrame(c.box);  // after its child was placed
    window->contentView()->addSubview(box);
    QLabel* widget = widgetWithText<QLabel>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(inWindow(widget), c.expected);
  }
}

TEST(QtControls, AStackArrangesRowsDownwardsAtItsInnerWidthAndReplacesThemAll) {
  QtControls controls;
  auto window = controls.makeWindow(300, 200);
  auto stack = controls.makeStackView();
  stack->setFrame({0, 0, 200, 150});
  stack->setEdgeInsets({4, 6, 4, 6});
  stack->setSpacing(2);
  window->contentView()->addSubview(stack);
  window->makeKeyAndOrderFront();
  for (const char* round : {"first", "second"}) {
    SCOPED_TRACE(round);
    stack->removeAllArrangedSubviews();
    for (int i = 0; i < 3; ++i) {
      auto row = controls.makeLabel(round + std::to_string(i));
      row->setFrame({0, 0, 50, 20.0 + i});
      stack->addArrangedSubview(row);
    }
    QWidget* stackWidget = widgetWithText<QLabel>(QString(round) + "0")->parentWidget();
    QApplication::processEvents();  // rows added to a shown stack are shown from the event loop
    stackWidget->layout()->activate();
    EXPECT_EQ(stackWidget->findChildren<QLabel*>(Qt::FindDirectChildrenOnly).size(), 3);
    const QRect expected[] = {{6, 4, 188, 20}, {6, 26, 188, 21}, {6, 49, 188, 22}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(widgetWithText<QLabel>(round + QString::number(i))->geometry(), expected[i]) << i;
    }
  }
}

TEST(QtControls, OnlyTheSelectedTabsPageIsShown) {
  QtControls controls;
  auto window = controls.makeWindow(300, 200);
  auto tabs = controls.makeTabView();
  tabs->setFrame({0, 0, 300, 200});
  const QString names[] = {"page one", "page two", "page three"};
  for (const QString& name : names) {
    auto page = controls.makeLabel(name.toStdString());
    page->setFrame({0, 0, 100, 20});
    tabs->addTabViewItem({name.toStdString(), name.toStdString(), page});
  }
  window->contentView()->addSubview(tabs);
  window->makeKeyAndOrderFront();
  auto expectShown = [&](const QString& shown) {
    for (const QString& name : names)
      EXPECT_EQ(widgetWithText<QLabel>(name)->isVisible(), name == shown) << name.toStdString();
  };
  expectShown("page one");
  tabs->selectTabViewItem("page three");
  expectShown("page three");
  widgetWithText<QLabel>("page one")->window()->findChild<QTabBar*>()->setCurrentIndex(1);  // as a click does
  expectShown("page two");
}

TEST(QtControls, LabelsShowTheirTextPlainOnOneLineInAFontThatHasItsGlyphs) {
  QtControls controls;
  auto window = controls.makeWindow(300, 200);
  auto markup = controls.makeLabel("<b>bold?</b>\nsecond line \u202eevil.exe");
  markup->setFrame({0, 0, 60, 20});
  markup->setTruncation(Truncation::middle);
  auto chinese = controls.makeLabel("设备 ID 未启动 服务器");
  auto monospaced = controls.makeLabel("123 456 验证码");
  monospaced->setFont(Font::monospacedSystem(14, FontWeight::medium));
  for (const auto& label : {markup, chinese, monospaced}) window->contentView()->addSubview(label);
  window->makeKeyAndOrderFront();

  QLabel* shown = widgetWithText<QLabel>("<b>bold?</b> second line \u202eevil.exe");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->textFormat(), Qt::PlainText);
  shown->repaint();  // eliding a text with a right-to-left override
  for (const auto& [text, family] :
       {std::pair{"设备 ID 未启动 服务器", "Noto Sans CJK SC"}, std::pair{"123 456 验证码", "Noto Sans Mono CJK SC"}}) {
    SCOPED_TRACE(family);
    QLabel* label = widgetWithText<QLabel>(text);
    EXPECT_EQ(QFontInfo(label->font()).family(), family);
    for (QChar c : label->text()) EXPECT_TRUE(QFontMetrics(label->font()).inFont(c)) << static_cast<int>(c.unicode());
  }
  const QFontMetrics metrics(widgetWithText<QLabel>("123 456 验证码")->font());
  EXPECT_EQ(metrics.horizontalAdvance('1'), metrics.horizontalAdvance('W'));
}

TEST(QtControls, AWindowHasAFixedSizeAndClosingItOnlyHidesIt) {
  QtControls controls;
  auto window = controls.makeWindow(320, 240);
  window->setTitle("fixed");
  window->makeKeyAndOrderFront();
  QPointer<QWidget> widget;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->windowTitle() == "fixed") widget = top;
  }
  ASSERT_TRUE(widget);
  EXPECT_EQ(widget->minimumSize(), QSize(320, 240));
  EXPECT_EQ(widget->maximumSize(), QSize(320, 240));
  EXPECT_FALSE(widget->windowFlags() & Qt::WindowMaximizeButtonHint);
  widget->close();
  QApplication::processEvents();
  ASSERT_TRUE(widget);
  EXPECT_FALSE(window->isVisible());
  window->makeKeyAndOrderFront();
  EXPECT_TRUE(widget->isVisible());
}

TEST(QtWorkspace, FileURLsKeepEveryByteOfThePath) {
  EXPECT_EQ(fileURLForPath("/tmp/a b/\xff\xfe #%.txt"), "file:///tmp/a%20b/%FF%FE%20%23%25.txt");
  EXPECT_EQ(fileURLForPath("/下载/x"), "file:///%E4%B8%8B%E8%BD%BD/x");
}

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

TEST(QtWorkspace, RevealAsksTheFileManagerOverDBusAndOtherwiseOpensTheFolder) {
  TestBundle scratch;
  const fs::path folder = fs::path(scratch.root()) / "收到 的";
  const std::string file = (folder / "文件 1.txt").string(), opened = scratch.root() + "/opened.txt";
  fs::create_directories(folder);
  std::ofstream(file) << "x";
  // A stand-in xdg-open first on PATH that records what it is given. Qt looks the opener up once
  // per program, so it is the only test that opens anything.
  std::ofstream(scratch.root() + "/xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
  fs::permissions(scratch.root() + "/xdg-open", fs::perms::owner_all);
  qputenv("PATH", QByteArray::fromStdString(scratch.root()) + ":" + qgetenv("PATH"));
  auto openedFolders = [&] {
    std::vector<std::string> folders;
    std::ifstream in(opened);
    for (std::string url; std::getline(in, url);) folders.push_back(QUrl(url.c_str()).toLocalFile().toStdString());
    return folders;
  };

  QProcess bus;  // a private bus, so the test neither needs nor disturbs a desktop session
  bus.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
  ASSERT_TRUE(bus.waitForStarted(5000) && bus.waitForReadyRead(5000));
  const QString address = QString::fromUtf8(bus.readLine()).trimmed();
  QtWorkspace workspace(std::make_shared<PosixWorkspace>(), address);

  EXPECT_FALSE(workspace.revealFile(folder.string() + "/gone.txt"));
  EXPECT_TRUE(workspace.revealFile(file));  // no file manager on the bus
  EXPECT_TRUE(runLoopUntil([&] { return !openedFolders().empty(); }));
  EXPECT_EQ(openedFolders(), std::vector<std::string>{folder.string()});

  QDBusConnection service = QDBusConnection::connectToBus(address, "file-manager");
  FileManagerObject fileManager;
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/FileManager1", &fileManager));
  ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
  EXPECT_TRUE(workspace.revealFile(file));
  EXPECT_TRUE(runLoopUntil([&] { return !fileManager.shown.isEmpty(); }));
  EXPECT_EQ(fileManager.shown, QStringList{fileURLForPath(file)});
  runLoopUntil([] { return false; }, 300ms);
  EXPECT_EQ(openedFolders().size(), 1u);  // and nothing else was opened
  service.unregisterObject("/org/freedesktop/FileManager1");
  QDBusConnection::disconnectFromBus("file-manager");
  bus.terminate();
  bus.waitForFinished(5000);
}

}  // namespace
}  // namespace qova::test
