#pragma once

#include "Ids.h" // the command IDs

// String table of the program: command IDs and the texts that go with them. UTF-8.
namespace updater::res {

// Status bar panes: the message pane, then the three lock indicators.
inline constexpr int kIdIndicatorCaps = 59137;
inline constexpr int kIdIndicatorNum = 59138;
inline constexpr int kIdIndicatorScrl = 59139;

inline constexpr const char kWindowTitle[] = "Zerant Updater";
inline constexpr const char kReady[] = "Ready";
// Asked before the window closes while a download is under way.
inline constexpr const char kCloseDuringJob[] =
    "A download is running. Closing now may leave the inverter half-written. Close anyway?";

// Status-bar prompts of the commands. A toolbar button's tooltip is its prompt
// with its key: "Start updating (F5)".
inline constexpr const char kPromptOpen[] = "Open firmware file";
inline constexpr const char kPromptSetPort[] = "Set COM Port";
inline constexpr const char kPromptDownLoad[] = "Start updating";
inline constexpr const char kPromptAbout[] = "Direction for use";

// Commands of the window beyond those of menu 128, with their items and prompts.
inline constexpr int kIdStop = 32781;
inline constexpr const char kItemStop[] = "&Stop";
inline constexpr const char kPromptStop[] = "Stop the running download";
// Asked before Stop abandons a job, as before closing.
inline constexpr const char kStopDuringJob[] =
    "A download is running. Stopping now may leave the inverter half-written. Stop anyway?";

inline constexpr int kIdUpdateBoth = 32782;
inline constexpr const char kItemUpdateBoth[] = "&Update DSP and LCD ARM...";
inline constexpr const char kPromptUpdateBoth[] =
    "Write the DSP firmware, then the LCD ARM firmware, in one run";
// Captions of the file dialogs of the run of both firmwares.
inline constexpr const char kPickDspFile[] = "DSP Firmware (Intel HEX file)";
inline constexpr const char kPickArmFile[] = "LCD ARM Firmware (binary image)";
inline constexpr int kIdSaveSupportLog = 32783;
inline constexpr const char kItemSaveSupportLog[] = "Save Support &Log...";
inline constexpr const char kPromptSaveSupportLog[] =
    "Save the log of the last update for the service";
inline constexpr const char kNoSupportLog[] =
    "No update has run yet: there is no support log to save.";
inline constexpr int kIdOpenLogFolder = 32784;
inline constexpr const char kItemOpenLogFolder[] = "Open Log &Folder";
inline constexpr const char kPromptOpenLogFolder[] =
    "Open the folder that keeps the trace of every update";

// Keys of the commands (QKeySequence's portable text).
inline constexpr const char kKeyOpen[] = "Ctrl+O";
inline constexpr const char kKeyDownLoad[] = "F5";

// Menu 128. The menus open with Alt and their underlined letter.
inline constexpr const char kMenuFile[] = "&File";
inline constexpr const char kMenuTool[] = "&Tool";
inline constexpr const char kMenuHelp[] = "&Help";
inline constexpr const char kItemOpen[] = "Open";
inline constexpr const char kItemSetPort[] = "Set Port";
inline constexpr const char kItemDownLoad[] = "DownLoad";
inline constexpr const char kItemAbout[] = "About Updater(&A)...";

// Texts of the lock indicators, shown while the lock is on.
inline constexpr const char kIndicatorCaps[] = "CAP";
inline constexpr const char kIndicatorNum[] = "NUM";
inline constexpr const char kIndicatorScrl[] = "SCRL";

// Messages of the data exchange of the dialogs.
inline constexpr const char kNeedPositiveInteger[] = "请输入一个正整数。";
inline constexpr const char kNeedInteger[] = "请输入一个整数。";
// %1 and %2 are the bounds of the range.
inline constexpr const char kNeedIntegerInRange[] = "请输入一个在 %1 和 %2 之间的整数。";

// Set Port with the address 0.0.0.0, which the system takes for this PC itself.
inline constexpr const char kZeroAddress[] =
    "0.0.0.0 is not the address of an inverter: a connection to it reaches this PC "
    "itself. Enter the address of the inverter's WiFi module (10.10.100.254 as delivered).";

// Prefix of the file line: two spaces after the colon.
inline constexpr const char kFileLinePrefix[] = "File:  ";

} // namespace updater::res
