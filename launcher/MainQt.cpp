// ebook-launcher: the program entry. Without arguments the window; with
// --run or --install one flow without a window (CommandLine.h).
#include <QApplication>
#include <QFileInfo>
#include <QStyleFactory>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "launcher/CommandLine.h"
#include "launcher/PlatformPosix.h"
#include "launcher/WindowQt.h"

int main(int argc, char** argv) {
  std::vector<std::string> Args(argv + 1, argv + argc);
  const launcher::TCommandLine Command = launcher::ParseCommandLine(Args);
  if (Command.Mode == launcher::TCommandLine::cmUsage) return launcher::Usage();

  launcher::TLauncherPlatform Platform = launcher::MakePosixPlatform();
  if (Command.Mode != launcher::TCommandLine::cmWindow) return launcher::RunCommandLine(Command, Platform);

  // Without a display and without a platform chosen the toolkit would
  // abort with its own plugin advice; the user is told what works instead.
  auto Set = [](const char* Name) { const char* V = std::getenv(Name); return V && *V; };
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
    std::cerr << "ebook-launcher: no display for the window; --run and --install DIR work without one\n";
    return 1;
  }
  // A medium carries the toolkit's plugins in linux/plugins beside the
  // program (its libraries in linux/lib, found through the program's search
  // path); they come before the system's.
  const QString Plugins = QString::fromStdString(Platform.Folders->AppFolder()) + "/linux/plugins";
  if (QFileInfo(Plugins).isDir()) QCoreApplication::addLibraryPath(Plugins);
  QApplication App(argc, argv);
  App.setApplicationName("ebook-launcher");
  // The look: the toolkit's own cross-desktop style stands in for the
  // original's visual style; start-up goes on whatever the outcome.
  if (QStyle* Style = QStyleFactory::create("Fusion")) QApplication::setStyle(Style);
  launcher::TQtAppForm Form(Platform);
  Form.show();
  return App.exec();
}
