// The main window under the offscreen platform: defaults, the controls'
// enablement in each state, the channel-list pair, Connect and Disconnect on
// a pseudo-terminal, the ways of closing, the file-open dialog and drops.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "box/Pty.h"
#include "QtEnvironment.h"
#include "serial/SerialLink.h"
#include "ui/DialogUnits.h"
#include "ui/FlasherDlg.h"

namespace kelvane {
namespace {

using test::PumpUntil;
using test::RunAsWorker;
using test::ShownBox;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// A scratch folder with files of given sizes.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/kelvane-ui-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { QDir(QString::fromStdString(path_)).removeRecursively(); }
  std::string File(const std::string& name, size_t size) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << std::string(size, '\x11');
    return p;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Create());
    setenv("KELVANE_COM1", pty.SlavePath().c_str(), 1);
    dlg = std::make_unique<CFlasherDlg>();
    test::RecordBoxes(*dlg, boxes);
  }
  void TearDown() override {
    dlg.reset();
    for (int n = 1; n <= 6; ++n) unsetenv(("KELVANE_COM" + std::to_string(n)).c_str());
  }

  QComboBox* List(int id) const { return qobject_cast<QComboBox*>(dlg->Control(id)); }
  QString StatusLine() const { return qobject_cast<QLabel*>(dlg->Control(IDC_STATUS))->text(); }
  // True when a second opener gets the pseudo-terminal, i.e. the window's
  // link has let go of it.
  bool PortIsFree() const {
    CSerialLink other;
    other.SetWorkerProcs(nullptr, nullptr);
    other.SetDevicePath(pty.SlavePath());
    return other.Open() == 1;
  }
  // Close does not wait for the worker threads: one of them may hold the
  // device inside its last wait (at most one pass of its loop).
  bool PortFreesSoon() const { return PumpUntil([&] { return PortIsFree(); }, 2000); }
  void Drop(const std::vector<std::string>& paths) {
    QList<QUrl> urls;
    for (const std::string& p : paths) urls.append(QUrl::fromLocalFile(QString::fromStdString(p)));
    QMimeData mime;
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dlg.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dlg.get(), &drop);
  }

  box::CPtyPair pty;
  std::unique_ptr<CFlasherDlg> dlg;
  std::vector<ShownBox> boxes;
};

TEST_F(WindowTest, StartsWithTheDefaults) {
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Kelvane Ver 2.0"));
  EXPECT_EQ(StatusLine(), QString());
  EXPECT_EQ(dlg->SelectedPath(), "");
  EXPECT_TRUE(dlg->stWriting->isHidden());
  EXPECT_EQ(dlg->pbProgress->value(), 0);

  struct ListCase {
    int id;
    QStringList items;
    int selected;
  };
  const ListCase lists[] = {
      {IDC_PORT, {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}, 0},
      {IDC_SPEED, {"9600", "19200", "38400", "57600", "115200"}, 4},
      {IDC_KIND, {"Boot Only", "Data Only", "Program Only", "Program All", "SatcoDX", "Still Image", "KeyData"}, 2},
      {IDC_DIRECTION, {"Download", "Upload"}, 0},
  };
  for (const ListCase& c : lists) {
    QComboBox* cb = List(c.id);
    ASSERT_NE(cb, nullptr) << c.id;
    QStringList items;
    for (int i = 0; i < cb->count(); ++i) items << cb->itemText(i);
    EXPECT_EQ(items, c.items) << c.id;
    EXPECT_EQ(cb->currentIndex(), c.selected) << c.id;
    EXPECT_FALSE(cb->isEditable()) << c.id;
  }

  struct TextCase {
    int id;
    const char* text;
  };
  for (const TextCase& c : std::initializer_list<TextCase>{{ID_CONNECT, "Подключить"},
                                                           {ID_DISCONNECT, "Отключить"},
                                                           {ID_CANCEL_TRANSFER, "Отменить"},
                                                           {ID_LOAD, "Загрузить"}})
    EXPECT_EQ(qobject_cast<QPushButton*>(dlg->Control(c.id))->text(), U(c.text)) << c.id;
  EXPECT_EQ(qobject_cast<QLabel*>(dlg->Control(IDC_WRITING))->text(), U("Запись в память..."));
  for (const TextCase& c : std::initializer_list<TextCase>{{ID_LOAD, "Загрузить"},
                                                           {ID_EXIT, "Выход"},
                                                           {ID_CLEAR_CHANNEL_LIST, "Clear channel list"},
                                                           {ID_SAVE_CHANNEL_LIST, "Сохранить список каналов"},
                                                           {ID_HOW_TO_UPGRADE, "How To Upgrade"},
                                                           {ID_ABOUT, "О Программе"}})
    EXPECT_EQ(dlg->MenuItem(c.id)->text(), U(c.text)) << c.id;

  EXPECT_TRUE(dlg->MenuItem(ID_CLEAR_CHANNEL_LIST)->isChecked());
  EXPECT_FALSE(dlg->MenuItem(ID_SAVE_CHANNEL_LIST)->isChecked());
  EXPECT_EQ(dlg->link.bSaveChannelList.load(), 0);
  // The workers reach this window.
  EXPECT_EQ(dlg->link.pOwner.load(), &dlg->Owner());
  // Each port entry tells which device it stands for.
  EXPECT_EQ(List(IDC_PORT)->itemData(0, Qt::ToolTipRole).toString(), QString::fromStdString(pty.SlavePath()));
}

TEST_F(WindowTest, ControlsSitAtTheirTemplateRectanglesInTabOrder) {
  struct Place {
    int id;
    int x, y, w, h;
    bool list;  // a drop-down list: its rectangle's height includes the opened part
  };
  const Place places[] = {
      {IDC_PORT, 62, 30, 57, 39, true},          {IDC_KIND, 1, 16, 59, 56, true},
      {ID_CONNECT, 2, 69, 53, 14, false},        {ID_DISCONNECT, 3, 129, 51, 14, false},
      {IDC_PROGRESS, 62, 16, 238, 12, false},    {ID_CANCEL_TRANSFER, 250, 130, 50, 14, false},
      {IDC_STATUS, 74, 2, 192, 12, false},       {ID_LOAD, 2, 1, 53, 14, false},
      {IDC_DIRECTION, 1, 85, 59, 35, true},      {IDC_WRITING, 139, 137, 81, 12, false},
      {IDC_SPEED, 242, 31, 59, 37, true},
  };
  const CDialogUnits du = CDialogUnits::FromFont(dlg->font());
  const QPoint origin = dlg->Control(IDC_PORT)->parentWidget()->contentsRect().topLeft();
  for (const Place& p : places) {
    QWidget* w = dlg->Control(p.id);
    ASSERT_NE(w, nullptr) << p.id;
    const QRect want = du.Rect(p.x, p.y, p.w, p.h).translated(origin);
    EXPECT_EQ(w->geometry().topLeft(), want.topLeft()) << p.id;
    EXPECT_EQ(w->width(), want.width()) << p.id;
    if (p.list)
      EXPECT_LE(w->height(), want.height()) << p.id;
    else
      EXPECT_EQ(w->height(), want.height()) << p.id;
  }

  // Tab order: the lists and buttons in template order, starting at the port list.
  dlg->show();
  const int order[] = {IDC_PORT, IDC_KIND, ID_CONNECT, ID_DISCONNECT, ID_CANCEL_TRANSFER, ID_LOAD,
                       IDC_DIRECTION, IDC_SPEED};
  QWidget* w = dlg->Control(IDC_PORT);
  for (size_t i = 1; i < std::size(order); ++i) {
    do w = w->nextInFocusChain();
    while (w->property("kelvaneId").toInt() == 0 || !(w->focusPolicy() & Qt::TabFocus));
    EXPECT_EQ(w->property("kelvaneId").toInt(), order[i]) << "tab stop " << i;
  }
}

// The enablement table, state by state, reached as the program reaches it:
// Connect from the window, the transfer states from a worker thread.
TEST_F(WindowTest, EnablementFollowsTheState) {
  enum { kIdle, kConnected, kTransfer, kWriting };
  struct Row {
    const char* what;
    std::function<bool(CFlasherDlg&)> on;
    bool expected[4];
  };
  auto control = [](int id) { return [id](CFlasherDlg& d) { return d.Control(id)->isEnabled(); }; };
  auto menu = [](int id) { return [id](CFlasherDlg& d) { return d.MenuItem(id)->isEnabled(); }; };
  const Row rows[] = {
      {"port list", control(IDC_PORT), {1, 1, 0, 0}},
      {"speed list", control(IDC_SPEED), {1, 1, 0, 0}},
      {"kind list", control(IDC_KIND), {1, 1, 0, 0}},
      {"direction list", control(IDC_DIRECTION), {1, 1, 0, 0}},
      {"Load button", control(ID_LOAD), {1, 1, 0, 0}},
      {"Load menu item", menu(ID_LOAD), {1, 1, 0, 0}},
      {"Connect", control(ID_CONNECT), {1, 0, 0, 0}},
      {"Disconnect", control(ID_DISCONNECT), {0, 1, 1, 1}},
      {"Cancel", control(ID_CANCEL_TRANSFER), {0, 0, 1, 0}},
      {"Clear channel list", menu(ID_CLEAR_CHANNEL_LIST), {1, 1, 0, 0}},
      {"keep channel list", menu(ID_SAVE_CHANNEL_LIST), {1, 1, 0, 0}},
      {"How To Upgrade", menu(ID_HOW_TO_UPGRADE), {0, 0, 0, 0}},
      {"Exit", menu(ID_EXIT), {1, 1, 1, 1}},
      {"About", menu(ID_ABOUT), {1, 1, 1, 1}},
      {"writing notice shown", [](CFlasherDlg& d) { return !d.stWriting->isHidden(); }, {0, 0, 0, 1}},
      {"drops accepted", [](CFlasherDlg& d) { return d.acceptDrops(); }, {1, 1, 1, 1}},
  };
  auto check = [&](int state, const char* name) {
    for (const Row& r : rows) EXPECT_EQ(r.on(*dlg), r.expected[state]) << name << ": " << r.what;
  };
  IFlasherOwner& owner = dlg->Owner();

  check(kIdle, "Idle");
  dlg->OnConnect();
  ASSERT_TRUE(dlg->link.IsOpen());
  check(kConnected, "Connected");

  ASSERT_TRUE(RunAsWorker([&] {
    owner.UpdateControls(1);
    owner.SetProgressRange(10);
    owner.SetProgressPos(3);
  }));
  check(kTransfer, "Transfer");
  EXPECT_EQ(dlg->pbProgress->value(), 3);
  // Values other than 0 and 1 change nothing.
  ASSERT_TRUE(RunAsWorker([&] {
    owner.UpdateControls(2);
    owner.UpdateControls(255);
  }));
  check(kTransfer, "Transfer after busy 2 and 255");

  ASSERT_TRUE(RunAsWorker([&] {
    owner.SetProgressPos(10);
    owner.ShowWriting(true);
    owner.EnableCancel(false);
  }));
  check(kWriting, "Writing");

  ASSERT_TRUE(RunAsWorker([&] {
    owner.ShowWriting(false);
    owner.UpdateControls(0);
  }));
  check(kIdle, "Idle again");
  EXPECT_EQ(dlg->pbProgress->value(), 0);
  EXPECT_EQ(dlg->pbProgress->maximum(), 10);  // the range stays
  // A second idle call, as the other worker makes it, changes nothing.
  ASSERT_TRUE(RunAsWorker([&] { owner.UpdateControls(0); }));
  check(kIdle, "Idle after a second busy 0");
}

TEST_F(WindowTest, ChannelListPairKeepsOneCheckMarkAndSetsTheLink) {
  struct Case {
    std::vector<int> chosen;
    bool keepChecked;
  };
  const Case cases[] = {
      {{}, false},
      {{ID_SAVE_CHANNEL_LIST}, true},
      {{ID_SAVE_CHANNEL_LIST, ID_CLEAR_CHANNEL_LIST}, false},
      {{ID_CLEAR_CHANNEL_LIST}, false},                        // the item already checked
      {{ID_SAVE_CHANNEL_LIST, ID_SAVE_CHANNEL_LIST}, true},    // the item already checked
  };
  for (const Case& c : cases) {
    CFlasherDlg w;
    for (int id : c.chosen) w.MenuItem(id)->trigger();
    EXPECT_EQ(w.MenuItem(ID_SAVE_CHANNEL_LIST)->isChecked(), c.keepChecked) << c.chosen.size();
    EXPECT_EQ(w.MenuItem(ID_CLEAR_CHANNEL_LIST)->isChecked(), !c.keepChecked) << c.chosen.size();
    EXPECT_EQ(w.link.bSaveChannelList.load(), c.keepChecked ? 1 : 0) << c.chosen.size();
  }
}

// A port that cannot be opened: "OPEN ERROR" in a box captioned "ERROR"
// without an icon, the device and the reason below it, and the window stays Idle.
TEST_F(WindowTest, PortThatDoesNotOpenShowsOpenError) {
  box::CPtyPair held;
  ASSERT_TRUE(held.Create());
  CSerialLink holder;  // another program holding the port
  holder.SetWorkerProcs(nullptr, nullptr);
  holder.SetDevicePath(held.SlavePath());
  ASSERT_EQ(holder.Open(), 1);

  struct Case {
    const char* what;
    int port;                 // COM<n>
    const char* device;       // KELVANE_COM<n>; nullptr: unset (no device at all)
    const char* detailPart;   // something the explanation must mention
  };
  const std::string heldPath = held.SlavePath();
  const Case cases[] = {
      {"missing device", 2, "/dev/kelvane-no-such-port", "/dev/kelvane-no-such-port"},
      {"not a terminal", 3, "/dev/null", "not a serial device"},
      {"in use", 4, heldPath.c_str(), "close the program that holds it"},
  };
  for (const Case& c : cases) {
    boxes.clear();
    setenv(("KELVANE_COM" + std::to_string(c.port)).c_str(), c.device, 1);
    List(IDC_PORT)->setCurrentIndex(c.port - 1);
    qobject_cast<QPushButton*>(dlg->Control(ID_CONNECT))->click();
    ASSERT_EQ(boxes.size(), 1u) << c.what;
    EXPECT_EQ(boxes[0].text, QStringLiteral("OPEN ERROR")) << c.what;
    EXPECT_EQ(boxes[0].caption, QStringLiteral("ERROR")) << c.what;
    EXPECT_EQ(boxes[0].icon, QMessageBox::NoIcon) << c.what;
    EXPECT_TRUE(boxes[0].informative.contains(QString::fromUtf8(c.detailPart))) << c.what << ": "
                                                                                << boxes[0].informative.toStdString();
    EXPECT_EQ(dlg->link.nPort.load(), c.port) << c.what;
    EXPECT_FALSE(dlg->link.IsOpen()) << c.what;
    EXPECT_TRUE(dlg->Control(ID_CONNECT)->isEnabled()) << c.what;
    EXPECT_FALSE(dlg->Control(ID_DISCONNECT)->isEnabled()) << c.what;
  }
  // The operator may pick another port and connect.
  List(IDC_PORT)->setCurrentIndex(0);
  dlg->OnConnect();
  EXPECT_TRUE(dlg->link.IsOpen());
}

TEST_F(WindowTest, ConnectOpensTheSelectedPortAndDisconnectClosesIt) {
  setenv("KELVANE_COM3", pty.SlavePath().c_str(), 1);
  unsetenv("KELVANE_COM1");
  List(IDC_PORT)->setCurrentIndex(2);
  List(IDC_SPEED)->setCurrentIndex(1);
  dlg->OnConnect();
  ASSERT_TRUE(boxes.empty());
  EXPECT_TRUE(dlg->link.IsOpen());
  EXPECT_EQ(dlg->link.nPort.load(), 3);
  EXPECT_EQ(dlg->link.LastDevice(), pty.SlavePath());
  EXPECT_EQ(pty.SlaveSpeed(), 9600u);  // whatever the speed list shows
  EXPECT_FALSE(PortIsFree());
  EXPECT_FALSE(dlg->Control(ID_CONNECT)->isEnabled());
  EXPECT_TRUE(dlg->Control(ID_DISCONNECT)->isEnabled());

  dlg->OnDisconnect();
  EXPECT_FALSE(dlg->link.IsOpen());
  EXPECT_TRUE(PortFreesSoon());
  EXPECT_TRUE(dlg->Control(ID_CONNECT)->isEnabled());
  EXPECT_FALSE(dlg->Control(ID_DISCONNECT)->isEnabled());
  EXPECT_FALSE(dlg->Control(ID_CANCEL_TRANSFER)->isEnabled());

  // Disconnect on a closed link changes nothing.
  dlg->Control(ID_CONNECT)->setEnabled(false);  // a marker the handler must leave alone
  dlg->OnDisconnect();
  EXPECT_FALSE(dlg->Control(ID_CONNECT)->isEnabled());
  dlg->Control(ID_CONNECT)->setEnabled(true);

  // And the port opens again.
  dlg->OnConnect();
  EXPECT_TRUE(dlg->link.IsOpen());
}

TEST_F(WindowTest, DisconnectDuringATransferReturnsToIdle) {
  dlg->OnConnect();
  ASSERT_TRUE(dlg->link.IsOpen());
  ASSERT_TRUE(RunAsWorker([&] {
    dlg->Owner().UpdateControls(1);
    dlg->Owner().SetProgressRange(20);
    dlg->Owner().SetProgressPos(5);
  }));
  qobject_cast<QPushButton*>(dlg->Control(ID_DISCONNECT))->click();
  EXPECT_FALSE(dlg->link.IsOpen());
  EXPECT_TRUE(dlg->Control(ID_CONNECT)->isEnabled());
  EXPECT_FALSE(dlg->Control(ID_CANCEL_TRANSFER)->isEnabled());
  // The sender idles the rest of the window as it ends.
  EXPECT_TRUE(PumpUntil([&] { return dlg->Control(IDC_KIND)->isEnabled() && dlg->pbProgress->value() == 0; }));
  EXPECT_TRUE(dlg->MenuItem(ID_LOAD)->isEnabled());
}

TEST_F(WindowTest, CancelAsksTheLinkToAbandonTheTransfer) {
  dlg->OnConnect();
  ASSERT_TRUE(dlg->link.IsOpen());
  auto session = dlg->link.Session();
  dlg->link.bTransferRunning.store(1);
  ASSERT_TRUE(RunAsWorker([&] { dlg->Owner().UpdateControls(1); }));
  qobject_cast<QPushButton*>(dlg->Control(ID_CANCEL_TRANSFER))->click();
  EXPECT_EQ(dlg->link.bTransferRunning.load(), 0);
  // The receiver answers a cancel by idling the window and closing the link.
  EXPECT_TRUE(PumpUntil([&] { return !dlg->link.IsOpen() && dlg->Control(ID_CONNECT)->isEnabled(); }));
}

// Every way of closing the window closes the link first; none of them hangs.
TEST_F(WindowTest, ClosingTheWindowClosesTheLink) {
  struct Case {
    const char* what;
    std::function<void(CFlasherDlg&)> close;
    int result;
  };
  auto key = [](int k) {
    return [k](CFlasherDlg& d) {
      QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
      QApplication::sendEvent(d.Control(IDC_PORT), &press);
    };
  };
  const Case cases[] = {
      {"close box", [](CFlasherDlg& d) { d.close(); }, QDialog::Rejected},
      {"Escape", key(Qt::Key_Escape), QDialog::Rejected},
      {"Выход", [](CFlasherDlg& d) { d.MenuItem(ID_EXIT)->trigger(); }, QDialog::Accepted},
      {"Enter on a list", key(Qt::Key_Return), QDialog::Accepted},
  };
  for (const Case& c : cases) {
    CFlasherDlg w;
    w.show();
    w.OnConnect();
    ASSERT_TRUE(w.link.IsOpen()) << c.what;
    ASSERT_FALSE(PortIsFree()) << c.what;
    c.close(w);
    EXPECT_FALSE(w.isVisible()) << c.what;
    EXPECT_EQ(w.result(), c.result) << c.what;
    EXPECT_FALSE(w.link.IsOpen()) << c.what;
    EXPECT_TRUE(PortFreesSoon()) << c.what;
    // Workers asking the window from now on get their answer at once.
    int kind = 0;
    EXPECT_TRUE(RunAsWorker([&] { kind = w.Owner().KindSel(); }, 2000)) << c.what;
    EXPECT_EQ(kind, -1) << c.what;
  }
}

TEST_F(WindowTest, LoadShowsTheFileDialogAndSelectsTheChosenFile) {
  ScratchDir dir;
  const std::string first = dir.File("first.bin", 0x2000);
  const std::string chosen = dir.File("main.bin", 1048576);
  dlg->SetSelectedPath(first);
  dlg->SelectImageFile();
  ASSERT_EQ(StatusLine(), QStringLiteral("first.bin  8192 Bytes"));
  ASSERT_EQ(List(IDC_KIND)->currentIndex(), 0);

  struct Case {
    const char* what;
    int result;
    std::string path, status;
    int kind;
  };
  const Case cases[] = {
      {"cancel", QDialog::Rejected, first, "first.bin  8192 Bytes", 0},
      {"open", QDialog::Accepted, chosen, "main.bin  1048576 Bytes", 3},
  };
  for (const Case& c : cases) {
    QString title, initial;
    QStringList filters;
    QString filterInUse;
    QStringList shownFilters;
    bool caseSensitive = true;
    dlg->SetFileDialogHook([&](QFileDialog& fd) {
      title = fd.windowTitle();
      filters = fd.nameFilters();
      filterInUse = fd.selectedNameFilter();
      if (auto* types = fd.findChild<QComboBox*>("fileTypeCombo"))
        for (int i = 0; i < types->count(); ++i) shownFilters << types->itemText(i);
      initial = fd.selectedFiles().value(0);
      caseSensitive = fd.filter() & QDir::CaseSensitive;
      fd.selectFile(QString::fromStdString(chosen));
      return c.result;
    });
    dlg->MenuItem(ID_LOAD)->trigger();
    EXPECT_EQ(title, QStringLiteral("File Open")) << c.what;
    EXPECT_EQ(filters, QStringList({"*.BIN;*.SDX;*.JPG (*.bin *.sdx *.jpg)", "*.* (*)"})) << c.what;
    // The operator sees the two filters without their pattern lists.
    EXPECT_EQ(shownFilters, QStringList({"*.BIN;*.SDX;*.JPG", "*.*"})) << c.what;
    EXPECT_EQ(filterInUse, QStringLiteral("*.BIN;*.SDX;*.JPG")) << c.what;
    EXPECT_FALSE(caseSensitive) << c.what;
    EXPECT_EQ(initial, QString::fromStdString(first)) << c.what;  // the current selection
    EXPECT_EQ(dlg->SelectedPath(), c.path) << c.what;
    EXPECT_EQ(StatusLine(), QString::fromStdString(c.status)) << c.what;
    EXPECT_EQ(List(IDC_KIND)->currentIndex(), c.kind) << c.what;
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, TheFileDialogListsNamesWhateverTheirCase) {
  ScratchDir dir;
  for (const char* name : {"UPPER.BIN", "lower.sdx", "Mixed.Jpg", "other.txt"}) dir.File(name, 10);
  QStringList listed;
  dlg->SetFileDialogHook([&](QFileDialog& fd) {
    fd.setDirectory(QString::fromStdString(dir.Path()));
    auto* view = fd.findChild<QAbstractItemView*>("listView");
    PumpUntil([&] { return view && view->model()->rowCount(view->rootIndex()) >= 3; }, 3000);
    if (view)
      for (int i = 0; i < view->model()->rowCount(view->rootIndex()); ++i)
        listed << view->model()->index(i, 0, view->rootIndex()).data().toString();
    return int(QDialog::Rejected);
  });
  dlg->OnLoadFile();
  listed.sort();
  EXPECT_EQ(listed, QStringList({"Mixed.Jpg", "UPPER.BIN", "lower.sdx"}));
}

TEST_F(WindowTest, DroppedFilesBecomeTheSelectionInEveryState) {
  ScratchDir dir;
  const std::string a = dir.File("a.bin", 0x2000), b = dir.File("b.bin", 0x20000), c = dir.File("c.bin", 0x4000);

  // Three files: the last one stays.
  Drop({a, b, c});
  EXPECT_EQ(dlg->SelectedPath(), c);
  EXPECT_EQ(StatusLine(), QStringLiteral("c.bin  16384 Bytes"));
  EXPECT_EQ(List(IDC_KIND)->currentIndex(), 6);

  // A folder clears the selection without a word; the status line and the kind stay.
  Drop({dir.Path()});
  EXPECT_EQ(dlg->SelectedPath(), "");
  EXPECT_EQ(StatusLine(), QStringLiteral("c.bin  16384 Bytes"));
  EXPECT_EQ(List(IDC_KIND)->currentIndex(), 6);
  EXPECT_TRUE(boxes.empty());

  // While a transfer runs, drops are still taken.
  dlg->UpdateControls(1);
  Drop({b});
  EXPECT_EQ(dlg->SelectedPath(), b);
  EXPECT_EQ(StatusLine(), QStringLiteral("b.bin  131072 Bytes"));

  // A path too long to hold is not shortened into another name.
  const std::string longName = dir.Path() + "/" + std::string(250, 'n') + ".bin";
  Drop({longName});
  EXPECT_EQ(dlg->SelectedPath(), "");
}

TEST(WindowStart, TakesThePathFromTheCommandLine) {
  ScratchDir dir;
  const std::string file = dir.File("My File.bin", 0x10000);
  struct Case {
    const char* what;
    std::string argumentText;
    std::string path, status;
    int kind;
  };
  const Case cases[] = {
      {"none", "", "", "", 2},
      {"quoted", "\"" + file + "\"", file, "My File.bin  65536 Bytes", 0},
      {"unquoted with a blank", file, file, "My File.bin  65536 Bytes", 0},
      {"no such file", dir.Path() + "/missing.bin", "", "", 2},
      {"quoted then more text", "\"" + file + "\" x", "", "", 2},
  };
  for (const Case& c : cases) {
    CFlasherDlg w(c.argumentText);
    EXPECT_EQ(w.SelectedPath(), c.path) << c.what;
    EXPECT_EQ(qobject_cast<QLabel*>(w.Control(IDC_STATUS))->text(), QString::fromStdString(c.status)) << c.what;
    EXPECT_EQ(qobject_cast<QComboBox*>(w.Control(IDC_KIND))->currentIndex(), c.kind) << c.what;
  }
}

}  // namespace
}  // namespace kelvane
