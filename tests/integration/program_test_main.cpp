// Entry of the tests that run QZ Config Tool: a QApplication on the offscreen platform (unless the
// caller chose one), then GoogleTest.
#include "tests/gui/support/LsanSuppressions.h"

#include <QApplication>
#include <QLoggingCategory>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The plan reader traces every key it reads.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
