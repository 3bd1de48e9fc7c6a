// WindowWin32: the launcher's window as a native Win32 window.
//
// A fixed tool window (small caption, close box only) whose client area is
// the design's 532 x 191 pixels at 96 dpi, scaled to the system's dpi (the
// program declares itself dpi-aware, so the system does not stretch a
// bitmap of it), white, centred on its monitor when first shown. Every
// control is made from the design table (FormDesign): static texts, push
// buttons, check boxes and the path box are the system's own controls, so
// they take the visual style of the system (common controls 6); the two
// panels and the two block meters are small window classes of our own, the
// panels painting a lowered bevel, the meters filling the rectangles the
// meter model hands them in navy on the button face.
//
// The window is only a view: clicks and the close box go to the launcher's
// logic (TSDIAppForm), which asks back through ILauncherView. Geometry is
// kept in design pixels, so what the logic reads back is what it set,
// whatever the dpi.
//
// Messages: the window runs its own loop, and ProcessMessages empties the
// queue through the very same delivery, so a click or a repaint during an
// extraction is handled exactly like one in the idle loop. The Tab key walks
// the controls in the design's tab order (not the window stacking order,
// which the panels change when they come to the front).
//
// The things a person answers are std::function members with the system's
// dialogs as defaults, so that tests can answer them.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "launcher/LauncherView.h"
#include "launcher/SDIMAIN.h"

namespace launcher {

class TWinMeter;

class TWinAppForm : public ILauncherView {
public:
  // Builds the window (hidden) from its design; the logic's start-up runs
  // before it is first shown.
  explicit TWinAppForm(TLauncherPlatform& Platform);
  ~TWinAppForm() override;
  TWinAppForm(const TWinAppForm&) = delete;
  TWinAppForm& operator=(const TWinAppForm&) = delete;

  // Shows the window, centred on its monitor the first time.
  void Show();
  // Runs the message loop until termination; returns the exit code.
  int Run();

  // The window and its controls (HWND values).
  void* Handle() const { return FWindow; }
  void* ControlHandle(TControlId Id) const { return FHandles[Id]; }
  // The dpi the window is laid out for.
  int Dpi() const { return FDpi; }
  // The control that has the keyboard focus, or ciControlCount for none.
  TControlId FocusedControl() const;
  // Whether the loop has ended (termination took effect).
  bool Terminated() const { return FTerminated; }

  TSDIAppForm& Form() { return *FForm; }

  // ---- what a person answers ------------------------------------------------
  std::function<void(const std::string&)> OnShowException;
  std::function<void(const std::string&)> OnShowMessage;
  std::function<std::optional<std::string>()> OnPickFolder;

  // ---- ILauncherView ---------------------------------------------------------
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

  // Internal: the window procedure's work for the form window.
  long long HandleMessage(void* Wnd, unsigned Msg, unsigned long long WParam, long long LParam);

private:
  void Build();
  // Delivers one queued message; the Tab key moves the focus by design order.
  void Deliver(void* Msg);
  void MoveFocus(bool Forward);
  int Scale(int Pixels) const;

  TLauncherPlatform& FPlatform;
  void* FWindow = nullptr;
  std::array<void*, ciControlCount> FHandles{};
  std::array<TRect, ciControlCount> FBounds{};
  std::unique_ptr<TWinMeter> FMeters[2];
  void* FFont = nullptr;
  void* FBigFont = nullptr;
  void* FWhiteBrush = nullptr;
  int FDpi = 96;
  bool FShown = false;
  bool FTerminated = false;
  std::unique_ptr<TSDIAppForm> FForm;
};

} // namespace launcher
