// Entry of the GUI tests: a QApplication on the offscreen platform (unless the caller chose one),
// then GoogleTest.
#include "tests/gui/support/LsanSuppressions.h"

#include <QApplication>
#include <QLoggingCategory>
#include <gmock/gmock.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The plan reader traces every key it reads; the tests read plans by the thousand.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
