// SDIMAIN: the launcher's start-up, its two flows and its dispatch rules.
#include "launcher/SDIMAIN.h"

#include "archive/AbUnzper.h"
#include "launcher/Parameters.h"
#include "launcher/Shortcuts.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"
#include "rtl/Text.h"

namespace launcher {

std::string AppDir;
TLaunchConfig LaunchConfig;
std::string RunFolder;
std::string CopySource;

namespace {

// Texts by medium. The volume size that tells a DVD from a CD: larger than
// any CD (at most about 900 MB), smaller than any DVD (4.7 GB).
constexpr int64_t kDvdThreshold = 950000000;
const char* const kDvdNotice = "본 DVD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.";
const char* const kDvdButton = "DVD에서 바로 실행";
const char* const kCdNotice = "본 CD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.";
const char* const kCdButton = "CD에서 바로 실행";
const char* const kPlainNotice = "컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.";
const char* const kRemovableButton = "바로 실행";
const char* const kRunButton = "실     행";

// Settings and their defaults.
const char* const kSection = "Settings";
const char* const kDefaultTitle = "학습지도서";
const char* const kDefaultExe = "main.exe";
const char* const kDefaultTarget = "학습지도서";

// The payload, the viewer inside it, and the folders.
const char* const kEbookFolder = "ebook";
const char* const kPayloadName = "ebookRun.qtx";
const char* const kViewerName = "ebook.exe";
const char* const kRunFolderName = "qtxEBookRun";
const char* const kDocumentsFolder = "Documents";
const char* const kIndexName = "index.html";
const char* const kSettingsName = "config.ini";
const char* const kDefaultRoot = "ebook";

// The left margin both panels and the wide run button keep.
constexpr int kMargin = 8;

// Paths are joined with the system's separator.
std::string Join(const std::string& A, const std::string& B) { return A + rtl::PathDelim + B; }

std::string PayloadPath() { return Join(Join(AppDir, kEbookFolder), kPayloadName); }

// The e-book's index page in a medium's or an installation's folder Root:
// the document the viewer shows, and what opens where the viewer cannot run.
std::string IndexPageUnder(const std::string& Root) {
  return Join(Join(Join(Root, kEbookFolder), kDocumentsFolder), kIndexName);
}

// Position of the last separator of Path, either kind on systems that have
// two, or npos.
size_t LastDelim(const std::string& Path) {
  return rtl::PathDelim == '/' ? Path.rfind('/') : Path.find_last_of("\\/");
}

// A path from the settings file as this system writes it. The media are
// made for Windows, so their stored paths separate folders with "\"; where
// the separator is "/", each "\" is one (no file name on a Windows medium
// can hold a "\"). Elsewhere the path stays as stored.
std::string StoredPath(std::string Path) {
  if (rtl::PathDelim == '/')
    for (char& C : Path)
      if (C == '\\') C = '/';
  return Path;
}

} // namespace

// ===========================================================================
// Program start
// ===========================================================================

void LaunchProgram(TLauncherPlatform& Platform, const std::string& Path, const std::string& Parameters,
                   const std::string& StandIn) {
  std::string Folder;
  if (const size_t Delim = LastDelim(Path); Delim != std::string::npos) Folder = Path.substr(0, Delim);
  if (!Platform.Files->IsAbsolutePath(Path)) {
    // A relative program is the launcher's own business: it starts from the
    // launcher's folder, and the caller's parameters do not apply to it.
    Platform.Starter->OpenShown(Join(AppDir, Path), {}, Join(AppDir, Folder), IProgramStarter::TShowState::ssNormal,
                                StandIn);
  } else {
    Platform.Starter->OpenShown(Path, SplitParameters(Parameters), Folder, IProgramStarter::TShowState::ssMaximized,
                                StandIn);
  }
}

// ===========================================================================
// Construction
// ===========================================================================

TSDIAppForm::TSDIAppForm(ILauncherView& View, TLauncherPlatform& Platform)
    : AbUnZipper1(std::make_unique<ab::TAbUnZipper>()), FView(View), FPlatform(Platform) {
  // The unzipper as the design sets it up, before any code runs: both
  // meters attached, stored folders recreated, and the payload's password.
  AbUnZipper1->SetArchiveProgressMeter(&FView.Meter(ciAbMeter2));
  AbUnZipper1->SetItemProgressMeter(&FView.Meter(ciAbMeter1));
  AbUnZipper1->SetExtractOptions(ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath});
  AbUnZipper1->SetPassword(kUnZipperPassword);
  // The payload's names that are neither UTF-8 nor marked are Korean, unless
  // the machine's locale names a legacy code page of its own.
  rtl::SetFallbackCodePages(kMediumCodePage, kMediumCodePage);
  // The engine skips an item that fails and goes on; the flows count them,
  // so that a payload nothing usable came out of is not taken for a success.
  AbUnZipper1->OnProcessItemFailure = [this](rtl::TObject*, ab::TAbArchiveItem* Item, ab::TAbProcessType,
                                             ab::TAbErrorClass, int) {
    if (FItemFailures++ > 0) return;
    FFirstFailure = Item ? Item->FileName() : std::string();
    if (const ab::TAbItemFailure* F = AbUnZipper1->CurrentFailure(); F && !F->Message.empty())
      FFirstFailure += (FFirstFailure.empty() ? "" : ": ") + F->Message;
  };
  FormCreate();
}

TSDIAppForm::~TSDIAppForm() = default;

// ===========================================================================
// Dispatch rules
// ===========================================================================

void TSDIAppForm::Dispatch(THandler Handler) {
  // A click delivered by a meter's event processing while a flow runs would
  // start a second flow on the same unzipper; it is dropped.
  if (FBusy) return;
  FBusy = true;
  try {
    (this->*Handler)();
  } catch (const std::exception& E) {
    FView.ShowException(E.what());
  } catch (...) {
    FView.ShowException("Unknown exception");
  }
  FBusy = false;
  if (FTerminateRequested) FView.Terminate();
}

TSDIAppForm::THandler TSDIAppForm::ClickHandler(TControlId Id) {
  switch (Id) {
    case ciButton1: return &TSDIAppForm::Button1Click;
    case ciButton2: return &TSDIAppForm::Button2Click;
    case ciBtnPath: return &TSDIAppForm::btnPathClick;
    case ciBtnCopyStart: return &TSDIAppForm::btnCopyStartClick;
    default: return nullptr;
  }
}

void TSDIAppForm::Click(TControlId Id) {
  if (const THandler H = ClickHandler(Id)) Dispatch(H);
}

bool TSDIAppForm::CloseQuery() {
  Terminate();
  // The running flow finishes first (it may be starting the e-book); the
  // window stays until then.
  if (FBusy) return false;
  FView.Terminate();
  return true;
}

// ===========================================================================
// Start-up
// ===========================================================================

void TSDIAppForm::FormCreate() {
  FView.SetVisible(ciPanel1, false);
  FView.SetVisible(ciPanel2, false);

  AppDir = FPlatform.Folders->AppFolder();

  const std::string Ini = Join(AppDir, kSettingsName);
  LaunchConfig.title = FPlatform.Settings->ReadString(Ini, kSection, "title", kDefaultTitle);
  LaunchConfig.exe = StoredPath(FPlatform.Settings->ReadString(Ini, kSection, "exe", kDefaultExe));
  LaunchConfig.target = StoredPath(FPlatform.Settings->ReadString(Ini, kSection, "target", kDefaultTarget));

  FView.SetCaption(LaunchConfig.title);
  // The target is appended as it stands, leading separator and all.
  FView.SetText(ciTxtPath, Join(Join(FPlatform.Folders->HomeFolder(), kDefaultRoot), LaunchConfig.target));

  // The size is read whatever the medium turns out to be.
  const int64_t Size = FPlatform.Medium->VolumeSize(AppDir);
  const TDriveKind Kind = FPlatform.Medium->DriveKind(AppDir);

  if (Kind == TDriveKind::dkOptical) {
    const bool Dvd = Size > kDvdThreshold;
    FView.SetText(ciLabel1, Dvd ? kDvdNotice : kCdNotice);
    FView.SetText(ciButton2, Dvd ? kDvdButton : kCdButton);
  } else if (Kind == TDriveKind::dkRemovable) {
    FView.SetText(ciLabel1, kPlainNotice);
    FView.SetText(ciButton2, kRemovableButton);
  } else {
    // Installing from a hard disk or a network share is not offered: the run
    // button takes the whole row, keeping its right edge.
    FView.SetVisible(ciButton1, false);
    TRect B = FView.Bounds(ciButton2);
    B.Width += B.Left - kMargin;
    FView.SetBounds(ciButton2, B);
    B.Left = kMargin;
    FView.SetBounds(ciButton2, B);
    FView.SetText(ciButton2, kRunButton);
    FView.SetText(ciLabel1, kPlainNotice);
  }
}

// ===========================================================================
// Choice screen
// ===========================================================================

void TSDIAppForm::ShowPanel(TControlId Panel) {
  TRect B = FView.Bounds(Panel);
  B.Left = kMargin;
  FView.SetBounds(Panel, B);
  B.Top = kMargin;
  FView.SetBounds(Panel, B);
  FView.SetVisible(Panel, true);
}

void TSDIAppForm::Button1Click() { ShowPanel(ciPanel1); }

// ===========================================================================
// Shared by both flows
// ===========================================================================

void TSDIAppForm::ExtractPayload(const std::string& BaseDirectory) {
  FItemFailures = 0;
  FFirstFailure.clear();
  AbUnZipper1->SetFileName(PayloadPath());
  AbUnZipper1->SetBaseDirectory(BaseDirectory);
  AbUnZipper1->ExtractFiles("*.*");
}

void TSDIAppForm::RequireProgram(const std::string& Program) {
  if (FPlatform.Files->FileExists(Program)) return;
  std::string Msg = kProgramMissing;
  Msg.append(Program).append(": ");
  if (FItemFailures == 0) {
    Msg.append("it is not there after extracting ").append(PayloadPath());
  } else {
    Msg.append(std::to_string(FItemFailures))
        .append(FItemFailures == 1 ? " item of " : " items of ")
        .append(PayloadPath())
        .append(" could not be extracted; the first: ")
        .append(FFirstFailure);
  }
  throw rtl::Exception(Msg);
}

// ===========================================================================
// Run from the medium
// ===========================================================================

void TSDIAppForm::Button2Click() {
  ShowPanel(ciPanel2);

  IFileSystem& Files = *FPlatform.Files;
  // A relative temporary folder is made absolute once, here: extraction
  // and the program start must mean the same folder.
  RunFolder = Join(Files.ExpandFileName(FPlatform.Folders->TempFolder()), kRunFolderName);

  // Whatever sits at the run folder's place goes; a link is removed as
  // such, never followed into what it points to.
  Files.DeleteTree(RunFolder);
  Files.CreatePrivateDir(RunFolder);
  // Extracting into a folder someone else planted or can write to would
  // hand them the viewer the launcher is about to start.
  if (const std::string Why = Files.CheckPrivateFolder(RunFolder); !Why.empty()) {
    std::string Msg = kUnsafeRunFolder;
    Msg.append(RunFolder).append(": ").append(Why);
    throw rtl::Exception(Msg);
  }

  ExtractPayload(RunFolder);
  const std::string Viewer = Join(RunFolder, kViewerName);
  RequireProgram(Viewer);

  const std::string Index = IndexPageUnder(AppDir);
  const std::string Parameters = "\"" + Index + "\" \"" + Join(AppDir, kSettingsName) + "\"";
  LaunchProgram(FPlatform, Viewer, Parameters, Index);
  Terminate();
}

// ===========================================================================
// Installation
// ===========================================================================

void TSDIAppForm::MakeShortcuts(const std::string& Target, const std::string& StandIn) {
  const bool Desktop = FView.Checked(ciChkDesktop), Menu = FView.Checked(ciChkStartmenu);
  if (!Desktop && !Menu) return;
  // The title names the shortcut files; one that would put them elsewhere
  // than the desktop and the menu is left out, like a missing desktop.
  const std::string Name = ShortcutFileName(LaunchConfig.title, FPlatform.Shortcuts->Extension());
  if (!IsPlainFileName(Name)) {
    FView.ShowNote("No shortcut made: its name \"" + Name + "\" is not a plain file name");
    return;
  }
  std::string LinkPath;
  if (Desktop)
    CreateShortcut(*FPlatform.Folders, *FPlatform.Shortcuts, Target, LaunchConfig.title, lkDesktop, "", "", "",
                   LaunchConfig.target, LinkPath, StandIn);
  if (Menu) {
    const std::string Programs = ProgramsFolder(*FPlatform.Folders);
    CreateShortcut(*FPlatform.Folders, *FPlatform.Shortcuts, Target, LaunchConfig.title, lkGivenFolder, Programs,
                   "", "", LaunchConfig.target, LinkPath, StandIn);
  }
}

void TSDIAppForm::btnPathClick() {
  if (auto Dir = FView.PickFolder()) FView.SetText(ciTxtPath, *Dir);
}

void TSDIAppForm::btnCopyStartClick() {
  IFileSystem& Files = *FPlatform.Files;
  std::string Dir = FView.Text(ciTxtPath);
  // A relative folder counts from the launcher's folder, as it would where
  // programs start in their own folder; "~/" is the home folder, as users
  // of POSIX systems expect.
  if (Dir.rfind("~/", 0) == 0) Dir = FPlatform.Folders->HomeFolder() + Dir.substr(1);
  else if (!Dir.empty() && !Files.IsAbsolutePath(Dir)) Dir = Join(AppDir, Dir);

  // The medium is what is being copied: a target on it would receive a copy
  // of itself and the payload extracted onto the medium.
  if (!Dir.empty() && Files.IsSameOrInside(Dir, AppDir)) throw rtl::Exception(kInstallIntoMedium + Dir);

  const std::string EbookDir = Join(Dir, kEbookFolder) + rtl::PathDelim;
  Files.ForceDirectories(Dir);
  Files.ForceDirectories(EbookDir);

  // The copy's source is the launcher's folder and a mask; the separator
  // between them is added unless the folder already ends in one (a root).
  const std::string Source =
      AppDir.empty() || AppDir.back() == rtl::PathDelim ? AppDir : AppDir + rtl::PathDelim;
  CopySource = Source + "*.*";
  int32_t Code;
  {
    auto Ui = FView.MakeCopyUi();
    Code = FPlatform.Copier->Copy(CopySource, Dir, *Ui);
  }
  FView.ProcessMessages();

  // The payload is extracted whatever the copy's outcome.
  ExtractPayload(EbookDir);
  FView.ProcessMessages();

  if (Code != 0) {
    FView.ShowMessage(std::string(kInstallFailed) + CopySource);
    return;
  }

  const std::string Target = Join(Dir, LaunchConfig.exe);
  RequireProgram(Target);
  MakeShortcuts(Target, IndexPageUnder(Dir));

  CopySource = Source + "*.ini";
  {
    auto Ui = FView.MakeCopyUi();
    FPlatform.Copier->Copy(CopySource, EbookDir, *Ui);
  }
  FView.ProcessMessages();

  // The index page came along with the medium's e-book folder.
  LaunchProgram(FPlatform, Target, "", IndexPageUnder(Dir));
  Terminate();
}

} // namespace launcher
