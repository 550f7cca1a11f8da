#pragma once
#include <QDialog>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "app/CommandLine.h"
#include "protocol/Owner.h"
#include "serial/SerialLink.h"
#include "ui/GuiBridge.h"

class QAction;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenuBar;
class QProgressBar;
class QPushButton;

namespace kelvane {

class CDialogUnits;

// Control and command identifiers of the main window.
enum ControlId : int {
  IDC_PORT = 1000,
  IDC_KIND = 1001,
  IDC_PROGRESS = 1002,
  IDC_STATUS = 1003,
  IDC_DIRECTION = 1004,
  IDC_WRITING = 1005,
  IDC_SPEED = 1006,
  ID_EXIT = 1,
  ID_CANCEL_DIALOG = 2,
  ID_HOW_TO_UPGRADE = 57670,
  ID_CONNECT = 57671,
  ID_DISCONNECT = 57672,
  ID_LOAD = 57673,
  ID_CANCEL_TRANSFER = 57674,
  ID_ABOUT = 32773,
  ID_CLEAR_CHANNEL_LIST = 32777,
  ID_SAVE_CHANNEL_LIST = 32778,
};

// The main window: file, port, speed, kind and direction, Connect,
// Disconnect and Cancel, the progress bar and the writing notice. It owns the
// serial link and is the window the worker threads talk to, through bridge.
class CFlasherDlg : public QDialog {
  Q_OBJECT

 public:
  // argumentText: the command line's argument text, taken as the path of the
  // file to select when the window starts.
  explicit CFlasherDlg(const std::string& argumentText = std::string(), QWidget* parent = nullptr);
  ~CFlasherDlg() override;

  // A message box as the window shows it: icon, caption, text and the extra
  // explanation below the text (empty for most).
  using MessageBoxFn = std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text,
                                          const QString& informative)>;
  // Replaces every message box of the window (tests record them instead).
  void SetMessageBoxHook(MessageBoxFn hook) { messageBoxHook_ = std::move(hook); }
  // Runs the file-open dialog instead of exec(); returns its result code.
  using FileDialogFn = std::function<int(QFileDialog& dialog)>;
  void SetFileDialogHook(FileDialogFn hook) { fileDialogHook_ = std::move(hook); }

  // The control or menu item with this identifier (nullptr for none).
  QWidget* Control(int id) const;
  QAction* MenuItem(int id) const;
  // The window as the worker threads reach it.
  IFlasherOwner& Owner() { return bridge; }

  // 1: a transfer runs; 0: idle, progress at 0; any other value: nothing.
  void UpdateControls(uint8_t busy);
  void SetProgressRange(uint16_t maxPos);
  void SetProgressPos(int pos);
  // A worker's or the file check's message: application name as caption,
  // error or warning icon, owned by the window.
  void ShowAppMessage(const std::string& text, MsgIcon icon);
  // Names the Upload destination in the status text (Upload direction only).
  int OnUploadFileName();

  std::string SelectedPath() const { return std::string(szPath); }
  // Replaces the whole path; one that does not fit leaves it empty.
  void SetSelectedPath(const std::string& path);
  // Measures and classifies the file at szPath, as Load, a drop and the
  // command line do.
  void SelectImageFile();

 public slots:
  void OnConnect();
  void OnDisconnect();
  void OnCancelTransfer();
  void OnLoadFile();
  void OnAbout();
  void OnClearChannelList();
  void OnSaveChannelList();
  void OnDirectionChanged();
  void OnAccept();
  void OnDismiss();

 public:
  // Members. The bridge comes first so that it outlives the link, whose
  // destruction waits for the worker threads that use it.
  CGuiBridge bridge;
  CSerialLink link;
  int32_t nFileSize = 0;
  char szPath[kPathBytes];
  QComboBox* cbSpeed = nullptr;
  QLabel* stWriting = nullptr;
  QComboBox* cbDirection = nullptr;
  QComboBox* cbKind = nullptr;
  QPushButton* btnLoad = nullptr;
  QProgressBar* pbProgress = nullptr;
  QComboBox* cbPort = nullptr;
  QPushButton* btnDisconnect = nullptr;
  QPushButton* btnConnect = nullptr;
  QPushButton* btnCancel = nullptr;
  std::string strStatus;
  QIcon hIcon;

 protected:
  void done(int result) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateMenu();
  void CreateControls(const CDialogUnits& du);
  void OnInitDialog();
  // Pushes the members' data to the controls: the status line shows strStatus.
  void UpdateData();
  void UpdatePortToolTips();
  void ShowBox(QMessageBox::Icon icon, const QString& caption, const QString& text, const QString& informative);

  QMenuBar* menuBar_ = nullptr;
  QFrame* client_ = nullptr;
  QLabel* stStatus_ = nullptr;
  QAction* actLoad_ = nullptr;
  QAction* actExit_ = nullptr;
  QAction* actClear_ = nullptr;
  QAction* actSave_ = nullptr;
  QAction* actHowTo_ = nullptr;
  QAction* actAbout_ = nullptr;
  MessageBoxFn messageBoxHook_;
  FileDialogFn fileDialogHook_;
  QList<QPointer<QMessageBox>> openBoxes_;
  bool closing_ = false;
};

// The application icon (16, 32 and 48 pixels).
QIcon AppIcon();

}  // namespace kelvane
