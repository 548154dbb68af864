// Takes the pictures of the desktop windows shown in docs/: run it under an X server, e.g.
//   xvfb-run -a -s "-screen 0 1024x768x24" build-gui/tests/gui/kovbridge-screenshots docs
// (with a window manager started first, the pictures include the title bars). Each window is
// shown for real, given a chosen state, and grabbed from the screen.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "app/Status.h"
#include "gui/Artwork.h"
#include "gui/BridgeFrm.h"
#include "gui/Dialogs.h"
#include "gui/FormStatus.h"

namespace {

void Settle(int ms = 300) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Grab(QWidget& w, const QString& file) {
  Settle();
  QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
      0, w.frameGeometry().x(), w.frameGeometry().y(), w.frameGeometry().width(),
      w.frameGeometry().height());
  bool ok = !shot.isNull() && shot.save(file, "PNG");
  std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(file), shot.width(),
              shot.height());
  return ok;
}

kov::StatusInputs Defaults() {
  kov::StatusInputs in;
  for (int i = 0; i < 8; ++i) in.TcpPort[i] = 8801 + i;
  return in;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("KOV Bridge");
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(kov::MakeAppIcon());
  QDir out(argc > 1 ? argv[1] : ".");
  bool ok = true;

  kov::StatusInputs state = Defaults();
  kov::TFormStatus status([&state] { return state; });
  kov::TBridgeFrm frm(status);

  frm.PopupMenu->popup(QPoint(400, 300));
  ok &= Grab(*frm.PopupMenu, out.filePath("menu.png"));
  frm.PopupMenu->hide();

  frm.ShowSplash();
  ok &= Grab(frm, out.filePath("splash.png"));
  frm.HideSplash();

  status.ShowAndRaise();
  state.Active[1] = 1;  // COM2 listening on 8802
  status.TimerRefreshStatusTimer();
  ok &= Grab(status, out.filePath("status-listening.png"));

  state.Active[0] = 1;  // COM1 listening, COM2 with a client bridged
  state.ChannelConnected[1] = 1;
  status.TimerRefreshStatusTimer();
  ok &= Grab(status, out.filePath("status-connected.png"));

  state.SessionActive = 1;  // and a console session on the configuration port
  status.TimerRefreshStatusTimer();
  ok &= Grab(status, out.filePath("status-console.png"));

  state = Defaults();  // the remote link on COM5, local channels stopped
  state.LinkConnected = 1;
  state.LinkPortIndex = 4;
  status.TimerRefreshStatusTimer();
  ok &= Grab(status, out.filePath("status-remote.png"));
  status.hide();

  kov::TExitConfirmation confirm;
  confirm.show();
  ok &= Grab(confirm, out.filePath("confirmation.png"));
  confirm.hide();

  std::unique_ptr<QMessageBox> box = kov::MakeErrorBox("Asynchronous socket error 10053");
  box->show();
  ok &= Grab(*box, out.filePath("error-box.png"));
  box->hide();

  QPixmap icon = kov::MakeAppIconPixmap(48);
  ok &= icon.save(out.filePath("icon.png"), "PNG");
  return ok ? 0 : 1;
}
