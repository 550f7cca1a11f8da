// The window as the worker threads reach it: every request is carried out on
// the window's thread while the worker waits, and closing the window releases
// a worker that waits, instead of waiting for it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "QtEnvironment.h"
#include "box/Pty.h"
#include "serial/SerialLink.h"
#include "ui/FlasherDlg.h"

namespace kelvane {
namespace {

using test::PumpUntil;
using test::RunAsWorker;
using test::ShownBox;

QComboBox* List(CFlasherDlg& d, int id) { return qobject_cast<QComboBox*>(d.Control(id)); }
QString StatusLine(CFlasherDlg& d) { return qobject_cast<QLabel*>(d.Control(IDC_STATUS))->text(); }

TEST(Bridge, WorkersReadAndDriveTheWindow) {
  CFlasherDlg dlg;
  std::vector<ShownBox> boxes;
  test::RecordBoxes(dlg, boxes);
  IFlasherOwner& owner = dlg.Owner();
  List(dlg, IDC_KIND)->setCurrentIndex(5);
  List(dlg, IDC_DIRECTION)->setCurrentIndex(1);
  List(dlg, IDC_SPEED)->setCurrentIndex(0);
  dlg.SetSelectedPath("/tmp/some file.bin");
  dlg.strStatus = "some file.bin  12 Bytes";

  int kind = -2, direction = -2, speed = -2;
  std::string status, path, pathAfterClear;
  ASSERT_TRUE(RunAsWorker([&] {
    kind = owner.KindSel();
    direction = owner.DirectionSel();
    speed = owner.SpeedSel();
    status = owner.StatusText();
    path = owner.SelectedPath();
    owner.ClearSelectedPath();
    pathAfterClear = owner.SelectedPath();
  }));
  EXPECT_EQ(kind, 5);
  EXPECT_EQ(direction, 1);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(status, "some file.bin  12 Bytes");
  EXPECT_EQ(path, "/tmp/some file.bin");
  EXPECT_EQ(pathAfterClear, "");
  EXPECT_EQ(dlg.SelectedPath(), "");

  // The progress bar: a range, positions pinned to it, and an empty range
  // that stays an empty bar.
  struct ProgressCase {
    uint16_t range;
    int pos;
    int shownMax, shownPos;
  };
  const ProgressCase progress[] = {
      {100, 40, 100, 40}, {65535, 65535, 65535, 65535}, {10, 11, 10, 10}, {10, -1, 10, 0}, {0, 0, 1, 0},
  };
  for (const ProgressCase& c : progress) {
    ASSERT_TRUE(RunAsWorker([&] {
      owner.SetProgressRange(c.range);
      owner.SetProgressPos(c.pos);
    }));
    EXPECT_EQ(dlg.pbProgress->maximum(), c.shownMax) << c.range << "/" << c.pos;
    EXPECT_EQ(dlg.pbProgress->minimum(), 0) << c.range << "/" << c.pos;
    EXPECT_EQ(dlg.pbProgress->value(), c.shownPos) << c.range << "/" << c.pos;
  }

  // Message boxes: the application's name as caption, the error or warning
  // icon, shown by the window's thread.
  ASSERT_TRUE(RunAsWorker([&] {
    owner.ShowMessage("Time Out Error", MsgIcon::Error);
    owner.ShowMessage("Upgrade Complete", MsgIcon::Warning);
  }));
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, QStringLiteral("Time Out Error"));
  EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[1].text, QStringLiteral("Upgrade Complete"));
  EXPECT_EQ(boxes[1].icon, QMessageBox::Warning);
  for (const ShownBox& b : boxes) {
    EXPECT_EQ(b.caption, QCoreApplication::applicationName());
    EXPECT_TRUE(b.onGuiThread);
  }
}

TEST(Bridge, UploadFileNameFollowsTheKindInUploadOnly) {
  struct Case {
    int direction, kind;
    const char* status;
  };
  const Case cases[] = {
      {1, 0, "Boot.Dat"},    {1, 1, "Data.Dat"},    {1, 2, "Program.Dat"}, {1, 3, "Flash.Dat"},
      {1, 4, "before"},      {1, 5, "before"},      {1, 6, "Key.Dat"},     {0, 0, "before"},
      {0, 6, "before"},
  };
  CFlasherDlg dlg;
  for (const Case& c : cases) {
    dlg.strStatus = "before";
    List(dlg, IDC_DIRECTION)->setCurrentIndex(c.direction);
    List(dlg, IDC_KIND)->setCurrentIndex(c.kind);
    std::string seen;
    ASSERT_TRUE(RunAsWorker([&] {
      dlg.Owner().UploadFileName();
      seen = dlg.Owner().StatusText();
    }));
    EXPECT_EQ(seen, c.status) << c.direction << "/" << c.kind;
    // The status line shows it as soon as the call returns.
    EXPECT_EQ(StatusLine(dlg), QString::fromLatin1(c.status)) << c.direction << "/" << c.kind;
  }
}

TEST(Bridge, RequestFromTheWindowsOwnThreadRunsAtOnce) {
  CFlasherDlg dlg;
  // No event is processed here: a request that waited for the event loop
  // would never return.
  EXPECT_EQ(dlg.Owner().KindSel(), 2);
  dlg.Owner().UpdateControls(1);
  EXPECT_TRUE(dlg.btnCancel->isEnabled());
  EXPECT_FALSE(dlg.Control(IDC_KIND)->isEnabled());
}

TEST(Bridge, PathChangesReachWorkersOnlyWhole) {
  CFlasherDlg dlg;
  const std::string a(250, 'a'), b = "/b";
  dlg.SetSelectedPath(a);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0}, reads{0};
  std::thread worker([&] {
    while (!stop.load()) {
      const std::string p = dlg.Owner().SelectedPath();
      if (p != a && p != b) torn.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 200 || reads.load() < 50; ++i) {
    dlg.SetSelectedPath(i % 2 ? b : a);
    QCoreApplication::processEvents();
    if (i > 100000) break;
  }
  stop.store(true);
  // The worker may be waiting for one last answer: keep serving until it ends.
  auto ended = std::async(std::launch::async, [&] { worker.join(); });
  EXPECT_TRUE(PumpUntil([&] { return ended.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GE(reads.load(), 50);
}

// The link's own worker asks the window while the window's thread does not
// serve it yet; then the window closes. The worker gets its answer at once,
// so neither closing nor destroying the window waits for ever.
std::atomic<bool> gAsked{false}, gAnswered{false};
std::atomic<int> gKind{0};

int AskingWorker(std::shared_ptr<CLinkSession> s) {
  IFlasherOwner* owner = s->link.pOwner.load();
  gAsked.store(true);
  gKind.store(owner->KindSel());
  owner->ShowMessage("late", MsgIcon::Error);
  gAnswered.store(true);
  return 0;
}

bool WaitWithoutServing(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return flag.load();
}

TEST(Bridge, ClosingReleasesAWaitingWorker) {
  box::CPtyPair pty;
  ASSERT_TRUE(pty.Create());
  for (bool destroy : {false, true}) {
    gAsked.store(false);
    gAnswered.store(false);
    gKind.store(0);
    auto dlg = std::make_unique<CFlasherDlg>();
    std::vector<ShownBox> boxes;
    test::RecordBoxes(*dlg, boxes);
    dlg->link.SetDevicePath(pty.SlavePath());
    dlg->link.SetWorkerProcs(&AskingWorker, nullptr);
    dlg->show();
    dlg->OnConnect();
    ASSERT_TRUE(dlg->link.IsOpen());
    ASSERT_TRUE(WaitWithoutServing(gAsked));
    if (destroy) {
      dlg.reset();  // joins the worker: it must have been released
      EXPECT_TRUE(gAnswered.load());
    } else {
      dlg->close();
      EXPECT_TRUE(WaitWithoutServing(gAnswered));
      EXPECT_FALSE(dlg->link.IsOpen());
      QCoreApplication::processEvents();
      EXPECT_TRUE(boxes.empty());  // the late message is dropped
    }
    EXPECT_EQ(gKind.load(), -1) << destroy;
  }
}

// A worker's message box is on screen when the window closes: the box goes,
// the worker continues, and the window does not wait for the operator.
TEST(Bridge, ClosingDismissesAWorkersMessageBox) {
  CFlasherDlg dlg;
  dlg.show();
  QString seenCaption, seenText;
  QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !seenText.isEmpty()) return;
    seenCaption = box->windowTitle();
    seenText = box->text();
    seenIcon = box->icon();
    dlg.close();
  });
  poll.start();
  EXPECT_TRUE(RunAsWorker([&] { dlg.Owner().ShowMessage("Data Upload Complete", MsgIcon::Warning); }));
  poll.stop();
  EXPECT_EQ(seenText, QStringLiteral("Data Upload Complete"));
  EXPECT_EQ(seenCaption, QCoreApplication::applicationName());
  EXPECT_EQ(seenIcon, QMessageBox::Warning);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace kelvane
