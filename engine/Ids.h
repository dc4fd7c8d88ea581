#pragma once

// Numbers that the window, the engine and the tests share: the controls of the
// form that a job writes to, and the commands of the menu, toolbar and keys.
namespace updater {

// Lines of the form: the file line and the two status lines of a job.
enum class StatusLine : int
{
    File = 1002,
    Connect = 1003, // connect and erase phases
    Program = 1004, // programming phase
};

inline constexpr int kIdProgressBar = 1000; // range 0..100
inline constexpr int kIdFileLine = static_cast<int>(StatusLine::File);
inline constexpr int kIdConnectLine = static_cast<int>(StatusLine::Connect);
inline constexpr int kIdProgramLine = static_cast<int>(StatusLine::Program);

// Commands shared by the menu, the toolbar, the accelerators and their handlers.
inline constexpr int kIdFileNew = 57600;
inline constexpr int kIdFileOpen = 57601;
inline constexpr int kIdAppAbout = 57664;
inline constexpr int kIdSetPort = 32778;
inline constexpr int kIdDownLoad = 32773;

} // namespace updater
