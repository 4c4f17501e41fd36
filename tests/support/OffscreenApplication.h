#pragma once

// One QApplication for a whole test suite, drawing off screen: windows, menus and alerts are
// real widgets that no display shows. Named after the test binary, as a program's own is.

#include <QApplication>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace ulvarend::testing {

class OffscreenApplicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        argv[0] = program_invocation_short_name;
        application = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { application.reset(); }

private:
    // QApplication keeps referring to these for as long as it lives.
    static inline int argc = 1;
    static inline char* argv[] = {nullptr, nullptr};
    static inline std::unique_ptr<QApplication> application;
};

} // namespace ulvarend::testing
