// WindowWin32: the window, its panels and meters, and the message loop.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include "launcher/WindowWin32.h"

#include "archive/AbMeterModel.h"
#include "launcher/PlatformWindows.h"
#include "rtl/WinText.h"
#include "rtl/SysUtils.h"

namespace launcher {

namespace {

// The design's dpi: the table's pixels are pixels at this density.
constexpr int kDesignDpi = 96;
// Control identifiers: the design's ids above the range dialogs use.
constexpr int kFirstControlId = 100;
// The error and message boxes carry the program's name, as a classic
// toolkit's application title.
const wchar_t* const kAppTitle = L"ebook-launcher";
// The folder browser's title and the root it cannot leave.
const char* const kPickTitle = "설치폴더 선택";
const char* const kPickRoot = "C:\\";

const wchar_t* const kFormClass = L"ArveloLauncherForm";
const wchar_t* const kPanelClass = L"ArveloLauncherPanel";
const wchar_t* const kMeterClass = L"ArveloLauncherMeter";

COLORREF ColorOf(TRgb Rgb) { return RGB((Rgb >> 16) & 0xFF, (Rgb >> 8) & 0xFF, Rgb & 0xFF); }

TControlId IdOfWindow(HWND Control) {
  const int Id = ::GetDlgCtrlID(Control) - kFirstControlId;
  return Id >= 0 && Id < ciControlCount ? static_cast<TControlId>(Id) : ciControlCount;
}

// An exception must not unwind through the system's frames; whatever escapes
// a window procedure is shown where it happened.
template <typename F>
LRESULT Guarded(HWND Wnd, F&& Body) {
  try {
    return Body();
  } catch (const std::exception& E) {
    ::MessageBoxW(Wnd, rtl::WideText(E.what()).c_str(), kAppTitle, MB_OK | MB_ICONERROR);
  } catch (...) {
    ::MessageBoxW(Wnd, L"Unknown exception", kAppTitle, MB_OK | MB_ICONERROR);
  }
  return 0;
}

// The copy's windows are the shell's own; nothing to show here.
class TShellCopyUi : public ICopyUi {
public:
  void Begin(int64_t, int64_t) override {}
  bool Progress(const std::string&, int64_t) override { return true; }
  TReplaceAnswer ConfirmReplace(const std::string&) override { return TReplaceAnswer::raYes; }
  void ShowError(const std::string&) override {}
  void End() override {}
};

} // namespace

// ===========================================================================
// Meter
// ===========================================================================

class TWinMeter : public ab::IAbProgressMeter {
public:
  explicit TWinMeter(std::function<void()> ProcessMessages) : FProcessMessages(std::move(ProcessMessages)) {}

  void Attach(HWND Wnd) { FWnd = Wnd; }

  // A changed value is painted at once, then pending messages run: this is
  // what keeps the window alive during an extraction, also when the meter is
  // hidden (the installation's meters are never seen).
  void DoProgress(uint8_t Progress) override {
    if (!FModel.DoProgress(Progress)) return;
    if (FWnd) {
      ::InvalidateRect(FWnd, nullptr, FALSE);
      ::UpdateWindow(FWnd);
    }
    FProcessMessages();
  }
  void Reset() override { DoProgress(0); }
  int32_t Percent() const { return FModel.Percent(); }

  void Paint(HDC Dc, int W, int H) const {
    for (const ab::TAbMeterFill& F : FModel.Paint(W, H)) {
      const RECT R{F.Left, F.Top, F.Right, F.Bottom};
      ::SetBkColor(Dc, ColorFor(F.Paint));
      // ExtTextOut with an opaque rectangle fills without a brush per call.
      ::ExtTextOutW(Dc, 0, 0, ETO_OPAQUE, &R, nullptr, 0, nullptr);
    }
  }

  static LRESULT CALLBACK Proc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
    if (Msg == WM_PAINT) {
      return Guarded(Wnd, [&]() -> LRESULT {
        PAINTSTRUCT Ps;
        const HDC Dc = ::BeginPaint(Wnd, &Ps);
        RECT R;
        ::GetClientRect(Wnd, &R);
        if (const auto* M = reinterpret_cast<const TWinMeter*>(::GetWindowLongPtrW(Wnd, GWLP_USERDATA)))
          M->Paint(Dc, R.right, R.bottom);
        ::EndPaint(Wnd, &Ps);
        return 0;
      });
    }
    if (Msg == WM_ERASEBKGND) return 1;  // the paint covers every pixel
    return ::DefWindowProcW(Wnd, Msg, W, L);
  }

private:
  static COLORREF ColorFor(ab::TAbMeterPaint P) {
    switch (P) {
      case ab::mpUnused: return ::GetSysColor(COLOR_BTNFACE);
      case ab::mpUsed: return ColorOf(kMeterDesign.UsedColor);
      case ab::mpShadow: return ::GetSysColor(COLOR_BTNSHADOW);
      case ab::mpHighlight: return ::GetSysColor(COLOR_BTNHIGHLIGHT);
      case ab::mpBlack: break;
    }
    return RGB(0, 0, 0);
  }

  HWND FWnd = nullptr;
  ab::TAbMeterModel FModel;
  std::function<void()> FProcessMessages;
};

namespace {

// ===========================================================================
// Panel
// ===========================================================================

// A white panel with a lowered bevel; what its controls report (clicks,
// colour questions) is the form's business.
LRESULT CALLBACK PanelProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  switch (Msg) {
    case WM_PAINT: {
      PAINTSTRUCT Ps;
      const HDC Dc = ::BeginPaint(Wnd, &Ps);
      RECT R;
      ::GetClientRect(Wnd, &R);
      ::FillRect(Dc, &R, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
      ::DrawEdge(Dc, &R, BDR_SUNKENOUTER, BF_RECT);
      ::EndPaint(Wnd, &Ps);
      return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return ::SendMessageW(::GetAncestor(Wnd, GA_ROOT), Msg, W, L);
    default: return ::DefWindowProcW(Wnd, Msg, W, L);
  }
}

LRESULT CALLBACK FormProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    const auto* Cs = reinterpret_cast<const CREATESTRUCTW*>(L);
    ::SetWindowLongPtrW(Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Cs->lpCreateParams));
  }
  auto* Form = reinterpret_cast<TWinAppForm*>(::GetWindowLongPtrW(Wnd, GWLP_USERDATA));
  if (!Form) return ::DefWindowProcW(Wnd, Msg, W, L);
  return Guarded(Wnd, [&]() -> LRESULT { return static_cast<LRESULT>(Form->HandleMessage(Wnd, Msg, W, L)); });
}

void RegisterClasses(HINSTANCE Inst) {
  static bool Done = false;
  if (Done) return;
  Done = true;
  WNDCLASSEXW Wc{};
  Wc.cbSize = sizeof Wc;
  Wc.hInstance = Inst;
  Wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));

  Wc.lpfnWndProc = FormProc;
  Wc.lpszClassName = kFormClass;
  Wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  Wc.hIcon = static_cast<HICON>(::LoadImageW(Inst, MAKEINTRESOURCEW(1), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                             ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  Wc.hIconSm = static_cast<HICON>(::LoadImageW(Inst, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                               LR_DEFAULTCOLOR));
  ::RegisterClassExW(&Wc);

  Wc.hIcon = Wc.hIconSm = nullptr;
  Wc.lpfnWndProc = PanelProc;
  Wc.lpszClassName = kPanelClass;
  Wc.style = CS_HREDRAW | CS_VREDRAW;
  ::RegisterClassExW(&Wc);

  Wc.lpfnWndProc = TWinMeter::Proc;
  Wc.lpszClassName = kMeterClass;
  Wc.hbrBackground = nullptr;
  ::RegisterClassExW(&Wc);
}

HFONT MakeFont(int Pixels, int Dpi) {
  LOGFONTW Lf{};
  // A negative height asks for the character height, not the cell's.
  Lf.lfHeight = -::MulDiv(Pixels, Dpi, kDesignDpi);
  Lf.lfWeight = FW_NORMAL;
  Lf.lfCharSet = HANGUL_CHARSET;
  Lf.lfQuality = DEFAULT_QUALITY;
  const std::wstring Face = rtl::WideText(kFormDesign.FontFace);
  wcsncpy(Lf.lfFaceName, Face.c_str(), LF_FACESIZE - 1);
  return ::CreateFontIndirectW(&Lf);
}

int ScreenDpi() {
  const HDC Dc = ::GetDC(nullptr);
  const int Dpi = Dc ? ::GetDeviceCaps(Dc, LOGPIXELSY) : kDesignDpi;
  if (Dc) ::ReleaseDC(nullptr, Dc);
  return Dpi > 0 ? Dpi : kDesignDpi;
}

} // namespace

// ===========================================================================
// Construction
// ===========================================================================

TWinAppForm::TWinAppForm(TLauncherPlatform& Platform) : FPlatform(Platform) {
  OnShowException = [this](const std::string& Msg) {
    ::MessageBoxW(static_cast<HWND>(FWindow), rtl::WideText(Msg).c_str(), kAppTitle, MB_OK | MB_ICONERROR);
  };
  OnShowMessage = [this](const std::string& Msg) {
    ::MessageBoxW(static_cast<HWND>(FWindow), rtl::WideText(Msg).c_str(), kAppTitle, MB_OK);
  };
  OnPickFolder = [this]() -> std::optional<std::string> {
    const std::string Dir = BrowseForFolder(FWindow, kPickTitle, kPickRoot);
    if (Dir.empty()) return std::nullopt;
    return Dir;
  };
  for (auto& M : FMeters) M = std::make_unique<TWinMeter>([this] { ProcessMessages(); });
  Build();
  FForm = std::make_unique<TSDIAppForm>(*this, FPlatform);
}

TWinAppForm::~TWinAppForm() {
  FForm.reset();
  if (FWindow) {
    // The procedure must not reach a half-destroyed view.
    ::SetWindowLongPtrW(static_cast<HWND>(FWindow), GWLP_USERDATA, 0);
    ::DestroyWindow(static_cast<HWND>(FWindow));
  }
  if (FFont) ::DeleteObject(FFont);
  if (FBigFont) ::DeleteObject(FBigFont);
  if (FWhiteBrush) ::DeleteObject(FWhiteBrush);
}

int TWinAppForm::Scale(int Pixels) const { return ::MulDiv(Pixels, FDpi, kDesignDpi); }

void TWinAppForm::Build() {
  const HINSTANCE Inst = ::GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX Icc{sizeof Icc, ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&Icc);
  RegisterClasses(Inst);
  FDpi = ScreenDpi();
  FFont = MakeFont(kFormDesign.FontPixels, FDpi);
  FBigFont = MakeFont(kFormDesign.BigFontPixels, FDpi);
  FWhiteBrush = ::CreateSolidBrush(ColorOf(kFormDesign.Background));

  // A tool window with the close box as its only button, not resizable.
  const DWORD Style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  const DWORD ExStyle = WS_EX_TOOLWINDOW | WS_EX_CONTROLPARENT;
  RECT R{0, 0, Scale(kFormDesign.ClientWidth), Scale(kFormDesign.ClientHeight)};
  ::AdjustWindowRectEx(&R, Style, FALSE, ExStyle);
  const std::wstring Caption = rtl::WideText(kFormDesign.Caption);
  const HWND Form = ::CreateWindowExW(ExStyle, kFormClass, Caption.c_str(), Style, CW_USEDEFAULT, CW_USEDEFAULT,
                                      R.right - R.left, R.bottom - R.top, nullptr, nullptr, Inst, this);
  if (!Form) throw rtl::Exception("The window cannot be created");
  FWindow = Form;
  ::SendMessageW(Form, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);

  for (const TControlDesign& D : kControlDesign) {
    const HWND Parent = D.Parent == ciForm ? Form : static_cast<HWND>(FHandles[D.Parent]);
    const bool TabStop = D.TabOrder >= 0 && D.Kind != TControlKind::ckPanel;
    DWORD CStyle = WS_CHILD | WS_CLIPSIBLINGS | (D.Visible ? WS_VISIBLE : 0) | (TabStop ? WS_TABSTOP : 0);
    DWORD CEx = 0;
    const wchar_t* Class = L"STATIC";
    std::wstring Text = rtl::WideText(D.Text);
    switch (D.Kind) {
      case TControlKind::ckLabel:
        CStyle |= D.CentreText ? SS_CENTER : (SS_LEFT | SS_CENTERIMAGE);
        if (!D.WordWrap && !D.CentreText) CStyle |= SS_LEFTNOWORDWRAP;
        break;
      case TControlKind::ckButton:
        Class = L"BUTTON";
        CStyle |= BS_PUSHBUTTON;
        break;
      case TControlKind::ckCheckBox:
        Class = L"BUTTON";
        CStyle |= BS_AUTOCHECKBOX;
        break;
      case TControlKind::ckEdit:
        Class = L"EDIT";
        CStyle |= ES_AUTOHSCROLL;
        CEx = WS_EX_CLIENTEDGE;
        break;
      case TControlKind::ckPanel:
        Class = kPanelClass;
        // Its controls take part in the window's keyboard navigation; a
        // panel's caption is never shown.
        CStyle |= WS_CLIPCHILDREN;
        CEx = WS_EX_CONTROLPARENT;
        Text.clear();
        break;
      case TControlKind::ckMeter:
        Class = kMeterClass;
        break;
    }
    const TRect& B = D.Bounds;
    const HWND C = ::CreateWindowExW(CEx, Class, Text.c_str(), CStyle, Scale(B.Left), Scale(B.Top), Scale(B.Width),
                                     Scale(B.Height), Parent,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + D.Id)), Inst,
                                     nullptr);
    if (!C) throw rtl::Exception(std::string("The control ") + D.Name + " cannot be created");
    FHandles[D.Id] = C;
    FBounds[D.Id] = B;
    ::SendMessageW(C, WM_SETFONT, reinterpret_cast<WPARAM>(D.BigFont ? FBigFont : FFont), FALSE);
    if (D.Kind == TControlKind::ckCheckBox) ::SendMessageW(C, BM_SETCHECK, D.Checked ? BST_CHECKED : BST_UNCHECKED, 0);
    if (D.Kind == TControlKind::ckMeter) {
      TWinMeter& M = *FMeters[D.Id == ciAbMeter1 ? 0 : 1];
      M.Attach(C);
      ::SetWindowLongPtrW(C, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&M));
    }
  }
  // Right anchors need nothing: neither the window nor a panel ever changes
  // its size.
}

// ===========================================================================
// Showing and the message loop
// ===========================================================================

void TWinAppForm::Show() {
  const HWND Form = static_cast<HWND>(FWindow);
  if (!FShown) {
    FShown = true;
    MONITORINFO Mi{};
    Mi.cbSize = sizeof Mi;
    RECT R;
    ::GetWindowRect(Form, &R);
    if (::GetMonitorInfoW(::MonitorFromWindow(Form, MONITOR_DEFAULTTOPRIMARY), &Mi)) {
      const RECT& A = Mi.rcWork;
      const int W = R.right - R.left, H = R.bottom - R.top;
      ::SetWindowPos(Form, nullptr, A.left + (A.right - A.left - W) / 2, A.top + (A.bottom - A.top - H) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  ::ShowWindow(Form, SW_SHOW);
  ::UpdateWindow(Form);
  if (FocusedControl() == ciControlCount) MoveFocus(true);
}

int TWinAppForm::Run() {
  MSG Msg;
  while (!FTerminated) {
    const BOOL Got = ::GetMessageW(&Msg, nullptr, 0, 0);
    if (Got <= 0) break;
    Deliver(&Msg);
  }
  FTerminated = true;
  return 0;
}

void TWinAppForm::ProcessMessages() {
  MSG Msg;
  while (::PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
    if (Msg.message == WM_QUIT) {
      // Seen by a flow's message processing: the loop ends once control is
      // back there.
      FTerminated = true;
      break;
    }
    Deliver(&Msg);
  }
}

void TWinAppForm::Deliver(void* P) {
  MSG& Msg = *static_cast<MSG*>(P);
  const HWND Form = static_cast<HWND>(FWindow);
  if (Msg.message == WM_KEYDOWN && Msg.wParam == VK_TAB && (Msg.hwnd == Form || ::IsChild(Form, Msg.hwnd))) {
    MoveFocus(::GetKeyState(VK_SHIFT) >= 0);
    return;
  }
  ::TranslateMessage(&Msg);
  ::DispatchMessageW(&Msg);
}

TControlId TWinAppForm::FocusedControl() const {
  const HWND F = ::GetFocus();
  for (int i = 0; i < ciControlCount; ++i)
    if (F && FHandles[i] == F) return static_cast<TControlId>(i);
  return ciControlCount;
}

void TWinAppForm::MoveFocus(bool Forward) {
  // The controls a person can reach now: shown (with every parent) and
  // enabled, in the design's order.
  std::vector<HWND> Reach;
  for (TControlId Id : TabSequence()) {
    const HWND C = static_cast<HWND>(FHandles[Id]);
    if (::IsWindowVisible(C) && ::IsWindowEnabled(C)) Reach.push_back(C);
  }
  if (Reach.empty()) return;
  const HWND F = ::GetFocus();
  size_t At = Reach.size();
  for (size_t i = 0; i < Reach.size(); ++i)
    if (Reach[i] == F) At = i;
  size_t Next;
  if (At == Reach.size()) Next = Forward ? 0 : Reach.size() - 1;
  else Next = Forward ? (At + 1) % Reach.size() : (At + Reach.size() - 1) % Reach.size();
  ::SetFocus(Reach[Next]);
  // An edit box shows its whole text selected when tabbed into, as in a
  // dialog.
  if (IdOfWindow(Reach[Next]) == ciTxtPath) ::SendMessageW(Reach[Next], EM_SETSEL, 0, -1);
}

long long TWinAppForm::HandleMessage(void* Wnd, unsigned Msg, unsigned long long WParam, long long LParam) {
  // Creation messages come before the window's handle is known here.
  const HWND Form = static_cast<HWND>(Wnd);
  switch (Msg) {
    case WM_COMMAND:
      if (HIWORD(WParam) == BN_CLICKED && FForm) {
        const TControlId Id = IdOfWindow(reinterpret_cast<HWND>(LParam));
        if (Id != ciControlCount) FForm->Click(Id);
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      // Texts and buttons stand on the window's white; the design's labels
      // write in black, everything else in the window-text colour.
      const HDC Dc = reinterpret_cast<HDC>(WParam);
      const TControlId Id = IdOfWindow(reinterpret_cast<HWND>(LParam));
      const bool Black = Id != ciControlCount && DesignOf(Id).BlackText;
      ::SetTextColor(Dc, Black ? RGB(0, 0, 0) : ::GetSysColor(COLOR_WINDOWTEXT));
      ::SetBkColor(Dc, ColorOf(kFormDesign.Background));
      return reinterpret_cast<LRESULT>(FWhiteBrush);
    }
    case WM_CLOSE:
      // The close box only asks: a running flow finishes first.
      if (!FForm) Terminate();
      else FForm->CloseQuery();
      return 0;
    default: break;
  }
  return ::DefWindowProcW(Form, Msg, static_cast<WPARAM>(WParam), static_cast<LPARAM>(LParam));
}

// ===========================================================================
// ILauncherView
// ===========================================================================

void TWinAppForm::SetCaption(const std::string& Text) {
  ::SetWindowTextW(static_cast<HWND>(FWindow), rtl::WideText(Text).c_str());
}

void TWinAppForm::SetText(TControlId Id, const std::string& Text) {
  // A panel's caption is never shown.
  if (DesignOf(Id).Kind == TControlKind::ckPanel) return;
  ::SetWindowTextW(static_cast<HWND>(FHandles[Id]), rtl::WideText(Text).c_str());
}

std::string TWinAppForm::Text(TControlId Id) {
  const HWND C = static_cast<HWND>(FHandles[Id]);
  std::wstring W(static_cast<size_t>(::GetWindowTextLengthW(C)) + 1, L'\0');
  W.resize(static_cast<size_t>(::GetWindowTextW(C, W.data(), static_cast<int>(W.size()))));
  return rtl::NarrowText(W);
}

TRect TWinAppForm::Bounds(TControlId Id) { return FBounds[Id]; }

void TWinAppForm::SetBounds(TControlId Id, const TRect& B) {
  FBounds[Id] = B;
  ::MoveWindow(static_cast<HWND>(FHandles[Id]), Scale(B.Left), Scale(B.Top), Scale(B.Width), Scale(B.Height), TRUE);
}

void TWinAppForm::SetVisible(TControlId Id, bool Visible) {
  const HWND C = static_cast<HWND>(FHandles[Id]);
  if (Visible && DesignOf(Id).Kind == TControlKind::ckPanel)
    ::SetWindowPos(C, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ::ShowWindow(C, Visible ? SW_SHOWNA : SW_HIDE);
  // A hidden control cannot keep the focus.
  if (!Visible && FocusedControl() == Id && FShown) MoveFocus(true);
}

bool TWinAppForm::Visible(TControlId Id) {
  return (::GetWindowLongW(static_cast<HWND>(FHandles[Id]), GWL_STYLE) & WS_VISIBLE) != 0;
}

bool TWinAppForm::Checked(TControlId Id) {
  return ::SendMessageW(static_cast<HWND>(FHandles[Id]), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TWinAppForm::SetChecked(TControlId Id, bool Checked) {
  ::SendMessageW(static_cast<HWND>(FHandles[Id]), BM_SETCHECK, Checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

ab::IAbProgressMeter& TWinAppForm::Meter(TControlId Id) { return *FMeters[Id == ciAbMeter1 ? 0 : 1]; }

void TWinAppForm::ShowException(const std::string& Message) { OnShowException(Message); }
void TWinAppForm::ShowMessage(const std::string& Message) { OnShowMessage(Message); }
std::optional<std::string> TWinAppForm::PickFolder() { return OnPickFolder(); }
std::unique_ptr<ICopyUi> TWinAppForm::MakeCopyUi() { return std::make_unique<TShellCopyUi>(); }

void TWinAppForm::Terminate() {
  FTerminated = true;
  ::PostQuitMessage(0);
}

} // namespace launcher
