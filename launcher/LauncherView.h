// LauncherView: what the launcher's logic asks of a window.
//
// The launcher's state, its start-up decisions and its two flows are written
// once (SDIMAIN) and reach the window only through this interface. A window
// implements it over its own controls, built from the design table
// (FormDesign); the command-line modes implement it with no window at all.
// Controls are named by `TControlId`. Everything here runs on the window's
// one thread; calls that let pending window events run (ProcessMessages, the
// meters, the dialogs and the copy's window) may deliver clicks and the
// close box to the logic in the middle of a flow, which the logic's dispatch
// rules deal with.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "archive/AbProgressMeter.h"
#include "launcher/FormDesign.h"
#include "launcher/Platform.h"

namespace launcher {

class ILauncherView {
public:
  virtual ~ILauncherView() = default;

  // ---- controls -------------------------------------------------------------
  // The window's caption.
  virtual void SetCaption(const std::string& Text) = 0;
  // A control's text: a label's or button's caption, a check box's label,
  // the path box's contents.
  virtual void SetText(TControlId Id, const std::string& Text) = 0;
  virtual std::string Text(TControlId Id) = 0;
  // Position and size relative to the control's parent.
  virtual TRect Bounds(TControlId Id) = 0;
  virtual void SetBounds(TControlId Id, const TRect& Bounds) = 0;
  // Shows or hides a control; a panel that is shown comes to the front.
  virtual void SetVisible(TControlId Id, bool Visible) = 0;
  virtual bool Visible(TControlId Id) = 0;
  // Check boxes.
  virtual bool Checked(TControlId Id) = 0;
  virtual void SetChecked(TControlId Id, bool Checked) = 0;
  // The two meters (ciAbMeter1, ciAbMeter2); they live as long as the view.
  virtual ab::IAbProgressMeter& Meter(TControlId Id) = 0;

  // ---- what a person sees and answers --------------------------------------
  // The error box for an exception that escaped a handler.
  virtual void ShowException(const std::string& Message) = 0;
  // A message box with an OK button.
  virtual void ShowMessage(const std::string& Message) = 0;
  // The folder picker: the chosen folder, or nothing when cancelled.
  virtual std::optional<std::string> PickFolder() = 0;
  // The progress window and questions of one copy.
  virtual std::unique_ptr<ICopyUi> MakeCopyUi() = 0;
  // A remark on something the flow left out and goes on without (a shortcut
  // it would not save). A window keeps quiet, as it does about a desktop
  // without a folder; the command-line modes print it.
  virtual void ShowNote(const std::string& Text) { (void)Text; }

  // ---- the toolkit ----------------------------------------------------------
  // Handles every pending window event, then returns.
  virtual void ProcessMessages() = 0;
  // Termination takes effect: the window's event loop ends. Called once the
  // handler that requested it has returned (and when the close box is used
  // with no handler running).
  virtual void Terminate() = 0;
};

} // namespace launcher
