// The window: its three faces with every control where the design puts it,
// the texts that depend on the medium and the settings, the tab order, and
// screenshots of each face for people to look at.
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "MediumFixture.h"
#include "archive/AbMeter.h"
#include "archive/AbUnzper.h"

using launcher::TSDIAppForm;
using testutil::TEnv;

namespace {

class Window : public testutil::TMediumTest {};

QRect Geo(QWidget* W) { return W->geometry(); }

// Whether what lies at the centre of Control is Panel or one of its children.
bool Covers(launcher::TQtAppForm& F, QWidget* Panel, QWidget* Control) {
  QWidget* Top = F.childAt(Control->geometry().center());
  return Top == Panel || Panel->isAncestorOf(Top);
}

// The focusable controls in tab order, from the first one.
std::vector<std::string> TabChain(QWidget* First) {
  std::vector<std::string> Names;
  QWidget* W = First;
  do {
    if ((W->focusPolicy() & Qt::TabFocus) && !W->objectName().isEmpty())
      Names.push_back(W->objectName().toStdString());
    W = W->nextInFocusChain();
  } while (W != First);
  return Names;
}

} // namespace

TEST_F(Window, ChoiceScreenAsDesignedOnACd) {
  WriteDefaultConfig();
  auto F = MakeForm();
  F->show();
  QApplication::processEvents();

  EXPECT_EQ(F->size(), QSize(532, 191));
  EXPECT_EQ(F->minimumSize(), F->maximumSize());
  EXPECT_EQ(F->windowTitle().toStdString(), "국어 학습지도서");
  EXPECT_EQ(F->palette().color(QPalette::Window), QColor(Qt::white));

  EXPECT_EQ(Geo(F->Label1), QRect(8, 40, 516, 49));
  EXPECT_EQ(Geo(F->Button1), QRect(8, 132, 257, 40));
  EXPECT_EQ(Geo(F->Button2), QRect(267, 132, 257, 40));
  EXPECT_EQ(F->Label1->text().toStdString(), "본 CD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.");
  EXPECT_EQ(F->Button1->text().toStdString(), "컴퓨터로 복사 후 실행");
  EXPECT_EQ(F->Button2->text().toStdString(), "CD에서 바로 실행");
  EXPECT_TRUE(F->Label1->wordWrap());
  EXPECT_TRUE(F->Label1->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(F->Button1->isVisible());
  EXPECT_FALSE(F->Panel1->isVisible());
  EXPECT_FALSE(F->Panel2->isVisible());

  // The design's face at its two heights.
  EXPECT_EQ(F->font().family().toStdString(), "맑은 고딕");
  EXPECT_EQ(F->font().pixelSize(), 13);
  for (QWidget* W : {static_cast<QWidget*>(F->Label1), static_cast<QWidget*>(F->Button1),
                     static_cast<QWidget*>(F->Button2), static_cast<QWidget*>(F->Label4)})
    EXPECT_EQ(W->font().pixelSize(), 15) << W->objectName().toStdString();
  EXPECT_EQ(F->txtPath->font().pixelSize(), 13);

  EXPECT_EQ(F->txtPath->text().toStdString(), Home + "/ebook/국어");
  EXPECT_EQ(launcher::AppDir, Medium);
  EXPECT_EQ(launcher::LaunchConfig.exe, "main.exe");
  EXPECT_EQ(launcher::LaunchConfig.target, "국어");

  EXPECT_EQ(TabChain(F->Button1),
            (std::vector<std::string>{"Button1", "Button2", "chkDesktop", "txtPath", "btnPath", "chkStartmenu",
                                      "btnCopyStart"}));
  testutil::SaveScreenshot(*F, "face1-choice");
}

TEST_F(Window, InstallPanelCoversTheChoiceButtons) {
  WriteDefaultConfig();
  auto F = MakeForm();
  F->show();
  QTest::mouseClick(F->Button1, Qt::LeftButton);
  QApplication::processEvents();

  EXPECT_TRUE(F->Panel1->isVisible());
  EXPECT_EQ(Geo(F->Panel1), QRect(8, 8, 516, 175));
  EXPECT_EQ(F->Panel1->frameShadow(), QFrame::Sunken);
  EXPECT_EQ(Geo(F->Label3), QRect(40, 36, 74, 25));
  EXPECT_EQ(Geo(F->txtPath), QRect(120, 36, 319, 25));
  EXPECT_EQ(Geo(F->btnPath), QRect(439, 36, 26, 25));
  EXPECT_EQ(Geo(F->chkDesktop), QRect(120, 67, 209, 17));
  EXPECT_EQ(Geo(F->chkStartmenu), QRect(120, 90, 209, 17));
  EXPECT_EQ(Geo(F->btnCopyStart), QRect(40, 124, 425, 29));
  EXPECT_EQ(F->Label3->text().toStdString(), "설치 경로");
  EXPECT_EQ(F->btnPath->text().toStdString(), "...");
  EXPECT_EQ(F->chkDesktop->text().toStdString(), "바탕화면 바로가기 생성");
  EXPECT_EQ(F->chkStartmenu->text().toStdString(), "시작메뉴 생성");
  EXPECT_EQ(F->btnCopyStart->text().toStdString(), "설치 시작");
  EXPECT_TRUE(F->chkDesktop->isChecked());
  EXPECT_TRUE(F->chkStartmenu->isChecked());

  // The panel lies over the choice buttons: a click there reaches the panel.
  EXPECT_TRUE(Covers(*F, F->Panel1, F->Button1));
  EXPECT_TRUE(Covers(*F, F->Panel1, F->Button2));

  // The folder picker replaces the whole path; a cancelled one leaves it.
  F->OnPickFolder = [] { return std::optional<std::string>("/media/chosen"); };
  QTest::mouseClick(F->btnPath, Qt::LeftButton);
  EXPECT_EQ(F->txtPath->text().toStdString(), "/media/chosen");
  F->OnPickFolder = [] { return std::optional<std::string>(); };
  QTest::mouseClick(F->btnPath, Qt::LeftButton);
  EXPECT_EQ(F->txtPath->text().toStdString(), "/media/chosen");
  F->txtPath->setText(QString::fromStdString(Home + "/ebook/국어"));
  testutil::SaveScreenshot(*F, "face2-install");
}

TEST_F(Window, RunPanelStaysAfterAnErrorBox) {
  WriteDefaultConfig();  // no payload on this medium
  auto F = MakeForm();
  F->show();
  QTest::mouseClick(F->Button2, Qt::LeftButton);
  QApplication::processEvents();

  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "File not found");
  EXPECT_EQ(Terminations, 0);
  EXPECT_FALSE(F->TerminateRequested());
  EXPECT_TRUE(F->Panel2->isVisible());
  EXPECT_EQ(Geo(F->Panel2), QRect(8, 8, 516, 175));
  EXPECT_EQ(F->Label4->text().toStdString(), "실행 준비 중입니다.");
  EXPECT_EQ(Geo(F->Label4), QRect(16, 67, 516, 49));
  EXPECT_EQ(Geo(F->AbMeter1), QRect(24, 120, 473, 16));
  EXPECT_EQ(Geo(F->AbMeter2), QRect(24, 137, 473, 16));
  EXPECT_EQ(F->AbMeter1->UsedColor(), QColor(0, 0, 128));
  EXPECT_EQ(F->AbMeter1->Orientation(), ab::moHorizontal);
  EXPECT_TRUE(Covers(*F, F->Panel2, F->Button1));
  EXPECT_TRUE(Covers(*F, F->Panel2, F->Button2));
  testutil::SaveScreenshot(*F, "face3-run");

  // The unzipper as designed.
  EXPECT_EQ(F->Form().AbUnZipper1->Password(), "3716%^&*");
  EXPECT_EQ(F->Form().AbUnZipper1->ExtractOptions(), (ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath}));
  EXPECT_EQ(F->Form().AbUnZipper1->ItemProgressMeter(), static_cast<ab::IAbProgressMeter*>(F->AbMeter1));
  EXPECT_EQ(F->Form().AbUnZipper1->ArchiveProgressMeter(), static_cast<ab::IAbProgressMeter*>(F->AbMeter2));
}

TEST_F(Window, TextsFollowTheMedium) {
  struct TCase {
    const char* Medium;
    const char* Notice;
    const char* Button;
  };
  const TCase Cases[] = {
      {"optical:950000001", "본 DVD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.", "DVD에서 바로 실행"},
      {"optical:950000000", "본 CD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.", "CD에서 바로 실행"},
      {"optical", "본 CD는 컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.", "CD에서 바로 실행"},
      {"removable", "컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.", "바로 실행"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Medium);
    TEnv M("EBOOK_LAUNCHER_MEDIUM", C.Medium);
    auto F = MakeForm();
    EXPECT_EQ(F->Label1->text().toStdString(), C.Notice);
    EXPECT_EQ(F->Button2->text().toStdString(), C.Button);
    EXPECT_FALSE(F->Button1->isHidden());
    EXPECT_EQ(Geo(F->Button2), QRect(267, 132, 257, 40));
  }

  // A hard disk or a share: no installation, one wide run button.
  TEnv M("EBOOK_LAUNCHER_MEDIUM", "other");
  auto F = MakeForm();
  EXPECT_TRUE(F->Button1->isHidden());
  EXPECT_EQ(Geo(F->Button2), QRect(8, 132, 516, 40));
  EXPECT_EQ(F->Button2->text().toStdString(), "실     행");
  EXPECT_EQ(F->Label1->text().toStdString(), "컴퓨터 사양에 따라서 로딩 속도에 차이가 있을 수 있습니다.");
  F->show();
  testutil::SaveScreenshot(*F, "face1-other-medium");

  // Anchored controls keep their right margin if the window grows.
  F->setFixedSize(600, 191);
  EXPECT_EQ(Geo(F->Button2), QRect(8, 132, 584, 40));
  EXPECT_EQ(Geo(F->Label1), QRect(8, 40, 584, 49));
}

TEST_F(Window, SettingsDefaultsAndEmptyValues) {
  {
    auto F = MakeForm();  // no config.ini
    EXPECT_EQ(F->windowTitle().toStdString(), "학습지도서");
    EXPECT_EQ(F->txtPath->text().toStdString(), Home + "/ebook/학습지도서");
    EXPECT_EQ(launcher::LaunchConfig.exe, "main.exe");
  }
  {
    WriteConfig("[SETTINGS]\nTitle=\nTARGET=/abs\n");
    auto F = MakeForm();
    EXPECT_EQ(F->windowTitle().toStdString(), "");
    // The target is appended as it stands, leading separator and all.
    EXPECT_EQ(F->txtPath->text().toStdString(), Home + "/ebook//abs");
  }
}
