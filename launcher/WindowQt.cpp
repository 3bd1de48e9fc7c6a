// WindowQt: the window built from its design, and the dialogs it shows.
#include "launcher/WindowQt.h"

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
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "archive/AbMeter.h"

namespace launcher {

namespace {

QString Q(const std::string& S) { return QString::fromStdString(S); }

QColor Rgb(TRgb C) { return QColor((C >> 16) & 0xFF, (C >> 8) & 0xFF, C & 0xFF); }

QFont DesignFont(int Pixels) {
  QFont F(QString::fromUtf8(kFormDesign.FontFace));
  F.setPixelSize(Pixels);
  return F;
}

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
// Construction
// ===========================================================================

TQtAppForm::TQtAppForm(TLauncherPlatform& Platform, QWidget* Parent)
    : QWidget(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
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
  FForm = std::make_unique<TSDIAppForm>(*this, Platform);
}

TQtAppForm::~TQtAppForm() {
  // The logic and its unzipper go first: the unzipper holds the meters,
  // which the window deletes with its other children afterwards.
  FForm.reset();
}

void TQtAppForm::BuildDesign() {
  setObjectName(kFormDesign.Name);
  setFixedSize(kFormDesign.ClientWidth, kFormDesign.ClientHeight);
  setWindowTitle(QString::fromUtf8(kFormDesign.Caption));
  setWindowIcon(MakeIcon());
  setFont(DesignFont(kFormDesign.FontPixels));
  QPalette Pal = palette();
  Pal.setColor(QPalette::Window, Rgb(kFormDesign.Background));
  setPalette(Pal);
  setAutoFillBackground(true);

  auto* Anchors = new TRightAnchors(this);
  QPalette Black = palette();
  Black.setColor(QPalette::WindowText, Qt::black);

  for (const TControlDesign& D : kControlDesign) {
    QWidget* Parent = D.Parent == ciForm ? this : FControls[D.Parent];
    const QString Text = QString::fromUtf8(D.Text);
    QWidget* W = nullptr;
    switch (D.Kind) {
      case TControlKind::ckLabel: {
        auto* L = new QLabel(Text, Parent);
        L->setAlignment(D.CentreText ? Qt::AlignHCenter | Qt::AlignTop : Qt::AlignLeft | Qt::AlignVCenter);
        L->setWordWrap(D.WordWrap);
        W = L;
        break;
      }
      case TControlKind::ckButton: W = new QPushButton(Text, Parent); break;
      case TControlKind::ckCheckBox: {
        auto* C = new QCheckBox(Text, Parent);
        C->setChecked(D.Checked);
        W = C;
        break;
      }
      case TControlKind::ckEdit: W = new QLineEdit(Text, Parent); break;
      case TControlKind::ckPanel: {
        auto* P = new QFrame(Parent);
        P->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        P->setLineWidth(1);
        P->setAutoFillBackground(true);
        QPalette PP = P->palette();
        PP.setColor(QPalette::Window, Rgb(kFormDesign.Background));
        P->setPalette(PP);
        P->setFocusPolicy(Qt::NoFocus);
        W = P;
        break;
      }
      case TControlKind::ckMeter: {
        auto* M = new ab::TAbMeter(Parent);
        M->SetDesignLoading(true);
        M->SetOrientation(kMeterDesign.Horizontal ? ab::moHorizontal : ab::moVertical);
        M->SetUnusedColor(QApplication::palette().color(QPalette::Button));
        M->SetUsedColor(Rgb(kMeterDesign.UsedColor));
        M->SetDesignLoading(false);
        W = M;
        break;
      }
    }
    W->setObjectName(D.Name);
    W->setGeometry(D.Bounds.Left, D.Bounds.Top, D.Bounds.Width, D.Bounds.Height);
    if (D.BigFont) W->setFont(DesignFont(kFormDesign.BigFontPixels));
    if (D.BlackText) W->setPalette(Black);
    if (!D.Visible) W->setVisible(false);
    FControls[D.Id] = W;
  }
  // Anchors once every control sits at its designed place.
  for (const TControlDesign& D : kControlDesign)
    if (D.AnchorRight) Anchors->Add(FControls[D.Id]);

  const std::vector<TControlId> Tabs = TabSequence();
  for (size_t i = 1; i < Tabs.size(); ++i) setTabOrder(FControls[Tabs[i - 1]], FControls[Tabs[i]]);

  Label1 = static_cast<QLabel*>(FControls[ciLabel1]);
  Button1 = static_cast<QPushButton*>(FControls[ciButton1]);
  Button2 = static_cast<QPushButton*>(FControls[ciButton2]);
  Panel1 = static_cast<QFrame*>(FControls[ciPanel1]);
  chkDesktop = static_cast<QCheckBox*>(FControls[ciChkDesktop]);
  Label3 = static_cast<QLabel*>(FControls[ciLabel3]);
  txtPath = static_cast<QLineEdit*>(FControls[ciTxtPath]);
  btnPath = static_cast<QPushButton*>(FControls[ciBtnPath]);
  chkStartmenu = static_cast<QCheckBox*>(FControls[ciChkStartmenu]);
  btnCopyStart = static_cast<QPushButton*>(FControls[ciBtnCopyStart]);
  Panel2 = static_cast<QFrame*>(FControls[ciPanel2]);
  Label4 = static_cast<QLabel*>(FControls[ciLabel4]);
  AbMeter1 = static_cast<ab::TAbMeter*>(FControls[ciAbMeter1]);
  AbMeter2 = static_cast<ab::TAbMeter*>(FControls[ciAbMeter2]);

  for (const TControlDesign& D : kControlDesign)
    if (TSDIAppForm::ClickHandler(D.Id))
      QObject::connect(static_cast<QPushButton*>(FControls[D.Id]), &QPushButton::clicked, this,
                       [this, Id = D.Id] { FForm->Click(Id); });
}

// ===========================================================================
// ILauncherView
// ===========================================================================

void TQtAppForm::SetCaption(const std::string& Text) { setWindowTitle(Q(Text)); }

void TQtAppForm::SetText(TControlId Id, const std::string& Text) {
  QWidget* W = FControls[Id];
  if (auto* L = qobject_cast<QLabel*>(W)) L->setText(Q(Text));
  else if (auto* B = qobject_cast<QAbstractButton*>(W)) B->setText(Q(Text));
  else if (auto* E = qobject_cast<QLineEdit*>(W)) E->setText(Q(Text));
}

std::string TQtAppForm::Text(TControlId Id) {
  QWidget* W = FControls[Id];
  if (auto* L = qobject_cast<QLabel*>(W)) return L->text().toStdString();
  if (auto* B = qobject_cast<QAbstractButton*>(W)) return B->text().toStdString();
  if (auto* E = qobject_cast<QLineEdit*>(W)) return E->text().toStdString();
  return {};
}

TRect TQtAppForm::Bounds(TControlId Id) {
  const QRect G = FControls[Id]->geometry();
  return {G.x(), G.y(), G.width(), G.height()};
}

void TQtAppForm::SetBounds(TControlId Id, const TRect& B) {
  FControls[Id]->setGeometry(B.Left, B.Top, B.Width, B.Height);
}

void TQtAppForm::SetVisible(TControlId Id, bool Visible) {
  QWidget* W = FControls[Id];
  W->setVisible(Visible);
  if (Visible && DesignOf(Id).Kind == TControlKind::ckPanel) W->raise();
}

bool TQtAppForm::Visible(TControlId Id) { return !FControls[Id]->isHidden(); }

bool TQtAppForm::Checked(TControlId Id) {
  auto* C = qobject_cast<QCheckBox*>(FControls[Id]);
  return C && C->isChecked();
}

void TQtAppForm::SetChecked(TControlId Id, bool Checked) {
  if (auto* C = qobject_cast<QCheckBox*>(FControls[Id])) C->setChecked(Checked);
}

ab::IAbProgressMeter& TQtAppForm::Meter(TControlId Id) {
  return *static_cast<ab::TAbMeter*>(FControls[Id == ciAbMeter1 ? ciAbMeter1 : ciAbMeter2]);
}

void TQtAppForm::ShowException(const std::string& Message) {
  if (OnShowException) OnShowException(Message);
}

void TQtAppForm::ShowMessage(const std::string& Message) {
  if (OnShowMessage) OnShowMessage(Message);
}

std::optional<std::string> TQtAppForm::PickFolder() {
  return OnPickFolder ? OnPickFolder() : std::nullopt;
}

std::unique_ptr<ICopyUi> TQtAppForm::MakeCopyUi() { return OnMakeCopyUi(); }

void TQtAppForm::ProcessMessages() { QCoreApplication::processEvents(); }

void TQtAppForm::Terminate() {
  if (OnTerminated) OnTerminated();
}

// ===========================================================================
// Window events
// ===========================================================================

void TQtAppForm::closeEvent(QCloseEvent* Event) {
  if (FForm->CloseQuery()) Event->accept();
  else Event->ignore();
}

void TQtAppForm::showEvent(QShowEvent* Event) {
  QWidget::showEvent(Event);
  if (FCentred) return;
  FCentred = true;
  if (const QScreen* S = screen()) {
    QRect F = frameGeometry();
    F.moveCenter(S->availableGeometry().center());
    move(F.topLeft());
  }
}

} // namespace launcher
