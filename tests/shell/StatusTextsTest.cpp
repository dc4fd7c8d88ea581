// Where the lost-link and Stop texts say a job stood, from the job's own fields.
#include "StatusTexts.h"
#include "FirmwareFacts.h"

#include <gtest/gtest.h>

TEST(StatusTexts, LostLinkAndStopNameTheUnitInFlight)
{
    // ARM: blockNumber is the next block to be built, so the one in flight is the
    // one before it; 5000 bytes are 5 blocks.
    const struct
    {
        int type, state, readPos, blockNumber;
        const char *where;
    } rows[] = {
        {0, 2, 0, 0, "during the erase"},
        {0, 3, 12, 0, "while programming (record 12)"},
        {1, 5, 0, 0, "while connecting"},
        {1, 10, 0, 2, "while programming (block 1 of 5)"},
        {1, 10, 0, 4, "while programming (block 3 of 5)"},
        {1, 11, 0, 6, "while programming (block 5 of 5)"},
        {1, 13, 0, 6, "while programming (all 5 blocks sent)"},
    };
    for (const auto &row : rows) {
        updater::JobFields fields;
        fields.firmwareType = row.type;
        fields.jobState = row.state;
        fields.readPos = row.readPos;
        fields.fileLength = 5000;
        updater::ArmCounters arm;
        arm.blockNumber = row.blockNumber;
        const statustext::JobPlace place = statustext::placeOf(fields, arm, FirmwareFacts{});
        const QString where = QString::fromLatin1(row.where);
        EXPECT_TRUE(statustext::stopped(place).startsWith("The download was stopped " + where +
                                                          ". The inverter "))
            << statustext::stopped(place).toStdString();
        EXPECT_TRUE(statustext::linkLost(QStringLiteral("COM3"), place)
                        .startsWith("The connection to COM3 was lost " + where + ". "))
            << statustext::linkLost(QStringLiteral("COM3"), place).toStdString();
    }
}
