// ebook-launcher: the program entry. Without arguments the window; with
// --run or --install one flow without a window (CommandLine.h).
#include <QApplication>
#include <QStyleFactory>

#include <string>
#include <vector>

#include "launcher/CommandLine.h"
#include "launcher/Platform.h"
#include "launcher/QtWindow.h"

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  const launcher::TCommandLine Command = launcher::ParseCommandLine(Args);
  if (Command.Mode == launcher::TCommandLine::cmUsage) return launcher::Usage();

  launcher::TLauncherPlatform Platform = launcher::MakePosixPlatform();
  if (Command.Mode != launcher::TCommandLine::cmWindow) return launcher::RunCommandLine(Command, Platform);

  QApplication App(argc, argv);
  App.setApplicationName("ebook-launcher");
  // The look: the toolkit's own cross-desktop style stands in for the
  // original's visual style; start-up goes on whatever the outcome.
  if (QStyle* Style = QStyleFactory::create("Fusion")) QApplication::setStyle(Style);
  launcher::TQtAppForm Form(Platform);
  Form.show();
  return App.exec();
}
