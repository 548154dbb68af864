// The status window: its design, what a refresh puts on the panels, and its refresh timer.
#include <gtest/gtest.h>

#include <QMetaObject>

#include "app/Application.h"
#include "app/StatusSource.h"
#include "bridge/SerialLibrary.h"
#include "config/ConfigFile.h"
#include "event/Log.h"
#include "gui/FormStatus.h"
#include "tests/support/MemorySerial.h"

namespace kov {
namespace {

const QColor kYellow(255, 255, 0);
const QColor kLime(0, 255, 0);

QColor WindowBackground(const QWidget& w) { return w.palette().color(QPalette::Window); }

StatusInputs Defaults() {
  StatusInputs in;
  for (int i = 0; i < 8; ++i) in.TcpPort[i] = 8801 + i;
  return in;
}

struct Fixture : testing::Test {
  StatusInputs state = Defaults();
  int reads = 0;
  TFormStatus form{[this] {
    ++reads;
    return state;
  }};

  void ExpectBlank(TIndicatorPanel* panel, const std::string& what) {
    EXPECT_EQ(panel->ShownColour(), WindowBackground(form)) << what;
    EXPECT_EQ(panel->Colour(), IndicatorColour::Idle) << what;
    EXPECT_EQ(panel->Caption(), "") << what;
  }
};

using FormStatusDesign = Fixture;

TEST_F(FormStatusDesign, ComponentsCaptionsPositionsAndSizes) {
  EXPECT_EQ(form.windowTitle(), "KOV Bridge Status");
  EXPECT_EQ(form.size(), QSize(257, 359));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "not resizable";
  EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.Panel->geometry(), QRect(8, 8, 241, 345));

  EXPECT_EQ(form.LabelActive->text(), "Local server:");
  EXPECT_EQ(form.LabelActive->pos(), QPoint(78, 24));
  EXPECT_EQ(form.Label1->text(), "Remote server:");
  EXPECT_EQ(form.Label1->pos(), QPoint(156, 24));
  const int rowTops[8] = {49, 72, 97, 120, 144, 168, 192, 216};
  const int labelTops[8] = {50, 74, 98, 122, 146, 170, 194, 218};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(form.LabelComm[i]->text(), QString("COM %1").arg(i + 1));
    EXPECT_EQ(form.LabelComm[i]->pos(), QPoint(24, labelTops[i]));
    EXPECT_EQ(form.PanelColorComm[i]->geometry(), QRect(78, rowTops[i], 61, 17));
    EXPECT_EQ(form.PanelRemote[i]->geometry(), QRect(156, rowTops[i], 61, 17));
    ExpectBlank(form.PanelColorComm[i], "local design");
    ExpectBlank(form.PanelRemote[i], "remote design");
  }
  EXPECT_EQ(form.LabelServiceChannel->text(), "Configuration Channel:");
  EXPECT_EQ(form.LabelServiceChannel->pos(), QPoint(32, 258));
  EXPECT_EQ(form.PanelColorServiceChannel->geometry(), QRect(156, 256, 61, 17));
  EXPECT_EQ(form.PanelColorServiceChannel->Caption(), "8800");
  EXPECT_EQ(form.PanelColorServiceChannel->ShownColour(), WindowBackground(form))
      << "blank until the first refresh";

  EXPECT_EQ(form.Label2->text(), "Legend:");
  EXPECT_EQ(form.Label2->pos(), QPoint(24, 293));
  EXPECT_EQ(form.Panel1->geometry(), QRect(35, 312, 14, 14));
  EXPECT_EQ(form.Panel1->ShownColour(), kYellow);
  EXPECT_EQ(form.Label3->text(), "Listening");
  EXPECT_EQ(form.Label3->pos(), QPoint(55, 312));
  EXPECT_EQ(form.Panel2->geometry(), QRect(128, 312, 14, 14));
  EXPECT_EQ(form.Panel2->ShownColour(), kLime);
  EXPECT_EQ(form.Label4->text(), "Connected");
  EXPECT_EQ(form.Label4->pos(), QPoint(148, 312));

  // Labels fit in front of the panels they name.
  EXPECT_LE(form.LabelServiceChannel->geometry().right(), 156);
  for (int i = 0; i < 8; ++i) EXPECT_LE(form.LabelComm[i]->geometry().right(), 78);

  EXPECT_EQ(form.TimerRefreshStatus->interval(), 1000);
  EXPECT_FALSE(form.TimerRefreshStatus->isSingleShot());
  EXPECT_FALSE(form.TimerRefreshStatus->isActive()) << "created hidden, timer off";
  EXPECT_EQ(reads, 0);
}

using FormStatusRefresh = Fixture;

TEST_F(FormStatusRefresh, DefaultStateShowsOnlyTheConfigurationListening) {
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(reads, 1);
  for (int i = 0; i < 8; ++i) {
    ExpectBlank(form.PanelColorComm[i], "local");
    ExpectBlank(form.PanelRemote[i], "remote");
  }
  EXPECT_EQ(form.PanelColorServiceChannel->ShownColour(), kYellow);
  EXPECT_EQ(form.PanelColorServiceChannel->Caption(), "8800");
}

TEST_F(FormStatusRefresh, PortListeningThenConnectedThenStopped) {
  state.Active[1] = 1;
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(form.PanelColorComm[1]->ShownColour(), kYellow);
  EXPECT_EQ(form.PanelColorComm[1]->Caption(), "8802");
  ExpectBlank(form.PanelRemote[1], "remote of the listening port");

  state.ChannelConnected[1] = 1;
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(form.PanelColorComm[1]->ShownColour(), kLime);
  EXPECT_EQ(form.PanelColorComm[1]->Caption(), "8802");

  state.ChannelConnected[1] = 0;
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(form.PanelColorComm[1]->ShownColour(), kYellow);

  state.Active[1] = 0;
  form.TimerRefreshStatusTimer();
  ExpectBlank(form.PanelColorComm[1], "stopped port");
}

TEST_F(FormStatusRefresh, ConsoleSessionKeepsTheDesignCaption) {
  state.SessionActive = 1;
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(form.PanelColorServiceChannel->ShownColour(), kLime);
  EXPECT_EQ(form.PanelColorServiceChannel->Caption(), "8800");
  state.SessionActive = 0;
  form.TimerRefreshStatusTimer();
  EXPECT_EQ(form.PanelColorServiceChannel->ShownColour(), kYellow);
  EXPECT_EQ(form.PanelColorServiceChannel->Caption(), "8800");
}

TEST_F(FormStatusRefresh, RemoteLinkLightsOnlyItsPortAndGoesOutWhenItEnds) {
  state.Active[2] = 1;
  form.TimerRefreshStatusTimer();
  state.Active[2] = 0;  // the link stops the local channels
  state.LinkConnected = 1;
  state.LinkPortIndex = 4;
  form.TimerRefreshStatusTimer();
  for (int i = 0; i < 8; ++i) {
    ExpectBlank(form.PanelColorComm[i], "local while linked");
    if (i != 4) ExpectBlank(form.PanelRemote[i], "other remote");
  }
  EXPECT_EQ(form.PanelRemote[4]->ShownColour(), kLime);
  EXPECT_EQ(form.PanelRemote[4]->Caption(), "8899");

  state.LinkConnected = 0;
  form.TimerRefreshStatusTimer();
  ExpectBlank(form.PanelRemote[4], "link ended");
}

using FormStatusTimer = Fixture;

TEST_F(FormStatusTimer, RunsOnlyWhileShownAndShowingAgainDoesNotRestartIt) {
  form.show();
  EXPECT_TRUE(form.TimerRefreshStatus->isActive());
  EXPECT_EQ(reads, 0) << "the first refresh comes one interval after showing";
  int id = form.TimerRefreshStatus->timerId();
  form.FormShow();
  form.ShowAndRaise();
  EXPECT_EQ(form.TimerRefreshStatus->timerId(), id) << "enabling a running timer restarted it";

  form.close();  // the close button only hides
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.TimerRefreshStatus->isActive());
  form.ShowAndRaise();
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.TimerRefreshStatus->isActive());
  form.hide();
  EXPECT_FALSE(form.TimerRefreshStatus->isActive());
  EXPECT_EQ(reads, 0) << "nothing is computed while hidden";
}

TEST_F(FormStatusTimer, ATickRefreshesAndTheOldPictureStaysUntilThen) {
  state.Active[0] = 1;
  form.show();
  // A tick of the refresh timer.
  ASSERT_TRUE(QMetaObject::invokeMethod(form.TimerRefreshStatus, "timeout"));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(form.PanelColorComm[0]->Caption(), "8801");
  form.hide();

  state.Active[0] = 0;
  state.Active[5] = 1;
  form.show();
  EXPECT_EQ(form.PanelColorComm[0]->Caption(), "8801") << "old picture until the first tick";
  ASSERT_TRUE(QMetaObject::invokeMethod(form.TimerRefreshStatus, "timeout"));
  EXPECT_EQ(form.PanelColorComm[0]->Caption(), "");
  EXPECT_EQ(form.PanelColorComm[5]->Caption(), "8806");
  form.hide();
}

TEST(StatusSource, ReadsTheConfiguredPortsOnceStartUpHasCreatedThem) {
  LogSink previous = SetLogSink([](const std::string&) {});
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);  // an application object that never starts opens nothing
  {
    Application app(loop, serial, {}, "/nonexistent/BridgeConfig.sys");
    StatusInputs before = ReadStatusInputs(app);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(before.Active[i], 0);

    app.ConfigFile = std::make_unique<TConfigFile>("/nonexistent/BridgeConfig.sys");
    app.ConfigFile->Ports[3].Active = 1;
    app.ConfigFile->Ports[3].TcpPort = 9104;
    app.ConfigFile->ServicePort = "9000";
    StatusInputs in = ReadStatusInputs(app);
    EXPECT_EQ(in.Active[3], 1);
    EXPECT_EQ(in.TcpPort[3], 9104);
    EXPECT_EQ(in.TcpPort[0], 8801);

    TFormStatus form([&app] { return ReadStatusInputs(app); });
    form.TimerRefreshStatusTimer();
    EXPECT_EQ(form.PanelColorComm[3]->Caption(), "9104");
    EXPECT_EQ(form.PanelColorServiceChannel->Caption(), "8800")
        << "the configuration port moved to 9000 still reads 8800";
  }
  SetLogSink(previous);
}

}  // namespace
}  // namespace kov
