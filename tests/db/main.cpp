#include <QCoreApplication>
#include <gtest/gtest.h>

// Qt's database layer wants an application object (driver plugins are found through it).
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
