// WindowQt: the launcher's window on Qt.
//
// The window is built from the design table (FormDesign) control by control
// and is nothing but a view: it hands every click and the close box to the
// launcher's logic (TSDIAppForm, which it creates once its controls exist)
// and does what the logic asks through ILauncherView. The design's rules
// that a toolkit must realise itself live here: right-anchored controls keep
// their right margin when their parent grows, a panel that is shown comes to
// the front, the window is centred when first shown.
//
// The few things a person answers (the error box, the failure message, the
// folder picker, the copy's progress window) are std::function members with
// dialog defaults, so that tests can answer them without a person.
#pragma once

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "launcher/LauncherView.h"
#include "launcher/SDIMAIN.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ab {
class TAbMeter;
} // namespace ab

namespace launcher {

class TQtAppForm : public QWidget, public ILauncherView {
public:
  // Builds the window from its design; the logic's start-up runs before the
  // window is first shown.
  explicit TQtAppForm(TLauncherPlatform& Platform, QWidget* Parent = nullptr);
  ~TQtAppForm() override;

  // ---- controls, in design order (owned by the window) ----------------------
  QLabel* Label1 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QFrame* Panel1 = nullptr;
  QCheckBox* chkDesktop = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* txtPath = nullptr;
  QPushButton* btnPath = nullptr;
  QCheckBox* chkStartmenu = nullptr;
  QPushButton* btnCopyStart = nullptr;
  QFrame* Panel2 = nullptr;
  QLabel* Label4 = nullptr;
  ab::TAbMeter* AbMeter1 = nullptr;
  ab::TAbMeter* AbMeter2 = nullptr;

  // The logic behind the window.
  TSDIAppForm& Form() { return *FForm; }
  void Dispatch(TSDIAppForm::THandler Handler) { FForm->Dispatch(Handler); }
  bool TerminateRequested() const { return FForm->TerminateRequested(); }
  bool Busy() const { return FForm->Busy(); }

  // ---- what a person answers --------------------------------------------------
  std::function<void(const std::string&)> OnShowException;
  std::function<void(const std::string&)> OnShowMessage;
  std::function<std::optional<std::string>()> OnPickFolder;
  std::function<std::unique_ptr<ICopyUi>()> OnMakeCopyUi;
  // What termination does once it takes effect (ends the event loop).
  std::function<void()> OnTerminated;

  // ---- ILauncherView -----------------------------------------------------------
  void SetCaption(const std::string& Text) override;
  void SetText(TControlId Id, const std::string& Text) override;
  std::string Text(TControlId Id) override;
  TRect Bounds(TControlId Id) override;
  void SetBounds(TControlId Id, const TRect& Bounds) override;
  void SetVisible(TControlId Id, bool Visible) override;
  bool Visible(TControlId Id) override;
  bool Checked(TControlId Id) override;
  void SetChecked(TControlId Id, bool Checked) override;
  ab::IAbProgressMeter& Meter(TControlId Id) override;
  void ShowException(const std::string& Message) override;
  void ShowMessage(const std::string& Message) override;
  std::optional<std::string> PickFolder() override;
  std::unique_ptr<ICopyUi> MakeCopyUi() override;
  void ProcessMessages() override;
  void Terminate() override;

protected:
  void closeEvent(QCloseEvent* Event) override;
  void showEvent(QShowEvent* Event) override;

private:
  void BuildDesign();

  std::array<QWidget*, ciControlCount> FControls{};
  std::unique_ptr<TSDIAppForm> FForm;
  bool FCentred = false;
};

} // namespace launcher
