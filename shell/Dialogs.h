#pragma once

#include "TemplateDialog.h"

#include <QFileDialog>

#include <cstdint>

class QButtonGroup;

// Set Port: the serial port or the TCP address of the inverter's WiFi module.
class CComSelDlg : public TemplateDialog
{
    Q_OBJECT
public:
    explicit CComSelDlg(QWidget *parent = nullptr);

    std::uint32_t comPort = 1;   // serial port number, 1 to 99
    std::int32_t linkType = 0;   // 0 "Serial Port", 1 "TCP/IP", -1 none selected
    std::uint32_t ipAddress = 0; // first octet in the most significant byte
    std::int32_t tcpPort = 8899; // 1 to 65535

protected:
    bool doDataExchange(bool saveAndValidate) override;

private:
    QButtonGroup *linkGroup_;
};

// Select Firmware type.
class CDownTypeDlg : public TemplateDialog
{
    Q_OBJECT
public:
    explicit CDownTypeDlg(QWidget *parent = nullptr);

    std::int32_t firmwareType = 0; // 0 "DSP Firmware", 1 "LCD ARM Firmware", -1 none

protected:
    bool doDataExchange(bool saveAndValidate) override;

private:
    QButtonGroup *typeGroup_;
};

// About Updater: version and instructions; reads and changes nothing.
class CAboutDlg : public TemplateDialog
{
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget *parent = nullptr);
};

// The file dialog of a firmware file. The name typed in its name field is the file
// taken: keys that come to the field while it lacks the focus (a window the window
// system has not activated, keys from a tool) give it the focus first. Without
// it, each file that the letters typed so far name ("a" for "a.hex") is selected
// in the folder's list, its name written over the field, and the selection wins.
class FirmwareFileDialog : public QFileDialog
{
public:
    using QFileDialog::QFileDialog;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *name_ = nullptr;
};
