// The About box, start-up's application settings, the dialog-unit mapping and
// the explanation under "OPEN ERROR".
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "QtEnvironment.h"
#include "app/AboutDlg.h"
#include "app/FlasherApp.h"
#include "ui/DialogUnits.h"
#include "ui/FlasherDlg.h"

namespace kelvane {
namespace {

TEST(AboutBox, OpensFromTheHelpMenuAndLeavesTheWindowAsItWas) {
  CFlasherDlg dlg;
  dlg.show();
  qobject_cast<QComboBox*>(dlg.Control(IDC_KIND))->setCurrentIndex(4);

  struct Seen {
    bool found = false;
    QString title, product, notice;
    bool okDefault = false, hasIcon = false;
  } seen;
  // The box runs modally: look at it from inside its own loop, then press OK.
  QTimer::singleShot(0, [&] {
    auto* about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
    if (!about) return;
    seen.found = true;
    seen.title = about->windowTitle();
    seen.product = about->productLine->text();
    seen.notice = about->noticeLine->text();
    seen.okDefault = about->okButton->isDefault();
    seen.hasIcon = !about->iconLabel->pixmap().isNull();
    about->okButton->click();
  });
  dlg.MenuItem(ID_ABOUT)->trigger();

  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.title, QStringLiteral("About Kelvane"));
  EXPECT_EQ(seen.product, QStringLiteral("Orvando Upgrade 2.1"));
  EXPECT_TRUE(seen.notice.contains(QStringLiteral("2.1.0.0"))) << seen.notice.toStdString();
  EXPECT_TRUE(seen.okDefault);
  EXPECT_TRUE(seen.hasIcon);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(qobject_cast<QComboBox*>(dlg.Control(IDC_KIND))->currentIndex(), 4);
}

TEST(AboutBox, EscapeEndsIt) {
  CAboutDlg about;
  QTimer::singleShot(0, [&] {
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&about, &esc);
  });
  EXPECT_EQ(about.exec(), QDialog::Rejected);
  EXPECT_FALSE(about.isVisible());
}

TEST(StartUp, NamesTheApplicationAfterItsExecutable) {
  const QString before = QCoreApplication::applicationName();
  struct Case {
    const char* argv0;
    const char* name;
  };
  const Case cases[] = {
      {"/usr/local/bin/kelvane", "kelvane"},
      {"./build/kelvane", "kelvane"},
      {"kelvane", "kelvane"},
      {"/opt/k/kelvane.bin", "kelvane"},
  };
  for (const Case& c : cases) {
    CFlasherApp::Setup(*qApp, c.argv0);
    EXPECT_EQ(QCoreApplication::applicationName(), QString::fromLatin1(c.name)) << c.argv0;
    EXPECT_EQ(QCoreApplication::applicationVersion(), QStringLiteral("2.1.0.0"));
    // The icon in three sizes.
    for (int size : {16, 32, 48})
      EXPECT_TRUE(QApplication::windowIcon().availableSizes().contains(QSize(size, size))) << size;
  }
  QCoreApplication::setApplicationName(before);
}

TEST(DialogUnits, MapToPixelsRoundedFromTheBaseUnits) {
  struct Case {
    int baseX, baseY;
    int units;
    int x, y;
  };
  const Case cases[] = {
      {7, 14, 4, 7, 7},      // four horizontal units are one average character
      {7, 14, 8, 14, 14},    // eight vertical units are one character height
      {7, 14, 1, 2, 2},      // 1.75 -> 2
      {7, 14, 2, 4, 4},      // 3.5 -> 4, halves away from zero
      {7, 14, 303, 530, 530},
      {6, 13, 149, 224, 242},
      {8, 16, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const CDialogUnits du(c.baseX, c.baseY);
    EXPECT_EQ(du.X(c.units), c.x) << c.baseX << " " << c.units;
    EXPECT_EQ(du.Y(c.units), c.y) << c.baseY << " " << c.units;
  }
  // Neighbouring rectangles meet without a gap or an overlap.
  const CDialogUnits du(7, 14);
  EXPECT_EQ(du.Rect(1, 16, 59, 56).right() + 1, du.Rect(60, 16, 10, 10).left());
  EXPECT_EQ(du.Rect(62, 16, 238, 12).bottom() + 1, du.Rect(62, 28, 10, 10).top());
}

}  // namespace
}  // namespace kelvane
