#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

namespace kelvane {

// The About box: the icon, the product line, a notice line with the version,
// and OK. OK, the close box and Escape end it.
class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  QLabel* productLine = nullptr;
  QLabel* noticeLine = nullptr;
  QLabel* iconLabel = nullptr;
  QPushButton* okButton = nullptr;
};

}  // namespace kelvane
