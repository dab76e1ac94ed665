#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "upgrade/upgrade.h"

namespace kq {

// Every text kq7300ctl tells a person, with its key in the language files ("Ctl." and the name)
// and the English it says when the file or the key is missing. "%1" to "%9" are its values.
// --json output is never among them: its names and values are the same in every language.
#define KQ_CTL_TEXTS(X)                                                                            \
    X(Error, "error: %1")                                                                          \
    X(Warning, "warning: %1")                                                                      \
    X(RunHelp, "Run with --help for more information.")                                            \
    X(UnknownCommand, "unknown command %1")                                                        \
    X(NoCommand, "no command given")                                                               \
    X(CannotWrite, "cannot write the output")                                                      \
    X(CannotWriteBecause, "cannot write the output: %1")                                           \
    X(NotANumber, "'%1' is not a number; N is 0 to %2, in decimal digits")                         \
    X(OutsideRange, "%1 is outside 0 to %2")                                                       \
    X(EmptyValue, "the value is empty")                                                            \
    X(SeveralWithSerial, "%1 engines have serial %2; choose one with --path P:")                   \
    X(SeveralEngines, "%1 engines are attached; choose one with --serial S or --path P:")          \
    X(SeveralAlike,                                                                                \
      "%1 engines are attached and their serials do not tell them apart; choose one with "         \
      "--path P:")                                                                                 \
    X(EngineChoice, "%1  serial %2")                                                               \
    X(NoPermission, "an engine is attached but this user may not open it (%1).")                   \
    X(NoPermissionAdvice,                                                                          \
      "Install the tool's package, which brings the udev rule 70-kq7300.rules (or copy the rule "  \
      "into /etc/udev/rules.d); without a desktop session, add the user to the group plugdev. "    \
      "Then plug the engine in again.")                                                            \
    X(NoPermissionAdviceWindows,                                                                   \
      "Check that the engine's driver is installed and that no other program holds the engine, "   \
      "then plug it in again.")                                                                    \
    X(CannotOpen, "an engine is attached but cannot be opened (%1)")                               \
    X(Busy,                                                                                        \
      "the engine is in use by another program; try again when that program is done with "         \
      "it")                                                                                        \
    X(BusyDetail,                                                                                  \
      "the engine is in use by another program (%1); try again when that program is done with "    \
      "it")                                                                                        \
    X(NoEngine, "no engine found")                                                                 \
    X(NoEngineWithSerial, "no engine found with serial %1")                                        \
    X(NoEngineAt, "no engine found at %1")                                                         \
    X(NoEngineWithSerialAt, "no engine found with serial %1 at %2")                                \
    X(InLoader,                                                                                    \
      "the engine is running its loader, not its firmware; run the firmware upgrade (again)")      \
    X(NoAnswer, "the engine does not answer")                                                      \
    X(NoAnswerWhile, "no answer from the engine while %1")                                         \
    X(WhileSettingCurrent, "setting the LED current")                                              \
    X(WhileSwitchingPower, "switching power")                                                      \
    X(WhileSwitchingLed, "switching the LED")                                                      \
    X(WhileSettingMirroring, "setting the mirroring")                                              \
    X(NoCurrent, "the engine did not report its LED current")                                      \
    X(CurrentOutside, "the engine reported an LED current of %1, outside %2")                      \
    X(NoProductId, "the engine did not report its product id")                                     \
    X(StatusConnected, "connected: %1")                                                            \
    X(StatusPath, "path: %1")                                                                      \
    X(StatusSerial, "serial: %1")                                                                  \
    X(StatusMode, "mode: %1")                                                                      \
    X(StatusProductId, "product-id: %1")                                                           \
    X(StatusCurrent, "led-current: %1")                                                            \
    X(Yes, "yes")                                                                                  \
    X(No, "no")                                                                                    \
    X(Unknown, "unknown")                                                                          \
    X(ModeApplication, "application")                                                              \
    X(ModeLoader, "loader")                                                                        \
    X(ModeNoAnswer, "no-answer")                                                                   \
    X(ListEngine, "%1  serial %2  %3  %4")                                                         \
    X(ListLocationUnknown, "location unknown")                                                     \
    X(ListCanOpen, "can be opened")                                                                \
    X(ListCannotOpen, "cannot be opened: %1")                                                      \
    X(ListCannotOpenDetail, "cannot be opened: %1 (%2)")                                           \
    X(ListNotUsed, "not used: the search takes an engine with serial %1")                          \
    X(ListNoPermission, "this user may not open the engine.")                                      \
    X(OpenAbsent, "no engine")                                                                     \
    X(OpenNoPermission, "permission denied")                                                       \
    X(OpenBusy, "busy (claimed by another program)")                                               \
    X(OpenOther, "cannot be opened")                                                               \
    X(NoHotplug, "this system reports no device arrivals or removals")                             \
    X(NoPipe, "cannot create a pipe")                                                              \
    X(Watching, "watching for engines to arrive and leave; interrupt to end")                      \
    X(NoFileName, "no firmware file named")                                                        \
    X(NoLoader,                                                                                    \
      "no loader image: no usbloader.bin or usbloader.enc in %1; put one there or name one with "  \
      "--loader FILE")                                                                             \
    X(JoinComma, "%1, %2")                                                                         \
    X(JoinOr, "%1 or %2")                                                                          \
    X(CannotRead, "cannot read %1")                                                                \
    X(FirmwareSize, "%1 has %2 bytes; a firmware image has 1 to %3")                               \
    X(LoaderSize, "%1 has %2 bytes; a loader image has 1 to %3")                                   \
    X(PlanTitle, "About to upgrade the engine's firmware:")                                        \
    X(PlanEngine, "engine:    serial %1, product id %2%3")                                         \
    X(AtPlace, ", at %1")                                                                          \
    X(UnknownProductId, "unknown (the loader does not tell it)")                                   \
    X(PlanFirmware, "firmware:  %1, %2 bytes, SHA-256 %3")                                         \
    X(PlanLoader,                                                                                  \
      "loader:    %1, %2 bytes, written first: the engine runs its application and restarts "      \
      "into its loader")                                                                           \
    X(PlanNoLoader, "loader:    not needed: the engine runs its loader")                           \
    X(PlanTime, "time:      about %1 (block size %2)")                                             \
    X(LongUpgrade,                                                                                 \
      "note: this upgrade takes about %1 with the engine's block size of %2 bytes; keep the "      \
      "engine connected all the while")                                                            \
    X(Question, "Upgrade the firmware now? [y/N]")                                                 \
    X(Hours, "%1 h %2 min")                                                                        \
    X(Minutes, "%1 min %2 s")                                                                      \
    X(Seconds, "%1 s")                                                                             \
    X(Upgraded, "firmware upgraded")                                                               \
    X(Cancelled, "upgrade cancelled: nothing was written to the engine")                           \
    X(Stopped, "upgrade stopped %1: %2")                                                           \
    X(ByCtrlC, "by Ctrl-C")                                                                        \
    X(BySigterm, "by SIGTERM")                                                                     \
    X(ByClose, "as the console closed")                                                            \
    X(Failed, "the firmware upgrade failed: %1")                                                   \
    X(AtBlock, "%1 (block at 0x%2)")                                                               \
    X(Because, "%1: %2")                                                                           \
    X(LeftNothing, "nothing was written to the engine")                                            \
    X(LeftApplication, "the engine keeps its application firmware")                                \
    X(LeftLoader,                                                                                  \
      "the engine is left in its loader until an upgrade completes; upgrading again goes on from " \
      "there")                                                                                     \
    X(LeftFinished, "the engine had been told to finish the upgrade")                              \
    X(AdviceStayedInLoader,                                                                        \
      "the firmware was written, but the engine did not start it; upgrade again, or put its "      \
      "previous firmware back")                                                                    \
    X(AdviceUnexpectedMode,                                                                        \
      "the engine answers neither as its application nor as its loader did; see what it says "     \
      "with kq7300ctl status")                                                                     \
    X(AdviceNotBack,                                                                               \
      "unplug the engine and plug it in again, then see what it says with kq7300ctl status")       \
    X(AdviceOtherEngine, "nothing was written to the other engine; unplug it and upgrade again")   \
    X(AdviceBusy, "try again when that program is done with it")                                   \
    X(Saved, "the engine's previous firmware was saved as %1")                                     \
    X(SavedResumed,                                                                                \
      "(it continues an earlier run's backup: the bytes the engine held before the first of "      \
      "these runs)")                                                                               \
    X(Restore, "to put it back, upgrade with that file: kq7300ctl upgrade %1")                     \
    X(NoBackup, "no byte of the engine's firmware was replaced, so no backup was needed")          \
    X(BackupWarning, "the engine's previous firmware could not be saved: %1")                      \
    X(HistoryWarning, "the run could not be recorded in the upgrade history: %1")                  \
    X(PhaseLoader, "writing the loader")                                                           \
    X(PhaseWaitingForLoader, "waiting for the engine to restart into its loader")                  \
    X(PhaseFirmware, "writing the firmware")                                                       \
    X(PhaseFinishing, "waiting for the engine to restart")                                         \
    X(PhaseChecking, "checking the engine")                                                        \
    X(PhaseTry, "%1: try %2 of %3")                                                                \
    X(Progress, "progress %1%")                                                                    \
    X(StopAfterBlock, "stopping after the current block... (Ctrl-C again to quit at once)")        \
    X(TermStopAfterBlock,                                                                          \
      "SIGTERM: stopping after the current block... (SIGTERM or Ctrl-C again to quit at once)")    \
    X(NothingToStop,                                                                               \
      "the engine is finishing the upgrade; there is nothing left to stop (Ctrl-C again to quit "  \
      "at once)")                                                                                  \
    X(InterruptedNothingWritten, "interrupted: nothing was written to the engine")                 \
    X(InterruptedInApplication, "interrupted: the engine keeps its application firmware")          \
    X(InterruptedInLoader,                                                                         \
      "interrupted: the engine is left in its loader until an upgrade completes")                  \
    X(InterruptedFinishing, "interrupted: the engine had already been told to finish the upgrade") \
    X(BackupIs, "the engine's previous firmware is saved as %1")                                   \
    X(RestoreWithFile, "to put it back, upgrade with that file")                                   \
    X(NoBackupMade, "no byte of the engine's firmware was replaced: no backup")                    \
    X(NoHistory, "no upgrade history: %1")                                                         \
    X(NothingRecorded, "no upgrade recorded in %1")                                                \
    X(DamagedLines, "%1 damaged lines of %2 were left out")                                        \
    X(HistoryRun, "%1  %2  %3  %4 bytes  SHA-256 %5")                                              \
    X(HistoryEngine, "engine: serial %1, product id %2%3")                                         \
    X(HistoryReason, "reason: %1")                                                                 \
    X(HistoryBackup, "backup: %1")                                                                 \
    X(HistoryBackupResumed, "backup: %1 (it continues an earlier run's backup)")                   \
    X(OutcomeSuccess, "success")                                                                   \
    X(OutcomeFailure, "failure")                                                                   \
    X(OutcomeStopped, "stopped")                                                                   \
    X(OutcomeCancelled, "cancelled")                                                               \
    X(OutcomeRefused, "refused")

enum class CtlText {
#define KQ_CTL_TEXT_ID(name, english) name,
    KQ_CTL_TEXTS(KQ_CTL_TEXT_ID)
#undef KQ_CTL_TEXT_ID
};

struct CtlTextEntry {
    std::string_view key;  // "Ctl.NoEngine"
    std::string_view english;
};

// Every text in the order of its declaration.
const CtlTextEntry* CtlTextsBegin();
const CtlTextEntry* CtlTextsEnd();
const CtlTextEntry& CtlTextEntryOf(CtlText text);

// The text in the language in use, its places filled with the values.
std::string Say(CtlText text, std::initializer_list<std::string_view> values = {});
// The same for a text whose key and English come from elsewhere (an upgrade's failure reason).
std::string Say(std::string_view key, std::string_view english,
                std::initializer_list<std::string_view> values = {});

// An upgrade's failure reason as a user is told it: "Ctl.Fail." and the name the windows' key
// has, the history's English when the file has no text for it.
std::string FailureTextKey(UpgradeFailure failure);
std::string SayFailure(UpgradeFailure failure);

// The locale variables as gettext reads them.
struct LocaleVariables {
    std::string language;  // LANGUAGE: a list of languages, separated by ":"
    std::string lcAll;
    std::string lcMessages;
    std::string lang;
    static LocaleVariables OfProcess();
};

// The language file ("English", "SimpChinese") the command line speaks, as gettext chooses:
// LANGUAGE's languages in order, then the first of LC_ALL, LC_MESSAGES and LANG that is set.
// Any Chinese ("zh", "zh_CN", "zh_TW", ...) is Simplified Chinese, the only one there is; a
// language without a file is passed over. The C locale (POSIX, C.UTF-8) speaks English and, as
// in gettext, makes LANGUAGE count for nothing. When no locale variable is set, `system` is the
// system's own language (a primary language id; Windows' display language), nullopt for the C
// locale (elsewhere).
std::string CtlLanguageName(const LocaleVariables& variables, std::optional<unsigned> system);

// Speaks the language file of that name in programDir's Language folder from now on; English
// when it is missing. An empty name speaks the built-in English.
void UseCtlLanguage(const std::string& programDir, std::string_view name);
// The language of this process's locale, in the files beside the program.
void UseLocaleLanguage();

}  // namespace kq
