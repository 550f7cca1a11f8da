#include "ui/FlasherDlg.h"

#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <algorithm>
#include <cstring>

#include "app/AboutDlg.h"
#include "image/Select.h"
#include "protocol/UploadName.h"
#include "serial/PortResolver.h"
#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"
#include "serial/OpenFailureText.h"

static void InitKelvaneResources() { Q_INIT_RESOURCE(kelvane); }

namespace kelvane {

namespace {

constexpr const char* kIdProperty = "kelvaneId";

// The window's client area in dialog units.
constexpr int kClientWidth = 303;
constexpr int kClientHeight = 149;

struct ListPlace {
  int id;
  int x, y, width, height;  // the height includes the opened drop-down part
};

const char* const kPorts[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
const char* const kSpeeds[] = {"9600", "19200", "38400", "57600", "115200"};
const char* const kKinds[] = {"Boot Only",   "Data Only",   "Program Only", "Program All",
                              "SatcoDX",     "Still Image", "KeyData"};
const char* const kDirections[] = {"Download", "Upload"};

// The instruction lines of the window: text and rectangle in dialog units.
struct StaticText {
  const char* text;
  int x, y, width, height;
};
const StaticText kInstructions[] = {
    {"Как прошить Orvando?", 123, 31, 115, 12},
    {"1 -включить рессивер в розетку", 121, 53, 119, 12},
    {"2 -Загрузить импортируимый файл в Orvando Upgrade 2.1", 65, 68, 228, 13},
    {"3 -Нажать на кнопку Подключить,и включить питание на передней панели рессивера", 66, 83, 227, 13},
    {" Дождаться сообщения, о удачной прошивке рессивера", 90, 98, 180, 13},
    {" И наслаждайтесь просмотром любимых программ", 101, 114, 161, 12},
};

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

QIcon AppIcon() {
  InitKelvaneResources();
  QIcon icon;
  for (int size : {16, 32, 48})
    icon.addFile(QStringLiteral(":/kelvane/kelvane-%1.png").arg(size), QSize(size, size));
  return icon;
}

CFlasherDlg::CFlasherDlg(const std::string& argumentText, QWidget* parent) : QDialog(parent), bridge(*this) {
  TakeCommandLinePath(argumentText, szPath);
  hIcon = AppIcon();

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setAcceptDrops(true);
  setFont(DialogFont(DialogFontKind::Main));
  const CDialogUnits du = CDialogUnits::FromFont(font());

  CreateMenu();
  CreateControls(du);

  const int menuHeight = menuBar_->sizeHint().height();
  const int edge = client_->frameWidth();
  const QSize clientSize(du.X(kClientWidth) + 2 * edge, du.Y(kClientHeight) + 2 * edge);
  menuBar_->setGeometry(0, 0, clientSize.width(), menuHeight);
  client_->setGeometry(0, menuHeight, clientSize.width(), clientSize.height());
  setFixedSize(clientSize.width(), menuHeight + clientSize.height());

  OnInitDialog();
}

CFlasherDlg::~CFlasherDlg() {
  // Workers waiting for the window are answered at once from here on; then
  // the link closes and its threads are waited for while every member they
  // may still use is alive.
  bridge.Detach();
  link.Close();
  link.WaitForThreads();
}

void CFlasherDlg::CreateMenu() {
  menuBar_ = new QMenuBar(this);
  menuBar_->setNativeMenuBar(false);
  menuBar_->setFont(QApplication::font(menuBar_));
  auto tag = [](QAction* a, int id) {
    a->setProperty(kIdProperty, id);
    return a;
  };

  QMenu* file = menuBar_->addMenu(U("&Файл"));
  actLoad_ = tag(file->addAction(U("Загрузить")), ID_LOAD);
  actExit_ = tag(file->addAction(U("Выход")), ID_EXIT);
  QMenu* options = menuBar_->addMenu(U("&Опции"));
  actClear_ = tag(options->addAction(U("Clear channel list")), ID_CLEAR_CHANNEL_LIST);
  actSave_ = tag(options->addAction(U("Сохранить список каналов")), ID_SAVE_CHANNEL_LIST);
  QMenu* help = menuBar_->addMenu(U("&Помощь"));
  actHowTo_ = tag(help->addAction(U("How To Upgrade")), ID_HOW_TO_UPGRADE);
  actAbout_ = tag(help->addAction(U("О Программе")), ID_ABOUT);

  // The channel-list pair: exactly one of the two bears the check mark.
  auto* pair = new QActionGroup(this);
  pair->setExclusive(true);
  for (QAction* a : {actClear_, actSave_}) {
    a->setCheckable(true);
    pair->addAction(a);
  }

  connect(actLoad_, &QAction::triggered, this, &CFlasherDlg::OnLoadFile);
  connect(actExit_, &QAction::triggered, this, &CFlasherDlg::OnAccept);
  connect(actClear_, &QAction::triggered, this, &CFlasherDlg::OnClearChannelList);
  connect(actSave_, &QAction::triggered, this, &CFlasherDlg::OnSaveChannelList);
  connect(actAbout_, &QAction::triggered, this, &CFlasherDlg::OnAbout);
}

void CFlasherDlg::CreateControls(const CDialogUnits& du) {
  client_ = new QFrame(this);
  client_->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
  const int edge = client_->frameWidth();
  auto place = [&](QWidget* w, int id, int x, int y, int width, int height) {
    w->setProperty(kIdProperty, id);
    w->setGeometry(du.Rect(x, y, width, height).translated(edge, edge));
  };
  // A drop-down list shows its closed field at the top of its rectangle; the
  // rest of the rectangle is what the opened list may take.
  auto list = [&](const ListPlace& s) {
    auto* cb = new QComboBox(client_);
    cb->setEditable(false);
    place(cb, s.id, s.x, s.y, s.width, s.height);
    const int closed = cb->sizeHint().height();
    cb->resize(cb->width(), closed);
    const int itemHeight = cb->fontMetrics().height() + 2;
    cb->setMaxVisibleItems(std::max(1, (du.Y(s.height) - closed) / itemHeight));
    return cb;
  };
  auto button = [&](int id, const char* text, int x, int y, int width, int height) {
    auto* b = new QPushButton(U(text), client_);
    b->setAutoDefault(false);
    place(b, id, x, y, width, height);
    return b;
  };
  auto label = [&](int id, const QString& text, int x, int y, int width, int height) {
    auto* l = new QLabel(text, client_);
    l->setTextFormat(Qt::PlainText);
    l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    l->setWordWrap(true);
    place(l, id, x, y, width, height);
    return l;
  };

  // In template order, which is also the tab order.
  cbPort = list({IDC_PORT, 62, 30, 57, 39});
  cbKind = list({IDC_KIND, 1, 16, 59, 56});
  btnConnect = button(ID_CONNECT, "Подключить", 2, 69, 53, 14);
  btnDisconnect = button(ID_DISCONNECT, "Отключить", 3, 129, 51, 14);
  pbProgress = new QProgressBar(client_);
  pbProgress->setTextVisible(false);
  pbProgress->setRange(0, 100);
  pbProgress->setValue(0);
  place(pbProgress, IDC_PROGRESS, 62, 16, 238, 12);
  btnCancel = button(ID_CANCEL_TRANSFER, "Отменить", 250, 130, 50, 14);
  stStatus_ = label(IDC_STATUS, QString(), 74, 2, 192, 12);
  btnLoad = button(ID_LOAD, "Загрузить", 2, 1, 53, 14);
  cbDirection = list({IDC_DIRECTION, 1, 85, 59, 35});
  stWriting = label(IDC_WRITING, U("Запись в память..."), 139, 137, 81, 12);
  stWriting->hide();
  cbSpeed = list({IDC_SPEED, 242, 31, 59, 37});
  for (const StaticText& s : kInstructions) {
    // A line too long for its width wraps, as a centred static does; it then
    // gets the height of its lines rather than losing the second one.
    QLabel* l = label(0, U(s.text), s.x, s.y, s.width, s.height);
    const int needed = l->heightForWidth(l->width());
    if (needed > l->height()) l->resize(l->width(), needed);
  }

  connect(btnConnect, &QPushButton::clicked, this, &CFlasherDlg::OnConnect);
  connect(btnDisconnect, &QPushButton::clicked, this, &CFlasherDlg::OnDisconnect);
  connect(btnCancel, &QPushButton::clicked, this, &CFlasherDlg::OnCancelTransfer);
  connect(btnLoad, &QPushButton::clicked, this, &CFlasherDlg::OnLoadFile);
  connect(cbDirection, &QComboBox::activated, this, &CFlasherDlg::OnDirectionChanged);
}

void CFlasherDlg::OnInitDialog() {
  UpdateData();
  setWindowIcon(hIcon);

  auto fill = [](QComboBox* cb, const auto& items, int selected) {
    for (const char* item : items) cb->addItem(QString::fromLatin1(item));
    cb->setCurrentIndex(selected);
  };
  fill(cbPort, kPorts, 0);
  UpdatePortToolTips();
  fill(cbSpeed, kSpeeds, 4);
  fill(cbKind, kKinds, 2);
  fill(cbDirection, kDirections, 0);

  btnCancel->setEnabled(false);
  btnDisconnect->setEnabled(false);

  link.SetOwner(&bridge);

  actClear_->setChecked(true);
  actSave_->setChecked(false);
  link.bSaveChannelList.store(0);
  actHowTo_->setEnabled(false);

  setWindowTitle(QStringLiteral("Kelvane Ver %1").arg(QStringLiteral("2.0")));

  if (szPath[0] != '\0') SelectImageFile();
  UpdateData();
  cbPort->setFocus();
}

QWidget* CFlasherDlg::Control(int id) const {
  for (QWidget* w : client_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (w->property(kIdProperty).toInt() == id && id != 0) return w;
  return nullptr;
}

QAction* CFlasherDlg::MenuItem(int id) const {
  for (QAction* a : {actLoad_, actExit_, actClear_, actSave_, actHowTo_, actAbout_})
    if (a->property(kIdProperty).toInt() == id) return a;
  return nullptr;
}

void CFlasherDlg::UpdateData() { stStatus_->setText(QString::fromLocal8Bit(strStatus)); }

void CFlasherDlg::UpdatePortToolTips() {
  for (int i = 0; i < cbPort->count(); ++i) {
    const std::string device = ResolvePortDevice(i + 1);
    cbPort->setItemData(i, device.empty() ? QStringLiteral("no device") : QString::fromLocal8Bit(device),
                        Qt::ToolTipRole);
  }
}

// ---- transfer state ---------------------------------------------------------

void CFlasherDlg::UpdateControls(uint8_t busy) {
  if (busy == 1) {
    btnCancel->setEnabled(true);
    for (QWidget* w : {static_cast<QWidget*>(cbPort), static_cast<QWidget*>(cbSpeed),
                       static_cast<QWidget*>(btnLoad), static_cast<QWidget*>(cbDirection),
                       static_cast<QWidget*>(btnConnect), static_cast<QWidget*>(cbKind)})
      w->setEnabled(false);
    for (QAction* a : {actLoad_, actClear_, actSave_}) a->setEnabled(false);
  } else if (busy == 0) {
    pbProgress->setValue(pbProgress->minimum());
    btnCancel->setEnabled(false);
    btnDisconnect->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(cbPort), static_cast<QWidget*>(cbSpeed),
                       static_cast<QWidget*>(btnConnect), static_cast<QWidget*>(btnLoad),
                       static_cast<QWidget*>(cbDirection), static_cast<QWidget*>(cbKind)})
      w->setEnabled(true);
    for (QAction* a : {actLoad_, actClear_, actSave_}) a->setEnabled(true);
  }
}

void CFlasherDlg::SetProgressRange(uint16_t maxPos) {
  // An empty range would make the bar an endless "busy" animation; 0..0 is
  // an empty bar.
  pbProgress->setRange(0, maxPos > 0 ? maxPos : 1);
  pbProgress->setValue(0);
}

void CFlasherDlg::SetProgressPos(int pos) {
  // Positions outside the range are pinned to its ends, not ignored.
  pbProgress->setValue(std::clamp(pos, pbProgress->minimum(), pbProgress->maximum()));
}

// ---- message boxes ----------------------------------------------------------

void CFlasherDlg::ShowBox(QMessageBox::Icon icon, const QString& caption, const QString& text,
                          const QString& informative) {
  if (messageBoxHook_) {
    messageBoxHook_(icon, caption, text, informative);
    return;
  }
  QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
  if (!informative.isEmpty()) box.setInformativeText(informative);
  openBoxes_.append(&box);
  box.exec();
  openBoxes_.removeAll(&box);
}

void CFlasherDlg::ShowAppMessage(const std::string& text, MsgIcon icon) {
  ShowBox(icon == MsgIcon::Error ? QMessageBox::Critical : QMessageBox::Warning,
          QCoreApplication::applicationName(), QString::fromLocal8Bit(text), QString());
}

// ---- commands ---------------------------------------------------------------

void CFlasherDlg::OnConnect() {
  const int port = cbPort->currentIndex() + 1;
  link.nPort.store(static_cast<uint8_t>(port));
  if (link.Open() == 1) {
    btnConnect->setEnabled(false);
    btnDisconnect->setEnabled(true);
    return;
  }
  UpdatePortToolTips();
  const std::string detail =
      ExplainOpenFailure("COM" + std::to_string(port), link.LastDevice(), link.LastFailure(), link.LastFailureReason());
  ShowBox(QMessageBox::NoIcon, QStringLiteral("ERROR"), QStringLiteral("OPEN ERROR"),
          QString::fromLocal8Bit(detail));
}

void CFlasherDlg::OnDisconnect() {
  if (link.Close() != 1) return;
  btnDisconnect->setEnabled(false);
  btnConnect->setEnabled(true);
  btnCancel->setEnabled(false);
}

void CFlasherDlg::OnCancelTransfer() { link.Cancel(); }

void CFlasherDlg::OnClearChannelList() {
  actClear_->setChecked(true);
  actSave_->setChecked(false);
  link.bSaveChannelList.store(0);
}

void CFlasherDlg::OnSaveChannelList() {
  actSave_->setChecked(true);
  actClear_->setChecked(false);
  link.bSaveChannelList.store(1);
}

void CFlasherDlg::OnDirectionChanged() { cbKind->setEnabled(true); }

void CFlasherDlg::OnAbout() {
  CAboutDlg about;
  about.exec();
}

void CFlasherDlg::OnAccept() { accept(); }
void CFlasherDlg::OnDismiss() { reject(); }

void CFlasherDlg::done(int result) {
  // Every way of closing comes here: "Выход" and the accept key (accept),
  // the close box and Escape (reject). The link closes first; workers that
  // wait for the window are released rather than waited for.
  if (!closing_) {
    closing_ = true;
    bridge.Detach();
    for (const QPointer<QMessageBox>& box : openBoxes_)
      if (box) box->reject();
    link.Close();
  }
  QDialog::done(result);
}

void CFlasherDlg::keyPressEvent(QKeyEvent* event) {
  // Enter on anything but a button is the dialog's accept key (a focused
  // button takes Enter itself).
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    OnAccept();
    return;
  }
  QDialog::keyPressEvent(event);
}

// ---- file selection ---------------------------------------------------------

void CFlasherDlg::SetSelectedPath(const std::string& path) {
  std::memset(szPath, 0, sizeof szPath);
  if (path.size() < sizeof szPath) std::memcpy(szPath, path.data(), path.size());
}

void CFlasherDlg::SelectImageFile() {
  const CSelection sel = ::kelvane::SelectImageFile(
      SelectedPath(), cbKind->currentIndex(), [this](const std::string& text, MsgIcon icon) { ShowAppMessage(text, icon); });
  if (!sel.selected) {
    SetSelectedPath(std::string());
    return;
  }
  nFileSize = sel.fileSize;
  strStatus = sel.status;
  if (sel.kind >= 0 && sel.kind < cbKind->count()) cbKind->setCurrentIndex(sel.kind);
  UpdateData();
}

void CFlasherDlg::OnLoadFile() {
  QFileDialog dialog(this, QStringLiteral("File Open"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // A name that does not exist may be entered: the selection finds it out.
  dialog.setFileMode(QFileDialog::AnyFile);
  const QStringList filters = {QStringLiteral("*.BIN;*.SDX;*.JPG (*.bin *.sdx *.jpg)"), QStringLiteral("*.* (*)")};
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.first());
  // Names match whatever their case ("MAIN.BIN" and "main.bin").
  dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
  if (szPath[0] != '\0') dialog.selectFile(QFile::decodeName(szPath));

  const int result = fileDialogHook_ ? fileDialogHook_(dialog) : dialog.exec();
  if (result != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return;
  const QByteArray path = QFile::encodeName(chosen.first());
  // A path that does not fit is refused like a cancel: nothing changes.
  if (static_cast<size_t>(path.size()) >= sizeof szPath) return;
  SetSelectedPath(path.toStdString());
  SelectImageFile();
}

namespace {
bool HasLocalFiles(const QMimeData* mime) {
  if (!mime || !mime->hasUrls()) return false;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) return true;
  return false;
}
}  // namespace

void CFlasherDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (HasLocalFiles(event->mimeData())) event->acceptProposedAction();
}

void CFlasherDlg::dragMoveEvent(QDragMoveEvent* event) {
  if (HasLocalFiles(event->mimeData())) event->acceptProposedAction();
}

void CFlasherDlg::dropEvent(QDropEvent* event) {
  if (!HasLocalFiles(event->mimeData())) return;
  // Each dropped file in turn becomes the path; the last one stays. A path
  // too long to hold leaves it empty rather than shortened.
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) SetSelectedPath(QFile::encodeName(url.toLocalFile()).toStdString());
  event->acceptProposedAction();
  SelectImageFile();
}

int CFlasherDlg::OnUploadFileName() {
  if (cbDirection->currentIndex() == 1)
    if (const char* name = UploadFileNameForKind(cbKind->currentIndex())) strStatus = name;
  UpdateData();
  return 1;
}

}  // namespace kelvane
