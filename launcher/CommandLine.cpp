// CommandLine: parsing, the view without a window, and the two modes.
#include "launcher/CommandLine.h"

#include <array>
#include <iostream>
#include <optional>

#include "archive/AbMeterModel.h"
#include "launcher/LauncherView.h"
#include "launcher/SDIMAIN.h"

namespace launcher {

namespace {

// Answers of a copy with nobody watching: replace what exists, report
// errors on stderr.
class TConsoleCopyUi : public ICopyUi {
public:
  void Begin(int64_t, int64_t) override {}
  bool Progress(const std::string&, int64_t) override { return true; }
  TReplaceAnswer ConfirmReplace(const std::string&) override { return TReplaceAnswer::raYesToAll; }
  void ShowError(const std::string& Text) override { std::cerr << Text << "\n"; }
  void End() override {}
};

// A meter nobody sees: it keeps its value by the meter's rule and has no
// window events to let run.
class TConsoleMeter : public ab::IAbProgressMeter {
public:
  void DoProgress(uint8_t Progress) override { FModel.DoProgress(Progress); }
  void Reset() override { DoProgress(0); }

private:
  ab::TAbMeterModel FModel;
};

class TConsoleView : public ILauncherView {
public:
  TConsoleView() {
    for (const TControlDesign& D : kControlDesign) FControls[D.Id] = {D.Text, D.Bounds, D.Visible, D.Checked};
  }

  // The first error box or failure message of the flow.
  std::optional<std::string> Error;

  void SetCaption(const std::string&) override {}
  void SetText(TControlId Id, const std::string& Text) override { FControls[Id].Text = Text; }
  std::string Text(TControlId Id) override { return FControls[Id].Text; }
  TRect Bounds(TControlId Id) override { return FControls[Id].Bounds; }
  void SetBounds(TControlId Id, const TRect& B) override { FControls[Id].Bounds = B; }
  void SetVisible(TControlId Id, bool V) override { FControls[Id].Visible = V; }
  bool Visible(TControlId Id) override { return FControls[Id].Visible; }
  bool Checked(TControlId Id) override { return FControls[Id].Checked; }
  void SetChecked(TControlId Id, bool C) override { FControls[Id].Checked = C; }
  ab::IAbProgressMeter& Meter(TControlId Id) override { return Id == ciAbMeter1 ? FItemMeter : FArchiveMeter; }
  void ShowException(const std::string& Message) override { Fail(Message); }
  void ShowMessage(const std::string& Message) override { Fail(Message); }
  std::optional<std::string> PickFolder() override { return std::nullopt; }
  std::unique_ptr<ICopyUi> MakeCopyUi() override { return std::make_unique<TConsoleCopyUi>(); }
  void ShowNote(const std::string& Text) override { std::cerr << Text << "\n"; }
  void ProcessMessages() override {}
  void Terminate() override {}

private:
  struct TControl {
    std::string Text;
    TRect Bounds;
    bool Visible = false;
    bool Checked = false;
  };
  void Fail(const std::string& Message) {
    if (!Error) Error = Message;
  }
  std::array<TControl, ciControlCount> FControls;
  TConsoleMeter FItemMeter, FArchiveMeter;
};

} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& Args) {
  TCommandLine C;
  TCommandLine Bad;
  Bad.Mode = TCommandLine::cmUsage;
  bool Run = false, Install = false;
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& A = Args[i];
    if (A == "--run") Run = true;
    else if (A == "--install" && i + 1 < Args.size()) {
      Install = true;
      C.InstallDir = Args[++i];
    } else if (A == "--no-desktop") C.Desktop = false;
    else if (A == "--no-startmenu") C.StartMenu = false;
    else return Bad;
  }
  if (Run && Install) return Bad;
  if (!Install && (!C.Desktop || !C.StartMenu)) return Bad;
  C.Mode = Run ? TCommandLine::cmRun : Install ? TCommandLine::cmInstall : TCommandLine::cmWindow;
  return C;
}

int Usage() {
  std::cerr << "usage: ebook-launcher [--run | --install DIR [--no-desktop] [--no-startmenu]]\n";
  return 2;
}

int RunCommandLine(const TCommandLine& Command, TLauncherPlatform& Platform) {
  TConsoleView View;
  TSDIAppForm Form(View, Platform);
  if (Command.Mode == TCommandLine::cmRun) {
    Form.Dispatch(&TSDIAppForm::Button2Click);
  } else {
    // An explicit request: installs whatever the medium, also where the
    // window itself would not offer its install button.
    Form.Dispatch(&TSDIAppForm::Button1Click);
    // A relative DIR on a command line counts from the current folder, as
    // the shell that completed it meant; the window's field counts from the
    // launcher's own folder.
    std::string Dir = Command.InstallDir;
    if (!Dir.empty() && Dir[0] != '~' && !Platform.Files->IsAbsolutePath(Dir)) Dir = Platform.Files->ExpandFileName(Dir);
    View.SetText(ciTxtPath, Dir);
    View.SetChecked(ciChkDesktop, Command.Desktop);
    View.SetChecked(ciChkStartmenu, Command.StartMenu);
    Form.Dispatch(&TSDIAppForm::btnCopyStartClick);
  }
  if (View.Error) {
    std::cerr << *View.Error << "\n";
    return 1;
  }
  return Form.TerminateRequested() ? 0 : 1;
}

} // namespace launcher
