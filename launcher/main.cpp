// ebook-launcher: the program entry.
//
// Without arguments the launcher shows its window and runs until a flow or
// the close box ends it. Two command-line modes run one flow without a
// person, for scripted use and for machines without a display (with
// QT_QPA_PLATFORM=offscreen):
//
//   ebook-launcher --run
//       what a click on the run button does, then exit: 0 when the flow
//       ended by starting the e-book, 1 with the message on stderr when it
//       would have shown an error box.
//   ebook-launcher --install DIR [--no-desktop] [--no-startmenu]
//       the installation into DIR, with the shortcut boxes cleared as asked;
//       existing files are replaced without asking, copy errors go to
//       stderr; exit codes as for --run (the failure message counts as an
//       error).
#include <QApplication>
#include <QStyleFactory>

#include <iostream>
#include <optional>
#include <string>

#include "launcher/Platform.h"
#include "launcher/SDIMAIN.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

namespace {

// Answers of a copy with nobody watching: replace what exists, report
// errors on stderr.
class TConsoleCopyUi : public launcher::ICopyUi {
public:
  void Begin(int64_t, int64_t) override {}
  bool Progress(const std::string&, int64_t) override { return true; }
  launcher::TReplaceAnswer ConfirmReplace(const std::string&) override {
    return launcher::TReplaceAnswer::raYesToAll;
  }
  void ShowError(const std::string& Text) override { std::cerr << Text << "\n"; }
  void End() override {}
};

int Usage() {
  std::cerr << "usage: ebook-launcher [--run | --install DIR [--no-desktop] [--no-startmenu]]\n";
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  QApplication App(argc, argv);
  App.setApplicationName("ebook-launcher");
  // The look: the toolkit's own cross-desktop style stands in for the
  // original's visual style; start-up goes on whatever the outcome.
  if (QStyle* Style = QStyleFactory::create("Fusion")) QApplication::setStyle(Style);

  bool Run = false;
  std::optional<std::string> InstallDir;
  bool Desktop = true, StartMenu = true;
  const QStringList Args = App.arguments();
  for (qsizetype i = 1; i < Args.size(); ++i) {
    const QString& A = Args[i];
    if (A == "--run") Run = true;
    else if (A == "--install" && i + 1 < Args.size()) InstallDir = Args[++i].toStdString();
    else if (A == "--no-desktop") Desktop = false;
    else if (A == "--no-startmenu") StartMenu = false;
    else return Usage();
  }
  if (Run && InstallDir) return Usage();
  if (!InstallDir && (!Desktop || !StartMenu)) return Usage();

  launcher::TLauncherPlatform Platform = launcher::MakePosixPlatform();
  launcher::TSDIAppForm Form(Platform);

  if (!Run && !InstallDir) {
    Form.show();
    return App.exec();
  }

  std::optional<std::string> Error;
  Form.OnShowException = [&](const std::string& Msg) { Error = Msg; };
  Form.OnShowMessage = [&](const std::string& Msg) { Error = Msg; };
  Form.OnMakeCopyUi = [] { return std::make_unique<TConsoleCopyUi>(); };
  Form.OnTerminated = [] {};
  Form.show();

  if (Run) {
    Form.Dispatch(&launcher::TSDIAppForm::Button2Click);
  } else {
    // An explicit request: installs whatever the medium, also where the
    // window itself would not offer its install button.
    Form.Dispatch(&launcher::TSDIAppForm::Button1Click);
    Form.txtPath->setText(QString::fromStdString(*InstallDir));
    Form.chkDesktop->setChecked(Desktop);
    Form.chkStartmenu->setChecked(StartMenu);
    Form.Dispatch(&launcher::TSDIAppForm::btnCopyStartClick);
  }
  if (Error) {
    std::cerr << *Error << "\n";
    return 1;
  }
  return Form.TerminateRequested() ? 0 : 1;
}
