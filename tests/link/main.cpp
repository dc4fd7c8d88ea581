#include <QCoreApplication>

#include <gtest/gtest.h>

// The TCP link and the reports of the serial link need an event loop on the
// thread that owns the link object: the tests run on the application's thread.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
