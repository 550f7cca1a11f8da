#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "ui/DialogFont.h"
#include "ui/DialogUnits.h"
#include "ui/FlasherDlg.h"

namespace kelvane {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8("О Программе Kelvane"));
  setFont(DialogFont(DialogFontKind::About));
  const CDialogUnits du = CDialogUnits::FromFont(font());
  setFixedSize(du.X(235), du.Y(55));

  const QIcon icon = AppIcon();
  iconLabel = new QLabel(this);
  iconLabel->setPixmap(icon.pixmap(32, 32));
  // An icon control takes the icon's own size at its position.
  iconLabel->setGeometry(du.X(11), du.Y(17), 32, 32);

  auto text = [&](const QString& s, int x, int y, int w, int h) {
    auto* l = new QLabel(s, this);
    l->setTextFormat(Qt::PlainText);
    l->setGeometry(du.Rect(x, y, w, h));
    return l;
  };
  productLine = text(QStringLiteral("Orvando Upgrade 2.1"), 40, 10, 119, 8);
  noticeLine = text(QStringLiteral("Version %1 for Linux").arg(QStringLiteral(KELVANE_VERSION)), 40, 25, 119, 8);

  okButton = new QPushButton(QStringLiteral("OK"), this);
  okButton->setGeometry(du.Rect(178, 8, 50, 14));
  okButton->setDefault(true);
  okButton->setFocus();
  connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

  setWindowIcon(icon);
  setWindowTitle(QStringLiteral("About Kelvane"));
}

}  // namespace kelvane
