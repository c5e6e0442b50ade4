#include "ControlsTestMain.h"

#include <QApplication>
#include <QTest>

std::vector<ControlsTestFactory>& controlsTests()
{
    static std::vector<ControlsTestFactory> tests;
    return tests;
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int failures = 0;
    for (const ControlsTestFactory& make : controlsTests()) {
        const std::unique_ptr<QObject> test = make();
        failures += QTest::qExec(test.get(), argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
