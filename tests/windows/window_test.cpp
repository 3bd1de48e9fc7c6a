// The native Windows window, read back through the system: every control's
// class, rectangle, text and font against the design table, the three faces
// FormCreate picks by medium, the design's tab order, the meters' pixels,
// message processing at a change of a meter's value, and the error box of a
// run whose payload gives nothing. A picture of each face is saved as PNG in
// the folder ARVELO_SCREENSHOT_DIR names (environment first, then the build's).
//
// The drive kind is the one thing a test machine cannot provide in every
// variant, so the medium service is replaced by a stand-in here; everything
// else is the program's own platform and window.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "launcher/FormDesign.h"
#include "launcher/PlatformWindows.h"
#include "launcher/WindowWin32.h"
#include "rtl/WinText.h"

namespace {

using namespace launcher;

class TStandInMedium : public IMedium {
public:
  TStandInMedium(TDriveKind Kind, int64_t Size) : FKind(Kind), FSize(Size) {}
  int64_t VolumeSize(const std::string&) override { return FSize; }
  TDriveKind DriveKind(const std::string&) override { return FKind; }

private:
  TDriveKind FKind;
  int64_t FSize;
};

std::wstring WindowText(HWND W) {
  wchar_t Buf[512] = {};
  ::GetWindowTextW(W, Buf, 512);
  return Buf;
}

std::wstring ClassOf(HWND W) {
  wchar_t Buf[128] = {};
  ::GetClassNameW(W, Buf, 128);
  return Buf;
}

// A control's rectangle in its parent's client coordinates.
RECT RectInParent(HWND W) {
  RECT R;
  ::GetWindowRect(W, &R);
  ::MapWindowPoints(nullptr, ::GetParent(W), reinterpret_cast<POINT*>(&R), 2);
  return R;
}

// ---- PNG of a screen rectangle (stored deflate blocks, no compressor) ------

uint32_t Crc32(const uint8_t* P, size_t N, uint32_t C = 0) {
  C = ~C;
  for (size_t i = 0; i < N; ++i) {
    C ^= P[i];
    for (int k = 0; k < 8; ++k) C = (C >> 1) ^ (0xEDB88320u & (0u - (C & 1)));
  }
  return ~C;
}

void PutBE32(std::string& S, uint32_t V) {
  for (int i = 3; i >= 0; --i) S.push_back(static_cast<char>((V >> (8 * i)) & 0xFF));
}

void Chunk(std::string& Png, const char* Kind, const std::string& Data) {
  PutBE32(Png, static_cast<uint32_t>(Data.size()));
  const std::string Body = std::string(Kind, 4) + Data;
  Png += Body;
  PutBE32(Png, Crc32(reinterpret_cast<const uint8_t*>(Body.data()), Body.size()));
}

void SaveScreenPng(const RECT& R, const std::string& Name) {
  const int W = R.right - R.left, H = R.bottom - R.top;
  const HDC Screen = ::GetDC(nullptr);
  const HDC Mem = ::CreateCompatibleDC(Screen);
  BITMAPINFO Bi{};
  Bi.bmiHeader = {sizeof(BITMAPINFOHEADER), W, -H, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* Bits = nullptr;
  const HBITMAP Bmp = ::CreateDIBSection(Screen, &Bi, DIB_RGB_COLORS, &Bits, nullptr, 0);
  const HGDIOBJ Old = ::SelectObject(Mem, Bmp);
  ::BitBlt(Mem, 0, 0, W, H, Screen, R.left, R.top, SRCCOPY);
  ::GdiFlush();
  std::string Raw;
  const auto* Px = static_cast<const uint8_t*>(Bits);
  for (int y = 0; y < H; ++y) {
    Raw.push_back(0);
    for (int x = 0; x < W; ++x) {
      const uint8_t* P = Px + (static_cast<size_t>(y) * W + x) * 4;
      Raw.push_back(static_cast<char>(P[2]));
      Raw.push_back(static_cast<char>(P[1]));
      Raw.push_back(static_cast<char>(P[0]));
    }
  }
  ::SelectObject(Mem, Old);
  ::DeleteObject(Bmp);
  ::DeleteDC(Mem);
  ::ReleaseDC(nullptr, Screen);

  std::string Z = "\x78\x01";
  uint32_t A = 1, B = 0;
  for (unsigned char C : Raw) {
    A = (A + C) % 65521;
    B = (B + A) % 65521;
  }
  for (size_t At = 0; At < Raw.size() || At == 0; At += 65535) {
    const size_t N = std::min<size_t>(65535, Raw.size() - At);
    Z.push_back(At + N >= Raw.size() ? 1 : 0);
    Z.push_back(static_cast<char>(N & 0xFF));
    Z.push_back(static_cast<char>(N >> 8));
    Z.push_back(static_cast<char>(~N & 0xFF));
    Z.push_back(static_cast<char>((~N >> 8) & 0xFF));
    Z.append(Raw, At, N);
    if (Raw.empty()) break;
  }
  PutBE32(Z, (B << 16) | A);
  std::string Png = "\x89PNG\r\n\x1a\n";
  std::string Ihdr;
  PutBE32(Ihdr, static_cast<uint32_t>(W));
  PutBE32(Ihdr, static_cast<uint32_t>(H));
  Ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  Chunk(Png, "IHDR", Ihdr);
  Chunk(Png, "IDAT", Z);
  Chunk(Png, "IEND", "");
  // A run may name its own folder (one per Windows version Wine plays).
  const char* Env = std::getenv("ARVELO_SCREENSHOT_DIR");
  const std::string Dir = Env && *Env ? Env : ARVELO_SCREENSHOT_DIR;
  ::CreateDirectoryW(rtl::WideText(Dir).c_str(), nullptr);
  std::ofstream(Dir + "/" + Name + ".png", std::ios::binary) << Png;
}

// ---- fixture -------------------------------------------------------------------

class WinWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    wchar_t Temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, Temp);
    Folder = std::wstring(Temp) + L"launcher-window-test";
    ::CreateDirectoryW(Folder.c_str(), nullptr);
    // The profile reader takes UTF-16 with its byte-order mark.
    const std::wstring Ini = L"\xFEFF[Settings]\r\ntitle=국어 학습지도서\r\nexe=main.exe\r\ntarget=국어\r\n";
    std::ofstream(rtl::NarrowText(Folder + L"\\config.ini"), std::ios::binary)
        .write(reinterpret_cast<const char*>(Ini.data()), static_cast<std::streamsize>(Ini.size() * 2));
    // Only the test that brings a payload has one.
    ::DeleteFileW((Folder + L"\\ebook\\ebookRun.qtx").c_str());
    ::SetCurrentDirectoryW(Folder.c_str());
  }

  void TearDown() override {
    // A termination leaves its quit message behind; the next window must
    // not see it.
    MSG Msg;
    while (::PeekMessageW(&Msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  std::unique_ptr<TWinAppForm> Make(TDriveKind Kind, int64_t Size) {
    Platform = MakeWinPlatform({[this]() -> void* { return Form ? Form->Handle() : nullptr; }, false});
    Platform.Medium = std::make_unique<TStandInMedium>(Kind, Size);
    auto F = std::make_unique<TWinAppForm>(Platform);
    F->OnShowException = [this](const std::string& M) { Errors.push_back(M); };
    F->OnShowMessage = [this](const std::string& M) { Errors.push_back(M); };
    Form = F.get();
    F->Show();
    Pump();
    return F;
  }

  void Pump() {
    for (int i = 0; i < 5; ++i) {
      Form->ProcessMessages();
      ::Sleep(20);
    }
  }

  HWND H(TControlId Id) const { return static_cast<HWND>(Form->ControlHandle(Id)); }
  int S(int Pixels) const { return ::MulDiv(Pixels, Form->Dpi(), 96); }

  void ExpectRect(TControlId Id, TRect B) {
    const RECT R = RectInParent(H(Id));
    EXPECT_EQ(R.left, S(B.Left)) << DesignOf(Id).Name;
    EXPECT_EQ(R.top, S(B.Top)) << DesignOf(Id).Name;
    EXPECT_EQ(R.right - R.left, S(B.Width)) << DesignOf(Id).Name;
    EXPECT_EQ(R.bottom - R.top, S(B.Height)) << DesignOf(Id).Name;
  }

  void Screenshot(const std::string& Name) {
    RECT R;
    ::GetWindowRect(static_cast<HWND>(Form->Handle()), &R);
    SaveScreenPng(R, Name);
  }

  // The controls the Tab key visits from the first, until it comes round.
  std::vector<TControlId> TabWalk() {
    std::vector<TControlId> Seen;
    for (int i = 0; i < 20; ++i) {
      ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_TAB, 0);
      Pump();
      const TControlId Id = Form->FocusedControl();
      if (!Seen.empty() && Id == Seen.front()) break;
      Seen.push_back(Id);
    }
    return Seen;
  }

  std::wstring Folder;
  TLauncherPlatform Platform;
  TWinAppForm* Form = nullptr;
  std::vector<std::string> Errors;
};

// ---- tests ---------------------------------------------------------------------------

TEST_F(WinWindowTest, CdFaceMatchesTheDesignControlByControl) {
  auto F = Make(TDriveKind::dkOptical, 700000000);
  const HWND Wnd = static_cast<HWND>(F->Handle());
  // The dpi the run was set up for, when it says.
  if (const char* Dpi = std::getenv("ARVELO_EXPECT_DPI")) {
    EXPECT_EQ(F->Dpi(), std::atoi(Dpi));
  }

  // A fixed tool window with a close box only, client area as designed.
  const LONG Style = ::GetWindowLongW(Wnd, GWL_STYLE), Ex = ::GetWindowLongW(Wnd, GWL_EXSTYLE);
  EXPECT_TRUE(Ex & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(Style & WS_SYSMENU);
  EXPECT_FALSE(Style & (WS_THICKFRAME | WS_MAXIMIZEBOX | WS_MINIMIZEBOX));
  RECT C;
  ::GetClientRect(Wnd, &C);
  EXPECT_EQ(C.right, S(532));
  EXPECT_EQ(C.bottom, S(191));
  // Centred on the work area.
  RECT W, Work;
  ::GetWindowRect(Wnd, &W);
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &Work, 0);
  EXPECT_LE(std::abs((W.left + W.right) - (Work.left + Work.right)), 2);
  EXPECT_LE(std::abs((W.top + W.bottom) - (Work.top + Work.bottom)), 2);
  EXPECT_EQ(WindowText(Wnd), L"국어 학습지도서");

  for (const TControlDesign& D : kControlDesign) {
    SCOPED_TRACE(D.Name);
    const HWND Ctl = H(D.Id);
    const HWND Parent = D.Parent == ciForm ? Wnd : H(D.Parent);
    EXPECT_EQ(::GetParent(Ctl), Parent);
    const LONG CStyle = ::GetWindowLongW(Ctl, GWL_STYLE);
    switch (D.Kind) {
      case TControlKind::ckLabel: EXPECT_EQ(ClassOf(Ctl), L"Static"); break;
      case TControlKind::ckButton:
        EXPECT_EQ(ClassOf(Ctl), L"Button");
        EXPECT_EQ(CStyle & BS_TYPEMASK, BS_PUSHBUTTON);
        break;
      case TControlKind::ckCheckBox:
        EXPECT_EQ(ClassOf(Ctl), L"Button");
        EXPECT_EQ(CStyle & BS_TYPEMASK, BS_AUTOCHECKBOX);
        EXPECT_EQ(::SendMessageW(Ctl, BM_GETCHECK, 0, 0), BST_CHECKED);
        break;
      case TControlKind::ckEdit: EXPECT_EQ(ClassOf(Ctl), L"Edit"); break;
      case TControlKind::ckPanel: EXPECT_EQ(ClassOf(Ctl), L"ArveloLauncherPanel"); break;
      case TControlKind::ckMeter: EXPECT_EQ(ClassOf(Ctl), L"ArveloLauncherMeter"); break;
    }
    EXPECT_EQ((CStyle & WS_TABSTOP) != 0, D.TabOrder >= 0 && D.Kind != TControlKind::ckPanel);
    ExpectRect(D.Id, D.Bounds);
    // The design's texts, but for the four FormCreate replaces.
    if (D.Id != ciLabel1 && D.Id != ciButton2 && D.Id != ciTxtPath && D.Kind != TControlKind::ckPanel) {
      EXPECT_EQ(WindowText(Ctl), rtl::WideText(D.Text));
    }
    // Both panels hidden, everything else as designed.
    EXPECT_EQ(::IsWindowVisible(Ctl) != 0, D.Kind != TControlKind::ckPanel && D.Parent == ciForm);
    // The system's controls carry the design's font.
    if (D.Kind != TControlKind::ckPanel && D.Kind != TControlKind::ckMeter) {
      LOGFONTW Lf{};
      ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(Ctl, WM_GETFONT, 0, 0)), sizeof Lf, &Lf);
      EXPECT_STREQ(Lf.lfFaceName, L"맑은 고딕");
      EXPECT_EQ(Lf.lfCharSet, HANGUL_CHARSET);
      EXPECT_EQ(Lf.lfHeight, -S(D.BigFont ? 15 : 13));
    }
  }
  EXPECT_EQ(WindowText(H(ciLabel1)), L"본 CD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.");
  EXPECT_EQ(WindowText(H(ciButton2)), L"CD에서 바로 실행");
  EXPECT_EQ(WindowText(H(ciTxtPath)), L"C:\\ebook\\국어");
  Screenshot("windows-face-cd");
}

TEST_F(WinWindowTest, RemovableAndOtherFaces) {
  {
    auto F = Make(TDriveKind::dkRemovable, -1);
    EXPECT_EQ(WindowText(H(ciLabel1)), L"컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.");
    EXPECT_EQ(WindowText(H(ciButton2)), L"바로 실행");
    EXPECT_TRUE(::IsWindowVisible(H(ciButton1)));
    ExpectRect(ciButton2, {267, 132, 257, 40});
    Screenshot("windows-face-removable");
    Form = nullptr;
  }
  auto F = Make(TDriveKind::dkOther, 1LL << 40);
  EXPECT_EQ(WindowText(H(ciButton2)), L"실     행");
  EXPECT_FALSE(::IsWindowVisible(H(ciButton1)));
  // The run button takes the whole row, keeping its right edge.
  ExpectRect(ciButton2, {8, 132, 516, 40});
  Screenshot("windows-face-other");
}

TEST_F(WinWindowTest, TabFollowsTheDesignOrderAndTheInstallPanelCoversTheChoice) {
  auto F = Make(TDriveKind::dkOptical, 4700000000LL);
  EXPECT_EQ(WindowText(H(ciButton2)), L"DVD에서 바로 실행");
  EXPECT_EQ(F->FocusedControl(), ciButton1);
  EXPECT_EQ(TabWalk(), (std::vector<TControlId>{ciButton2, ciButton1}));

  ::SendMessageW(H(ciButton1), BM_CLICK, 0, 0);
  Pump();
  EXPECT_TRUE(::IsWindowVisible(H(ciPanel1)));
  ExpectRect(ciPanel1, {8, 8, 516, 175});
  // The panel lies on top: the point of Button2 belongs to the panel now.
  RECT B;
  ::GetWindowRect(H(ciButton2), &B);
  const POINT Mid{(B.left + B.right) / 2, (B.top + B.bottom) / 2};
  const HWND Hit = ::WindowFromPoint(Mid);
  EXPECT_TRUE(Hit == H(ciPanel1) || ::GetParent(Hit) == H(ciPanel1));
  ::SetFocus(H(ciButton1));
  EXPECT_EQ(TabWalk(), (std::vector<TControlId>{ciButton2, ciChkDesktop, ciTxtPath, ciBtnPath, ciChkStartmenu,
                                                ciBtnCopyStart, ciButton1}));
  Screenshot("windows-face-install");
}

TEST_F(WinWindowTest, RunPanelStaysAfterAFailureAndMetersPaintBlocksAndLetMessagesRun) {
  auto F = Make(TDriveKind::dkOptical, 700000000);
  // This folder has no payload: the flow shows the run panel and fails.
  ::SendMessageW(H(ciButton2), BM_CLICK, 0, 0);
  Pump();
  ASSERT_EQ(Errors, (std::vector<std::string>{"File not found"}));
  EXPECT_TRUE(::IsWindowVisible(H(ciPanel2)));
  ExpectRect(ciPanel2, {8, 8, 516, 175});
  EXPECT_FALSE(F->Terminated());

  // 55 % lights five blocks of 46 pixels, two apart, from x = 1.
  F->Meter(ciAbMeter2).DoProgress(55);
  const HDC Dc = ::GetDC(H(ciAbMeter2));
  const COLORREF Navy = RGB(0, 0, 128), Face = ::GetSysColor(COLOR_BTNFACE);
  if (F->Dpi() == 96) {
    EXPECT_EQ(::GetPixel(Dc, 1 + 48 * 4 + 20, 8), Navy);
    EXPECT_EQ(::GetPixel(Dc, 1 + 48 * 4 + 47, 8), Face);  // the gap after block 4
    EXPECT_EQ(::GetPixel(Dc, 1 + 48 * 5 + 20, 8), Face);
  }
  ::ReleaseDC(H(ciAbMeter2), Dc);
  F->Meter(ciAbMeter1).DoProgress(30);
  Screenshot("windows-face-run");

  // A repeated value lets nothing run; a new one processes what is queued
  // (here the close box, which ends the program once no handler runs).
  ::PostMessageW(static_cast<HWND>(F->Handle()), WM_CLOSE, 0, 0);
  F->Meter(ciAbMeter2).DoProgress(55);
  EXPECT_FALSE(F->Terminated());
  F->Meter(ciAbMeter2).DoProgress(56);
  EXPECT_TRUE(F->Terminated());
}

TEST_F(WinWindowTest, APayloadNothingComesOutOfIsAnErrorBoxAndStartsNothing) {
  // launcher-wine.sh makes it: ebook.exe and data/page.txt under a password
  // that is not the launcher's.
  const char* Failing = std::getenv("ARVELO_FAILING_PAYLOAD");
  ASSERT_NE(Failing, nullptr) << "run by launcher-wine.sh, which names the payload";
  ::CreateDirectoryW((Folder + L"\\ebook").c_str(), nullptr);
  const std::wstring Payload = Folder + L"\\ebook\\ebookRun.qtx";
  ASSERT_TRUE(::CopyFileW(rtl::WideText(Failing).c_str(), Payload.c_str(), FALSE));
  auto F = Make(TDriveKind::dkOptical, 700000000);
  ::SendMessageW(H(ciButton2), BM_CLICK, 0, 0);
  Pump();
  ASSERT_EQ(Errors.size(), 1u);
  const std::string Expected = std::string(kProgramMissing) + RunFolder + "\\ebook.exe: 2 items of " +
                               rtl::NarrowText(Payload) + " could not be extracted; the first: ";
  ASSERT_EQ(Errors[0].rfind(Expected, 0), 0u) << Errors[0];
  // The first failure names its item and why.
  EXPECT_GT(Errors[0].size(), Expected.size() + 8) << Errors[0];
  EXPECT_FALSE(F->Terminated());
  EXPECT_TRUE(::IsWindowVisible(H(ciPanel2)));
}

} // namespace
