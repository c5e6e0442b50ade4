#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

// Every test class of the controls executable registers itself here; main runs them in order.
using ControlsTestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<ControlsTestFactory>& controlsTests();

template <class T>
struct RegisterControlsTest {
    RegisterControlsTest()
    {
        controlsTests().push_back([] { return std::make_unique<T>(); });
    }
};
