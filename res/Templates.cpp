#include "Templates.h"

#include "UpdaterVersion.h"

namespace updater::res {
namespace {

using K = ControlKind;

constexpr ControlTemplate kFormControls[] = {
    {kIdProgressBar, K::ProgressBar, "", "progressBar", 3, 82, 260, 10,
     kStyleBorder | kStyleHidden},
    {kIdFileLine, K::Static, "", "fileLine", 7, 6, 249, 31, kStyleGroup},
    {kIdConnectLine, K::Static, "", "connectLine", 7, 38, 243, 13, kStyleGroup},
    {kIdProgramLine, K::Static, "", "programLine", 7, 57, 243, 13, kStyleGroup},
};

constexpr ControlTemplate kSetPortControls[] = {
    {kIdOk, K::PushButton, "OK", "okButton", 101, 115, 50, 14, kStyleDefault | kStyleTabStop},
    {kIdCancel, K::PushButton, "Cancel", "cancelButton", 161, 115, 50, 14, kStyleTabStop},
    {kIdComEdit, K::Edit, "", "comEdit", 70, 27, 45, 13, kStyleBorder | kStyleTabStop},
    {kNoId, K::Static, "COM:", "comLabel", 31, 29, 22, 12, kStyleGroup},
    {kIdPortEdit, K::Edit, "", "portEdit", 70, 67, 45, 13, kStyleBorder | kStyleTabStop},
    {kNoId, K::Static, "Port:", "portLabel", 33, 71, 22, 12, kStyleGroup},
    {kIdSerialRadio, K::RadioButton, "Serial Port", "serialRadio", 8, 9, 61, 12, kStyleGroup},
    {kIdTcpRadio, K::RadioButton, "TCP/IP", "tcpRadio", 8, 54, 45, 12, kStyleNone},
    {kIdIpAddress, K::IpAddress, "", "ipAddress", 70, 86, 100, 15, kStyleTabStop},
    {kNoId, K::Static, "IP address:", "ipLabel", 32, 89, 38, 12, kStyleGroup},
};

constexpr ControlTemplate kDownTypeControls[] = {
    {kIdOk, K::PushButton, "Ok", "okButton", 85, 75, 50, 14, kStyleDefault | kStyleTabStop},
    {kIdCancel, K::PushButton, "Cancel", "cancelButton", 140, 75, 50, 14, kStyleTabStop},
    {kIdDspRadio, K::RadioButton, "DSP Firmware", "dspRadio", 27, 19, 101, 16, kStyleGroup},
    {kIdArmRadio, K::RadioButton, "LCD ARM Firmware", "armRadio", 27, 43, 101, 16, kStyleNone},
};

constexpr ControlTemplate kAboutControls[] = {
    {kNoId, K::Icon, "", "icon", 16, 15, 20, 20, kStyleNone},
    {kNoId, K::Static, "Version : " UPDATER_VERSION, "versionText", 50, 14, 114, 8, kStyleNoPrefix},
    {kNoId, K::Static, "Instruction:", "instructionText", 15, 38, 43, 12, kStyleNone},
    {kNoId, K::Static, "Step 1: Connect to the inverter by RS485 cable or WIFI.", "step1", 14, 49,
     180, 8, kStyleNone},
    {kNoId, K::Static, "Step 2: Open the firmware file.", "step2", 14, 59, 99, 8, kStyleNone},
    {kNoId, K::Static, "Step 3: Select Serial Port.", "step3", 14, 69, 82, 8, kStyleNone},
    {kNoId, K::Static, "Step 4: Start update.", "step4", 14, 78, 69, 8, kStyleNone},
    // The text of step 5 ends in a space.
    {kNoId, K::Static, "Step 5: Wait until the update finished. ", "step5", 14, 88, 124, 8,
     kStyleNone},
    {kNoId, K::Static, "Step 6: finished update.", "step6", 15, 98, 77, 8, kStyleNone},
    {kIdOk, K::PushButton, "OK", "okButton", 182, 108, 34, 14, kStyleDefault | kStyleTabStop},
};

} // namespace

const DialogTemplate &formTemplate()
{
    static constexpr DialogTemplate t{131, "", 8, 264, 94, kFormControls};
    return t;
}

const DialogTemplate &setPortTemplate()
{
    static constexpr DialogTemplate t{129, "Set Port", 8, 217, 139, kSetPortControls};
    return t;
}

const DialogTemplate &downTypeTemplate()
{
    static constexpr DialogTemplate t{172, "Select Firmware type", 8, 204, 105, kDownTypeControls};
    return t;
}

const DialogTemplate &aboutTemplate()
{
    static constexpr DialogTemplate t{100, "About Updater", 9, 223, 129, kAboutControls};
    return t;
}

} // namespace updater::res
