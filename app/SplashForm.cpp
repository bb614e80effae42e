#include "app/SplashForm.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QThread>

#include "foundation/LogUnit.h"

namespace zor {

namespace {

constexpr int SplashMargin = 16;

// Touched on the main thread only.
TFormSplash *GSplash = nullptr;
int GSplashLogId = -1;

bool OnMainThread() {
  const QCoreApplication *app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

// The area to centre on: the visible main window, else the primary screen.
QRect CentreArea() {
  for (QWidget *widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMainWindow *>(widget) && widget->isVisible()) return widget->frameGeometry();
  }
  const QScreen *screen = QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect();
}

}  // namespace

TFormSplash::TFormSplash()
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), FLabel(new QLabel(this)) {
  setObjectName("FormSplash");
  setAttribute(Qt::WA_ShowWithoutActivating);
  FLabel->move(SplashMargin, SplashMargin);
}

void TFormSplash::SetText(const std::string &text) {
  FLabel->setText(QString::fromStdString(text));
  FLabel->adjustSize();
  // The label with its left and top margin repeated on the right and bottom.
  resize(FLabel->width() + 2 * FLabel->x(), FLabel->height() + 2 * FLabel->y());
}

void ShowSplash(const std::string &text, int logId) {
  if (!OnMainThread()) return;
  LogText(logId, "ShowSplash " + text);
  GSplashLogId = logId;
  if (!GSplash) {
    LogText(logId, "ShowSplashIntern: create FormSplash");
    GSplash = new TFormSplash;
    // A splash still up when the program ends is freed with the others.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, GSplash, [] { HideSplash(); });
  }
  LogText(logId, "ShowSplashIntern: show FormSplash");
  GSplash->SetText(text);
  const QRect area = CentreArea();
  if (area.isValid()) GSplash->move(area.center() - GSplash->rect().center());
  GSplash->show();
  GSplash->raise();
  // The caller blocks right after this (a connect), so paint now.
  GSplash->repaint();
}

void HideSplash() {
  if (!OnMainThread() || !GSplash) return;
  LogText(GSplashLogId, "HideSplashIntern: FormSplash.Hide");
  GSplash->hide();
  LogText(GSplashLogId, "HideSplashIntern: FormSplash.Close");
  GSplash->close();
  LogText(GSplashLogId, "HideSplashIntern: FormSplash.Free");
  delete GSplash;
  GSplash = nullptr;
  LogText(GSplashLogId, "HideSplashIntern: END");
}

TFormSplash *CurrentSplash() { return OnMainThread() ? GSplash : nullptr; }

}  // namespace zor
