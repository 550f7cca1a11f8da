#include <QApplication>

#include "app/CommandLine.h"
#include "app/FlasherApp.h"

int main(int argc, char** argv) {
  // The whole command line is one file path; Qt sees only the program's
  // name, so a path such as "-style" is never taken for one of its options.
  const std::string argumentText = kelvane::JoinArguments(argc, argv);
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  kelvane::CFlasherApp::Setup(app, argv[0]);
  return kelvane::CFlasherApp().InitInstance(argumentText);
}
