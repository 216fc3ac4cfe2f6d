// A Wayland client for the input tests: one full-screen window that prints a line on stdout for every
// input event reaching it, so a test can tell which of the events it sent arrived.
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QWidget>
#include <cstdio>

namespace {

class LoggingWindow : public QWidget {
 public:
  LoggingWindow() {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
  }

 protected:
  void changeEvent(QEvent* e) override {
    if (e->type() == QEvent::ActivationChange && isActiveWindow()) say("active");
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    say("motion %d %d", qRound(e->position().x()), qRound(e->position().y()));
  }
  void mousePressEvent(QMouseEvent* e) override { say("press %d", int(e->button())); }
  void mouseReleaseEvent(QMouseEvent* e) override { say("release %d", int(e->button())); }
  void wheelEvent(QWheelEvent* e) override { say("wheel %d", e->angleDelta().y()); }
  void keyPressEvent(QKeyEvent* e) override {
    say("key %s shift=%d", e->text().toUtf8().constData(), e->modifiers().testFlag(Qt::ShiftModifier) ? 1 : 0);
  }

 private:
  template <class... Args>
  static void say(const char* format, Args... args) {
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "wayland");
  QApplication app(argc, argv);
  LoggingWindow window;
  window.showFullScreen();
  return app.exec();
}
