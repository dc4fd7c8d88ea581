#pragma once

#include "Ids.h" // the controls of the form that a job writes to

#include <span>

// Templates of the form and the dialogs: every control with its place and size in
// dialog units, in tab order. The shell turns them into widgets through one
// dialog-unit conversion (shell/DialogUnits.h).
namespace updater::res {

enum class ControlKind
{
    PushButton,
    Edit,
    Static,
    RadioButton,
    IpAddress,
    ProgressBar,
    Icon,
};

// Style bits of a control.
enum ControlStyle : unsigned
{
    kStyleNone = 0,
    kStyleGroup = 1u << 0,    // starts a group (radio buttons: the radio group)
    kStyleTabStop = 1u << 1,  // reachable with Tab
    kStyleDefault = 1u << 2,  // the default push button
    kStyleHidden = 1u << 3,   // not visible at start
    kStyleNoPrefix = 1u << 4, // '&' is shown as it stands
    kStyleBorder = 1u << 5,
};

inline constexpr int kNoId = -1;

struct ControlTemplate
{
    int id; // control ID, kNoId for static texts nobody addresses
    ControlKind kind;
    const char *text; // UTF-8; empty for edits and bars
    const char *name; // object name of the widget
    int x, y, w, h;   // dialog units
    unsigned style;   // ControlStyle bits
};

struct DialogTemplate
{
    int id;
    const char *caption; // empty for the form
    int pointSize;       // of the dialog font
    int w, h;            // dialog units
    std::span<const ControlTemplate> controls;
};

// Control IDs of the form and the dialogs.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdComEdit = 1003;
inline constexpr int kIdPortEdit = 1004;
inline constexpr int kIdSerialRadio = 1007;
inline constexpr int kIdTcpRadio = 1008;
inline constexpr int kIdIpAddress = 1009;
inline constexpr int kIdDspRadio = 1001;
inline constexpr int kIdArmRadio = 1002;

const DialogTemplate &formTemplate();     // form 131 of the view
const DialogTemplate &setPortTemplate();  // dialog 129
const DialogTemplate &downTypeTemplate(); // dialog 172
const DialogTemplate &aboutTemplate();    // dialog 100

} // namespace updater::res
