#pragma once

#include "TemplateDialog.h"

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
