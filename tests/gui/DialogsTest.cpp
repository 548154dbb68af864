// The exit confirmation and the error box.
#include <gtest/gtest.h>

#include <QLabel>

#include "gui/Dialogs.h"
#include "tests/gui/GuiTestSupport.h"

namespace kov {
namespace {

const char kExactText[] =
    " If you exit KOV Bridge, Tavrine on serial comm\n\r ports will not be monitored. This could "
    "result in incomplete\n\r operation of Access program.\n\r\n\r                    Do you wish "
    "to exit ? ";

TEST(ExitConfirmation, CaptionIconButtonsAndText) {
  TExitConfirmation confirm;
  EXPECT_EQ(confirm.windowTitle(), "Confirm");
  EXPECT_EQ(confirm.icon(), QMessageBox::Question);
  EXPECT_EQ(confirm.ExactText(), kExactText);
  EXPECT_EQ(confirm.ExactText().substr(confirm.ExactText().find("Do you") - 21, 21),
            "\r" + std::string(20, ' '));
  // The label breaks the lines where the text's "\n\r" pairs are, and nowhere else.
  EXPECT_EQ(confirm.text(),
            " If you exit KOV Bridge, Tavrine on serial comm\n ports will not be monitored. This "
            "could result in incomplete\n operation of Access program.\n\n                    "
            "Do you wish to exit ? ");
  ASSERT_EQ(confirm.buttons().size(), 2);
  EXPECT_EQ(confirm.YesButton->text(), "&Yes");
  EXPECT_EQ(confirm.NoButton->text(), "&No");
  EXPECT_EQ(confirm.defaultButton(), confirm.YesButton);
  EXPECT_EQ(confirm.escapeButton(), confirm.NoButton);
}

TEST(ExitConfirmation, OnlyNoKeepsTheProgramRunning) {
  struct Case {
    const char* how;
    std::function<void(TExitConfirmation&)> act;
    bool confirmed;
  };
  const Case cases[] = {
      {"Esc", [](TExitConfirmation& c) { SendKey(&c, Qt::Key_Escape); }, false},
      {"Enter", [](TExitConfirmation& c) { SendKey(&c, Qt::Key_Return); }, true},
      {"keypad Enter", [](TExitConfirmation& c) { SendKey(&c, Qt::Key_Enter); }, true},
      {"No clicked", [](TExitConfirmation& c) { c.NoButton->click(); }, false},
      {"Yes clicked", [](TExitConfirmation& c) { c.YesButton->click(); }, true},
      {"window closed", [](TExitConfirmation& c) { c.close(); }, true},
  };
  for (const Case& c : cases) {
    TExitConfirmation confirm;
    WhenModalOpens([&](QWidget* modal) {
      EXPECT_EQ(modal, &confirm) << c.how;
      c.act(confirm);
    });
    confirm.exec();
    EXPECT_EQ(confirm.ExitConfirmed(), c.confirmed) << c.how;
  }
}

TEST(ErrorBox, TitleIconButtonAndThePeriodRule) {
  struct Case {
    std::string message;
    std::string shown;
  };
  const Case cases[] = {
      {"Asynchronous socket error 10053", "Asynchronous socket error 10053."},
      {"Windows socket error: Connection refused (10061), on API 'connect'",
       "Windows socket error: Connection refused (10061), on API 'connect'"},
      {"Error (5)", "Error (5)"},
      {"Already ended.", "Already ended."},
      {"ends in a dash -", "ends in a dash -"},
      {"ends in a slash /", "ends in a slash /."},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<QMessageBox> box = MakeErrorBox(c.message);
    EXPECT_EQ(box->text().toStdString(), c.shown) << c.message;
    EXPECT_EQ(box->windowTitle(), "KOV Bridge");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
  }
}

TEST(ErrorBoxes, WaitWhileACoreHandlerRunsAndOpenOneAtATime) {
  bool inHandler = true;
  TErrorBoxes boxes([&] { return !inHandler; });
  std::vector<std::string> opened;
  boxes.OnBoxOpening = [&](QMessageBox& box) {
    EXPECT_FALSE(inHandler) << "a box opened inside the handler that raised the error";
    opened.push_back(box.text().toStdString());
    if (opened.size() == 1) boxes.Report("second");  // raised while the first box is open
    QTimer::singleShot(0, &box, [&box] { box.accept(); });
  };
  boxes.Report("first");
  EXPECT_EQ(boxes.ShownCount(), 0);
  EXPECT_EQ(boxes.PendingCount(), 1u);
  ProcessUntil([] { return false; }, 50);
  EXPECT_EQ(boxes.ShownCount(), 0) << "still inside the handler";
  inHandler = false;
  EXPECT_TRUE(ProcessUntil([&] { return boxes.ShownCount() == 2; }));
  EXPECT_EQ(opened, (std::vector<std::string>{"first.", "second."}));

  // Outside any handler (for example at shutdown) a box opens at once.
  boxes.Report("third");
  EXPECT_EQ(boxes.ShownCount(), 3);
  EXPECT_EQ(opened.back(), "third.");
}

TEST(ErrorBoxes, PendingBoxesAreDroppedWhenTheProgramEnds) {
  TErrorBoxes boxes([] { return false; });
  boxes.OnBoxOpening = [](QMessageBox& box) {
    QTimer::singleShot(0, &box, [&box] { box.accept(); });
  };
  boxes.Report("late");
  boxes.DropPending();
  ProcessUntil([] { return false; }, 50);
  EXPECT_EQ(boxes.ShownCount(), 0);
}

}  // namespace
}  // namespace kov
