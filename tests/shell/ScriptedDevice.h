#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

namespace shelltest {

// An inverter on 127.0.0.1 as the boot loaders answer: the DSP loader
// acknowledges the erase command and every record with 0xCC; the ARM loader
// answers the wake-up with '2', '4' with '4', '1' with '9', and every block and
// the EOT with ACK. A silent device accepts the connection and answers nothing.
class ScriptedDevice : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Dsp,
        Arm,
        Silent,
    };

    explicit ScriptedDevice(Mode mode);
    quint16 port() const { return server_.serverPort(); }

    QByteArray received;     // every byte, in order
    int records = 0;         // DSP records acknowledged, the end record included
    QByteArray recordBytes;  // DSP: the records as they came
    QByteArray dataBlocks;   // ARM: the 1024 data bytes of every data block
    QList<int> blockNumbers; // ARM: block numbers of the data blocks
    bool finished = false;   // the last unit was acknowledged
    int replyDelayMs = 0;    // a slow device answers each unit after this delay
    int hangUpAfterMs = 300; // restarts, so hangs up, this long after its last reply (< 0: never)

private:
    void onConnection();
    void onReadyRead();
    void handleDsp();
    void handleArm();
    void reply(char byte);

    Mode mode_;
    QTcpServer server_;
    QTcpSocket *socket_ = nullptr;
    QByteArray pending_;
    int armStep_ = 0;
    bool erased_ = false;
};

} // namespace shelltest
