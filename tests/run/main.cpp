#include <QCoreApplication>

#include <gtest/gtest.h>

// The run posts the ends of its jobs to its own thread: the tests run its event
// loop by hand, between the steps of counted time.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
