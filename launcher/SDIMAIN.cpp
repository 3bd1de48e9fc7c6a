// SDIMAIN: the window's design, its start-up, and the two flows.
#include "launcher/SDIMAIN.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "archive/AbMeter.h"
#include "archive/AbUnzper.h"
#include "launcher/FileOps.h"
#include "launcher/IniFile.h"
#include "launcher/ProgramStart.h"
#include "launcher/Shortcuts.h"
#include "rtl/SysUtils.h"
#include "rtl/Text.h"

namespace launcher {

std::string AppDir;
TLaunchConfig LaunchConfig;
std::string RunFolder;
std::string CopySource;

// ===========================================================================
// Design constants
// ===========================================================================

namespace {

// The window was designed at 96 pixels per inch; these are its pixels.
constexpr int kClientWidth = 532;
constexpr int kClientHeight = 191;

// "맑은 고딕" is the design's face. Where it is not installed, fontconfig and
// the toolkit's per-script fallback pick an installed Hangul face instead.
const char* const kFontFace = "맑은 고딕";
constexpr int kFontPixels = 13;
constexpr int kBigFontPixels = 15;

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

// The payload and its password (the archive's entries are encrypted with the
// traditional ZIP scheme under it).
const char* const kPayload = "/ebook/ebookRun.qtx";
const char* const kPassword = "3716%^&*";
const char* const kRunFolderName = "/qtxEBookRun";

QFont DesignFont(int Pixels) {
  QFont F(QString::fromUtf8(kFontFace));
  F.setPixelSize(Pixels);
  return F;
}

QString Q(const std::string& S) { return QString::fromStdString(S); }

// The program's icon: a closed book, drawn at every size a desktop asks for.
QIcon MakeIcon() {
  QIcon Icon;
  for (int Size : {16, 32, 48, 64, 128, 256}) {
    QPixmap Pm(Size, Size);
    Pm.fill(Qt::transparent);
    QPainter P(&Pm);
    P.setRenderHint(QPainter::Antialiasing);
    const qreal U = Size / 16.0;
    P.setPen(Qt::NoPen);
    P.setBrush(QColor(0, 0, 128));
    P.drawRoundedRect(QRectF(2 * U, 1 * U, 12 * U, 14 * U), U, U);
    P.setBrush(Qt::white);
    P.drawRect(QRectF(4 * U, 3 * U, 8 * U, 1.5 * U));
    P.drawRect(QRectF(4 * U, 12 * U, 9 * U, 1.5 * U));
    P.end();
    Icon.addPixmap(Pm);
  }
  return Icon;
}

// Keeps right-anchored controls at their right margin when their parent is
// resized. The window itself has a fixed size; the panels never change size.
class TRightAnchors : public QObject {
public:
  using QObject::QObject;
  void Add(QWidget* Control) {
    QWidget* Parent = Control->parentWidget();
    FItems.push_back({Control, Parent->width() - Control->x() - Control->width()});
    Parent->installEventFilter(this);
  }

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Resize)
      for (const auto& I : FItems)
        if (I.Control->parentWidget() == Watched)
          I.Control->resize(std::max(0, I.Control->parentWidget()->width() - I.Control->x() - I.Margin),
                            I.Control->height());
    return false;
  }

private:
  struct TItem {
    QWidget* Control;
    int Margin;
  };
  std::vector<TItem> FItems;
};

// ===========================================================================
// The copy's progress window
// ===========================================================================

class TCopyProgressWindow : public QDialog, public ICopyUi {
public:
  explicit TCopyProgressWindow(QWidget* Owner) : QDialog(Owner) {
    setWindowTitle(QStringLiteral("복사 중"));
    setWindowModality(Qt::WindowModal);
    auto* Box = new QVBoxLayout(this);
    FName = new QLabel(this);
    FName->setMinimumWidth(360);
    FBar = new QProgressBar(this);
    FBar->setRange(0, kBarSteps);
    auto* Cancel = new QPushButton(QStringLiteral("취소"), this);
    Box->addWidget(FName);
    Box->addWidget(FBar);
    Box->addWidget(Cancel, 0, Qt::AlignRight);
    QObject::connect(Cancel, &QPushButton::clicked, this, [this] { FCancelled = true; });
  }

  void Begin(int64_t TotalBytes, int64_t) override {
    FTotal = TotalBytes;
    show();
    QCoreApplication::processEvents();
  }
  bool Progress(const std::string& Name, int64_t DoneBytes) override {
    FName->setText(Q(Name));
    FBar->setValue(FTotal > 0 ? static_cast<int>(DoneBytes * kBarSteps / FTotal) : 0);
    QCoreApplication::processEvents();
    return !FCancelled;
  }
  TReplaceAnswer ConfirmReplace(const std::string& Target) override {
    QMessageBox Box(QMessageBox::Question, windowTitle(),
                    QStringLiteral("같은 이름의 파일이 이미 있습니다.\n%1\n\n이 파일을 바꾸시겠습니까?").arg(Q(Target)),
                    QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::Cancel, this);
    Box.setEscapeButton(QMessageBox::Cancel);
    switch (Box.exec()) {
      case QMessageBox::Yes: return TReplaceAnswer::raYes;
      case QMessageBox::YesToAll: return TReplaceAnswer::raYesToAll;
      case QMessageBox::No: return TReplaceAnswer::raNo;
      default: return TReplaceAnswer::raCancel;
    }
  }
  void ShowError(const std::string& Text) override {
    QMessageBox::warning(this, windowTitle(), Q(Text));
  }
  void End() override { hide(); }
  void reject() override { FCancelled = true; }  // the close box and Escape cancel

private:
  // Resolution of the bar: fine enough for a smooth bar, coarse enough that
  // 64-bit byte counts times it cannot overflow.
  static constexpr int kBarSteps = 1000;
  QLabel* FName = nullptr;
  QProgressBar* FBar = nullptr;
  int64_t FTotal = 0;
  bool FCancelled = false;
};

} // namespace

// ===========================================================================
// Program start
// ===========================================================================

void LaunchProgram(TLauncherPlatform& Platform, const std::string& Path, const std::string& Parameters) {
  std::string Folder;
  if (const size_t Slash = Path.rfind('/'); Slash != std::string::npos) Folder = Path.substr(0, Slash);
  const bool Relative = Path.empty() || Path[0] != '/';
  if (Relative) {
    // A relative program is the launcher's own business: it starts from the
    // launcher's folder, and the caller's parameters do not apply to it.
    Platform.Starter->Open(AppDir + "/" + Path, {}, AppDir + "/" + Folder);
  } else {
    Platform.Starter->Open(Path, SplitParameters(Parameters), Folder);
  }
}

// ===========================================================================
// Construction
// ===========================================================================

TSDIAppForm::TSDIAppForm(TLauncherPlatform& Platform, QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      FPlatform(Platform) {
  OnShowException = [this](const std::string& Msg) {
    QMessageBox::critical(this, QApplication::applicationName(), Q(Msg));
  };
  OnShowMessage = [this](const std::string& Msg) {
    QMessageBox Box(QMessageBox::NoIcon, QApplication::applicationName(), Q(Msg), QMessageBox::Ok, this);
    Box.exec();
  };
  OnPickFolder = [this]() -> std::optional<std::string> {
    const QString Dir = QFileDialog::getExistingDirectory(this, QStringLiteral("설치폴더 선택"), QDir::rootPath(),
                                                          QFileDialog::ShowDirsOnly);
    if (Dir.isEmpty()) return std::nullopt;
    return Dir.toStdString();
  };
  OnMakeCopyUi = [this]() -> std::unique_ptr<ICopyUi> { return std::make_unique<TCopyProgressWindow>(this); };
  OnTerminated = [] { QCoreApplication::exit(0); };

  BuildDesign();
  SetupDesignSettings();
  FormCreate();
}

TSDIAppForm::~TSDIAppForm() {
  // The meters outlive the unzipper here (the window deletes its children
  // after its members); their removal notices are no longer wanted.
  for (const auto& C : FMeterWatches) QObject::disconnect(C);
}

void TSDIAppForm::BuildDesign() {
  setObjectName("SDIAppForm");
  setFixedSize(kClientWidth, kClientHeight);
  setWindowTitle(QStringLiteral("이북 런쳐"));
  setWindowIcon(MakeIcon());
  setFont(DesignFont(kFontPixels));
  QPalette Pal = palette();
  Pal.setColor(QPalette::Window, Qt::white);
  setPalette(Pal);
  setAutoFillBackground(true);

  auto* Anchors = new TRightAnchors(this);
  QPalette Black = palette();
  Black.setColor(QPalette::WindowText, Qt::black);

  auto Name = [](QWidget* W, const char* N) {
    W->setObjectName(N);
    return W;
  };

  Label1 = new QLabel(this);
  Name(Label1, "Label1");
  Label1->setGeometry(8, 40, 516, 49);
  Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label1->setWordWrap(true);
  Label1->setFont(DesignFont(kBigFontPixels));
  Label1->setPalette(Black);

  Button1 = new QPushButton(QStringLiteral("컴퓨터로 복사 후 실행"), this);
  Name(Button1, "Button1");
  Button1->setGeometry(8, 132, 257, 40);
  Button1->setFont(DesignFont(kBigFontPixels));

  Button2 = new QPushButton(QStringLiteral("Button2"), this);
  Name(Button2, "Button2");
  Button2->setGeometry(267, 132, 257, 40);
  Button2->setFont(DesignFont(kBigFontPixels));

  auto MakePanel = [&](const char* N, int Left) {
    auto* P = new QFrame(this);
    Name(P, N);
    P->setGeometry(Left, 8, 516, 175);
    P->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    P->setLineWidth(1);
    P->setAutoFillBackground(true);
    QPalette PP = P->palette();
    PP.setColor(QPalette::Window, Qt::white);
    P->setPalette(PP);
    return P;
  };

  // The install panel, designed visible beside the choice screen.
  Panel1 = MakePanel("Panel1", 400);

  chkDesktop = new QCheckBox(QStringLiteral("바탕화면 바로가기 생성"), Panel1);
  Name(chkDesktop, "chkDesktop");
  chkDesktop->setGeometry(120, 67, 209, 17);
  chkDesktop->setChecked(true);

  Label3 = new QLabel(QStringLiteral("설치 경로"), Panel1);
  Name(Label3, "Label3");
  Label3->setGeometry(40, 36, 74, 25);
  Label3->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  txtPath = new QLineEdit(QStringLiteral("txtPath"), Panel1);
  Name(txtPath, "txtPath");
  txtPath->setGeometry(120, 36, 319, 25);

  btnPath = new QPushButton(QStringLiteral("..."), Panel1);
  Name(btnPath, "btnPath");
  btnPath->setGeometry(439, 36, 26, 25);

  chkStartmenu = new QCheckBox(QStringLiteral("시작메뉴 생성"), Panel1);
  Name(chkStartmenu, "chkStartmenu");
  chkStartmenu->setGeometry(120, 90, 209, 17);
  chkStartmenu->setChecked(true);

  btnCopyStart = new QPushButton(QStringLiteral("설치 시작"), Panel1);
  Name(btnCopyStart, "btnCopyStart");
  btnCopyStart->setGeometry(40, 124, 425, 29);

  AbUnZipper1 = std::make_unique<ab::TAbUnZipper>();

  // The run panel, designed hidden.
  Panel2 = MakePanel("Panel2", 500);
  Panel2->setVisible(false);

  Label4 = new QLabel(QStringLiteral("실행 준비 중입니다."), Panel2);
  Name(Label4, "Label4");
  Label4->setGeometry(16, 67, 516, 49);
  Label4->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  Label4->setWordWrap(true);
  Label4->setFont(DesignFont(kBigFontPixels));
  Label4->setPalette(Black);

  auto MakeMeter = [&](const char* N, int Top) {
    auto* M = new ab::TAbMeter(Panel2);
    Name(M, N);
    M->SetDesignLoading(true);
    M->setGeometry(24, Top, 473, 16);
    M->SetOrientation(ab::moHorizontal);
    M->SetUnusedColor(QApplication::palette().color(QPalette::Button));
    M->SetUsedColor(QColor(0, 0, 128));
    M->SetDesignLoading(false);
    return M;
  };
  AbMeter1 = MakeMeter("AbMeter1", 120);
  AbMeter2 = MakeMeter("AbMeter2", 137);

  Anchors->Add(Label1);
  Anchors->Add(Button1);
  Anchors->Add(Button2);
  Anchors->Add(Label4);

  // Tab order: the two choice buttons, then the install panel's controls;
  // the labels, the panels themselves and the meters take no focus.
  for (QWidget* W : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Panel2)}) W->setFocusPolicy(Qt::NoFocus);
  setTabOrder(Button1, Button2);
  setTabOrder(Button2, chkDesktop);
  setTabOrder(chkDesktop, txtPath);
  setTabOrder(txtPath, btnPath);
  setTabOrder(btnPath, chkStartmenu);
  setTabOrder(chkStartmenu, btnCopyStart);

  QObject::connect(Button1, &QPushButton::clicked, this, [this] { Dispatch(&TSDIAppForm::Button1Click); });
  QObject::connect(Button2, &QPushButton::clicked, this, [this] { Dispatch(&TSDIAppForm::Button2Click); });
  QObject::connect(btnPath, &QPushButton::clicked, this, [this] { Dispatch(&TSDIAppForm::btnPathClick); });
  QObject::connect(btnCopyStart, &QPushButton::clicked, this, [this] { Dispatch(&TSDIAppForm::btnCopyStartClick); });
}

// The unzipper as the design sets it up, before any code runs: both meters
// attached, stored folders recreated, and the payload's password.
void TSDIAppForm::SetupDesignSettings() {
  AbUnZipper1->SetArchiveProgressMeter(AbMeter2);
  AbUnZipper1->SetItemProgressMeter(AbMeter1);
  AbUnZipper1->SetExtractOptions(ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath});
  AbUnZipper1->SetPassword(kPassword);
  // The payload's names that are neither UTF-8 nor marked are Korean, unless
  // the machine's locale names a legacy code page of its own.
  rtl::SetFallbackCodePages(kMediumCodePage, kMediumCodePage);
  // The unzipper holds the meters by reference; a meter that goes away
  // first must not leave it pointing at nothing.
  for (ab::TAbMeter* M : {AbMeter1, AbMeter2})
    FMeterWatches.push_back(QObject::connect(M, &QObject::destroyed, this, [this, M] {
      AbUnZipper1->MeterRemoved(M);
    }));
}

// ===========================================================================
// Toolkit behaviour
// ===========================================================================

void TSDIAppForm::Dispatch(void (TSDIAppForm::*Handler)()) {
  // A click delivered by a meter's event processing while a flow runs would
  // start a second flow on the same unzipper; it is dropped.
  if (FBusy) return;
  FBusy = true;
  try {
    (this->*Handler)();
  } catch (const std::exception& E) {
    OnShowException(E.what());
  } catch (...) {
    OnShowException("Unknown exception");
  }
  FBusy = false;
  if (FTerminateRequested && OnTerminated) OnTerminated();
}

void TSDIAppForm::Terminate() { FTerminateRequested = true; }

void TSDIAppForm::closeEvent(QCloseEvent* Event) {
  Terminate();
  if (FBusy) {
    // The running flow finishes first (it may be starting the e-book); the
    // window stays until then.
    Event->ignore();
    return;
  }
  Event->accept();
  if (OnTerminated) OnTerminated();
}

void TSDIAppForm::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (FCentred) return;
  FCentred = true;
  if (const QScreen* S = screen()) {
    QRect F = frameGeometry();
    F.moveCenter(S->availableGeometry().center());
    move(F.topLeft());
  }
}

void TSDIAppForm::ProcessMessages() { QCoreApplication::processEvents(); }

// ===========================================================================
// Start-up
// ===========================================================================

void TSDIAppForm::FormCreate() {
  Panel1->hide();
  Panel2->hide();

  AppDir = FPlatform.Folders->AppFolder();

  const std::string Ini = AppDir + "/config.ini";
  LaunchConfig.title = FPlatform.Settings->ReadString(Ini, kSection, "title", kDefaultTitle);
  LaunchConfig.exe = FPlatform.Settings->ReadString(Ini, kSection, "exe", kDefaultExe);
  LaunchConfig.target = FPlatform.Settings->ReadString(Ini, kSection, "target", kDefaultTarget);

  setWindowTitle(Q(LaunchConfig.title));
  txtPath->setText(Q(FPlatform.Folders->HomeFolder() + "/ebook/" + LaunchConfig.target));

  // The size is read whatever the medium turns out to be.
  const int64_t Size = FPlatform.Medium->VolumeSize(AppDir);
  const TDriveKind Kind = FPlatform.Medium->DriveKind(AppDir);

  if (Kind == TDriveKind::dkOptical) {
    const bool Dvd = Size > kDvdThreshold;
    Label1->setText(QString::fromUtf8(Dvd ? kDvdNotice : kCdNotice));
    Button2->setText(QString::fromUtf8(Dvd ? kDvdButton : kCdButton));
  } else if (Kind == TDriveKind::dkRemovable) {
    Label1->setText(QString::fromUtf8(kPlainNotice));
    Button2->setText(QString::fromUtf8(kRemovableButton));
  } else {
    // Installing from a hard disk or a network share is not offered: the run
    // button takes the whole row, keeping its right edge.
    Button1->hide();
    Button2->resize(Button2->width() + Button2->x() - 8, Button2->height());
    Button2->move(8, Button2->y());
    Button2->setText(QString::fromUtf8(kRunButton));
    Label1->setText(QString::fromUtf8(kPlainNotice));
  }
}

// ===========================================================================
// Choice screen
// ===========================================================================

void TSDIAppForm::Button1Click() {
  Panel1->move(8, Panel1->y());
  Panel1->move(Panel1->x(), 8);
  Panel1->show();
  Panel1->raise();
}

// ===========================================================================
// Run from the medium
// ===========================================================================

void TSDIAppForm::Button2Click() {
  Panel2->move(8, Panel2->y());
  Panel2->move(Panel2->x(), 8);
  Panel2->show();
  Panel2->raise();

  RunFolder = FPlatform.Folders->TempFolder() + kRunFolderName;

  // Whatever sits at the run folder's place goes; a symbolic link is
  // removed as such, never followed into what it points to.
  if (IsSymbolicLink(RunFolder) || FileExists(RunFolder)) DeleteFile(RunFolder);
  else if (DirectoryExists(RunFolder)) DeleteTree(RunFolder);

  CreateDir(RunFolder, 0700);
  // The temporary folder is shared with every local user. Extracting into a
  // folder someone else planted or can write to would hand them the viewer
  // the launcher is about to start.
  if (const std::string Why = CheckPrivateFolder(RunFolder); !Why.empty())
    throw rtl::Exception(std::string(kUnsafeRunFolder) + RunFolder + ": " + Why);

  AbUnZipper1->SetFileName(AppDir + kPayload);
  AbUnZipper1->SetBaseDirectory(RunFolder);
  AbUnZipper1->ExtractFiles("*.*");

  const std::string Parameters =
      "\"" + AppDir + "/ebook/Documents/index.html" + "\" \"" + AppDir + "/config.ini" + "\"";
  LaunchProgram(FPlatform, RunFolder + "/ebook.exe", Parameters);
  Terminate();
}

// ===========================================================================
// Installation
// ===========================================================================

void TSDIAppForm::btnPathClick() {
  if (auto Dir = OnPickFolder()) txtPath->setText(Q(*Dir));
}

void TSDIAppForm::btnCopyStartClick() {
  std::string Dir = txtPath->text().toStdString();
  // A relative folder counts from the launcher's folder, as it would where
  // programs start in their own folder; "~/" is the home folder, as users
  // of this platform expect.
  if (Dir.rfind("~/", 0) == 0) Dir = FPlatform.Folders->HomeFolder() + Dir.substr(1);
  else if (!Dir.empty() && Dir[0] != '/') Dir = AppDir + "/" + Dir;

  ForceDirectories(Dir);
  ForceDirectories(Dir + "/ebook/");

  // The copy's source is the launcher's folder and a mask; the separator
  // between them is added unless the folder already ends in one (the root).
  const std::string Source = AppDir.empty() || AppDir.back() == '/' ? AppDir : AppDir + "/";
  CopySource = Source + "*.*";
  int32_t Code;
  {
    auto Ui = OnMakeCopyUi();
    Code = FPlatform.Copier->Copy(CopySource, Dir, *Ui);
  }
  ProcessMessages();

  // The payload is extracted whatever the copy's outcome.
  AbUnZipper1->SetFileName(AppDir + kPayload);
  AbUnZipper1->SetBaseDirectory(Dir + "/ebook/");
  AbUnZipper1->ExtractFiles("*.*");
  ProcessMessages();

  if (Code != 0) {
    OnShowMessage(std::string(kInstallFailed) + CopySource);
    return;
  }

  const std::string Target = Dir + "/" + LaunchConfig.exe;
  std::string LinkPath;
  if (chkDesktop->isChecked())
    CreateShortcut(*FPlatform.Folders, *FPlatform.Shortcuts, Target, LaunchConfig.title, lkDesktop, "", "", "",
                   LaunchConfig.target, LinkPath);
  if (chkStartmenu->isChecked()) {
    const std::string Programs = ProgramsFolder(*FPlatform.Folders);
    CreateShortcut(*FPlatform.Folders, *FPlatform.Shortcuts, Target, LaunchConfig.title, lkGivenFolder, Programs,
                   "", "", LaunchConfig.target, LinkPath);
  }

  CopySource = Source + "*.ini";
  {
    auto Ui = OnMakeCopyUi();
    FPlatform.Copier->Copy(CopySource, Dir + "/ebook/", *Ui);
  }
  ProcessMessages();

  LaunchProgram(FPlatform, Target, "");
  Terminate();
}

} // namespace launcher
