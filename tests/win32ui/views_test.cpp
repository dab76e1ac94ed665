// The Win32 windows in their own process, on a real (virtual) display, over the windows' logic
// and the virtual engine: created from the program's templates, driven with the messages a
// user's actions send, read back through the controls, the trace and the engine's own record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "l10n/text.h"
#include "tests/support/dialog_fixture.h"
#include "tests/support/temp_dir.h"
#include "win32ui/small_dialogs.h"
#include "win32ui/system_dialogs.h"
#include "win32ui/tool_app.h"
#include "win32ui/ui_waker.h"
#include "window_driver.h"
#include "window_tests_main.h"

namespace kq::test {
namespace {

using namespace win32ui;

// The program's language files, copied beside the test into Language\ as beside the program.
std::string LanguageFile(const std::string& name) {
    static ModulePathsRecord paths;
    return paths.moduleDir() + "Language\\" + name + ".lang";
}

std::wstring WideText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// A program folder, the virtual bus and the link (DialogWorld), with the main window over them.
class WindowWorld : public DialogWorld {
  protected:
    // The program's own texts; the system's language goes with them.
    void SpeakProgramLanguage(const std::string& name) {
        settings_.CurrentLanguageFile = LanguageFile(name);
        locale_.language = name == "SimpChinese" ? kLangChinese : kLangEnglish;
    }
    MainWindow& Window() {
        if (!window_) {
            window_ = std::make_unique<MainWindow>(context_, &bus_);
            EXPECT_TRUE(window_->Create());
            EXPECT_TRUE(kq::test::Settle(*window_));
        }
        return *window_;
    }
    void Settle() { EXPECT_TRUE(kq::test::Settle(Window())); }
    std::string Status(int part) { return Window().GetStatusText(part); }

    std::unique_ptr<MainWindow> window_;
};

class ToolWindowTest : public WindowWorld, public ::testing::WithParamInterface<const char*> {
  protected:
    ToolWindowTest() { SpeakProgramLanguage(GetParam()); }
    bool chinese() const { return std::string(GetParam()) == "SimpChinese"; }
};

INSTANTIATE_TEST_SUITE_P(Languages, ToolWindowTest, ::testing::Values("English", "SimpChinese"));

TEST_P(ToolWindowTest, TabsOfferThePagesInTheirLanguage) {
    MainWindow& window = Window();
    ASSERT_EQ(window.TabCount(), 3);
    const std::vector<std::string> expected =
        chinese() ? std::vector<std::string>{"LED", "翻转", "系统"}
                  : std::vector<std::string>{"LED", "Flip", "System"};
    for (int tab = 0; tab < 3; ++tab) EXPECT_EQ(TabText(window, tab), expected[tab]);
    EXPECT_EQ(window.PageAt(0), &window.ledPage);
    EXPECT_EQ(window.PageAt(1), &window.flipPage);
    EXPECT_EQ(window.PageAt(2), &window.systemPage);
    // The caption never follows the language.
    EXPECT_EQ(WideText(window.hwnd()), L"KQ7300");
    // The tabs have the focus: the first page's buttons were off during the first check.
    EXPECT_EQ(GetFocus(), window.tabControl());
}

// Each template's controls in window order: kind, id (-1: none) and the key they show.
struct Control {
    const char* kind;
    int id;
    const char* key;  // nullptr: data, not a key
};

const std::map<int, std::vector<Control>>& Templates() {
    static const std::map<int, std::vector<Control>> templates{
        {IDD_LED_DIALOG,
         {{"Static", -1, "Led.LedCtrl"},
          {"Button", IDC_LED_SWITCH, "Led.Off"},
          {"Button", -1, ""},
          {"msctls_trackbar32", IDC_CURRENT_SLIDER, "Slider1"},
          {"Static", -1, "Led.SliderTitle"},
          {"Edit", IDC_CURRENT_EDIT, nullptr},
          {"Button", IDC_CURRENT_WRITE, "Led.Write"},
          {"Button", IDC_CURRENT_READ, "Led.Read"},
          {"Button", -1, "Led.LedCurrent"},
          {"Static", -1, "Led.PowerCtrl"},
          {"Button", IDC_POWER_SWITCH, "Led.Off"},
          {"Button", -1, ""}}},
        {IDD_SYSTEM_DIALOG,
         {{"Button", IDC_UPGRADE, "System.UpGrate"},
          {"Static", -1, "System.UdiskFileName"},
          {"Edit", IDC_FILE_NAME, nullptr},
          {"Button", -1, "System.FirmWareUpGrate"},
          {"Static", -1, "System.Language"},
          {"ComboBox", IDC_LANGUAGE_COMBO, nullptr},
          {"Button", IDC_RESTART, "System.Restart"},
          {"Button", -1, ""},
          {"Static", IDC_LANGUAGE_NOTE, nullptr},
          {"Button", IDC_BROWSE, "...."},
          {"msctls_progress32", IDC_PROGRESS, "Progress1"},
          {"Button", IDC_STOP, "System.Stop"},
          {"Static", IDC_UPGRADE_PHASE, nullptr},
          {"Static", IDC_LAST_UPGRADE, nullptr}}},
        {IDD_FLIP_DIALOG,
         {{"Button", IDC_FLIP_X, "FLIP.x"},
          {"Button", IDC_FLIP_Y, "FLIP.y"},
          {"Button", IDC_FLIP_DO, "FLIP.do"}}},
        {IDD_LANGUAGE_DIALOG,
         {{"Button", IDOK, "System.confirm"},
          {"Button", IDCANCEL, "System.Cancel"},
          {"Static", -1, "System.Language"},
          {"ComboBox", IDC_LANGUAGE_LIST, nullptr}}},
    };
    return templates;
}

void ExpectTemplate(const DialogWindow& view) {
    SCOPED_TRACE(view.templateId());
    const std::vector<Control>& expected = Templates().at(view.templateId());
    const std::vector<HWND> children = Children(view.hwnd());
    ASSERT_EQ(children.size(), expected.size());
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ClassName(children[i]), expected[i].kind);
        EXPECT_EQ(GetDlgCtrlID(children[i]), expected[i].id);
        if (expected[i].key) {
            EXPECT_EQ(WindowTextOf(children[i]), view.Translate(expected[i].key));
        }
    }
}

std::vector<const DialogWindow*> Pages(MainWindow& window) {
    return {&window.ledPage, &window.systemPage, &window.flipPage};
}

TEST_P(ToolWindowTest, PagesShowTheirTemplatesTranslated) {
    MainWindow& window = Window();
    for (const DialogWindow* page : Pages(window)) ExpectTemplate(*page);
    // The texts arrive whole, wide, in the language of the file.
    EXPECT_EQ(WideText(window.ledPage.Item(IDC_CURRENT_WRITE)), chinese() ? L"写入" : L"Write");
    EXPECT_EQ(WideText(window.flipPage.Item(IDC_FLIP_X)), chinese() ? L"X 翻转" : L"Flip X");
    // The language list, the system's language chosen while Config.ini names none.
    SystemPageView& system = window.systemPage;
    EXPECT_EQ(SendMessageW(system.Item(IDC_LANGUAGE_COMBO), CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(system.GetSelection(IDC_LANGUAGE_COMBO), chinese() ? 1 : 0);
    // Controls the template starts disabled, and the picture on the browse button.
    EXPECT_FALSE(system.IsEnabled(IDC_STOP));
    EXPECT_FALSE(system.IsEnabled(IDC_FILE_NAME));
    EXPECT_TRUE(system.IsEnabled(IDC_UPGRADE));
    const auto bitmap = reinterpret_cast<HBITMAP>(
        SendMessageW(system.Item(IDC_BROWSE), BM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP picture{};
    ASSERT_TRUE(bitmap && GetObjectW(bitmap, sizeof picture, &picture));
    EXPECT_EQ(picture.bmWidth, 16);
    EXPECT_EQ(picture.bmHeight, 15);
    // No engine: the box shows the slider's 0.
    EXPECT_EQ(window.ledPage.GetText(IDC_CURRENT_EDIT), "0");
}

// No text ends where the control does, or runs into the control after it on its row; no label
// reaches under its neighbour, which it would paint over.
void ExpectTextsUncut(HWND page) {
    const std::vector<HWND> children = Children(page);
    auto isGroup = [](HWND w) {
        return ClassName(w) == "Button" &&
               (GetWindowLongPtrW(w, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX;
    };
    for (HWND c : children) {
        const std::string kind = ClassName(c);
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE));
        const DWORD type = style & BS_TYPEMASK;
        if (kind != "Static" && !(kind == "Button" && !isGroup(c) && !(style & BS_BITMAP))) {
            continue;
        }
        if (kind == "Static" && (style & SS_TYPEMASK) == SS_ICON) continue;
        const std::wstring text = WideText(c);
        if (text.empty()) continue;
        HDC dc = GetDC(c);
        const HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
        if (WrapsText(c)) {
            // Broken between words, it must fit the label's lines.
            RECT room{};
            GetClientRect(c, &room);
            RECT wrapped = room;
            DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &wrapped,
                      DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
            SelectObject(dc, old);
            ReleaseDC(c, dc);
            EXPECT_LE(wrapped.bottom, room.bottom) << os::Utf8(text);
            EXPECT_LE(wrapped.right, room.right) << os::Utf8(text);
            continue;
        }
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        SelectObject(dc, old);
        ReleaseDC(c, dc);
        const RECT r = RectInParent(c);
        LONG room = r.right - r.left;
        if (kind == "Button" && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)) room -= 4;
        if (type == BS_AUTOCHECKBOX) room -= GetSystemMetrics(SM_CXMENUCHECK);
        for (HWND other : children) {
            const RECT o = RectInParent(other);
            const bool sameRow = o.top < r.bottom && r.top < o.bottom;
            if (other == c || !sameRow || o.left <= r.left || isGroup(other)) continue;
            if (ClassName(other) != "Static") room = std::min(room, o.left - r.left);
            EXPECT_LE(r.right, o.left) << os::Utf8(text) << " reaches under its neighbour";
        }
        EXPECT_LE(extent.cx, room) << os::Utf8(text);
    }
}

TEST_P(ToolWindowTest, NoTextIsCut) {
    for (const DialogWindow* page : Pages(Window())) {
        SCOPED_TRACE(page->templateId());
        ExpectTextsUncut(page->hwnd());
    }
}

// The page sits at (8, 25) in the tab control, which is 16 pixels wider and 33 taller than the
// page and fills the client area above the status bar; the window's corner stays put.
TEST_P(ToolWindowTest, WindowFollowsEveryPageItShows) {
    MainWindow& window = Window();
    RECT start{};
    GetWindowRect(window.hwnd(), &start);
    const std::map<const DialogWindow*, SIZE> templateSizes{{&window.ledPage, {290, 93}},
                                                            {&window.flipPage, {187, 38}},
                                                            {&window.systemPage, {305, 126}}};
    for (int tab : {0, 2, 1, 0, 1, 2}) {
        SCOPED_TRACE(tab);
        SelectTab(window, tab);
        Settle();
        EXPECT_EQ(window.logic().m_curPage, tab);
        DialogWindow* page = window.PageAt(tab);
        for (int other = 0; other < 3; ++other) {
            EXPECT_EQ(window.PageAt(other)->IsVisible(), other == tab);
        }
        RECT client{};
        GetClientRect(page->hwnd(), &client);
        // The template's size, in pixels of its own font.
        RECT units{0, 0, templateSizes.at(page).cx, templateSizes.at(page).cy};
        MapDialogRect(page->hwnd(), &units);
        EXPECT_EQ(client.right, units.right);
        EXPECT_EQ(client.bottom, units.bottom);

        const RECT inTab = RectInParent(page->hwnd());
        EXPECT_EQ(inTab.left, 8);
        EXPECT_EQ(inTab.top, 25);
        const RECT tabs = RectInParent(window.tabControl());
        EXPECT_EQ(tabs.left, 0);
        EXPECT_EQ(tabs.top, 0);
        EXPECT_EQ(tabs.right - tabs.left, client.right + 16);
        EXPECT_EQ(tabs.bottom - tabs.top, client.bottom + 33);

        RECT mainClient{};
        GetClientRect(window.hwnd(), &mainClient);
        const RECT status = RectInParent(window.statusBar());
        EXPECT_EQ(mainClient.right, tabs.right);
        EXPECT_EQ(status.top, tabs.bottom);
        EXPECT_EQ(status.bottom, mainClient.bottom);
        EXPECT_EQ(status.left, 0);
        EXPECT_EQ(status.right, mainClient.right);

        RECT now{};
        GetWindowRect(window.hwnd(), &now);
        EXPECT_EQ(now.left, start.left);
        EXPECT_EQ(now.top, start.top);
    }
}

TEST_P(ToolWindowTest, StatusBarHasTwoPartsAndTheFirstTexts) {
    MainWindow& window = Window();
    int edges[2] = {};
    ASSERT_EQ(SendMessageW(window.statusBar(), SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges)), 2);
    EXPECT_GE(edges[0], 120);
    EXPECT_EQ(edges[1], -1);
    EXPECT_EQ(Status(0), chinese() ? "设备未连接" : "Device not connected");
    EXPECT_EQ(Status(1),
              chinese() ? "产品 ID：XX-XX-XX-XX-XX-XX" : "Product ID: XX-XX-XX-XX-XX-XX");
    // Part 0 has room for the longest text it can show.
    HWND bar = window.statusBar();
    HDC dc = GetDC(bar);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(bar, WM_GETFONT, 0, 0)));
    for (const char* key : {"WarningGeneral.DeviceConnect", "WarningGeneral.DeviceSilent",
                            "WarningGeneral.DeviceInLoader", "WarningGeneral.DeviceNoPermission"}) {
        const std::wstring text = os::Wide(" " + window.Translate(key));
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        EXPECT_LT(extent.cx, edges[0]) << key;
    }
    SelectObject(dc, old);
    ReleaseDC(bar, dc);
}

TEST_P(ToolWindowTest, AnEngineAtStartShowsItsIdAndCurrent) {
    Plug("current=65");
    MainWindow& window = Window();
    EXPECT_EQ(Status(0), chinese() ? "设备已连接" : "Device connected");
    EXPECT_EQ(Status(1),
              chinese() ? "产品 ID：0A-1B-2C-3D-4E-5F" : "Product ID: 0A-1B-2C-3D-4E-5F");
    EXPECT_EQ(window.ledPage.GetPosition(IDC_CURRENT_SLIDER), 65);
    EXPECT_EQ(window.ledPage.GetText(IDC_CURRENT_EDIT), "65");
    EXPECT_EQ(link_.DevicePresent, 1);
}

// The System page's note says when a language choice takes effect; the About box names the
// version in the window's language.
TEST_P(ToolWindowTest, LanguageNoteAndAboutVersion) {
    MainWindow& window = Window();
    SelectTab(window, 2);
    SystemPageView& system = window.systemPage;
    EXPECT_EQ(system.GetText(IDC_LANGUAGE_NOTE), "");
    for (int index : {chinese() ? 0 : 1, chinese() ? 1 : 0}) {
        SCOPED_TRACE(index);
        const bool other = index != (chinese() ? 1 : 0);
        system.SetSelection(IDC_LANGUAGE_COMBO, index);
        SendMessageW(system.hwnd(), WM_COMMAND, MAKEWPARAM(IDC_LANGUAGE_COMBO, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(system.Item(IDC_LANGUAGE_COMBO)));
        EXPECT_EQ(system.GetText(IDC_LANGUAGE_NOTE),
                  other ? window.Translate("System.LanguageAfterRestart") : "");
    }
    ExpectTextsUncut(system.hwnd());

    AboutView about(settings_);
    ASSERT_TRUE(about.Create(window.hwnd()));
    EXPECT_EQ(WindowTextOf(about.hwnd()), chinese() ? "关于 KQ7300" : "About KQ7300");
    const std::string version = window.Translate("About.Version");
    const std::string shown = about.Text(IDC_ABOUT_VERSION);
    EXPECT_TRUE(shown.starts_with(version.substr(0, version.find("%1")))) << shown;
    EXPECT_EQ(shown.find('%'), std::string::npos) << shown;
    EXPECT_GT(shown.size(), version.size() - 2);
    ExpectTextsUncut(about.hwnd());
}

TEST_P(ToolWindowTest, EnterAndEscapeCloseNothing) {
    MainWindow& window = Window();
    for (HWND target :
         {window.hwnd(), window.ledPage.Item(IDC_LED_SWITCH), window.ledPage.Item(IDC_CURRENT_EDIT),
          window.flipPage.Item(IDC_FLIP_X), window.systemPage.Item(IDC_LANGUAGE_COMBO)}) {
        for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
            PressKey(target, key);
            Settle();
            EXPECT_FALSE(window.ended());
            EXPECT_TRUE(IsWindowVisible(window.hwnd()));
        }
    }
    // The close box still closes: out of sight at once, the modal run ended.
    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    PumpUiMessages();
    EXPECT_TRUE(window.ended());
    EXPECT_FALSE(IsWindowVisible(window.hwnd()));
}

TEST_P(ToolWindowTest, WindowIsAFixedSizeApplicationWindowWithIconAndAbout) {
    HWND main = Window().hwnd();
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(main, GWL_STYLE));
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & (WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    EXPECT_TRUE(SendMessageW(main, WM_GETICON, ICON_BIG, 0));
    EXPECT_TRUE(SendMessageW(main, WM_GETICON, ICON_SMALL, 0));
    // The system menu leads to the About box, in the window's language.
    HMENU menu = GetSystemMenu(main, FALSE);
    wchar_t item[64] = {};
    ASSERT_GT(GetMenuStringW(menu, 0x10, item, 64, MF_BYCOMMAND), 0);
    EXPECT_EQ(os::Utf8(item), chinese() ? "关于 KQ7300" : "About KQ7300");
    // It opens from there and from F1, and closes again.
    for (auto open : std::initializer_list<std::function<void()>>{
             [&] { SendMessageW(main, WM_SYSCOMMAND, 0x10, 0); },
             [&] {
                 HELPINFO help{sizeof help};
                 SendMessageW(main, WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
             }}) {
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            HWND about = GetActiveWindow();
            if (DialogWindow::FromHandle(about)) PostMessageW(about, WM_COMMAND, IDOK, 0);
        });
        ASSERT_NE(timer, 0u);
        open();
        EXPECT_EQ(WindowTextOf(GetActiveWindow()), "KQ7300")
            << "the About box has closed, the main window is active";
    }
}

// English, with an engine in its application unless a test says otherwise.
class EngineTest : public WindowWorld {
  protected:
    EngineTest() { SpeakProgramLanguage("English"); }
    // Payloads the engine received since the last call (frames without length and CRC).
    std::vector<Bytes> Sent() { return NewPayloads(); }
    static constexpr uint8_t kMode = 0xFE;
};

// What each user action sends and shows; what the program itself sets sends nothing and is not
// taken for the user's.
TEST_F(EngineTest, UserActionsReachTheEngineProgramChangesDoNot) {
    engine_ = Plug();
    MainWindow& w = Window();
    LedPageView& led = w.ledPage;
    FlipPageView& flip = w.flipPage;
    SystemPageView& system = w.systemPage;
    Sent();
    struct Case {
        const char* what;
        std::function<void()> act;
        std::vector<Bytes> sent;
        std::function<void()> expect;
    };
    const Case cases[] = {
        {"typed 65, Write",
         [&] {
             SetWindowTextW(led.Item(IDC_CURRENT_EDIT), L"65");
             Click(led, IDC_CURRENT_WRITE);
         },
         {{kMode}, {0x01, 0x00, 65}},
         [&] {
             EXPECT_EQ(led.GetPosition(IDC_CURRENT_SLIDER), 65);
             EXPECT_EQ(w.logic().m_ledPage.m_nCurrent, 65u);
         }},
        {"Read",
         [&] { Click(led, IDC_CURRENT_READ); },
         {{kMode}, {0x01, 0x01}},
         [&] { EXPECT_EQ(led.GetText(IDC_CURRENT_EDIT), "65"); }},
        {"LED off",
         [&] { Click(led, IDC_LED_SWITCH); },
         {{kMode}, {0x02, 0x00}},
         [&] {
             EXPECT_EQ(led.GetText(IDC_LED_SWITCH), "On");
             for (int id :
                  {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
                 EXPECT_FALSE(led.IsEnabled(id)) << id;
             }
         }},
        {"LED on",
         [&] { Click(led, IDC_LED_SWITCH); },
         {{kMode}, {0x02, 0x01}},
         [&] {
             EXPECT_EQ(led.GetText(IDC_LED_SWITCH), "Off");
             EXPECT_TRUE(led.IsEnabled(IDC_CURRENT_WRITE));
         }},
        {"power off",
         [&] { Click(led, IDC_POWER_SWITCH); },
         {{kMode}, {0x03, 0x02}},
         [&] { EXPECT_EQ(led.GetText(IDC_POWER_SWITCH), "On"); }},
        {"slider moved by a key",
         [&] { SendMessageW(led.Item(IDC_CURRENT_SLIDER), WM_KEYDOWN, VK_RIGHT, 0); },
         {},
         [&] { EXPECT_EQ(led.GetText(IDC_CURRENT_EDIT), "66"); }},
        {"slider set by the program",
         [&] { led.SetPosition(IDC_CURRENT_SLIDER, 40); },
         {},
         [&] { EXPECT_EQ(led.GetText(IDC_CURRENT_EDIT), "66"); }},
        {"press on the box",
         [&] {
             PostMessageW(led.Item(IDC_CURRENT_EDIT), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
             PostMessageW(led.Item(IDC_CURRENT_EDIT), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
         },
         {},
         [&] { EXPECT_EQ(led.GetPosition(IDC_CURRENT_SLIDER), 66); }},
        {"007 and Enter in the box",
         [&] {
             SetWindowTextW(led.Item(IDC_CURRENT_EDIT), L"007");
             PressKey(led.Item(IDC_CURRENT_EDIT), VK_RETURN);
         },
         {},
         [&] {
             EXPECT_EQ(led.GetText(IDC_CURRENT_EDIT), "7");
             EXPECT_EQ(led.GetPosition(IDC_CURRENT_SLIDER), 7);
         }},
        // The page's first read waits for a selection that finds the engine's application:
        // at its creation the engine had not been looked for.
        {"the LED tab again",
         [&] { SelectTab(w, 0); },
         {{kMode}, {kMode}, {0x01, 0x01}},
         [&] { EXPECT_EQ(led.GetText(IDC_CURRENT_EDIT), "65"); }},
        {"the LED tab once more", [&] { SelectTab(w, 0); }, {{kMode}}, [] {}},
        {"flip X ticked, Y ticked and unticked, Apply",
         [&] {
             SelectTab(w, 1);
             Click(flip, IDC_FLIP_X);
             Click(flip, IDC_FLIP_Y);
             Click(flip, IDC_FLIP_Y);
             Click(flip, IDC_FLIP_DO);
         },
         {{kMode}, {0x09, 0x00, 0x02}},
         [&] { EXPECT_TRUE(flip.IsChecked(IDC_FLIP_X)); }},
        {"flip box set by the program",
         [&] { flip.SetChecked(IDC_FLIP_Y, true); },
         {},
         [&] { EXPECT_EQ(w.logic().m_flipPage.m_flipY, 0); }},
        {"language chosen by key",
         [&] {
             SelectTab(w, 2);
             SendMessageW(system.Item(IDC_LANGUAGE_COMBO), WM_KEYDOWN, VK_DOWN, 0);
         },
         {},
         [&] { EXPECT_NE(ReadConfig().find("Solution=SimpChinese"), std::string::npos); }},
        {"language set by the program",
         [&] { system.SetSelection(IDC_LANGUAGE_COMBO, 0); },
         {},
         [&] { EXPECT_NE(ReadConfig().find("Solution=SimpChinese"), std::string::npos); }},
        {"file name shown",
         [&] { system.SetText(IDC_FILE_NAME, "C:\\固件.bin"); },
         {},
         [&] { EXPECT_EQ(w.logic().m_systemPage.m_strFileName, "C:\\固件.bin"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.act();
        Settle();
        EXPECT_EQ(Sent(), c.sent);
        c.expect();
    }
    EXPECT_FALSE(w.ended());
}

// The bytes on the wire reach the trace, as --trace shows them.
TEST_F(EngineTest, AWriteGoesIntoTheTrace) {
    const std::string trace = ProgramDir() + "trace.txt";
    ASSERT_TRUE(link_.trace().Open(trace));
    Plug();
    LedPageView& led = Window().ledPage;
    SetWindowTextW(led.Item(IDC_CURRENT_EDIT), L"65");
    Click(led, IDC_CURRENT_WRITE);
    Settle();
    std::ifstream in(trace);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("> 07 00 01 00 41 "), std::string::npos) << text.str();
}

// Failures are told in a box that the main window owns, in the page's words; a page not shown
// names itself in the title. Enter and Escape on the page do not press anything meanwhile.
TEST_F(EngineTest, AFailureIsToldInABoxOfTheMainWindow) {
    MainWindow& w = Window();
    struct Case {
        DialogWindow* page;
        int id;
        const char* title;
    };
    for (const Case& c : {Case{&w.ledPage, IDC_CURRENT_WRITE, "Communication error"},
                          Case{&w.ledPage, IDC_POWER_SWITCH, "Communication error"},
                          Case{&w.flipPage, IDC_FLIP_DO, "Flip — Communication error"}}) {
        SCOPED_TRACE(c.id);
        SeenBox seen;
        DialogAnswer answer(PressOk(seen));
        Click(*c.page, c.id);
        EXPECT_TRUE(PumpUntil([&] { return answer.answered() && !w.worker().busy(); }));
        EXPECT_EQ(seen.owner, w.hwnd());
        EXPECT_EQ(seen.title, c.title);
        EXPECT_TRUE(Contains(seen.texts, w.Translate("WarningUart.CommunicationFail")));
    }
    EXPECT_EQ(Sent(), std::vector<Bytes>{});
}

// Arrival and removal as the platform's notices bring them: with one blank before the text.
TEST_F(EngineTest, ArrivalAndRemovalFollowTheEngine) {
    MainWindow& w = Window();
    EXPECT_EQ(Status(0), "Device not connected");
    const auto engine = Plug("current=42");
    EXPECT_TRUE(PumpUntil([&] { return Status(0) == " Device connected"; }));
    Settle();
    EXPECT_EQ(Status(1), "Product ID: 0A-1B-2C-3D-4E-5F");
    EXPECT_EQ(w.ledPage.GetText(IDC_CURRENT_EDIT), "42");
    bus_.Unplug(engine);
    EXPECT_TRUE(PumpUntil([&] { return Status(0) == " Device not connected"; }));
    EXPECT_EQ(Status(1), "Product ID: XX-XX-XX-XX-XX-XX");
    EXPECT_EQ(link_.DevicePresent, 0);
}

// The busy cursor shows only once a request takes longer than a glance, and goes with it.
TEST_F(EngineTest, ALongRequestShowsTheBusyCursor) {
    MainWindow& w = Window();
    Gate gate;
    HoldWorker(w.worker(), gate);
    EXPECT_FALSE(w.busyCursorShown());
    EXPECT_FALSE(w.ledPage.IsEnabled(IDC_CURRENT_READ)) << "no second request";
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_TRUE(w.busyCursorShown());
    gate.Open();
    Settle();
    EXPECT_FALSE(w.busyCursorShown());
    EXPECT_TRUE(w.ledPage.IsEnabled(IDC_CURRENT_READ));
}

class UpgradeTest : public EngineTest {
  protected:
    UpgradeTest() {
        context_.programPath = ProgramDir() + "kq7300tool.exe";
        context_.upgradeWaits = &sleeper_;
        WriteImage("usbloader.bin", Image(2048, 'L'));
        // A name the ANSI code page cannot hold.
        firmware_ = ProgramDir() + "firmware 固件.bin";
        const std::vector<uint8_t> image = Image(12288, 'F');
        WriteBytes(firmware_, std::string(image.begin(), image.end()));
    }
    // Chooses the firmware, presses Upgrade on the System page and answers its question with
    // Upgrade, once the phase line says that nothing has been written yet; the dialogs after it
    // get the answers after, in their order.
    void StartUpgrade(std::vector<std::function<void(HWND)>> after = {}) {
        MainWindow& w = Window();
        SelectTab(w, 2);
        w.systemPage.SetText(IDC_FILE_NAME, firmware_);
        bool confirmed = false;
        std::string phase;
        std::vector<std::string> texts;
        after.insert(after.begin(), [&](HWND question) {
            confirmed = true;
            phase = w.systemPage.GetText(IDC_UPGRADE_PHASE);
            texts = DialogAnswer::TextsOf(question);
            if (!PressButton(question, "Upgrade")) PostMessageW(question, WM_COMMAND, IDOK, 0);
        });
        answers_.emplace(std::move(after));
        Click(w.systemPage, IDC_UPGRADE);
        EXPECT_FALSE(w.systemPage.IsEnabled(IDC_UPGRADE)) << "off at once";
        ASSERT_TRUE(PumpUntil([&] { return confirmed; }));
        EXPECT_EQ(phase, w.Translate("System.Phase.Confirming"));
        ASSERT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
            return t.starts_with("Upgrade the firmware of this light engine?") &&
                   t.find("firmware 固件.bin") != std::string::npos;
        })) << ::testing::PrintToString(texts);
    }
    // An upgrade held in its wait after StartLoader, until the gate opens.
    void StartUpgradeHeld(GateSleeper& gate, std::vector<std::function<void(HWND)>> after = {}) {
        context_.upgradeWaits = &gate;
        engine_ = Plug("reboot-ms=0");
        StartUpgrade(std::move(after));
        ASSERT_TRUE(PumpUntil([&] { return Window().systemPage.IsEnabled(IDC_STOP); }));
        ASSERT_TRUE(gate.WaitEntered());
    }
    bool WaitForUpgradeEnd() {
        CSystemDlg& page = Window().logic().m_systemPage;
        return PumpUntil([&] { return !page.m_pUpgradeThread && !Window().worker().busy(); });
    }
    int Progress() { return Window().systemPage.GetPosition(IDC_PROGRESS); }

    std::string firmware_;
    std::optional<DialogAnswer> answers_;
};

// The bar runs to 100, the message says so at 100 and the bar goes back to 0 after it; LED and
// Flip are off while it runs.
TEST_F(UpgradeTest, RunsToTheEndAndSaysSo) {
    context_.historyFile = dir_ / "history.jsonl";
    engine_ = Plug("reboot-ms=0");
    MainWindow& w = Window();
    EXPECT_EQ(w.systemPage.GetText(IDC_LAST_UPGRADE), w.Translate("System.LastUpgradeNone"));
    SeenBox seen;
    int progressAtMessage = -1;
    bool pagesOffDuringUpgrade = false;
    ASSERT_NO_FATAL_FAILURE(StartUpgrade({[&](HWND box) {
        progressAtMessage = Progress();
        pagesOffDuringUpgrade = !w.flipPage.IsEnabled(IDC_FLIP_DO);
        PressOk(seen)(box);
    }}));
    ASSERT_TRUE(WaitForUpgradeEnd());
    EXPECT_EQ(progressAtMessage, 100);
    EXPECT_TRUE(pagesOffDuringUpgrade);
    EXPECT_EQ(seen.title, "Firmware upgrade");
    EXPECT_EQ(seen.owner, w.hwnd());
    EXPECT_TRUE(std::any_of(seen.texts.begin(), seen.texts.end(), [](const std::string& t) {
        return t.starts_with("Firmware upgrade succeeded.");
    }));
    EXPECT_EQ(Progress(), 0);
    EXPECT_TRUE(w.systemPage.IsEnabled(IDC_UPGRADE));
    EXPECT_FALSE(w.systemPage.IsEnabled(IDC_STOP));
    EXPECT_TRUE(w.flipPage.IsEnabled(IDC_FLIP_DO));
    EXPECT_EQ(engine_->finishUpgradeCount(), 1);
    EXPECT_TRUE(Status(0).ends_with("Device connected")) << "looked at again afterwards";
    // The history's line of this run, for this engine.
    const std::string last = w.systemPage.GetText(IDC_LAST_UPGRADE);
    EXPECT_TRUE(last.starts_with("Last upgrade: ")) << last;
    EXPECT_TRUE(last.ends_with(", firmware 固件.bin, succeeded")) << last;
}

// Stop ends the run at the next block; the phase line says the stop waits for the wait, the
// message where the engine is left (its loader), and the status bar agrees.
TEST_F(UpgradeTest, StopsWhenTold) {
    GateSleeper gate;
    SeenBox seen;
    ASSERT_NO_FATAL_FAILURE(StartUpgradeHeld(gate, {PressOk(seen)}));
    MainWindow& w = Window();
    Click(w.systemPage, IDC_STOP);
    EXPECT_FALSE(w.systemPage.IsEnabled(IDC_STOP)) << "off at once";
    EXPECT_NE(
        w.systemPage.GetText(IDC_UPGRADE_PHASE).find(w.Translate("System.Phase.StopAfterWait")),
        std::string::npos)
        << w.systemPage.GetText(IDC_UPGRADE_PHASE);
    gate.Open();
    ASSERT_TRUE(WaitForUpgradeEnd());
    EXPECT_TRUE(answers_->answered());
    EXPECT_EQ(seen.owner, w.hwnd());
    EXPECT_TRUE(Contains(seen.texts, w.Translate("WarningSystem.StoppedInLoader")) ||
                std::any_of(seen.texts.begin(), seen.texts.end(), [&](const std::string& t) {
                    return t.starts_with(w.Translate("WarningSystem.StoppedInLoader"));
                }));
    EXPECT_EQ(w.systemPage.GetText(IDC_UPGRADE_PHASE), "");
    EXPECT_EQ(Progress(), 0);
    EXPECT_TRUE(w.systemPage.IsEnabled(IDC_UPGRADE));
    EXPECT_EQ(engine_->finishUpgradeCount(), 0);
    EXPECT_EQ(Status(0), "Device in its loader");
}

// Closing mid-upgrade asks first, in a question the main window owns, in the words of where the
// upgrade is; keeping on keeps the window, stopping closes it and ends the worker.
TEST_F(UpgradeTest, ClosingDuringAnUpgradeAsksFirst) {
    // Real waits: the engine never comes back, so the worker sits in its search for the loader,
    // which closing cuts short.
    context_.upgradeWaits = nullptr;
    engine_ = Plug("reboot-ms=0,fault=no-return");
    ASSERT_NO_FATAL_FAILURE(StartUpgrade());
    answers_.reset();
    MainWindow& w = Window();
    ASSERT_TRUE(PumpUntil(
        [&] { return w.logic().m_systemPage.upgradeStage() == UpgradeStage::WaitingForLoader; }));
    struct Case {
        const char* button;
        bool closes;
    };
    for (const Case& c : {Case{"Keep upgrading", false}, Case{"Stop and close", true}}) {
        SCOPED_TRACE(c.button);
        HWND owner = nullptr;
        std::vector<std::string> texts;
        DialogAnswer answer([&](HWND question) {
            owner = GetWindow(question, GW_OWNER);
            texts = DialogAnswer::TextsOf(question);
            PressButton(question, c.button);
        });
        SendMessageW(w.hwnd(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(PumpUntil([&] { return answer.answered(); }));
        PumpFor(std::chrono::milliseconds(50));
        EXPECT_EQ(owner, w.hwnd());
        EXPECT_TRUE(Contains(texts, w.Translate("WarningSystem.CloseDuringUpgrade")));
        EXPECT_EQ(w.ended(), c.closes);
        EXPECT_EQ(IsWindowVisible(w.hwnd()) != FALSE, !c.closes);
    }
    EXPECT_EQ(w.logic().m_systemPage.m_pUpgradeThread, nullptr) << "never outlives the page";
    EXPECT_EQ(engine_->startLoaderCount(), 1);
}

// The restart starts the program again and closes this window through its own close path; a
// start that fails ends the program with -1.
TEST_F(EngineTest, RestartStartsAgainThenCloses) {
    context_.programPath = "C:\\KQ7300\\kq7300tool.exe";
    for (bool starts : {false, true}) {
        SCOPED_TRACE(starts);
        processes_.startSucceeds = starts;
        window_.reset();
        MainWindow& w = Window();
        SelectTab(w, 2);
        Click(w.systemPage, IDC_RESTART);
        PumpFor(std::chrono::milliseconds(50));
        EXPECT_EQ(processes_.program, "C:\\KQ7300\\kq7300tool.exe");
        EXPECT_EQ(w.ended(), starts);
        EXPECT_EQ(processes_.exitCode, starts ? std::nullopt : std::optional<int>(-1));
        processes_.exitCode.reset();
    }
    EXPECT_EQ(processes_.starts, 2);
}

// A translation that is a key of its own shape (it has a dot) survives the translation each
// selection of the tab brings; a GB18030 file shows the same texts as a UTF-8 one.
TEST_F(EngineTest, TextsComeFromTheFileOnceWhateverItsEncoding) {
    const std::string utf8 = "[String]\nLed.Write=Ver.2\nTab.Flip=翻转\nLed.Read=读取\n";
    struct Case {
        const char* name;
        std::string bytes;
    };
    for (const Case& c : {Case{"utf-8", utf8}, Case{"gb18030", text::Utf8ToGb18030(utf8)}}) {
        SCOPED_TRACE(c.name);
        WriteFile(std::string("Language/") + c.name + ".lang", c.bytes);
        UseLanguage(c.name);
        window_.reset();
        MainWindow& window = Window();
        for (int tab : {1, 0, 1, 0}) {
            SelectTab(window, tab);
            Settle();
        }
        EXPECT_EQ(WideText(window.ledPage.Item(IDC_CURRENT_WRITE)), L"Ver.2");
        EXPECT_EQ(WideText(window.ledPage.Item(IDC_CURRENT_READ)), L"读取");
        EXPECT_EQ(TabText(window, 1), "翻转");
        // Keys without a text fall back to what follows their first dot.
        EXPECT_EQ(window.ledPage.GetText(IDC_LED_SWITCH), "Off");
    }
}

// Start-up without a language in Config.ini asks for one, then runs the main window in it.
TEST_F(EngineTest, StartUpAsksForTheLanguageThenRunsTheMainWindow) {
    std::vector<std::string> shown;
    ToolApp tool(context_, &bus_, ProgramDir());
    tool.beforeModal = [&](DialogWindow& window) {
        shown.push_back(WindowTextOf(window.hwnd()));
        if (window.templateId() == IDD_LANGUAGE_DIALOG) {
            // The other entry, then Enter: the default button.
            SendMessageW(window.Item(IDC_LANGUAGE_LIST), CB_SETCURSEL, 1, 0);
            PostMessageW(window.hwnd(), WM_KEYDOWN, VK_RETURN, 1);
        } else {
            shown.push_back(WindowTextOf(window.Item(IDC_TAB)));
            shown.push_back(static_cast<MainWindow&>(window).GetStatusText(0));
            PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
        }
    };
    EXPECT_FALSE(tool.InitInstance());
    // The language question speaks the system's language (the folder's files have no caption
    // for it), the main window the one chosen.
    EXPECT_EQ(shown, (std::vector<std::string>{"Dialog", "KQ7300", "Tab1", "设备未连接"}));
    EXPECT_EQ(settings_.ReadLanguageSetting(), "SimpChinese");
}

// The first start's question: the system's language preselected; the keyboard chooses, OK
// stores the choice and makes it the language in use, Escape stores nothing.
TEST_F(EngineTest, LanguageQuestionAnswersByKeyboard) {
    struct Case {
        const char* what;
        unsigned locale;
        std::vector<WPARAM> keys;
        const char* stored;  // nullptr: nothing
    };
    const Case cases[] = {
        {"English system, Enter", kLangEnglish, {VK_RETURN}, "English"},
        {"Chinese system, Enter", kLangChinese, {VK_RETURN}, "SimpChinese"},
        {"English system, the other entry", kLangEnglish, {VK_DOWN, VK_RETURN}, "SimpChinese"},
        {"Escape", kLangChinese, {VK_ESCAPE}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteConfig("");
        locale_.language = c.locale;
        EXPECT_FALSE(settings_.LanguageFilePath(ProgramDir()));
        const std::string before = settings_.CurrentLanguageFile;
        LanguageDialog dialog(settings_);
        ASSERT_TRUE(dialog.Create());
        for (WPARAM key : c.keys) {
            HWND list = dialog.Item(IDC_LANGUAGE_LIST);
            PostMessageW(key == VK_DOWN ? list : dialog.hwnd(), WM_KEYDOWN, key, 1);
        }
        dialog.DoModal();
        if (c.stored) {
            EXPECT_EQ(settings_.ReadLanguageSetting(), c.stored);
            EXPECT_EQ(settings_.CurrentLanguageFile, LanguagePath(ProgramDir(), c.stored));
        } else {
            EXPECT_EQ(settings_.ReadLanguageSetting(), "");
            EXPECT_EQ(settings_.CurrentLanguageFile, before);
        }
    }
}

TEST_F(EngineTest, LanguageQuestionShowsItsTemplateInTheSystemsLanguage) {
    for (const char* language : {"English", "SimpChinese"}) {
        SpeakProgramLanguage(language);
        LanguageDialog view(settings_);
        ASSERT_TRUE(view.Create());
        ExpectTemplate(view);
        EXPECT_EQ(view.GetText(0),
                  std::string(language) == "English" ? "Choose Language" : "选择语言");
        EXPECT_EQ(view.GetSelection(IDC_LANGUAGE_LIST), std::string(language) == "English" ? 0 : 1);
        ExpectTextsUncut(view.hwnd());
    }
}

// Messages and questions belong to the main window also when a page asks, show their texts
// whole, and the question's safe answer is the one Enter and Escape give.
TEST_F(EngineTest, MessagesAndQuestionsAreOwnedByTheMainWindow) {
    SpeakProgramLanguage("SimpChinese");
    MainWindow& window = Window();
    SeenBox seen;
    {
        DialogAnswer answer(PressOk(seen));
        window.ledPage.ShowMessage({"通信错误", "无法与光机通信。", MessageIcon::Warning});
    }
    EXPECT_EQ(seen.owner, window.hwnd());
    EXPECT_EQ(seen.title, "通信错误");
    EXPECT_TRUE(Contains(seen.texts, "无法与光机通信。"));

    struct Case {
        const char* what;
        std::function<void(HWND)> answer;
        Answer defaultAnswer;
        Answer expected;
    };
    auto pressButton = [](const char* text) {
        return [text](HWND question) {
            for (HWND c : Children(question)) {
                if (WindowTextOf(c) != text) continue;
                PostMessageW(question, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), BN_CLICKED),
                             reinterpret_cast<LPARAM>(c));
            }
        };
    };
    auto key = [](WPARAM k) {
        // Keys go into the question's own loop, which hands them to its dialog manager.
        return [k](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, k, 1); };
    };
    const Case cases[] = {
        {"the action", pressButton("停止并关闭"), Answer::Reject, Answer::Accept},
        {"the other button", pressButton("继续升级"), Answer::Reject, Answer::Reject},
        {"Enter", key(VK_RETURN), Answer::Reject, Answer::Reject},
        {"Enter, the action by default", key(VK_RETURN), Answer::Accept, Answer::Accept},
        {"Escape", key(VK_ESCAPE), Answer::Accept, Answer::Reject},
    };
    for (const Case& c : cases) {
        HWND owner = nullptr;
        DialogAnswer answer([&](HWND question) {
            owner = GetWindow(question, GW_OWNER);
            c.answer(question);
        });
        const Question question{.title = "固件升级",
                                .text = "固件升级正在进行。",
                                .acceptText = "停止并关闭",
                                .rejectText = "继续升级",
                                .defaultAnswer = c.defaultAnswer};
        EXPECT_EQ(window.systemPage.Ask(question), c.expected) << c.what;
        EXPECT_EQ(owner, window.hwnd()) << c.what;
    }
}

// A question's text changes while it is open, from a task of the UI queue.
TEST_F(EngineTest, AQuestionsTextChangesWhileOpen) {
    MainWindow& window = Window();
    std::vector<bool> handles;
    bool changedShown = false;
    Question question{.title = "Firmware upgrade",
                      .text = "Checking the engine...",
                      .acceptText = "Flash",
                      .rejectText = "Cancel"};
    question.whileOpen = [&](OpenQuestion* open) {
        handles.push_back(open != nullptr);
        if (!open) return;
        window.logic().ui().Post([open] { open->SetText("The engine answers: flash it?"); });
    };
    DialogAnswer answer([&](HWND box) {
        // The task has run inside the box's loop before the timer looks.
        std::function<bool(HWND)> shows = [&](HWND parent) {
            for (HWND c : Children(parent)) {
                if (WindowTextOf(c).find("flash it?") != std::string::npos || shows(c)) return true;
            }
            return false;
        };
        changedShown = shows(box);
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(window.systemPage.Ask(question), Answer::Reject);
    EXPECT_TRUE(changedShown);
    EXPECT_EQ(handles, (std::vector<bool>{true, false}));
}

// The file dialog gives back a name the ANSI code page cannot hold, opens in the folder asked
// for, and gives nothing on cancel.
TEST_F(EngineTest, FileChoiceGivesTheFullUnicodeName) {
    const std::string folder = ProgramDir() + "固件";
    const std::string firmware = folder + "\\固件 ü.bin";
    WriteBytes(firmware, "firmware");
    const FileChoice choice{.title = "选择固件文件",
                            .filters = {{"ENC 固件文件", {"*.enc"}},
                                        {"二进制文件", {"*.bin", "*.BIN"}},
                                        {"所有文件", {"*"}}},
                            .startFolder = folder};
    constexpr int kFileName = 0x47c;  // cmb13, the file name box of the dialog
    std::string firstFilter;
    std::optional<std::string> chosen;
    {
        DialogAnswer answer([&](HWND dialog) {
            firstFilter = WindowTextOf(GetDlgItem(dialog, 0x470));  // cmb1, the filter list
            // A bare name: the dialog finds it in the folder it opened in.
            SetDlgItemTextW(dialog, kFileName, L"固件 ü.bin");
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
        chosen = Window().systemPage.ChooseFile(choice);
    }
    EXPECT_EQ(chosen, firmware);
    EXPECT_EQ(firstFilter, "ENC 固件文件");
    {
        DialogAnswer answer([](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
        EXPECT_EQ(Window().systemPage.ChooseFile(choice), std::nullopt);
    }
}

TEST(ProgramTest, RunsWithCommonControlsSixAndPerMonitorScaling) {
    // The common controls the program's calls reach, whatever else a system library loaded.
    HMODULE comctl = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&InitCommonControlsEx)), &comctl));
    // Version 6 is the side-by-side assembly the manifest asks for (wine's says 5.81 of
    // itself, so its place tells).
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(comctl, path, MAX_PATH);
    std::string place = os::Utf8(path);
    std::transform(place.begin(), place.end(), place.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(place.find("microsoft.windows.common-controls_6595b64144ccf1df_6.0."),
              std::string::npos)
        << place;

    using GetAwarenessFn = DPI_AWARENESS_CONTEXT(WINAPI*)();
    using AwarenessOfFn = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
    HMODULE user = GetModuleHandleW(L"user32.dll");
    const auto getContext = reinterpret_cast<GetAwarenessFn>(
        reinterpret_cast<void*>(GetProcAddress(user, "GetThreadDpiAwarenessContext")));
    const auto awarenessOf = reinterpret_cast<AwarenessOfFn>(
        reinterpret_cast<void*>(GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
    ASSERT_TRUE(getContext && awarenessOf);
    EXPECT_EQ(awarenessOf(getContext()), DPI_AWARENESS_PER_MONITOR_AWARE);
}

// Tasks posted from other threads run on the UI thread, in each thread's order, also inside a
// message box's loop; once the waker has gone, nothing reaches the window any more.
TEST(UiWakerTest, RunsPostedTasksOnTheUiThread) {
    const DWORD ui = GetCurrentThreadId();
    UiQueue queue;
    auto waker = std::make_unique<UiWaker>(queue);
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    std::vector<std::vector<int>> seen(kThreads);
    int offThread = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                queue.Post([&, t, i] {
                    if (GetCurrentThreadId() != ui) ++offThread;
                    seen[static_cast<size_t>(t)].push_back(i);
                });
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(PumpUntil([&] {
        return std::all_of(seen.begin(), seen.end(),
                           [](const std::vector<int>& s) { return s.size() == kEach; });
    }));
    EXPECT_EQ(offThread, 0);
    for (const std::vector<int>& s : seen) EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));

    // Inside a box: the task that closes it runs in the box's own loop.
    bool ranInBox = false;
    {
        std::thread poster([&] {
            Sleep(100);
            queue.Post([&] {
                ranInBox = SystemDialogShown() != nullptr;
                if (HWND box = SystemDialogShown()) PostMessageW(box, WM_COMMAND, IDOK, 0);
            });
        });
        win32ui::ShowMessage(nullptr, {"Title", "Text"});
        poster.join();
    }
    EXPECT_TRUE(ranInBox);

    waker.reset();
    bool ranLate = false;
    std::thread([&] { queue.Post([&] { ranLate = true; }); }).join();
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(ranLate);
}

}  // namespace
}  // namespace kq::test

int main(int argc, char** argv) {
    kq::test::InitControls();
    return kq::test::RunWindowTests(argc, argv);
}
