// FormDesign: the table of the launcher window's controls.
#include "launcher/FormDesign.h"

#include <algorithm>

namespace launcher {

const TFormDesign kFormDesign{
    "SDIAppForm", "이북 런쳐", 532, 191, 0xFFFFFF,
    // "맑은 고딕" is the design's face. Where it is not installed, the
    // toolkit's per-script fallback picks an installed Hangul face instead.
    "맑은 고딕", 13, 15};

const TMeterDesign kMeterDesign{0x000080, true};

const char* const kUnZipperPassword = "3716%^&*";

namespace {
using K = TControlKind;
// Column order: Id, Name, Kind, Parent, Bounds, Text, BigFont, Visible,
// Checked, WordWrap, CentreText, AnchorRight, BlackText, TabOrder.
} // namespace

constexpr std::array<TControlDesign, ciControlCount> kControlDesign{{
    {ciLabel1, "Label1", K::ckLabel, ciForm, {8, 40, 516, 49}, "", true, true, false, true, true, true, true, -1},
    {ciButton1, "Button1", K::ckButton, ciForm, {8, 132, 257, 40}, "컴퓨터로 복사 후 실행", true, true, false, false,
     false, true, false, 0},
    {ciButton2, "Button2", K::ckButton, ciForm, {267, 132, 257, 40}, "Button2", true, true, false, false, false, true,
     false, 1},
    // The install panel, designed visible beside the choice screen.
    {ciPanel1, "Panel1", K::ckPanel, ciForm, {400, 8, 516, 175}, "", false, true, false, false, false, false, false, 2},
    {ciChkDesktop, "chkDesktop", K::ckCheckBox, ciPanel1, {120, 67, 209, 17}, "바탕화면 바로가기 생성", false, true,
     true, false, false, false, false, 0},
    {ciLabel3, "Label3", K::ckLabel, ciPanel1, {40, 36, 74, 25}, "설치 경로", false, true, false, false, false, false,
     false, -1},
    {ciTxtPath, "txtPath", K::ckEdit, ciPanel1, {120, 36, 319, 25}, "txtPath", false, true, false, false, false, false,
     false, 1},
    {ciBtnPath, "btnPath", K::ckButton, ciPanel1, {439, 36, 26, 25}, "...", false, true, false, false, false, false,
     false, 2},
    {ciChkStartmenu, "chkStartmenu", K::ckCheckBox, ciPanel1, {120, 90, 209, 17}, "시작메뉴 생성", false, true, true,
     false, false, false, false, 3},
    {ciBtnCopyStart, "btnCopyStart", K::ckButton, ciPanel1, {40, 124, 425, 29}, "설치 시작", false, true, false, false,
     false, false, false, 4},
    // The run panel, designed hidden; its caption is not shown.
    {ciPanel2, "Panel2", K::ckPanel, ciForm, {500, 8, 516, 175}, "", false, false, false, false, false, false, false,
     3},
    // Wider than the room the panel leaves it: its right part is clipped.
    {ciLabel4, "Label4", K::ckLabel, ciPanel2, {16, 67, 516, 49}, "실행 준비 중입니다.", true, true, false, true, true,
     true, true, -1},
    {ciAbMeter1, "AbMeter1", K::ckMeter, ciPanel2, {24, 120, 473, 16}, "", false, true, false, false, false, false,
     false, -1},
    {ciAbMeter2, "AbMeter2", K::ckMeter, ciPanel2, {24, 137, 473, 16}, "", false, true, false, false, false, false,
     false, -1},
}};

static_assert(ciForm == kControlDesign.size(), "the window's own id lies past every control");

// Rows are looked up by id: each row must sit at its id's place.
static constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < kControlDesign.size(); ++i)
    if (kControlDesign[i].Id != i) return false;
  return true;
}
static_assert(RowsInIdOrder(), "a row of the design table is out of place");

namespace {

void AppendTabs(TControlId Parent, std::vector<TControlId>& Out) {
  std::vector<const TControlDesign*> Children;
  for (const auto& C : kControlDesign)
    if (C.Parent == Parent && C.TabOrder >= 0) Children.push_back(&C);
  std::stable_sort(Children.begin(), Children.end(),
                   [](const TControlDesign* A, const TControlDesign* B) { return A->TabOrder < B->TabOrder; });
  for (const TControlDesign* C : Children) {
    // A panel takes no focus itself; its children stand in its place.
    if (C->Kind == TControlKind::ckPanel) AppendTabs(C->Id, Out);
    else Out.push_back(C->Id);
  }
}

} // namespace

std::vector<TControlId> TabSequence() {
  std::vector<TControlId> Out;
  AppendTabs(ciForm, Out);
  return Out;
}

} // namespace launcher
