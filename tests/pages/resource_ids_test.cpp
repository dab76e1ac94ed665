#include "tests/support/resource_ids.h"

#include "pages/qt_flip_page.h"
#include "pages/qt_led_page.h"
#include "pages/qt_system_page.h"
#include "res/resource.h"
#include "tests/support/window_fixture.h"

namespace kq::test {
namespace {

class ResourceIdsTest : public WindowTest {};

TEST_F(ResourceIdsTest, ThePageFormsCarryTheNamedIds) {
    CLedDlg led(context_, linkWorker_);
    ExpectResourceIds(QtLedPage(led, services_), {{"ledSwitchButton", IDC_LED_SWITCH},
                                                  {"currentSlider", IDC_CURRENT_SLIDER},
                                                  {"currentEdit", IDC_CURRENT_EDIT},
                                                  {"writeButton", IDC_CURRENT_WRITE},
                                                  {"readButton", IDC_CURRENT_READ},
                                                  {"powerSwitchButton", IDC_POWER_SWITCH}});
    CFlipDlg flip(context_, linkWorker_);
    ExpectResourceIds(
        QtFlipPage(flip, services_),
        {{"flipXCheck", IDC_FLIP_X}, {"flipYCheck", IDC_FLIP_Y}, {"applyButton", IDC_FLIP_DO}});
    CSystemDlg system(context_, linkWorker_);
    ExpectResourceIds(QtSystemPage(system, services_), {{"upgradeButton", IDC_UPGRADE},
                                                        {"fileNameEdit", IDC_FILE_NAME},
                                                        {"browseButton", IDC_BROWSE},
                                                        {"progressBar", IDC_PROGRESS},
                                                        {"stopButton", IDC_STOP},
                                                        {"languageCombo", IDC_LANGUAGE_COMBO},
                                                        {"restartButton", IDC_RESTART},
                                                        {"phaseLabel", IDC_UPGRADE_PHASE},
                                                        {"lastUpgradeLabel", IDC_LAST_UPGRADE},
                                                        {"languageNoteLabel", IDC_LANGUAGE_NOTE}});
}

}  // namespace
}  // namespace kq::test
