// The window through whole transfers against the simulated box: a Download
// and an Upload from Connect to the end, and transfers the box breaks off.
// The window's state is followed as it changes, on the window's own thread,
// so that short states (the flash write after the last block) are seen
// however loaded the machine is.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "QtEnvironment.h"
#include "box/Box.h"
#include "protocol/Protocol.h"
#include "protocol/Rig.h"
#include "ui/FlasherDlg.h"
#include "upload/UploadTestSupport.h"

namespace kelvane {
namespace {

using test::Bytes;
using test::PumpUntil;

enum State { kIdle, kConnected, kTransfer, kWriting, kMixed };
const char* StateName(int s) {
  static const char* const names[] = {"Idle", "Connected", "Transfer", "Writing", "mixed"};
  return names[s];
}

// What the window shows in each state: which controls and menu items are
// enabled, whether the writing notice is up, and whether the bar must be at 0.
struct StateRow {
  const char* what;
  bool (*on)(CFlasherDlg& d);
  bool expected[4];
  bool any[4];  // the state does not fix this row
};
bool Enabled(CFlasherDlg& d, int id) { return d.Control(id)->isEnabled(); }
bool MenuEnabled(CFlasherDlg& d, int id) { return d.MenuItem(id)->isEnabled(); }
const StateRow kStateRows[] = {
    {"port list", [](CFlasherDlg& d) { return Enabled(d, IDC_PORT); }, {1, 1, 0, 0}, {}},
    {"speed list", [](CFlasherDlg& d) { return Enabled(d, IDC_SPEED); }, {1, 1, 0, 0}, {}},
    {"kind list", [](CFlasherDlg& d) { return Enabled(d, IDC_KIND); }, {1, 1, 0, 0}, {}},
    {"direction list", [](CFlasherDlg& d) { return Enabled(d, IDC_DIRECTION); }, {1, 1, 0, 0}, {}},
    {"Load button", [](CFlasherDlg& d) { return Enabled(d, ID_LOAD); }, {1, 1, 0, 0}, {}},
    {"Load menu item", [](CFlasherDlg& d) { return MenuEnabled(d, ID_LOAD); }, {1, 1, 0, 0}, {}},
    {"Connect", [](CFlasherDlg& d) { return Enabled(d, ID_CONNECT); }, {1, 0, 0, 0}, {}},
    {"Disconnect", [](CFlasherDlg& d) { return Enabled(d, ID_DISCONNECT); }, {0, 1, 1, 1}, {}},
    {"Cancel", [](CFlasherDlg& d) { return Enabled(d, ID_CANCEL_TRANSFER); }, {0, 0, 1, 0}, {}},
    {"Clear channel list", [](CFlasherDlg& d) { return MenuEnabled(d, ID_CLEAR_CHANNEL_LIST); }, {1, 1, 0, 0}, {}},
    {"keep channel list", [](CFlasherDlg& d) { return MenuEnabled(d, ID_SAVE_CHANNEL_LIST); }, {1, 1, 0, 0}, {}},
    {"Exit", [](CFlasherDlg& d) { return MenuEnabled(d, ID_EXIT); }, {1, 1, 1, 1}, {}},
    {"writing notice shown", [](CFlasherDlg& d) { return !d.stWriting->isHidden(); }, {0, 0, 0, 1}, {}},
    {"progress at 0", [](CFlasherDlg& d) { return d.pbProgress->value() == 0; }, {1, 1, 0, 0}, {0, 0, 1, 1}},
};

// The state whose every row matches, or kMixed (the window between two
// states, one control changed and the next not yet).
int StateOf(CFlasherDlg& d) {
  for (int s = kIdle; s <= kWriting; ++s) {
    bool all = true;
    for (const StateRow& r : kStateRows) all = all && (r.any[s] || r.on(d) == r.expected[s]);
    if (all) return s;
  }
  return kMixed;
}

// Rows that do not match `state`, for a failure message.
std::string Mismatches(CFlasherDlg& d, int state) {
  std::string out;
  for (const StateRow& r : kStateRows)
    if (!r.any[state] && r.on(d) != r.expected[state]) out += std::string(r.what) + (r.on(d) ? " on; " : " off; ");
  return out;
}

// One state the window passed through, with what it showed on entering it.
struct Visit {
  int state;
  QString status;
  int progress, progressMax;
};

// Follows the window: every change of a control's enablement, of a menu
// item, of the writing notice or of the bar is looked at as it happens.
class CStateTrail : public QObject {
 public:
  explicit CStateTrail(CFlasherDlg& dlg) : dlg_(dlg) {
    for (int id : {IDC_PORT, IDC_SPEED, IDC_KIND, IDC_DIRECTION, ID_LOAD, ID_CONNECT, ID_DISCONNECT,
                   ID_CANCEL_TRANSFER, IDC_WRITING})
      dlg.Control(id)->installEventFilter(this);
    for (int id : {ID_LOAD, ID_CLEAR_CHANNEL_LIST, ID_SAVE_CHANNEL_LIST, ID_EXIT})
      connect(dlg.MenuItem(id), &QAction::changed, this, [this] { Look(); });
    connect(dlg.pbProgress, &QProgressBar::valueChanged, this, [this](int v) {
      progress.push_back(v);
      Look();
    });
    Look();
  }

  std::vector<int> States() const {
    std::vector<int> out;
    for (const Visit& v : visits) out.push_back(v.state);
    return out;
  }
  const Visit* First(int state) const {
    for (const Visit& v : visits)
      if (v.state == state) return &v;
    return nullptr;
  }

  std::vector<Visit> visits;  // consecutive states, the mixed ones left out
  std::vector<int> progress;  // every value the bar took

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::EnabledChange:
      case QEvent::ShowToParent:
      case QEvent::HideToParent:
        Look();
        break;
      default:
        break;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void Look() {
    const int s = StateOf(dlg_);
    if (s == kMixed || (!visits.empty() && visits.back().state == s)) return;
    visits.push_back({s, qobject_cast<QLabel*>(dlg_.Control(IDC_STATUS))->text(), dlg_.pbProgress->value(),
                      dlg_.pbProgress->maximum()});
  }
  CFlasherDlg& dlg_;
};

std::string Names(const std::vector<int>& states) {
  std::string out;
  for (int s : states) out += std::string(out.empty() ? "" : " > ") + StateName(s);
  return out;
}

// A message box as the window raised it, and what the window showed then.
struct Shown {
  QMessageBox::Icon icon;
  QString caption, text;
  bool writingNotice, cancelEnabled, linkOpen;
};

// A box that announces itself (03 04 30: LinkMode 0x30) once the window has
// connected, and again only after a long silence, so that no stale
// announcement meets the window's answer on a slow machine.
box::BoxConfig Loader() {
  box::BoxConfig c;
  c.announceAtStart = false;
  c.repeatMs = 1000;
  // The box's last 'K' and its closing reply must not reach the window in
  // one read (only a read's first byte counts): a flash write well apart.
  c.flashWriteMs = 300;
  return c;
}

// The box on a pseudo-terminal as COM1, the window on top, shown (offscreen)
// so that its controls report their changes. The window goes before the box.
class WindowTransferTest : public ::testing::Test {
 protected:
  void Open(box::BoxConfig cfg) {
    box = std::make_unique<box::CBox>(std::move(cfg));
    ASSERT_TRUE(box->Start());
    setenv("KELVANE_COM1", box->SlavePath().c_str(), 1);
    dlg = std::make_unique<CFlasherDlg>();
    dlg->SetMessageBoxHook([this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                                  const QString&) {
      shown.push_back({icon, caption, text, !dlg->stWriting->isHidden(), dlg->btnCancel->isEnabled(),
                       dlg->link.IsOpen()});
    });
    dlg->show();
    trail = std::make_unique<CStateTrail>(*dlg);
  }
  void TearDown() override {
    trail.reset();
    dlg.reset();
    box.reset();
    unsetenv("KELVANE_COM1");
  }

  // Connect, then the box is switched on.
  void Connect() {
    qobject_cast<QPushButton*>(dlg->Control(ID_CONNECT))->click();
    if (dlg->link.IsOpen()) box->Announce();
  }
  // Waits until the link is closed, the window Idle (the sender hides the
  // notice and idles the controls last) and `messages` message boxes have
  // been shown, then until both worker threads have ended, so that no
  // message comes later.
  bool WaitForTheEnd(size_t messages) {
    return PumpUntil([&] { return !dlg->link.IsOpen() && StateOf(*dlg) == kIdle && shown.size() >= messages; },
                     30000) &&
           test::RunAsWorker([&] { dlg->link.WaitForThreads(); }, 10000);
  }
  QComboBox* List(int id) const { return qobject_cast<QComboBox*>(dlg->Control(id)); }
  QString StatusLine() const { return qobject_cast<QLabel*>(dlg->Control(IDC_STATUS))->text(); }
  // The window's trail, its messages and how the box saw each transfer, for
  // a failure message.
  std::string Story() const {
    std::string out = "trail " + Names(trail->States()) + "; messages:";
    for (const Shown& s : shown) out += " \"" + s.text.toStdString() + "\"";
    out += "; box:";
    for (const box::BoxTransfer& t : box->Transfers())
      out += std::string(" ") + box::BoxResultName(t.result) + " (" + t.detail + ")";
    return out;
  }
  std::vector<std::string> ShownTexts() const {
    std::vector<std::string> out;
    for (const Shown& s : shown) out.push_back(s.text.toStdString());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::unique_ptr<box::CBox> box;
  std::unique_ptr<CFlasherDlg> dlg;
  std::unique_ptr<CStateTrail> trail;
  std::vector<Shown> shown;
};

TEST_F(WindowTransferTest, DownloadRunsFromConnectToUpgradeComplete) {
  test::CScratch files;
  const Bytes image = test::ProgramImage(4 * kBlockSize + 1000, 0x47);  // five blocks, the last one short
  const std::string path = files.Write("image.bin", image);
  Open(Loader());

  dlg->SetSelectedPath(path);
  dlg->SelectImageFile();
  ASSERT_EQ(List(IDC_KIND)->currentIndex(), kProgramOnly);
  ASSERT_EQ(StatusLine(), QString("image.bin  %1 Bytes").arg(image.size()));
  Connect();
  ASSERT_TRUE(dlg->link.IsOpen());
  ASSERT_TRUE(WaitForTheEnd(1)) << "now " << StateName(StateOf(*dlg)) << ", trail " << Names(trail->States());

  EXPECT_EQ(Names(trail->States()), "Idle > Connected > Transfer > Writing > Idle") << Story();
  // The bar went block by block to the end of its range, and back to 0 at the end.
  EXPECT_EQ(trail->progress, (std::vector<int>{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(dlg->pbProgress->maximum(), 5);
  const Visit* writing = trail->First(kWriting);
  ASSERT_NE(writing, nullptr);
  EXPECT_EQ(writing->progress, 5);
  EXPECT_EQ(writing->progressMax, 5);

  ASSERT_EQ(shown.size(), 1u) << Story();
  EXPECT_EQ(shown[0].text, QStringLiteral("Upgrade Complete"));
  EXPECT_EQ(shown[0].icon, QMessageBox::Warning);
  EXPECT_EQ(shown[0].caption, QCoreApplication::applicationName());
  // The message comes while the notice is still up, Cancel still off, and
  // after the link has been closed.
  EXPECT_TRUE(shown[0].writingNotice);
  EXPECT_FALSE(shown[0].cancelEnabled);
  EXPECT_FALSE(shown[0].linkOpen);

  EXPECT_EQ(StateOf(*dlg), kIdle) << Mismatches(*dlg, kIdle);
  EXPECT_EQ(dlg->SelectedPath(), path);  // ready for the next Download
  ASSERT_EQ(box->WaitOutcome(5000), box::BoxResult::kDone) << box->Transfers().at(0).detail;
  EXPECT_EQ(box->Transfers().at(0).blocks, 5);
  EXPECT_TRUE(box->Flash() == image) << "the box's copy differs from the file";
}

TEST_F(WindowTransferTest, UploadStoresTheProgramUnderItsName) {
  test::CScratchDir cwd;
  ASSERT_TRUE(cwd.Ok());
  const Bytes area = test::Area(3 * kBlockSize + 100);  // four blocks
  box::BoxConfig cfg = Loader();
  cfg.areas[0x4F] = area;
  Open(std::move(cfg));

  // A file chosen for a Download before: the Upload forgets it.
  const std::string earlier = cwd.Path() + "/earlier.bin";
  test::WriteFile(earlier, test::ProgramImage(5000, 0x47));
  dlg->SetSelectedPath(earlier);
  dlg->SelectImageFile();
  List(IDC_DIRECTION)->setCurrentIndex(1);
  List(IDC_KIND)->setCurrentIndex(kProgramOnly);
  Connect();
  ASSERT_TRUE(dlg->link.IsOpen());
  ASSERT_TRUE(WaitForTheEnd(1)) << "now " << StateName(StateOf(*dlg)) << ", trail " << Names(trail->States());

  EXPECT_EQ(Names(trail->States()), "Idle > Connected > Transfer > Idle") << Story();
  const Visit* transfer = trail->First(kTransfer);
  ASSERT_NE(transfer, nullptr);
  EXPECT_EQ(transfer->status, QStringLiteral("Program.Dat"));  // named before the box sent anything
  EXPECT_EQ(StatusLine(), QStringLiteral("Program.Dat"));
  ASSERT_GE(trail->progress.size(), 2u);
  EXPECT_EQ(trail->progress.back(), 0);
  EXPECT_EQ(trail->progress[trail->progress.size() - 2], 4);
  EXPECT_TRUE(std::is_sorted(trail->progress.begin(), trail->progress.end() - 1));
  EXPECT_EQ(dlg->pbProgress->maximum(), 4);

  ASSERT_EQ(shown.size(), 1u) << Story();
  EXPECT_EQ(shown[0].text, QStringLiteral("Data Upload Complete"));
  EXPECT_EQ(shown[0].icon, QMessageBox::Warning);
  EXPECT_EQ(shown[0].caption, QCoreApplication::applicationName());

  EXPECT_EQ(StateOf(*dlg), kIdle) << Mismatches(*dlg, kIdle);
  EXPECT_EQ(dlg->SelectedPath(), "");
  ASSERT_EQ(box->WaitOutcome(5000), box::BoxResult::kDone) << box->Transfers().at(0).detail;
  EXPECT_TRUE(test::ReadFile(cwd.Path() + "/Program.Dat") == area) << "the stored file differs from the area";
}

// The box breaks the Download off: the window reports it, closes the link and
// is ready for the next attempt, without a word of completion.
TEST_F(WindowTransferTest, DownloadTheBoxBreaksOffEndsIdle) {
  struct Case {
    const char* what;
    box::BoxFault fault;
    size_t fileSize;
    std::vector<std::string> messages;  // sorted
    const char* trail;
    box::BoxResult result;
  };
  box::BoxFault refuse;
  refuse.kind = box::BoxFaultKind::kRefuse;
  refuse.bytes = test::Text("V1.07 only");
  box::BoxFault nak;
  nak.kind = box::BoxFaultKind::kNak;
  nak.block = 1;  // the box's first reply: nothing before it to share a read with
  const Case cases[] = {
      {"refused", refuse, 5000, {"Version mismatch \nV1.07 only"}, "Idle > Connected > Idle",
       box::BoxResult::kRefused},
      // Many blocks, so that plenty are left to send when the 'N' comes.
      {"'N' for block 1", nak, 100 * kBlockSize, {"Abort Download", "Upgrade Error"},
       "Idle > Connected > Transfer > Idle", box::BoxResult::kFaultInjected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    shown.clear();
    test::CScratch files;
    const std::string path = files.Write("image.bin", test::ProgramImage(c.fileSize, 0x47));
    box::BoxConfig cfg = Loader();
    cfg.faults.push_back(c.fault);
    Open(std::move(cfg));
    dlg->SetSelectedPath(path);
    dlg->SelectImageFile();
    Connect();
    ASSERT_TRUE(dlg->link.IsOpen());
    ASSERT_TRUE(WaitForTheEnd(c.messages.size()))
        << "now " << StateName(StateOf(*dlg)) << ", trail " << Names(trail->States());

    EXPECT_EQ(ShownTexts(), c.messages);
    for (const Shown& s : shown) {
      EXPECT_EQ(s.icon, s.text == "Abort Download" ? QMessageBox::Warning : QMessageBox::Critical)
          << s.text.toStdString();
    }
    EXPECT_EQ(Names(trail->States()), c.trail) << Story();
    EXPECT_EQ(StateOf(*dlg), kIdle) << Mismatches(*dlg, kIdle);
    EXPECT_FALSE(dlg->link.IsOpen());
    EXPECT_EQ(box->WaitOutcome(5000), c.result) << box->Transfers().at(0).detail;
  }
}

}  // namespace
}  // namespace kelvane
