// Numbers read from edit fields as the C library's formatted input reads them.
#include "DataExchange.h"

#include <gtest/gtest.h>

TEST(ScanUnsigned, SkipsLeadingSpaceAndStopsAtTheFirstNonDigit)
{
    EXPECT_EQ(scanUnsigned(QStringLiteral("  12abc")), 12u);
    EXPECT_EQ(scanUnsigned(QStringLiteral("\t+3")), 3u);
    EXPECT_EQ(scanUnsigned(QStringLiteral("0099")), 99u);
}

TEST(ScanUnsigned, NegativeNumbersWrapModulo2To32)
{
    EXPECT_EQ(scanUnsigned(QStringLiteral("-1")), 4294967295u);
    EXPECT_EQ(scanUnsigned(QStringLiteral("-4294967295")), 1u);
}

TEST(ScanUnsigned, ValuesBeyond32BitsReadAsTheLargestValueNotAWrappedSmallOne)
{
    // 4294967297 would wrap to 1 and open COM1; it must stay out of range.
    EXPECT_EQ(scanUnsigned(QStringLiteral("4294967297")), 4294967295u);
    EXPECT_EQ(scanUnsigned(QStringLiteral("99999999999999999999")), 4294967295u);
}

TEST(ScanUnsigned, NoDigitsGiveNothing)
{
    EXPECT_FALSE(scanUnsigned(QString()));
    EXPECT_FALSE(scanUnsigned(QStringLiteral("a1")));
    EXPECT_FALSE(scanUnsigned(QStringLiteral("-")));
    EXPECT_FALSE(scanUnsigned(QStringLiteral("   ")));
}

TEST(ScanUnsigned, OnlyTheFirst63CharactersAreRead)
{
    EXPECT_FALSE(scanUnsigned(QString(63, u' ') + QStringLiteral("5")));
    EXPECT_EQ(scanUnsigned(QString(62, u' ') + QStringLiteral("5")), 5u);
}

TEST(ScanSigned, ReadsSignAndDigitsAndClampsTo32Bits)
{
    EXPECT_EQ(scanSigned(QStringLiteral(" -502x")), -502);
    EXPECT_EQ(scanSigned(QStringLiteral("70000")), 70000);
    EXPECT_EQ(scanSigned(QStringLiteral("3000000000")), 2147483647);
    EXPECT_EQ(scanSigned(QStringLiteral("-3000000000")), -2147483647 - 1);
    EXPECT_FALSE(scanSigned(QStringLiteral("abc")));
    EXPECT_FALSE(scanSigned(QStringLiteral("+")));
}
