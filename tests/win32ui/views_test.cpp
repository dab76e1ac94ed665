// The Win32 views in their own process, on a real (virtual) display: created from the
// program's templates, driven with the messages a user's actions send, read back through the
// controls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "l10n/temp_dir.h"
#include "l10n/text.h"
#include "win32ui/system_dialogs.h"
#include "win32ui/tool_window.h"
#include "win32ui/ui_poster.h"
#include "window_driver.h"

namespace kq::testing {
namespace {

using namespace win32ui;

// The program's language files, copied beside the test into Language\ as beside the program.
std::string LanguageFile(const char* name) {
    static ModulePathsRecord paths;
    return paths.moduleDir() + "Language\\" + name + ".lang";
}

// Settings of a program folder of the test's own, speaking one language.
struct Speaking {
    explicit Speaking(const std::string& languageFile, unsigned language = kLangEnglish)
        : locale(language), settings(folder.path(), locale) {
        settings.CurrentLanguageFile = languageFile;
    }
    Translator translate() {
        return [this](std::string_view key) { return settings.Translate(key); };
    }

    TempDir folder;
    FixedLocale locale;
    Settings settings;
};

std::wstring WideText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(
        static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

std::string TabText(const MainView& main, int tab) {
    wchar_t text[64] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(main.tabControl(), TCM_GETITEMW, static_cast<WPARAM>(tab),
                 reinterpret_cast<LPARAM>(&item));
    return os::Utf8(text);
}

class ToolWindowTest : public ::testing::TestWithParam<const char*> {
  protected:
    ToolWindowTest()
        : speaking(LanguageFile(GetParam())), window(speaking.settings, speaking.translate()) {
        EXPECT_TRUE(window.Create());
    }
    bool chinese() const { return std::string(GetParam()) == "SimpChinese"; }

    Speaking speaking;
    ToolWindow window;
};

INSTANTIATE_TEST_SUITE_P(Languages, ToolWindowTest, ::testing::Values("English", "SimpChinese"));

TEST_P(ToolWindowTest, TabsOfferThePagesInTheirLanguage) {
    ASSERT_EQ(window.main.TabCount(), 3);
    const std::vector<std::string> expected =
        chinese() ? std::vector<std::string>{"LED", "翻转", "系统"}
                  : std::vector<std::string>{"LED", "Flip", "System"};
    for (int tab = 0; tab < 3; ++tab) EXPECT_EQ(TabText(window.main, tab), expected[tab]);
    EXPECT_EQ(window.main.PageOf(0), &window.led);
    EXPECT_EQ(window.main.PageOf(1), &window.flip);
    EXPECT_EQ(window.main.PageOf(2), &window.system);
    // The caption never follows the language.
    EXPECT_EQ(WideText(window.main.hwnd()), L"KQ7300");
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
          {"Button", IDC_RESTART, "System.confirm"},
          {"Button", -1, ""},
          {"Button", IDC_BROWSE, "...."},
          {"msctls_progress32", IDC_PROGRESS, "Progress1"},
          {"Button", IDC_STOP, "System.Stop"}}},
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

void ExpectTemplate(const DialogView& view) {
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

TEST_P(ToolWindowTest, PagesShowTheirTemplatesTranslated) {
    for (const DialogView* page :
         std::initializer_list<const DialogView*>{&window.led, &window.system, &window.flip}) {
        ExpectTemplate(*page);
    }
    // The texts arrive whole, wide, in the language of the file.
    EXPECT_EQ(WideText(window.led.Item(IDC_CURRENT_WRITE)), chinese() ? L"写入" : L"Write");
    EXPECT_EQ(WideText(window.flip.Item(IDC_FLIP_X)), chinese() ? L"X 翻转" : L"Flip X");
    EXPECT_EQ(window.system.ListCount(IDC_LANGUAGE_COMBO), 2);
    EXPECT_EQ(window.system.ListSel(IDC_LANGUAGE_COMBO), chinese() ? 1 : 0);
    // Controls the template starts disabled, and the picture on the browse button.
    EXPECT_FALSE(window.system.IsEnabled(IDC_STOP));
    EXPECT_FALSE(window.system.IsEnabled(IDC_FILE_NAME));
    EXPECT_TRUE(window.system.IsEnabled(IDC_UPGRADE));
    const auto bitmap = reinterpret_cast<HBITMAP>(
        SendMessageW(window.system.Item(IDC_BROWSE), BM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP picture{};
    ASSERT_TRUE(bitmap && GetObjectW(bitmap, sizeof picture, &picture));
    EXPECT_EQ(picture.bmWidth, 16);
    EXPECT_EQ(picture.bmHeight, 15);
}

// No text ends where the control does, or runs into the control after it on its row.
void ExpectTextsUncut(HWND page) {
    const std::vector<HWND> children = Children(page);
    for (HWND c : children) {
        const std::string kind = ClassName(c);
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(c, GWL_STYLE));
        const DWORD type = style & BS_TYPEMASK;
        if (kind != "Static" &&
            !(kind == "Button" && type != BS_GROUPBOX && !(style & BS_BITMAP))) {
            continue;
        }
        const std::wstring text = WideText(c);
        if (text.empty()) continue;
        HDC dc = GetDC(c);
        const HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0)));
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
            if (other != c && sameRow && o.left > r.left && ClassName(other) != "Static" &&
                !((GetWindowLongPtrW(other, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX &&
                  ClassName(other) == "Button")) {
                room = std::min(room, o.left - r.left);
            }
        }
        EXPECT_LE(extent.cx, room) << os::Utf8(text);
    }
}

TEST_P(ToolWindowTest, NoTextIsCut) {
    for (const DialogView* page :
         std::initializer_list<const DialogView*>{&window.led, &window.system, &window.flip}) {
        SCOPED_TRACE(page->templateId());
        ExpectTextsUncut(page->hwnd());
    }
}

// The page sits at (8, 25) in the tab control, which is 16 pixels wider and 33 taller than the
// page and fills the client area above the status bar; the window's corner stays put.
TEST_P(ToolWindowTest, WindowFollowsEveryPageItShows) {
    RECT start{};
    GetWindowRect(window.main.hwnd(), &start);
    const std::map<const DialogView*, SIZE> templateSizes{
        {&window.led, {290, 93}}, {&window.flip, {187, 38}}, {&window.system, {305, 90}}};
    for (int tab : {0, 2, 1, 0, 1, 2}) {
        SCOPED_TRACE(tab);
        SelectTab(window.main, tab);
        PumpUiMessages();
        DialogView* page = window.main.PageOf(tab);
        for (int other = 0; other < 3; ++other) {
            EXPECT_EQ(window.main.PageOf(other)->IsVisible(), other == tab);
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
        const RECT tabs = RectInParent(window.main.tabControl());
        EXPECT_EQ(tabs.left, 0);
        EXPECT_EQ(tabs.top, 0);
        EXPECT_EQ(tabs.right - tabs.left, client.right + 16);
        EXPECT_EQ(tabs.bottom - tabs.top, client.bottom + 33);

        RECT mainClient{};
        GetClientRect(window.main.hwnd(), &mainClient);
        const RECT status = RectInParent(window.main.statusBar());
        EXPECT_EQ(mainClient.right, tabs.right);
        EXPECT_EQ(status.top, tabs.bottom);
        EXPECT_EQ(status.bottom, mainClient.bottom);
        EXPECT_EQ(status.left, 0);
        EXPECT_EQ(status.right, mainClient.right);

        RECT now{};
        GetWindowRect(window.main.hwnd(), &now);
        EXPECT_EQ(now.left, start.left);
        EXPECT_EQ(now.top, start.top);
    }
}

TEST_P(ToolWindowTest, StatusBarHasTwoPartsAndTheFirstTexts) {
    int edges[2] = {};
    ASSERT_EQ(
        SendMessageW(window.main.statusBar(), SB_GETPARTS, 2, reinterpret_cast<LPARAM>(edges)), 2);
    EXPECT_GE(edges[0], 120);
    EXPECT_EQ(edges[1], -1);
    EXPECT_EQ(window.main.StatusText(0), chinese() ? "设备未连接" : "Device not connected");
    EXPECT_EQ(window.main.StatusText(1),
              chinese() ? "产品 ID：XX-XX-XX-XX-XX-XX" : "Product ID: XX-XX-XX-XX-XX-XX");
    // Part 0 has room for the longest text it can show.
    HWND bar = window.main.statusBar();
    HDC dc = GetDC(bar);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(bar, WM_GETFONT, 0, 0)));
    for (const char* key : {"WarningGeneral.DeviceConnect", "WarningGeneral.DeviceSilent",
                            "WarningGeneral.DeviceInLoader", "WarningGeneral.DeviceNoPermission"}) {
        const std::wstring text = os::Wide(" " + window.main.Translate(key));
        SIZE extent{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        EXPECT_LT(extent.cx, edges[0]) << key;
    }
    SelectObject(dc, old);
    ReleaseDC(bar, dc);
}

TEST_P(ToolWindowTest, EnterAndEscapeCloseNothing) {
    for (HWND target :
         {window.main.hwnd(), window.led.Item(IDC_LED_SWITCH), window.led.Item(IDC_CURRENT_EDIT),
          window.flip.Item(IDC_FLIP_X), window.system.Item(IDC_LANGUAGE_COMBO)}) {
        for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
            PressKey(target, key);
            EXPECT_FALSE(window.main.ended());
            EXPECT_TRUE(IsWindowVisible(window.main.hwnd()));
        }
    }
    // The close box still closes.
    SendMessageW(window.main.hwnd(), WM_CLOSE, 0, 0);
    PumpUiMessages();
    EXPECT_TRUE(window.main.ended());
}

TEST_P(ToolWindowTest, WindowIsAFixedSizeApplicationWindowWithIconAndAbout) {
    HWND main = window.main.hwnd();
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
}

// Two views with their events recorded, on the main window as the program has them.
class PagesTest : public ::testing::Test {
  protected:
    PagesTest()
        : speaking(LanguageFile("English")),
          main(speaking.translate(),
               {.onSelChange = [this](int tab) { Log("selChange " + std::to_string(tab)); },
                .onClose = [this] { Log("close"); },
                .onAbout = [this] { Log("about"); }}),
          led(speaking.translate(),
              {.onLedSwitch = [this] { Log("ledSwitch"); },
               .onPowerSwitch = [this] { Log("powerSwitch"); },
               .onWrite = [this] { Log("write"); },
               .onRead = [this] { Log("read"); },
               .onCurrentTextChange = [this] { Log("currentTextChange"); },
               .onCurrentEnter = [this] { Log("currentEnter"); },
               .onCurrentBoxPress = [this] { Log("currentBoxPress"); },
               .onSliderMoved = [this](int p) { Log("sliderMoved " + std::to_string(p)); },
               .onSliderRelease = [this] { Log("sliderRelease"); }}),
          flip(speaking.translate(),
               {.onFlipDo = [this] { Log("flipDo"); },
                .onFlipX = [this](bool on) { Log(on ? "flipX on" : "flipX off"); },
                .onFlipY = [this](bool on) { Log(on ? "flipY on" : "flipY off"); }}),
          system(speaking.translate(),
                 {.onUpgrade = [this] { Log("upgrade"); },
                  .onStop = [this] { Log("stop"); },
                  .onBrowse = [this] { Log("browse"); },
                  .onFileNameChange = [this] { Log("fileNameChange"); },
                  .onLanguageSelChange = [this](int i) { Log("languageSel " + std::to_string(i)); },
                  .onRestart = [this] { Log("restart"); }}) {
        EXPECT_TRUE(main.Create());
        for (DialogView* page : std::initializer_list<DialogView*>{&led, &flip, &system}) {
            EXPECT_TRUE(page->Create(main.tabControl()));
        }
        main.AddTab("Tab.Led", led);
        main.AddTab("Tab.Flip", flip);
        main.AddTab("Tab.System", system);
        system.AddListEntry(IDC_LANGUAGE_COMBO, "ConfigGeneral.English");
        system.AddListEntry(IDC_LANGUAGE_COMBO, "ConfigGeneral.SimpChinese");
        system.SetListSel(IDC_LANGUAGE_COMBO, 0);
        main.ShowPage(0);
        PumpUiMessages();
        events.clear();
    }
    void Log(std::string event) { events.push_back(std::move(event)); }
    std::vector<std::string> Take() {
        PumpUiMessages();
        return std::exchange(events, {});
    }

    Speaking speaking;
    std::vector<std::string> events;
    MainView main;
    LedPageView led;
    FlipPageView flip;
    SystemPageView system;
};

using Events = std::vector<std::string>;

TEST_F(PagesTest, UserActionsAreReportedProgramChangesAreNot) {
    struct Case {
        const char* what;
        std::function<void()> act;
        Events expected;
    };
    auto click = [](const DialogView& view, int id) {
        return [&view, id] { SendMessageW(view.Item(id), BM_CLICK, 0, 0); };
    };
    const Case cases[] = {
        {"LED switch", click(led, IDC_LED_SWITCH), {"ledSwitch"}},
        {"power switch", click(led, IDC_POWER_SWITCH), {"powerSwitch"}},
        {"Write", click(led, IDC_CURRENT_WRITE), {"write"}},
        {"Read", click(led, IDC_CURRENT_READ), {"read"}},
        {"box text",
         [&] { SetWindowTextW(led.Item(IDC_CURRENT_EDIT), L"65"); },
         {"currentTextChange"}},
        {"Enter in the box",
         [&] { PressKey(led.Item(IDC_CURRENT_EDIT), VK_RETURN); },
         {"currentEnter"}},
        {"press on the box",
         [&] {
             PostMessageW(led.Item(IDC_CURRENT_EDIT), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
             PostMessageW(led.Item(IDC_CURRENT_EDIT), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
         },
         {"currentBoxPress"}},
        {"slider set by the program", [&] { led.SetSliderPos(40); }, {}},
        {"slider moved by a key",
         [&] { SendMessageW(led.Item(IDC_CURRENT_SLIDER), WM_KEYDOWN, VK_RIGHT, 0); },
         {"sliderMoved 41"}},
        {"flip X ticked", click(flip, IDC_FLIP_X), {"flipX on"}},
        {"flip X unticked", click(flip, IDC_FLIP_X), {"flipX off"}},
        {"flip Y ticked", click(flip, IDC_FLIP_Y), {"flipY on"}},
        {"apply", click(flip, IDC_FLIP_DO), {"flipDo"}},
        {"upgrade", click(system, IDC_UPGRADE), {"upgrade"}},
        {"browse", click(system, IDC_BROWSE), {"browse"}},
        {"restart", click(system, IDC_RESTART), {"restart"}},
        {"Stop",
         [&] {
             system.Enable(IDC_STOP, true);
             SendMessageW(system.Item(IDC_STOP), BM_CLICK, 0, 0);
         },
         {"stop"}},
        {"file name shown",
         [&] { system.SetText(IDC_FILE_NAME, "C:\\固件.bin"); },
         {"fileNameChange"}},
        {"language chosen by key",
         [&] { SendMessageW(system.Item(IDC_LANGUAGE_COMBO), WM_KEYDOWN, VK_DOWN, 0); },
         {"languageSel 1"}},
        {"language set by the program", [&] { system.SetListSel(IDC_LANGUAGE_COMBO, 0); }, {}},
        {"tab chosen", [&] { SelectTab(main, 2); }, {"selChange 2"}},
        {"About from the system menu",
         [&] { SendMessageW(main.hwnd(), WM_SYSCOMMAND, 0x10, 0); },
         {"about"}},
        {"F1",
         [&] {
             HELPINFO help{sizeof help};
             SendMessageW(main.hwnd(), WM_HELP, 0, reinterpret_cast<LPARAM>(&help));
         },
         {"about"}},
        {"close box", [&] { SendMessageW(main.hwnd(), WM_CLOSE, 0, 0); }, {"close"}},
    };
    for (const Case& c : cases) {
        c.act();
        EXPECT_EQ(Take(), c.expected) << c.what;
    }
    // Reported, not acted on: the window stays until someone ends it.
    EXPECT_FALSE(main.ended());
    EXPECT_EQ(led.Text(IDC_CURRENT_EDIT), "65");
    EXPECT_EQ(system.Text(IDC_FILE_NAME), "C:\\固件.bin");
}

TEST_F(PagesTest, ShowOperationsReachTheControls) {
    led.EnableCurrentControls(false);
    for (int id : {IDC_CURRENT_SLIDER, IDC_CURRENT_EDIT, IDC_CURRENT_WRITE, IDC_CURRENT_READ}) {
        EXPECT_FALSE(led.IsEnabled(id)) << id;
    }
    EXPECT_TRUE(led.IsEnabled(IDC_LED_SWITCH));
    EXPECT_TRUE(led.IsEnabled(IDC_POWER_SWITCH));
    led.EnableCurrentControls(true);
    EXPECT_TRUE(led.IsEnabled(IDC_CURRENT_WRITE));

    EXPECT_EQ(SendMessageW(led.Item(IDC_CURRENT_SLIDER), TBM_GETRANGEMIN, 0, 0), 0);
    EXPECT_EQ(SendMessageW(led.Item(IDC_CURRENT_SLIDER), TBM_GETRANGEMAX, 0, 0),
              KQ_LED_CURRENT_MAX);
    led.SetSliderPos(65);
    EXPECT_EQ(SendMessageW(led.Item(IDC_CURRENT_SLIDER), TBM_GETPOS, 0, 0), 65);
    led.SetSliderPos(250);
    EXPECT_EQ(led.SliderPos(), KQ_LED_CURRENT_MAX);

    led.SetTextKey(IDC_LED_SWITCH, "Led.On");
    EXPECT_EQ(led.Text(IDC_LED_SWITCH), "On");
    // A second translation keeps the key given last, and data stays data.
    led.SetText(IDC_CURRENT_EDIT, "42");
    led.TranslateWindow();
    EXPECT_EQ(led.Text(IDC_LED_SWITCH), "On");
    EXPECT_EQ(led.Text(IDC_CURRENT_EDIT), "42");

    Take();
    flip.SetCheck(IDC_FLIP_Y, true);
    EXPECT_EQ(SendMessageW(flip.Item(IDC_FLIP_Y), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(Take(), Events{});  // no click was made

    system.SetProgress(40);
    EXPECT_EQ(SendMessageW(system.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 40);
    system.SetListSel(IDC_LANGUAGE_COMBO, 1);
    EXPECT_EQ(system.ListSel(IDC_LANGUAGE_COMBO), 1);
    main.SetStatusText(1, "Product ID: 0A-1B-2C-3D-4E-5F");
    EXPECT_EQ(main.StatusText(1), "Product ID: 0A-1B-2C-3D-4E-5F");
}

// A translation that is a key of its own shape (it has a dot) survives the translation each
// selection of the tab brings; a GB18030 file shows the same texts as a UTF-8 one.
TEST(TranslationTest, TextsComeFromTheFileOnceWhateverItsEncoding) {
    TempDir dir;
    const std::string utf8 = "[String]\nLed.Write=Ver.2\nTab.Flip=翻转\nLed.Read=读取\n";
    struct Case {
        const char* name;
        std::string bytes;
    };
    for (const Case& c : {Case{"utf-8", utf8}, Case{"gb18030", text::Utf8ToGb18030(utf8)}}) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.file(std::string(c.name) + ".lang");
        WriteBytes(file, c.bytes);
        Speaking speaking(file);
        ToolWindow window(speaking.settings, speaking.translate());
        ASSERT_TRUE(window.Create());
        for (int tab : {1, 0, 1, 0}) {
            SelectTab(window.main, tab);
            PumpUiMessages();
        }
        EXPECT_EQ(WideText(window.led.Item(IDC_CURRENT_WRITE)), L"Ver.2");
        EXPECT_EQ(WideText(window.led.Item(IDC_CURRENT_READ)), L"读取");
        EXPECT_EQ(TabText(window.main, 1), "翻转");
        // Keys without a text fall back to what follows their first dot.
        EXPECT_EQ(window.led.Text(IDC_LED_SWITCH), "Off");
    }
}

// The first start's question: the system's language preselected; the keyboard chooses, OK
// stores the choice and makes it the language in use, Escape stores nothing.
TEST(LanguageQuestionTest, AnswersByKeyboard) {
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
        TempDir dir;
        FixedLocale locale(c.locale);
        Settings settings(dir.path(), locale);
        EXPECT_FALSE(settings.LanguageFilePath(dir.path()));
        const std::string before = settings.CurrentLanguageFile;
        static const Case* current = nullptr;
        current = &c;
        // The question runs its own loop; the keys come from a timer inside it.
        const UINT_PTR timer = SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            HWND dialog = GetActiveWindow();
            if (!DialogView::FromHandle(dialog)) return;
            for (WPARAM key : current->keys) {
                HWND list = GetDlgItem(dialog, IDC_LANGUAGE_LIST);
                PostMessageW(key == VK_DOWN ? list : dialog, WM_KEYDOWN, key, 1);
            }
        });
        ASSERT_NE(timer, 0u);
        Speaking speakingForDialog(LanguageFile("English"));
        win32ui::AskLanguage(settings, speakingForDialog.translate());
        if (c.stored) {
            EXPECT_EQ(settings.ReadLanguageSetting(), c.stored);
            EXPECT_EQ(settings.CurrentLanguageFile, LanguagePath(dir.path(), c.stored));
        } else {
            EXPECT_EQ(settings.ReadLanguageSetting(), "");
            EXPECT_EQ(settings.CurrentLanguageFile, before);
        }
    }
}

TEST(LanguageQuestionTest, ShowsItsTemplateInTheSystemsLanguage) {
    for (const char* language : {"English", "SimpChinese"}) {
        Speaking speaking(LanguageFile(language));
        LanguageView view(speaking.translate());
        ASSERT_TRUE(view.Create());
        ExpectTemplate(view);
        EXPECT_EQ(view.Text(0),
                  std::string(language) == "English" ? "Choose Language" : "选择语言");
        ExpectTextsUncut(view.hwnd());
    }
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Messages and questions belong to the main window also when a page asks, show their texts
// whole, and the question's safe answer is the one Enter and Escape give.
TEST(SystemDialogsTest, MessagesAndQuestionsAreOwnedByTheMainWindow) {
    Speaking speaking(LanguageFile("SimpChinese"));
    ToolWindow window(speaking.settings, speaking.translate());
    ASSERT_TRUE(window.Create());
    HWND owner = nullptr;
    std::vector<std::string> texts;
    {
        DialogAnswer answer([&](HWND box) {
            owner = GetWindow(box, GW_OWNER);
            texts = DialogAnswer::TextsOf(box);
            texts.push_back(WindowTextOf(box));
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        });
        ShowMessage(window.led.hwnd(), "通信错误", "无法与光机通信。", MessageKind::Warning);
    }
    EXPECT_EQ(owner, window.main.hwnd());
    EXPECT_TRUE(Contains(texts, "通信错误"));
    EXPECT_TRUE(Contains(texts, "无法与光机通信。"));

    struct Case {
        const char* what;
        std::function<void(HWND)> answer;
        bool expected;
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
    const Case cases[] = {
        {"the action", pressButton("停止并关闭"), true},
        {"the other button", pressButton("继续升级"), false},
        // Keys go into the question's own loop, which hands them to its dialog manager.
        {"Enter", [](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1); }, false},
        {"Escape", [](HWND) { PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1); }, false},
    };
    for (const Case& c : cases) {
        owner = nullptr;
        DialogAnswer answer([&](HWND question) {
            owner = GetWindow(question, GW_OWNER);
            c.answer(question);
        });
        EXPECT_EQ(Confirm(window.system.hwnd(), "固件升级", "固件升级正在进行。", "停止并关闭",
                          "继续升级"),
                  c.expected)
            << c.what;
        EXPECT_EQ(owner, window.main.hwnd()) << c.what;
    }
}

// The file dialog gives back a name the ANSI code page cannot hold, and nothing on cancel.
TEST(SystemDialogsTest, FileChoiceGivesTheFullUnicodeName) {
    TempDir dir;
    const std::string firmware = dir.file("固件 ü.bin");
    WriteBytes(firmware, "firmware");
    const std::vector<FileFilter> filters{
        {"ENC 固件文件", "*.enc"}, {"二进制文件", "*.bin"}, {"所有文件", "*.*"}};
    constexpr int kFileName = 0x47c;  // cmb13, the file name box of the dialog
    std::string firstFilter;
    std::optional<std::string> chosen;
    {
        DialogAnswer answer([&](HWND dialog) {
            firstFilter = WindowTextOf(GetDlgItem(dialog, 0x470));  // cmb1, the filter list
            SetDlgItemTextW(dialog, kFileName, os::Wide(firmware).c_str());
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        });
        chosen = ChooseFile(nullptr, "选择固件文件", filters);
    }
    EXPECT_EQ(chosen, firmware);
    EXPECT_EQ(firstFilter, "ENC 固件文件");
    {
        DialogAnswer answer([](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
        EXPECT_EQ(ChooseFile(nullptr, "选择固件文件", filters), std::nullopt);
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

// Work posted from other threads runs on the UI thread, in each thread's order; once the
// poster has gone, posts are dropped.
TEST(UiPosterTest, RunsPostedWorkOnTheUiThreadAndDropsItAfterwards) {
    const DWORD ui = GetCurrentThreadId();
    auto poster = std::make_unique<UiPoster>();
    const UiPoster::Post post = poster->hook();
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    std::vector<std::vector<int>> seen(kThreads);
    int offThread = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                post([&, t, i] {
                    if (GetCurrentThreadId() != ui) ++offThread;
                    seen[static_cast<size_t>(t)].push_back(i);
                });
            }
        });
    }
    for (std::thread& t : threads) t.join();
    PumpUiMessages();
    EXPECT_EQ(offThread, 0);
    for (const std::vector<int>& s : seen) {
        ASSERT_EQ(s.size(), static_cast<size_t>(kEach));
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
    }

    bool ranLate = false;
    post([&] { ranLate = true; });  // waiting when the poster goes
    poster.reset();
    std::thread([&] { post([&] { ranLate = true; }); }).join();
    PumpUiMessages();
    EXPECT_FALSE(ranLate);
}

}  // namespace
}  // namespace kq::testing

// Windows need a display: without one (no X server for wine) the suite says it was skipped.
int main(int argc, char** argv) {
    if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0) {
        std::printf("no DISPLAY: the window tests are skipped\n");
        return 77;
    }
    kq::testing::InitControls();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
